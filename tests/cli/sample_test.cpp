// `vorn sample DIR`: a card of six synthetic clips that our reader, ffprobe and
// MediaInfo read with the right format, length and audio, whose fields carry
// the camera's cadence (checked on FFmpeg's pictures by the frame counter) and
// whose binary groups carry the matching flags.
#include "helpers/SampleCardTools.h"
#include "support/TestSupport.h"

#include "engine/BGinfo.h"
#include "mxf/MxfFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace fs = std::filesystem;
using namespace vorn::test;

namespace {

std::string q(const fs::path& p) { return shellQuote(p.string()); }

struct Row {
    const char* name;
    const char* describe;       // `vorn describe` line after "NAME,\t"
    const char* size;           // FFmpeg's decoded size
    int rateNum, rateDen;
    int frames;
    const char* fieldOrder;     // ffprobe
    const char* scan;           // MediaInfo ScanType/ScanOrder
    int channels;
    std::vector<int> flags;     // binary group low bits of frames 0..4
    int cameraRate;
    // Counter of the top field and the bottom field, frames 0..9.
    std::vector<std::pair<int, int>> fields;
};

std::vector<std::pair<int, int>> same(std::vector<int> v)
{
    std::vector<std::pair<int, int>> out;
    for (int x : v) out.push_back({x, x});
    return out;
}

const std::vector<Row>& rows()
{
    static const std::vector<Row> r = {
        {"0001QV", "HD 1080i60     \t0 min 1 sec,\t shot 24 fps, w/ 3:2 pulldown", "1280x1080", 30000, 1001, 30,
         "tt", "Interlaced/TFF", 4, {2, 2, 1, 1, 0}, 24,
         // A A | B B | B C | C D | D D, top field first.
         {{0, 0}, {1, 1}, {1, 2}, {2, 3}, {3, 3}, {4, 4}, {5, 5}, {5, 6}, {6, 7}, {7, 7}}},
        {"0002QV", "HD 720p60      \t0 min 1 sec,\t shot 24 fps, w/ 3:2 pulldown", "960x720", 60000, 1001, 60,
         "progressive", "Progressive/", 4, {2, 2, 1, 1, 0}, 24, same({0, 0, 1, 1, 1, 2, 2, 3, 3, 3})},
        {"0003QV", "DV50 NTSC      \t0 min 1 sec,\t shot 24 fps, w/ 2:3:3:2 pulldown", "720x480", 30000, 1001, 30,
         "bb", "Interlaced/BFF", 4, {2, 2, 1, 0, 2}, 24,
         // A A | B B | B C | C C | D D, bottom field first: the mixed frame's top field is the later picture.
         {{0, 0}, {1, 1}, {2, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 5}, {6, 6}, {7, 7}}},
        {"0004QV", "DV25 PAL       \t0 min 1 sec,\t shot 25 fps, Progressive", "720x576", 25, 1, 25, "bb",
         "Interlaced/BFF", 2, {2, 2, 2, 2, 2}, 25, same({0, 1, 2, 3, 4, 5, 6, 7, 8, 9})},
        {"0005QV", "DV25 NTSC      \t0 min 1 sec,\t shot 30 fps, Interlaced", "720x480", 30000, 1001, 30, "bb",
         "Interlaced/BFF", 2, {3, 3, 3, 3, 3}, 30, same({0, 1, 2, 3, 4, 5, 6, 7, 8, 9})},
        {"0006QV", "HD 1080i50     \t0 min 1 sec,\t shot 25 fps, Interlaced", "1440x1080", 25, 1, 25, "tt",
         "Interlaced/TFF", 4, {3, 3, 3, 3, 3}, 25, same({0, 1, 2, 3, 4, 5, 6, 7, 8, 9})},
    };
    return r;
}

TEST(SampleCommand, CardIsReadByOurReaderFfprobeAndMediaInfo)
{
    VORN_REQUIRE_TOOL("ffprobe");
    VORN_REQUIRE_TOOL("mediainfo");
    const fs::path card = sharedSampleCard();

    std::string expected = "Adding Folder " + card.string() + "\n";
    for (const auto& row : rows())
        expected += std::string(row.name) + ",\t" + row.describe + "\n";
    expected += "\nClick Start to export files\n";
    const auto described = runVorn("describe " + q(card));
    EXPECT_EQ(described.exitCode, 0);
    EXPECT_EQ(described.out, expected);
    EXPECT_TRUE(fs::is_regular_file(card / "LASTCLIP.TXT"));

    for (const auto& row : rows()) {
        SCOPED_TRACE(row.name);
        const fs::path video = card / "CONTENTS" / "VIDEO" / (std::string(row.name) + ".MXF");
        auto v = probeStream(video, "v:0", "codec_name,width,height,r_frame_rate,field_order,nb_read_frames", true);
        EXPECT_EQ(v["codec_name"], "dvvideo");
        EXPECT_EQ(v["width"] + "x" + v["height"], row.size);
        EXPECT_EQ(v["r_frame_rate"], std::to_string(row.rateNum) + "/" + std::to_string(row.rateDen));
        EXPECT_EQ(v["nb_read_frames"], std::to_string(row.frames));
        EXPECT_EQ(v["field_order"], row.fieldOrder);
        EXPECT_EQ(mediaInfoField(video, "Video", "FrameCount"), std::to_string(row.frames));
        EXPECT_EQ(mediaInfoField(video, "Video", "ScanType") + "/" + mediaInfoField(video, "Video", "ScanOrder"),
                  row.scan);
        EXPECT_TRUE(fs::is_regular_file(card / "CONTENTS" / "CLIP" / (std::string(row.name) + ".XML")));
        const fs::path icon = card / "CONTENTS" / "ICON" / (std::string(row.name) + ".BMP");
        EXPECT_EQ(probeStream(icon, "v:0", "codec_name,width,height")["width"], "80") << icon;

        // One file per channel, each 48 kHz 16-bit PCM of the clip's length with its own tone.
        const int64_t samples = int64_t(row.frames) * 48000 * row.rateDen / row.rateNum;
        for (int c = 0; c < 8; ++c) {
            const fs::path audio = card / "CONTENTS" / "AUDIO" / (std::string(row.name) + "0" + std::to_string(c) + ".MXF");
            ASSERT_EQ(fs::exists(audio), c < row.channels) << audio;
            if (c >= row.channels) break;
            EXPECT_EQ(mediaInfoField(audio, "Audio", "SamplingRate"), "48000");
            EXPECT_EQ(mediaInfoField(audio, "Audio", "SamplingCount"), std::to_string(samples));
            const auto pcm = decodePcm(audio);
            EXPECT_EQ(int64_t(pcm.size()), samples);
            EXPECT_NEAR(toneFrequency(pcm), 250.0 * (c + 2), 4.0) << "channel " << c;
        }
    }
}

TEST(SampleCommand, FieldsAndBinaryGroupsCarryTheCameraCadence)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const fs::path card = sharedSampleCard();
    for (const auto& row : rows()) {
        SCOPED_TRACE(row.name);
        const fs::path video = card / "CONTENTS" / "VIDEO" / (std::string(row.name) + ".MXF");
        const LumaFrames luma = decodeLuma(video);
        ASSERT_EQ(int(luma.frames.size()), row.frames);
        for (size_t i = 0; i < row.fields.size(); ++i) {
            const int top = readCounter(luma.frames[i], luma.width, luma.height, 0);
            const int bottom = readCounter(luma.frames[i], luma.width, luma.height, 1);
            EXPECT_EQ(std::make_pair(top, bottom), row.fields[i]) << "frame " << i;
        }

        CMxfFile clip(video.string().c_str());
        ASSERT_EQ(clip.ReadHeaders(), 1);
        std::vector<uint8_t> frame(600000);
        for (int i = 0; i < row.frames; ++i) {
            const int got = clip.ReadFrame(frame, i);
            BGinfo bg;
            ASSERT_TRUE(bg.ReadDvBinaryGroup(frame.data(), size_t(std::max(got, 0)))) << "frame " << i;
            EXPECT_EQ(int(bg.modeLowBits), row.flags[size_t(i % 5)]) << "frame " << i;
            EXPECT_EQ(bg.cameraRate, row.cameraRate);
            // The time code pack of the first subcode sync block: clip N starts at 01:0N:00:00 and
            // counts frames (pairs of frames at 59.94p).
            const uint8_t* tc = frame.data() + 86;
            ASSERT_EQ(tc[0], 0x13);
            const int base = row.rateNum == 25 ? 25 : 30;
            const int value = (row.frames == 60 ? i / 2 : i);
            auto bcd = [](uint8_t b, uint8_t mask) { return ((b & mask) >> 4) * 10 + (b & 0x0F); };
            const int clipNumber = int(&row - rows().data()) + 1;
            EXPECT_EQ(bcd(tc[4], 0x30) * 3600 + bcd(tc[3], 0x70) * 60 + bcd(tc[2], 0x70),
                      3600 + 60 * clipNumber + value / base)
                << "frame " << i;
            EXPECT_EQ(bcd(tc[1], 0x30), value % base) << "frame " << i;
        }
        clip.Close();
    }
}

TEST(SampleCommand, RefusesAFolderThatHoldsACardAndBadUsage)
{
    const fs::path dir = scratchDir("taken");
    writeText(dir / "CONTENTS" / "VIDEO" / "KEEP.TXT", "mine");
    const std::string before = treeDigest(dir);
    const auto r = runVorn("sample " + q(dir));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    EXPECT_EQ(treeDigest(dir), before);

    // A folder that cannot be made: a file stands where it would be.
    writeText(dir / "FILE", "x");
    const std::string withFile = treeDigest(dir);
    const auto blocked = runVorn("sample " + q(dir / "FILE" / "CARD"));
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_EQ(treeDigest(dir), withFile);

    EXPECT_EQ(runVorn("sample").exitCode, 2);
    EXPECT_EQ(runVorn("sample --seconds 0 " + q(dir / "X")).exitCode, 2);
    EXPECT_FALSE(fs::exists(dir / "X"));
}

} // namespace
