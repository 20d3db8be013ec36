// `vorn convert` on a damaged copy of the sample card, one damage per case:
// a video file cut inside its last frame, a missing audio channel file (one
// in the middle, the last one), an audio channel file cut to 100 kB. Each ends "completed with errors" with
// exit status 1, names what was wrong, and writes a video file FFmpeg reads
// without an error, holding the whole frames only; every audio channel keeps
// its place, with silence where data was missing.
#include "helpers/SampleCardTools.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fs = std::filesystem;
using namespace vorn::test;

namespace {

std::string q(const fs::path& p) { return shellQuote(p.string()); }

// Offset of the first essence byte of an MXF file (after the 8-byte length).
size_t essenceStart(const fs::path& file, const MxfKey& key)
{
    const auto bytes = readBytes(file);
    const size_t at = findKey(bytes, key);
    return at == std::string::npos ? at : at + 16 + 8;
}

bool silent(const std::vector<int16_t>& samples, size_t from, size_t to)
{
    return std::all_of(samples.begin() + std::ptrdiff_t(from), samples.begin() + std::ptrdiff_t(to),
                       [](int16_t s) { return s == 0; });
}

TEST(ConvertDamagedCard, EachDamageIsToldAndTheOutputStaysReadable)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("ffprobe");
    // The 720p60 clip: 60 frames of 240000 bytes, four channels of 48048 samples.
    const std::string clip = "0002QV";
    const int64_t samples = 48048;

    struct Row {
        const char* label;
        const char* file;       // the damaged file, below CONTENTS
        size_t keep;            // bytes kept (0: removed); video: bytes of the last frame kept
        int frames;             // output frames
        int silentChannel;      // channel (0-based) whose samples end early (-1: none)
    };
    const Row rows[] = {
        {"video cut inside its last frame", "VIDEO/0002QV.MXF", 120005, 59, -1},
        {"channel file 01 missing", "AUDIO/0002QV01.MXF", 0, 60, 1},
        // The last one too: the video file names four sound tracks.
        {"channel file 03 missing", "AUDIO/0002QV03.MXF", 0, 60, 3},
        {"channel file 02 cut to 100 kB", "AUDIO/0002QV02.MXF", 100000, 60, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path dir = scratchDir(std::string("damaged_card_") + std::to_string(&row - rows));
        copyTree(sharedSampleCard(), dir / "CARD");
        const fs::path damaged = dir / "CARD" / "CONTENTS" / row.file;
        std::string told;
        size_t held = 0;   // samples the damaged channel keeps
        if (row.silentChannel < 0) {
            const size_t start = essenceStart(damaged, kFixtureDvElementKey);
            ASSERT_NE(start, std::string::npos);
            fs::resize_file(damaged, start + 59 * size_t{240000} + row.keep);
            told = "The clip ends early: source frame 59 is incomplete (120005 of 240000 bytes); it ends at the last "
                   "whole frame before it\nThe source gave 59 of the 60 planned frames";
        } else if (row.keep == 0) {
            fs::remove(damaged);
            told = "Warning: audio channel " + std::to_string(row.silentChannel + 1) + " (" + clip + "0" +
                   std::to_string(row.silentChannel) + ".MXF) is missing; it is written as silence\n";
        } else {
            const size_t start = essenceStart(damaged, kFixtureSoundElementKey);
            ASSERT_NE(start, std::string::npos);
            fs::resize_file(damaged, row.keep);
            held = (row.keep - start) / 2;
            told = "Warning: audio channel 3 is short: " + std::to_string(samples - int64_t(held)) + " of its " +
                   std::to_string(samples) + " samples are missing; they are written as silence\n";
        }

        const fs::path video = dir / "CARD" / "CONTENTS" / "VIDEO" / (clip + ".MXF");
        const auto r = runVorn("--options " + q(dir / "options.txt") + " convert --dest " + q(dir / "OUT") + " " +
                               q(video));
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(told), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\n*** Export completed with errors ***\n"), std::string::npos) << r.out;

        const fs::path out = dir / "OUT" / "Card1" / "CONTENTS";
        const fs::path outVideo = out / "VIDEO" / (clip + ".MXF");
        ASSERT_TRUE(fs::exists(outVideo));
        const auto decode = runCommand("ffmpeg -v error -i " + q(outVideo) + " -f null -");
        EXPECT_EQ(decode.exitCode, 0);
        EXPECT_EQ(decode.err, "");
        EXPECT_EQ(probeStream(outVideo, "v:0", "nb_read_frames", true)["nb_read_frames"], std::to_string(row.frames));

        // Four channels, each in its place; the damaged one is silent from where its data ends.
        const size_t outSamples = size_t(samples) * size_t(row.frames) / 60;
        for (int ch = 0; ch < 4; ++ch) {
            SCOPED_TRACE(ch);
            const fs::path audio = out / "AUDIO" / (clip + "0" + std::to_string(ch) + ".MXF");
            ASSERT_TRUE(fs::exists(audio));
            const auto pcm = decodePcm(audio);
            ASSERT_GE(pcm.size(), outSamples);
            const size_t real = ch == row.silentChannel ? held : outSamples;
            EXPECT_TRUE(silent(pcm, real, outSamples));
            if (real > 4800) {
                EXPECT_GT(toneFrequency(std::vector<int16_t>(pcm.begin(), pcm.begin() + std::ptrdiff_t(real))), 100.0);
            }
        }
    }
}

} // namespace
