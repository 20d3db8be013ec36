// The clip reader's header scan, frame addressing and timecode on files made by
// the P2 test writer.
#include "foundation/Log.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <cmath>
#include <cstring>
#include <optional>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

fs::path writeVideo(const fs::path& dir, const P2Clip& clip)
{
    auto path = dir / (clip.name + ".MXF");
    writeBytes(path, p2VideoFile(clip));
    return path;
}

struct FormatCase {
    int32_t code;
    int32_t lines;
    int32_t displayWidth;  // 0: the stored width
    float pixelAspect;
};

TEST(ReaderScan, EveryFormatCodeFromItsCodingLabel)
{
    const int openBefore = vorn::mxfio::openCount();
    const FormatCase cases[] = {
        {1, 1080, 1280, 1.5f}, {2, 720, 960, 1.3333334f}, {3, 1080, 1440, 1.3333334f}, {4, 720, 960, 1.3333334f},
        {5, 480, 0, 1.2121f}, {6, 576, 0, 1.4568f}, {7, 576, 0, 1.4568f}, {8, 480, 0, 1.2121f},
        {9, 576, 0, 1.4568f}, {10, 480, 0, 1.2121f},
        {32, 1080, 0, 1.3333334f}, {33, 1080, 0, 1.3333334f}, {34, 1080, 0, 1.3333334f}, {35, 1080, 0, 1.3333334f},
        {36, 720, 0, 1.3333334f}, {37, 720, 0, 1.3333334f},
        {38, 1080, 0, 1.0f}, {39, 1080, 0, 1.0f}, {40, 1080, 0, 1.0f}, {41, 1080, 0, 1.0f},
        {42, 720, 0, 1.0f}, {43, 720, 0, 1.0f},
    };
    const auto dir = scratchDir("formats");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("format ").append(std::to_string(c.code)));
        P2Clip clip = p2Clip(c.code, 3, std::string("C").append(std::to_string(c.code)));
        clip.frameSize = 3000;  // small frames keep the files small
        clip.wide = false;
        CMxfFile f(writeVideo(dir, clip).c_str());
        ASSERT_EQ(f.ReadHeaders(), 1);
        EXPECT_EQ(f.VideoFormat(), c.code);
        EXPECT_EQ(f.Height(), c.lines);
        EXPECT_EQ(f.DisplayWidth(), c.displayWidth ? c.displayWidth : f.Width());
        EXPECT_FLOAT_EQ(f.PixelAspect(), c.pixelAspect);
        EXPECT_EQ(f.FrameCount(), 3);
        EXPECT_NEAR(f.EditRate(), static_cast<double>(clip.rateNum) / clip.rateDen, 1e-3);
        EXPECT_FLOAT_EQ(f.AspectRatio(), 4.0f / 3.0f);
        EXPECT_EQ(f.FrameSize(), firstFrameSize(clip));
        if (c.code & 32) {
            EXPECT_EQ(f.LaterFrameSize(), laterFrameSize(clip));
        }
        f.Close();
    }
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
}

TEST(ReaderScan, LabelsOutsideTheTable)
{
    struct Case {
        uint8_t b13, b14, b15;
        int32_t code;
        bool keep;
        float aspect;
    } cases[] = {
        {0x01, 0x03, 0x00, 0, true, 1.0f},        // IEC DV, unknown system: code stays
        {0x02, 0x09, 0x00, 0, true, 1.0f},        // DV-based, unknown system: code stays
        {0x32, 0x21, 0x07, 0, false, 1.3333334f}, // AVC-Intra 50, unknown rate
        {0x32, 0x31, 0x05, 0, false, 1.0f},       // AVC-Intra 100, unknown rate
        {0x03, 0x01, 0x01, 0, false, 1.0f},
        {0x32, 0x41, 0x01, 0, false, 1.0f},
    };
    for (const auto& c : cases) {
        const MxfLabelFormat f = mxfFormatFromLabel(c.b13, c.b14, c.b15);
        EXPECT_EQ(f.code, c.code);
        EXPECT_EQ(f.keepCode, c.keep);
        EXPECT_FLOAT_EQ(f.pixelAspect, c.aspect);
    }

    // A file whose label is not recognised reads as code 0 with 0 lines.
    const auto dir = scratchDir("unknown");
    P2Clip clip = p2Clip(0, 2);
    clip.frameSize = 2000;
    CMxfFile f(writeVideo(dir, clip).c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    EXPECT_EQ(f.VideoFormat(), 0);
    EXPECT_EQ(f.Height(), 0);
    f.Close();
}

TEST(ReaderScan, TimecodeSplit)
{
    struct Case {
        int32_t base;
        int64_t start;
        bool drop;
        int h, m, s, fr;
    } cases[] = {
        {30, 107892, true, 1, 0, 0, 0},
        {30, 107892, false, 0, 59, 56, 12},
        {25, 90000 + 25 * 61 + 7, false, 1, 1, 1, 7},
        {24, 24 * 3600 * 25 + 3, false, 1, 0, 0, 3},  // hours wrap at 24
        {60, 107892, false, 0, 0, 0, 0},               // no split outside 24..30
        {50, 107892, false, 0, 0, 0, 0},
    };
    const auto dir = scratchDir("tc");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.base) + "/" + std::to_string(c.start));
        P2Clip clip = p2Clip(9, 1);
        clip.frameSize = 2000;
        clip.tcBase = c.base;
        clip.startTimecode = c.start;
        clip.dropFrame = c.drop;
        CMxfFile f(writeVideo(dir, clip).c_str());
        ASSERT_EQ(f.ReadHeaders(), 1);
        EXPECT_EQ(f.TcBase(), c.base);
        EXPECT_EQ(f.DropFrame(), c.drop ? 1 : 0);
        EXPECT_EQ(f.StartTimecode(), static_cast<int32_t>(c.start));
        EXPECT_EQ(f.TcHours(), c.h);
        EXPECT_EQ(f.TcMinutes(), c.m);
        EXPECT_EQ(f.TcSeconds(), c.s);
        EXPECT_EQ(f.TcFrames(), c.fr);
        f.Close();
    }
}

TEST(ReaderScan, DropFrameStartIsSplitIntoItsLabel)
{
    // A drop-frame start count is split into the label it stands for, the one
    // the clip XML and the subcode carry: labels 0 and 1 (0 to 3 in a base of
    // 60) are missing at the start of every minute not divisible by ten.
    struct Case {
        int32_t base;
        bool drop;
        int64_t start;
        int h, m, s, fr;
    } cases[] = {
        {30, true, 18010, 0, 10, 0, 28},          // 10 minutes drop 18 labels
        {30, true, 1799, 0, 0, 59, 29},           // the last label before the first skip
        {30, true, 1800, 0, 1, 0, 2},             // the first label of minute 1
        {30, true, 16184, 0, 9, 0, 2},            // 9 * 1800 - 9 * 2 + 2
        {30, true, 2589407, 23, 59, 59, 29},      // the last frame of the day
        {30, true, 2589408 + 5, 0, 0, 0, 5},      // and the day wraps
        {60, true, 36020, 0, 10, 0, 56},          // 10 * 3600 - 9 * 4 + 56
        {60, true, 3599, 0, 0, 59, 59},
        {60, true, 3600, 0, 1, 0, 4},
        {60, true, 32368, 0, 9, 0, 4},            // 9 * 3600 - 9 * 4 + 4
        {30, false, 18010, 0, 10, 0, 10},
        {30, false, 16184, 0, 8, 59, 14},
        // No labels are dropped when counting in 25: the flag changes nothing.
        {25, true, 90007, 1, 0, 0, 7},
    };
    const auto dir = scratchDir("tcdrop");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + " in " + std::to_string(c.base) + (c.drop ? " drop" : ""));
        P2Clip clip = p2Clip(9, 1);
        clip.frameSize = 2000;
        clip.tcBase = c.base;
        clip.startTimecode = c.start;
        clip.dropFrame = c.drop;
        CMxfFile f(writeVideo(dir, clip).c_str());
        ASSERT_EQ(f.ReadHeaders(), 1);
        EXPECT_EQ(f.StartTimecode(), static_cast<int32_t>(c.start));
        EXPECT_EQ(f.TcHours(), c.h);
        EXPECT_EQ(f.TcMinutes(), c.m);
        EXPECT_EQ(f.TcSeconds(), c.s);
        EXPECT_EQ(f.TcFrames(), c.fr);
        f.Close();
    }
}

TEST(ReaderScan, PackageIdentifierAndParameters)
{
    const auto dir = scratchDir("umid");
    P2Clip clip = p2Clip(2, 4);
    clip.frameSize = 2000;
    for (size_t i = 0; i < clip.umid.size(); ++i)
        clip.umid[i] = static_cast<uint8_t>(i * 7 + 1);
    CMxfFile f(writeVideo(dir, clip).c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    EXPECT_EQ(0, std::memcmp(f.PackageId(), clip.umid.data(), 32));
    EXPECT_EQ(f.Width(), 1280);
    EXPECT_FLOAT_EQ(f.AspectRatio(), 16.0f / 9.0f);
    EXPECT_TRUE(f.IsOpen());
    f.Close();
    EXPECT_FALSE(f.IsOpen());
}

TEST(ReaderFrames, DvFrameSizeRoundsDownAndFramesAreAddressedByNumber)
{
    const auto dir = scratchDir("dv");
    P2Clip clip = p2Clip(9, 300);
    clip.frameSize = 2000;
    clip.essenceExtraBytes = 500;  // 300 frames of 2000 bytes plus 500 bytes
    CMxfFile f(writeVideo(dir, clip).c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    EXPECT_EQ(f.FrameSize(), 2000);

    std::vector<uint8_t> buffer(4000);
    for (int64_t n : {0, 1, 150, 299}) {
        ASSERT_EQ(f.ReadFrame(buffer, n), 2000) << n;
        EXPECT_EQ(frameMarker(buffer.data(), 2000), n);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 2000), p2Frame(clip, n)) << n;
    }
    EXPECT_EQ(f.ReadFrame(buffer, 300), 0);
    EXPECT_EQ(f.ReadFrame(buffer, -1), 0);
    EXPECT_EQ(f.ReadFrame(buffer, INT64_MAX), 0);
    f.Close();
    EXPECT_EQ(f.ReadFrame(buffer, 0), 0);
}

TEST(ReaderFrames, AvcIntraFirstFrameThenLaterFrames)
{
    const auto dir = scratchDir("avc");
    P2Clip clip = p2Clip(38, 5);
    setBinaryGroup(clip, 24, 8);
    CMxfFile f(writeVideo(dir, clip).c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    ASSERT_EQ(f.FrameSize(), 4096 + 512);
    ASSERT_EQ(f.LaterFrameSize(), 4096);

    std::vector<uint8_t> buffer(8192);
    ASSERT_EQ(f.ReadFrame(buffer, 0), 4608);
    EXPECT_EQ(frameMarker(buffer.data(), 4608), 0);
    EXPECT_EQ(buffer[512 + 66], 0x64);  // the record behind the 512 header bytes
    for (int64_t n = 1; n < 5; ++n) {
        ASSERT_EQ(f.ReadFrame(buffer, n), 4096) << n;
        EXPECT_EQ(frameMarker(buffer.data(), 4096), n);
    }
    EXPECT_EQ(f.ReadFrame(buffer, 5), 0);
    f.Close();
}

TEST(ReaderFrames, AvcIntraWithOneEditUnitByteCountReadsEveryFrame)
{
    // Another writer's index may carry one byte count for all frames.
    const auto dir = scratchDir("avc1");
    P2Clip clip = p2Clip(36, 4);
    clip.avcTwoIndexSegments = false;
    clip.avcHeaderBytes = false;
    clip.frameSize = 3000;
    const auto path = writeVideo(dir, clip);

    CMxfFile f(path.c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    EXPECT_EQ(f.FrameSize(), 3000);
    EXPECT_EQ(f.LaterFrameSize(), 3000);
    std::vector<uint8_t> buffer(3000);
    for (int64_t n = 0; n < 4; ++n) {
        ASSERT_EQ(f.ReadFrame(buffer, n), 3000) << n;
        EXPECT_EQ(frameMarker(buffer.data(), 3000), n);
    }
    EXPECT_EQ(f.ReadFrame(buffer, 4), 0);
    f.Close();
}

TEST(ReaderFrames, FrameZeroIsReadEvenWhenTheEssenceIsShorter)
{
    const auto dir = scratchDir("short");
    P2Clip clip = p2Clip(32, 1);
    auto bytes = p2VideoFile(clip);
    const size_t at = findKey(bytes, kFixtureAvcElementKey);
    ASSERT_NE(at, std::string::npos);
    // Essence length 100, smaller than the first frame of 4608 bytes.
    for (int i = 1; i < 8; ++i)
        bytes[at + 16 + i] = 0;
    bytes[at + 16 + 7] = 100;
    const auto path = dir / "SHORT.MXF";
    writeBytes(path, bytes);

    CMxfFile f(path.c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    std::vector<uint8_t> buffer(8192);
    EXPECT_EQ(f.ReadFrame(buffer, 0), 4608);
    EXPECT_EQ(f.ReadFrame(buffer, 1), 0);
    f.Close();
}

TEST(ReaderFrames, FrameLargerThanTheBufferIsRefusedAndLogged)
{
    const auto dir = scratchDir("cap");
    const auto logFile = dir / "log.txt";
    vorn::LogFile log(logFile.string());
    std::optional<vorn::LogScope> installed(std::in_place, log);

    P2Clip clip = p2Clip(5, 2);
    clip.frameSize = 2000;
    CMxfFile f(writeVideo(dir, clip).c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    std::vector<uint8_t> guard(2100, 0xA5);
    EXPECT_EQ(f.ReadFrame(guard.data(), 1999, 0), 0);
    for (uint8_t b : guard)
        ASSERT_EQ(b, 0xA5);  // nothing written
    EXPECT_EQ(f.ReadFrame(guard.data(), 2000, 1), 2000);
    f.Close();

    installed.reset();
    const std::string text = readText(logFile);
    EXPECT_NE(text.find("CMxfFile::ReadFrame"), std::string::npos) << text;
}

} // namespace
