// The MXF layer's part in damaged input: the audio sample count of a number
// of frames (the audio frame sequence, used by the writer's planned length
// and the space need), the edit rates a format allows, the writer refusing a
// frame that is not the declared size, and the card space need counting the
// audio files.
#include "mxf/AudioSamples.h"
#include "mxf/MxfEssenceWriter.h"
#include "mxf/MxfFile.h"
#include "mxf/P2Cards.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace vorn::mxf;

struct SampleRow {
    uint64_t frames;
    uint32_t num, den;
    uint64_t samples;
};

TEST(AudioSamples, FrameCountsFollowTheAudioFrameSequence)
{
    const SampleRow rows[] = {
        // 29.97: 1602, 1601, 1602, 1601, 1602 (8008 per five frames).
        {1, 30000, 1001, 1602}, {2, 30000, 1001, 3203}, {3, 30000, 1001, 4805}, {4, 30000, 1001, 6406},
        {5, 30000, 1001, 8008}, {300, 30000, 1001, 480480}, {303, 30000, 1001, 485285},
        // 59.94: 801, 801, 800, 801, 801 (4004 per five).
        {1, 60000, 1001, 801}, {2, 60000, 1001, 1602}, {3, 60000, 1001, 2402}, {4, 60000, 1001, 3203},
        {5, 60000, 1001, 4004}, {601, 60000, 1001, 481281},
        // Whole numbers of samples a frame.
        {7, 24000, 1001, 14014}, {250, 25, 1, 480000}, {3, 50, 1, 2880}, {1, 24, 1, 2000},
        // No rate, no samples; a huge count saturates instead of wrapping.
        {100, 0, 1, 0}, {100, 25, 0, 0}, {UINT64_MAX, 1, 1001, UINT64_MAX},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.frames) + " frames at " + std::to_string(r.num) + "/" + std::to_string(r.den));
        EXPECT_EQ(audioSamplesOfFrames(r.frames, r.num, r.den), r.samples);
        EXPECT_EQ(MxfEssenceWriter::audioSamplesFor(r.frames, r.num, r.den), r.samples);
    }
}

TEST(AudioSamples, AudioFilesArePlannedWithTheSequence)
{
    // A 303-frame clip at 29.97: 485285 samples, not the 485284 of rounding down.
    MxfHeaderParams p;
    p.formatCode = 5;
    p.frameSize = 120000;
    p.frameCount = 303;
    p.rateNumerator = 30000;
    p.rateDenominator = 1001;
    p.audioChannels = 2;
    p.clipName = "T";
    std::stringstream file;
    MxfEssenceWriter audio(MxfEssenceWriter::kAudio);
    audio.WriteHeader(file, p);
    EXPECT_EQ(audio.audioSamples(), 485285u);
    EXPECT_EQ(audio.plannedLength(), 2u * 485285u);
    audio.PadAudio();
    EXPECT_EQ(audio.audioBytesWritten(), 2u * 485285u);
}

TEST(EditRates, EachFormatAllowsItsOwnRatesOnly)
{
    struct Row {
        int32_t code, num, den;
        bool allowed;
    };
    const Row rows[] = {
        {2, 60000, 1001, true}, {2, 24000, 1001, true}, {2, 30000, 1001, true}, {2, 60, 1, true},
        {2, 120000, 2002, true}, {2, 25, 1, false}, {2, 50, 1, false}, {2, 0, 1, false}, {2, 1, 0, false},
        {2, -60000, -1001, false}, {2, 1000000, 1, false},
        {1, 30000, 1001, true}, {1, 60000, 1001, false}, {5, 30000, 1001, true}, {5, 25, 1, false},
        {9, 25, 1, true}, {9, 25000, 1001, false}, {9, 30000, 1001, false}, {4, 50, 1, true}, {3, 50, 1, false},
        {36, 60000, 1001, true}, {37, 50, 1, true}, {41, 25, 1, true}, {41, 50, 1, false},
        // A format the table does not know is not judged here.
        {0, 0, 0, true}, {12, 7, 3, true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(mxfEditRateAllowed(r.code, r.num, r.den), r.allowed)
            << r.code << " at " << r.num << "/" << r.den;
}

TEST(WriterFrameSize, FramesOfAnotherSizeOrBeyondThePlanAreRefused)
{
    struct Row {
        const char* label;
        int code;
        uint32_t first, later;           // declared frame sizes
        std::vector<size_t> frames;      // sizes handed over, in order
        bool fails;
        size_t essenceBytes;             // written after the header
    };
    const Row rows[] = {
        {"whole DV frames", 2, 240000, 0, {240000, 240000}, false, 480000},
        {"a cut DV frame", 2, 240000, 0, {240000, 120005}, true, 240000},
        {"a DV frame too long", 9, 144000, 0, {144001}, true, 0},
        {"a frame beyond the planned count", 9, 144000, 0, {144000, 144000, 144000}, true, 288000},
        {"AVC-Intra first and later frames", 36, 5000, 4488, {5000, 4488}, false, 9488},
        {"AVC-Intra later frame of the first size", 36, 5000, 4488, {5000, 5000}, true, 5000},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        MxfHeaderParams p;
        p.formatCode = r.code;
        p.frameSize = r.first;
        p.laterFrameSize = r.later;
        p.frameCount = 2;
        int32_t num = 0, den = 1;
        vorn::test::formatRate(r.code, num, den);
        p.rateNumerator = static_cast<uint32_t>(num);
        p.rateDenominator = static_cast<uint32_t>(den);
        p.clipName = std::string(1, 'T');
        std::stringstream file;
        MxfEssenceWriter video(MxfEssenceWriter::kVideo);
        video.WriteHeader(file, p);
        const auto header = file.str().size();
        for (size_t size : r.frames) {
            std::vector<uint8_t> frame(size, 0);
            video.WriteFrame(frame.data(), frame.size());
        }
        EXPECT_EQ(video.writeFailed(), r.fails);
        EXPECT_EQ(file.str().size() - header, r.essenceBytes);
    }
}

TEST(P2Cards, NeedCountsTheAudioFiles)
{
    struct Row {
        int code;
        int64_t frames;
        int channels;
        uint32_t num, den;
        int64_t need;
    };
    const Row rows[] = {
        // 600 frames of 1080i: 297.6 MB for the video, 4 x 2 x 960960 bytes of audio.
        {1, 600, 0, 30000, 1001, 297},
        {1, 600, 4, 30000, 1001, 305},
        // 2 s of DV25 PAL with 8 channels: 8 MB for the video, 1.5 MB of audio.
        {9, 50, 8, 25, 1, 9},
        // One frame a second: 60 frames with two channels of a minute each.
        {2, 60, 2, 1, 1, 26},
    };
    for (const auto& r : rows) {
        CP2Cards cards;
        cards.SetNeed(r.code, r.frames, r.channels, r.num, r.den);
        EXPECT_EQ(cards.needMB(), r.need) << r.code << " x " << r.frames << ", " << r.channels << " channels";
    }
}

} // namespace
