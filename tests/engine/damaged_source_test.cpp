// Damaged sources through the engine: a clip whose edit rate its format does
// not have is refused (at import, and by the export should it be listed
// anyway) and nothing is written for it; a source cut inside a frame ends
// the clip at the last whole frame; a missing or cut audio channel file is
// told, keeps its place in the channel layout as silence, and the verdict
// shows errors.
#include "engine/ExportResult.h"
#include "engine/Vorn.h"
#include "engine/helpers/ExportHarness.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;
using vorn::ClipOutcome;

constexpr const char* kWithErrors = "\r\n*** Export completed with errors ***\r\n";

fs::path contentsOf(const fs::path& out) { return out / "Card1" / "CONTENTS"; }

size_t mxfFilesBelow(const fs::path& dir)
{
    size_t n = 0;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return 0;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ".MXF")
            ++n;
    return n;
}

// The first 16-bit samples of an output audio file's essence.
std::vector<int16_t> firstSamples(const fs::path& file, size_t count)
{
    const auto bytes = readBytes(file);
    const size_t key = findKey(bytes, kFixtureSoundElementKey);
    std::vector<int16_t> out;
    if (key == std::string::npos)
        return out;
    const size_t start = key + 17 + (bytes[key + 16] & 0x7Fu);
    for (size_t i = 0; i < count && start + 2 * i + 1 < bytes.size(); ++i)
        out.push_back(static_cast<int16_t>(bytes[start + 2 * i] | (bytes[start + 2 * i + 1] << 8)));
    return out;
}

// Offset of the first essence byte of a fixture file (after the 8-byte length).
size_t essenceStart(const std::vector<uint8_t>& file, const MxfKey& key)
{
    const size_t at = findKey(file, key);
    return at == std::string::npos ? at : at + 16 + 8;
}

TEST(DamagedSource, EditRateTheFormatDoesNotHaveIsRefusedAndNothingIsWritten)
{
    struct Row {
        const char* label;
        int32_t format, num, den;
        const char* message;   // after the clip name
    };
    const Row rows[] = {
        {"zero", 2, 0, 1, ": refused, its edit rate 0/1 is not a rate of HD 720p60 (24000/1001, 30000/1001 or 60000/1001)"},
        {"zero denominator", 2, 1, 0, ": refused, its edit rate 1/0 is not a rate of HD 720p60 (24000/1001, 30000/1001 or 60000/1001)"},
        {"negative", 1, -30000, 1001, ": refused, its edit rate -30000/1001 is not a rate of HD 1080i60 (24000/1001 or 30000/1001)"},
        {"absurd", 9, 1000000, 1, ": refused, its edit rate 1000000/1 is not a rate of DV25 PAL (25/1)"},
        {"a rate of another format", 2, 25, 1, ": refused, its edit rate 25/1 is not a rate of HD 720p60 (24000/1001, 30000/1001 or 60000/1001)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path dir = scratchDir(std::string("bad_rate_") + std::to_string(&row - rows));
        P2Clip clip = p2Clip(row.format, 6);
        clip.rateNum = row.num;
        clip.rateDen = row.den;
        clip.tcBase = 30;
        setBinaryGroup(clip, 30, 0);
        const auto files = writeP2Card(dir / "SRC", {clip});
        const std::string video = files[0].video.string();

        // At import: told, and not listed.
        CVorn engine;
        RecordingCaller importLog;
        engine.Import(&importLog, (dir / "SRC").string().c_str());
        EXPECT_NE(importLog.log().find(std::string("0001AB") + row.message + "\r\n"), std::string::npos)
            << importLog.log();
        EXPECT_EQ(engine.FileCount(), 0);

        // Listed anyway (the file changed after the import): the export refuses it.
        const ExportRun run = exportPaths({}, dir / "OUT", {},
                                          [&](CVorn& e, RecordingCaller&) { e.AddFile(video.c_str()); });
        EXPECT_EQ(run.verdict, kWithErrors) << run.log;
        EXPECT_NE(run.log.find(std::string("\r\nThe file 0001AB cannot be read: ") + (row.message + 11) + "\r\n"),
                  std::string::npos)
            << run.log;
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Error);
        EXPECT_EQ(mxfFilesBelow(dir / "OUT"), 0u);
    }
}

TEST(DamagedSource, RatesEveryFormatAllowsAreAccepted)
{
    struct Row {
        int32_t format, num, den;
    };
    const Row rows[] = {{2, 60000, 1001}, {2, 24000, 1001}, {2, 30000, 1001}, {1, 30000, 1001}, {1, 24000, 1001},
                        {4, 50, 1}, {4, 25, 1}, {9, 25, 1}, {5, 30000, 1001}, {36, 60000, 1001}, {41, 25, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.format) + " at " + std::to_string(row.num) + "/" + std::to_string(row.den));
        const fs::path dir = scratchDir("good_rate_" + std::to_string(&row - rows));
        P2Clip clip = p2Clip(row.format, 2);
        clip.frameSize = clip.format & 32 ? 0 : 1000;
        clip.rateNum = row.num;
        clip.rateDen = row.den;
        const auto files = writeP2Card(dir, {clip});
        CVorn engine;
        RecordingCaller importLog;
        engine.Import(&importLog, files[0].video.string().c_str());
        EXPECT_EQ(engine.FileCount(), 1) << importLog.log();
        EXPECT_EQ(importLog.log().find("refused"), std::string::npos) << importLog.log();
    }
}

TEST(DamagedSource, SourceCutInsideTheLastFrameEndsAtTheLastWholeFrame)
{
    struct Row {
        const char* label;
        int32_t format;
        int64_t frames;
        int64_t cutFrame;       // the frame the file ends in
        size_t keep;            // bytes of it that stay
        const char* told;
        int64_t written;
    };
    const Row rows[] = {
        {"720p60 cut inside frame 3", 2, 4, 3, 120005,
         "The clip ends early: source frame 3 is incomplete (120005 of 240000 bytes); it ends at the last whole frame "
         "before it\r\n",
         3},
        {"DV25 PAL cut before frame 4", 9, 6, 4, 0,
         "The clip ends early: source frame 4 is missing; it ends at the last whole frame before it\r\n", 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path dir = scratchDir(std::string("cut_video_") + std::to_string(&row - rows));
        P2Clip clip = p2Clip(row.format, row.frames);
        setBinaryGroup(clip, row.format == 9 ? 25 : 60, row.format == 9 ? 0 : 8);
        const auto files = writeP2Card(dir / "SRC", {clip});
        const auto bytes = readBytes(files[0].video);
        const size_t start = essenceStart(bytes, kFixtureDvElementKey);
        ASSERT_NE(start, std::string::npos);
        fs::resize_file(files[0].video, start + static_cast<size_t>(row.cutFrame) * firstFrameSize(clip) + row.keep);

        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [&](ExportSettings& s) {
            s.desiredRate = row.format == 9 ? 25.0f : 59.94f;
        });
        EXPECT_EQ(run.verdict, kWithErrors) << run.log;
        EXPECT_NE(run.log.find(row.told), std::string::npos) << run.log;
        EXPECT_NE(run.log.find("The source gave " + std::to_string(row.written) + " of the " +
                               std::to_string(row.frames) + " planned frames"),
                  std::string::npos)
            << run.log;
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Error);
        EXPECT_EQ(run.results[0].framesWritten, row.written);

        // The output holds whole frames only, as many as its header says.
        const fs::path out = contentsOf(dir / "OUT") / "VIDEO" / "0001AB.MXF";
        CMxfFile written(out.string().c_str());
        ASSERT_EQ(written.ReadHeaders(), 1);
        EXPECT_EQ(written.FrameCount(), row.written);
        EXPECT_EQ(written.FrameSize(), firstFrameSize(clip));
        const auto outBytes = readBytes(out);
        const size_t outStart = essenceStart(outBytes, kFixtureDvElementKey);
        ASSERT_NE(outStart, std::string::npos);
        // The footer partition follows the declared essence directly.
        const size_t footer = outStart + static_cast<size_t>(row.written) * firstFrameSize(clip);
        ASSERT_LT(footer + 16, outBytes.size());
        EXPECT_EQ(outBytes[footer + 13], 0x04) << "no footer partition pack after the essence";
        written.Close();
    }
}

TEST(DamagedSource, MissingOrCutAudioChannelIsToldAndKeepsItsPlaceAsSilence)
{
    struct Row {
        const char* label;
        int damaged;              // the channel file (0-based) that is removed or cut
        size_t keepBytes;         // 0: removed; else the file is cut to this size
        const char* told;         // the warning (channel numbers from 1)
    };
    const Row rows[] = {
        {"channel file 01 of four missing", 1, 0,
         "Warning: audio channel 2 (0001AB01.MXF) is missing; it is written as silence\r\n"},
        {"channel file 02 cut to 100 kB", 2, 100000, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path dir = scratchDir(std::string("damaged_audio_") + std::to_string(&row - rows));
        P2Clip clip = p2Clip(9, 75);   // 3 s of DV25 PAL: 144000 samples a channel
        clip.audioChannels = 4;
        setBinaryGroup(clip, 25, 0);
        const auto files = writeP2Card(dir / "SRC", {clip});
        const fs::path damaged = files[0].audio[static_cast<size_t>(row.damaged)];
        std::string told = row.told ? row.told : "";
        int64_t held = audioSamples(clip);
        if (row.keepBytes == 0) {
            fs::remove(damaged);
            held = 0;
        } else {
            const size_t start = essenceStart(readBytes(damaged), kFixtureSoundElementKey);
            ASSERT_NE(start, std::string::npos);
            fs::resize_file(damaged, row.keepBytes);
            held = static_cast<int64_t>((row.keepBytes - start) / 2);
            told = "Warning: audio channel " + std::to_string(row.damaged + 1) + " is short: " +
                   std::to_string(audioSamples(clip) - held) + " of its " + std::to_string(audioSamples(clip)) +
                   " samples are missing; they are written as silence\r\n";
        }

        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT",
                                          [](ExportSettings& s) { s.desiredRate = 25.0f; });
        EXPECT_EQ(run.verdict, kWithErrors) << run.log;
        EXPECT_NE(run.log.find(told), std::string::npos) << run.log;
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Error);
        EXPECT_NE(run.results[0].message.find("audio channel " + std::to_string(row.damaged + 1)), std::string::npos)
            << run.results[0].message;

        // Every channel keeps its place; the damaged one holds what there was, then silence.
        const fs::path audio = contentsOf(dir / "OUT") / "AUDIO";
        for (int ch = 0; ch < 4; ++ch) {
            SCOPED_TRACE(ch);
            const fs::path file = audio / ("0001AB0" + std::to_string(ch) + ".MXF");
            ASSERT_TRUE(fs::exists(file));
            CMxfFile out(file.string().c_str());
            ASSERT_EQ(out.ReadHeaders(), 2);
            EXPECT_EQ(out.AudioDuration(), audioSamples(clip));
            out.Close();
            const auto samples = firstSamples(file, static_cast<size_t>(audioSamples(clip)));
            ASSERT_EQ(samples.size(), static_cast<size_t>(audioSamples(clip)));
            const int64_t real = ch == row.damaged ? held : audioSamples(clip);
            for (int64_t s : {int64_t{0}, real / 2, real - 1, real, audioSamples(clip) - 1}) {
                if (s < 0 || s >= audioSamples(clip))
                    continue;
                EXPECT_EQ(samples[static_cast<size_t>(s)], s < real ? audioSampleValue(ch, s) : 0) << s;
            }
        }
    }
}

} // namespace
