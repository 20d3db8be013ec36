// Finding, selecting and reading a clip's audio channel files.
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

// Reads the first samples of a channel and tells which channel file they came from.
int channelOfSamples(CMxfFile& f, int channel)
{
    uint8_t bytes[4] = {};
    if (f.ReadAudio(bytes, 4, channel) != 4)
        return -1;
    const auto s0 = static_cast<int16_t>(bytes[0] | (bytes[1] << 8));
    const auto s1 = static_cast<int16_t>(bytes[2] | (bytes[3] << 8));
    for (int ch = 0; ch < 8; ++ch)
        if (s0 == audioSampleValue(ch, 0) && s1 == audioSampleValue(ch, 1))
            return ch;
    return -2;
}

struct SelectionCase {
    int channels;
    AudioPlace place;
    int select;
    int count;
    int firstChannel;
};

TEST(ReaderAudio, SelectionAndBothSearches)
{
    const int openBefore = vorn::mxfio::openCount();
    const SelectionCase cases[] = {
        {4, AudioPlace::AudioFolder, 2, 4, 0},
        {4, AudioPlace::AudioFolder, 1, 2, 2},   // channels 3 and 4
        {4, AudioPlace::AudioFolder, 0, 2, 0},   // channels 1 and 2
        {8, AudioPlace::AudioFolder, 2, 8, 0},
        {3, AudioPlace::AudioFolder, 1, 1, 2},   // only channel 3 exists of the pair
        {2, AudioPlace::BesideVideo, 2, 2, 0},   // found by the second search
        {4, AudioPlace::BesideVideo, 1, 2, 2},
        {0, AudioPlace::AudioFolder, 2, 0, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("case ").append(std::to_string(n)));
        const auto root = scratchDir(std::string("card").append(std::to_string(n++)));
        P2Clip clip = p2Clip(9, 5);
        clip.frameSize = 2000;
        clip.audioChannels = c.channels;
        clip.audioPlace = c.place;
        const auto files = writeP2Card(root, {clip});

        CMxfFile f(files[0].video.c_str());
        ASSERT_EQ(f.ReadHeaders(), 1);
        f.m_audioSelect = c.select;
        ASSERT_EQ(f.ReadAllAudioHeaders(nullptr, 0), c.count);
        EXPECT_EQ(f.AudioFileCount(), c.count);
        for (int i = 0; i < 8; ++i) {
            if (i < c.count)
                EXPECT_EQ(channelOfSamples(f, i), c.firstChannel + i) << i;
            else
                EXPECT_EQ(f.m_fd_audio[static_cast<size_t>(i)], -1) << i;
        }
        if (c.count > 0) {
            EXPECT_EQ(f.AudioBits(), 16);
            EXPECT_FLOAT_EQ(f.AudioSampleRate(), 48000.0f);
            EXPECT_EQ(f.AudioDuration(), audioSamples(clip));
        }
        // The video parameters are not disturbed by the audio scans.
        EXPECT_EQ(f.VideoFormat(), 9);
        EXPECT_EQ(f.Height(), 576);
        f.Close();
        EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
    }
}

// Every channel number is looked for: a missing file leaves its slot without
// a file instead of hiding the channels after it, and a file cut short tells
// how many samples it really holds.
TEST(ReaderAudio, MissingOrCutChannelFilesKeepTheirSlots)
{
    struct Row {
        const char* label;
        int damaged;        // channel file removed or cut (-1: none)
        size_t keepBytes;   // 0: removed, else the file is cut to this size
        int selection;
        bool named;         // the material package names the four channels
        int count;          // channels taken
        std::vector<int> fromChannel;   // per slot: the channel file its samples come from (-1: none)
    };
    const Row rows[] = {
        {"third of four missing", 2, 0, 2, false, 4, {0, 1, -1, 3}},
        {"first of four missing", 0, 0, 2, false, 4, {-1, 1, 2, 3}},
        {"last of four missing, unnamed", 3, 0, 2, false, 3, {0, 1, 2}},
        {"last of four missing, named", 3, 0, 2, true, 4, {0, 1, 2, -1}},
        {"third of four missing, channels 3 and 4 selected", 2, 0, 1, false, 2, {-1, 3}},
        {"second of four cut", 1, 6000, 2, true, 4, {0, 1, 2, 3}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const int openBefore = vorn::mxfio::openCount();
        const auto root = scratchDir("gap");
        P2Clip clip = p2Clip(5, 10);
        clip.frameSize = 2000;
        clip.audioChannels = 4;
        clip.namesSoundTracks = row.named;
        const auto files = writeP2Card(root, {clip});
        const fs::path damaged = files[0].audio[static_cast<size_t>(row.damaged)];
        uint64_t held = 0;
        if (row.keepBytes == 0) {
            fs::remove(damaged);
        } else {
            const auto bytes = readBytes(damaged);
            const size_t start = findKey(bytes, kFixtureSoundElementKey) + 16 + 8;
            fs::resize_file(damaged, row.keepBytes);
            held = (row.keepBytes - start) / 2;
        }

        CMxfFile f(files[0].video.c_str());
        ASSERT_EQ(f.ReadHeaders(), 1);
        EXPECT_EQ(f.NamedAudioChannels(), row.named ? 4 : 0);
        f.m_audioSelect = row.selection;
        ASSERT_EQ(f.ReadAllAudioHeaders(nullptr, 0), row.count);
        for (int slot = 0; slot < row.count; ++slot) {
            SCOPED_TRACE(slot);
            const int from = row.fromChannel[static_cast<size_t>(slot)];
            EXPECT_EQ(f.AudioChannelFound(slot), from >= 0);
            EXPECT_EQ(channelOfSamples(f, slot), from);
            const uint64_t samples = from < 0 ? 0 : from == row.damaged ? held : static_cast<uint64_t>(audioSamples(clip));
            EXPECT_EQ(f.AudioChannelSamples(slot), samples);
        }
        EXPECT_EQ(f.AudioSampleRate(), 48000.0f);
        EXPECT_EQ(f.AudioDuration(), audioSamples(clip));
        f.Close();
        EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
    }
}

TEST(ReaderAudio, ModeTwoClosesTheFilesAndKeepsTheParameters)
{
    const int openBefore = vorn::mxfio::openCount();
    const auto root = scratchDir("mode2");
    P2Clip clip = p2Clip(2, 6);
    clip.frameSize = 2000;
    clip.audioChannels = 4;
    const auto files = writeP2Card(root, {clip});

    CMxfFile f(files[0].video.c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    f.m_audioSelect = 2;
    EXPECT_EQ(f.ReadAllAudioHeaders(nullptr, 2), 4);
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore + 1);  // the video file only
    EXPECT_EQ(f.AudioDuration(), audioSamples(clip));
    EXPECT_EQ(f.AudioBits(), 16);
    uint8_t b[4];
    EXPECT_EQ(f.ReadAudio(b, 4, 0), 0);
    f.Close();
}

TEST(ReaderAudio, ReadsStopAtTheEndOfEachChannelsEssence)
{
    const auto root = scratchDir("read");
    P2Clip clip = p2Clip(9, 7);
    clip.frameSize = 2000;
    clip.audioChannels = 2;
    const auto files = writeP2Card(root, {clip});

    CMxfFile f(files[0].video.c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    f.m_audioSelect = 2;
    ASSERT_EQ(f.ReadAllAudioHeaders(nullptr, 0), 2);
    const int64_t expected = audioSamples(clip) * 2;
    for (int ch = 0; ch < 2; ++ch) {
        std::vector<uint8_t> all;
        std::vector<uint8_t> chunk(3001);
        for (int got; (got = f.ReadAudio(chunk.data(), static_cast<int>(chunk.size()), ch)) > 0;)
            all.insert(all.end(), chunk.begin(), chunk.begin() + got);
        ASSERT_EQ(static_cast<int64_t>(all.size()), expected);
        for (int64_t i = 0; i < audioSamples(clip); i += 997) {
            const auto s = static_cast<int16_t>(all[static_cast<size_t>(2 * i)] | (all[static_cast<size_t>(2 * i + 1)] << 8));
            ASSERT_EQ(s, audioSampleValue(ch, i)) << ch << " " << i;
        }
    }
    uint8_t b[4];
    EXPECT_EQ(f.ReadAudio(b, 4, 2), 0);   // not open
    EXPECT_EQ(f.ReadAudio(b, 4, 8), 0);   // no such channel
    EXPECT_EQ(f.ReadAudio(b, 4, -1), 0);
    EXPECT_EQ(f.ReadAudio(nullptr, 4, 0), 0);
    f.Close();
}

TEST(ReaderAudio, AnAudioFileScansAsAudio)
{
    const int openBefore = vorn::mxfio::openCount();
    const auto root = scratchDir("one");
    P2Clip clip = p2Clip(6, 4);
    clip.frameSize = 2000;
    clip.audioChannels = 1;
    const auto files = writeP2Card(root, {clip});

    CMxfFile a;
    EXPECT_EQ(a.ReadHeaders(files[0].audio[0].c_str()), 2);
    EXPECT_EQ(a.AudioFileCount(), 1);
    EXPECT_EQ(a.m_audioBytesPerEditUnit, 2);
    EXPECT_EQ(a.m_audioEssenceLength, static_cast<uint64_t>(audioSamples(clip) * 2));
    EXPECT_FALSE(a.IsOpen());   // no video descriptor
    a.Close();
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore);

    // An object keeps at most 8 audio descriptors; a ninth scan fails cleanly.
    CMxfFile many;
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(many.ReadHeaders(files[0].audio[0].c_str()), 2);
    EXPECT_EQ(many.ReadHeaders(files[0].audio[0].c_str()), 0);
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore + 8);
    many.Close();
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
}

} // namespace
