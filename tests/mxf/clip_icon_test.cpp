// The clip icon: the bitmap file of every DV-family format and of AVC-Intra
// frames in both chroma samplings (header, size, black bands, a picture with a
// bright top band and a bright left stripe upright and turned), the linear
// scaling, the exporter's WriteThumbnail and the `vorn codec icon` command.
#include "export_helpers.h"

#include "dv/CodecTables.h"
#include "dv/DvEncoder.h"
#include "foundation/Notifier.h"
#include "mxf/ClipIcon.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace vorn::mxf {
namespace {

using namespace vorn::test;

// Coded picture of a DV code: white top quarter, white left eighth below it,
// dark grey elsewhere. PictureBuffer rows are bottom-up.
dv::PictureBuffer bandPicture(dv::VideoFormat code)
{
    const dv::DvFormatInfo& info = *dv::dvFormatInfo(code);
    dv::PictureBuffer pic(info.codedWidth, info.height);
    for (int y = 0; y < info.height; ++y) {
        uint8_t* row = pic.memoryRow(info.height - 1 - y);
        for (int x = 0; x < info.codedWidth; ++x) {
            const bool bright = y < info.height / 4 || x < info.codedWidth / 8;
            row[2 * x] = bright ? 235 : 40;
            row[2 * x + 1] = 128;
        }
    }
    return pic;
}

std::vector<uint8_t> dvFrame(dv::VideoFormat code)
{
    if (!dv::isEncodableFormat(code)) // DV25_420 has no encoder: a frame of zeros (grey)
        return std::vector<uint8_t>(static_cast<size_t>(dv::dvFormatInfo(code)->bytesPerFrame), 0);
    dv::DifFrame frame;
    EXPECT_TRUE(dv::DvEncoder().encode(frame, bandPicture(code), code).ok());
    return frame.bytes;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) | (uint32_t(b[at + 3]) << 24);
}

// Header fields, size and the black bands of every icon.
void expectIconLayout(const std::vector<uint8_t>& bmp)
{
    ASSERT_EQ(bmp.size(), 14454u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(le32(bmp, 2), 14454u);
    EXPECT_EQ(le32(bmp, 6), 0u);
    EXPECT_EQ(le32(bmp, 10), 54u);
    EXPECT_EQ(le32(bmp, 14), 40u);
    EXPECT_EQ(le32(bmp, 18), 80u);
    EXPECT_EQ(le32(bmp, 22), 60u);
    EXPECT_EQ(bmp[26] | (bmp[27] << 8), 1);
    EXPECT_EQ(bmp[28] | (bmp[29] << 8), 24);
    EXPECT_EQ(le32(bmp, 30), 0u);
    EXPECT_EQ(le32(bmp, 34), 14400u);
    for (size_t i = 38; i < 54; ++i)
        EXPECT_EQ(bmp[i], 0);
    for (int row : {0, 1, 2, 3, 4, 5, 6, 52, 53, 54, 55, 56, 57, 58, 59})
        for (int i = 0; i < 240; ++i)
            ASSERT_EQ(bmp[54 + 240 * row + i], 0) << "row " << row;
    // The picture rows are not black.
    for (int row = 7; row < 52; ++row)
        ASSERT_NE(bmp[54 + 240 * row + 3 * 40 + 1], 0) << "row " << row;
}

// Green of pixel x of picture row p (0 = the lowest picture row in the file).
int green(const std::vector<uint8_t>& bmp, int x, int p) { return bmp[54 + 240 * (7 + p) + 3 * x + 1]; }

// The band picture as a viewer shows it: white band at the top, white stripe at
// the left; turned by 180 degrees: band at the bottom, stripe at the right.
void expectBandPicture(const std::vector<uint8_t>& bmp, bool turned)
{
    auto at = [&](int x, int pFromTop) {
        return turned ? green(bmp, 79 - x, pFromTop) : green(bmp, x, 44 - pFromTop);
    };
    EXPECT_GT(at(40, 3), 180) << "band at the top";
    EXPECT_GT(at(70, 6), 180);
    EXPECT_LT(at(40, 30), 80) << "dark below the band";
    EXPECT_LT(at(70, 40), 80);
    EXPECT_GT(at(3, 25), 180) << "stripe at the left";
    EXPECT_LT(at(76, 25), 80);
}

TEST(ClipIcon, EveryDvFormatUprightAndTurned)
{
    dv::InitCodecTables();
    for (dv::VideoFormat code = 1; code <= 10; ++code) {
        const auto frame = dvFrame(code);
        for (bool turn : {false, true}) {
            SCOPED_TRACE("code " + std::to_string(code) + (turn ? " turned" : ""));
            std::vector<uint8_t> bmp;
            ASSERT_TRUE(makeIconBitmap(frame.data(), frame.size(), code, turn, bmp));
            expectIconLayout(bmp);
            if (dv::isEncodableFormat(code))
                expectBandPicture(bmp, turn);
        }
    }
}

TEST(ClipIcon, AvcIntraFramesInBothSamplings)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("x264");
    struct Case {
        int code;
        int width, height;
        const char* pixFmt;
        const char* x264;
    };
    const Case cases[] = {
        {41, 1920, 1080, "yuv422p10le", "--avcintra-class 100 --output-csp i422 --output-depth 10 --fps 25"},
        {37, 960, 720, "yuv420p10le", "--avcintra-class 50 --output-csp i420 --output-depth 10 --fps 50"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        const fs::path dir = scratchDir("clip_icon_avc_" + std::to_string(c.code));
        const std::string w = std::to_string(c.width), h = std::to_string(c.height);
        const std::string y4m = (dir / "src.y4m").string(), stream = (dir / "frame.264").string();
        const std::string draw = "color=c=0x282828:s=" + w + "x" + h + ",drawbox=x=0:y=0:w=" + w +
                                 ":h=" + std::to_string(c.height / 4) + ":color=white:t=fill,drawbox=x=0:y=" +
                                 std::to_string(c.height / 4) + ":w=" + std::to_string(c.width / 8) +
                                 ":h=" + std::to_string(c.height) + ":color=white:t=fill";
        ASSERT_EQ(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i " + shellQuote(draw) + " -frames:v 1 -pix_fmt " +
                             c.pixFmt + " -strict -1 -f yuv4mpegpipe " + shellQuote(y4m))
                      .exitCode,
                  0);
        ASSERT_EQ(runCommand("x264 --quiet " + std::string(c.x264) + " -o " + shellQuote(stream) + " " + shellQuote(y4m))
                      .exitCode,
                  0);
        const auto frame = readBytes(stream);
        for (bool turn : {false, true}) {
            std::vector<uint8_t> bmp;
            ASSERT_TRUE(makeIconBitmap(frame.data(), frame.size(), c.code, turn, bmp));
            expectIconLayout(bmp);
            expectBandPicture(bmp, turn);
        }
    }
}

TEST(ClipIcon, UnknownCodesAndUndecodableFramesGiveNoIcon)
{
    std::vector<uint8_t> bmp{1, 2, 3};
    const std::vector<uint8_t> junk(1000, 0x55);
    EXPECT_FALSE(makeIconBitmap(junk.data(), junk.size(), 0, false, bmp));
    EXPECT_TRUE(bmp.empty());
    EXPECT_FALSE(makeIconBitmap(junk.data(), junk.size(), 11, false, bmp));
    EXPECT_FALSE(makeIconBitmap(nullptr, 0, 9, false, bmp));
    auto previous = setNotifyHandler([](const std::string&, const std::string&) {});
    EXPECT_FALSE(makeIconBitmap(junk.data(), junk.size(), 38, false, bmp)); // not an access unit
    setNotifyHandler(previous);
}

TEST(ClipIcon, LinearScalingInFixedPoint)
{
    // One row of 4 pixels, blue 0, 100, 200, 250 (green and red alike), to 3
    // pixels: step 4 * 65536 / 3; positions 0, 1.333, 2.667.
    const uint8_t row[12] = {0, 0, 0, 100, 100, 100, 200, 200, 200, 250, 250, 250};
    uint8_t out[9];
    scaleBgrLinear(row, 4, 1, out, 3, 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[3], 133); // 100 + (100 * 21845) >> 16
    EXPECT_EQ(out[6], 233); // 200 + (50 * 43690) >> 16
    // Two rows to four: the neighbour past the last row is the last row.
    const uint8_t column[6] = {10, 20, 30, 90, 80, 70};
    uint8_t tall[12];
    scaleBgrLinear(column, 1, 2, tall, 1, 4);
    const uint8_t expect[12] = {10, 20, 30, 50, 50, 50, 90, 80, 70, 90, 80, 70};
    EXPECT_EQ(std::memcmp(tall, expect, 12), 0);
}

TEST_F(ExportTest, WriteThumbnailMakesTheClipIcon)
{
    dv::InitCodecTables();
    const fs::path out = scratchDir("clip_icon_export");
    ClipRequest request; // code 9
    const auto frame = dvFrame(9);
    int written = -1;
    request.extras = [&](CExportMxf& e) { written = e.WriteThumbnail(frame.data(), frame.size(), 9, true).ok() ? 1 : 0; };
    auto r = exportClip(out, request);
    ASSERT_EQ(r.closed, 1) << r.message;
    EXPECT_EQ(written, 1);
    const auto bmp = readBytes(r.exporter->iconPath());
    expectIconLayout(bmp);
    expectBandPicture(bmp, true);
}

TEST(ClipIconCommand, WritesANewFileOnly)
{
    dv::InitCodecTables();
    const fs::path dir = scratchDir("clip_icon_cli");
    const fs::path frame = dir / "frame.dif", icon = dir / "icon.bmp";
    writeBytes(frame, dvFrame(4));
    CommandResult r = runVorn("codec icon --format 4 --rotate " + shellQuote(frame.string()) + " " +
                              shellQuote(icon.string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto bmp = readBytes(icon);
    expectIconLayout(bmp);
    expectBandPicture(bmp, true);
    // An existing file is not replaced.
    writeText(icon, "keep");
    r = runVorn("codec icon --format 4 " + shellQuote(frame.string()) + " " + shellQuote(icon.string()));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readText(icon), "keep");
    EXPECT_EQ(runVorn("codec icon --format 12 " + shellQuote(frame.string()) + " " +
                      shellQuote((dir / "x.bmp").string()))
                  .exitCode,
              2);
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().find(".vorn-"), std::string::npos) << e.path();
}

} // namespace
} // namespace vorn::mxf
