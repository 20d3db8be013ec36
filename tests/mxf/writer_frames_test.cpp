// What WriteFrame does to DV-family frames: system data of 1080-line frames,
// channel pairs and segment columns of 720-line frames, subcode time code of
// SD frames, and one time code advance per written frame (per picture pair at
// 50 and 59.94 pictures a second).
#include "support/TestSupport.h"
#include "dv/DvSystemData.h"
#include "mxf/MxfEssenceWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace fs = std::filesystem;
using namespace vorn::mxf;

namespace {

struct FrameWriter {
    fs::path path;
    std::fstream file;
    MxfEssenceWriter writer{MxfEssenceWriter::kVideo};
    FrameWriter(const std::string& name, int code, uint32_t frameSize, uint32_t num, uint32_t den, uint64_t frames)
        : path(vorn::test::scratchDir(name) / "v.mxf")
    {
        file.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
        MxfHeaderParams p;
        p.formatCode = code;
        p.frameSize = frameSize;
        p.frameCount = frames;
        p.rateNumerator = num;
        p.rateDenominator = den;
        p.clipName = "T";
        writer.WriteHeader(file, p);
    }
    std::vector<uint8_t> essence()
    {
        file.flush();
        auto d = vorn::test::readBytes(path);
        return std::vector<uint8_t>(d.begin() + 32768, d.end());
    }
};

size_t segmentOffset(size_t n) { return (150 * (n / 27) + 7 + 5 * (n % 27) + (n % 27) / 3) * 80; }

} // namespace

TEST(WriterFrames, HdSystemDataOfEveryChannelAndSequence)
{
    struct Case { int code; uint32_t size; int sequences; };
    for (const Case& c : {Case{1, 480000, 10}, Case{3, 576000, 12}}) {
        SCOPED_TRACE(c.code);
        FrameWriter fw("frames_hd", c.code, c.size, c.code == 1 ? 30000 : 25, c.code == 1 ? 1001 : 1, 2);
        fw.writer.SetRunningTimecode(vorn::dv::MakeTimecode(1, 2, 3, 4, false));
        std::vector<uint8_t> frame(c.size, 0);
        fw.writer.WriteFrame(frame.data(), frame.size());
        const size_t quarter = c.size / 4;
        for (int ch = 0; ch < 4; ++ch)
            for (int q = 0; q < c.sequences; ++q) {
                const uint8_t* s = &frame[ch * quarter + q * 12000];
                ASSERT_EQ(s[0], 0x1F) << ch << "/" << q;
                ASSERT_EQ(s[1], vorn::dv::DifIdByte1(c.code, ch, q)) << ch << "/" << q;
                ASSERT_EQ(s[80], 0x3F) << ch << "/" << q;   // subcode block
            }
        EXPECT_EQ(fw.essence(), frame);   // the stamped frame is what the file holds
        EXPECT_EQ(fw.writer.runningTimecode().frames(), 5);
    }
}

TEST(WriterFrames, SdSubcodeTimecodeStamped)
{
    FrameWriter fw("frames_sd", 7, 288000, 25, 1, 2);
    fw.writer.SetRunningTimecode(vorn::dv::MakeTimecode(10, 20, 30, 24, false));
    std::vector<uint8_t> frame(288000, 0x11);
    for (int q : {0, 23}) {
        frame[q * 12000 + 86] = 0x13;   // time code pack in the first subcode sync block
        for (int k = 87; k < 91; ++k) frame[q * 12000 + k] = 0;
    }
    uint8_t expect[4];
    vorn::dv::TimecodePackBytes(fw.writer.runningTimecode(), expect);
    std::vector<uint8_t> first = frame;
    fw.writer.WriteFrame(first.data(), first.size());
    for (int q : {0, 23})
        EXPECT_EQ(std::vector<uint8_t>(first.begin() + q * 12000 + 87, first.begin() + q * 12000 + 91),
                  std::vector<uint8_t>(expect, expect + 4));
    EXPECT_EQ(expect[0], 0x24);
    // 25 frames a second for this format: 24 + 1 rolls over into the next second.
    auto tc = fw.writer.runningTimecode();
    EXPECT_EQ(tc.seconds(), 31);
    EXPECT_EQ(tc.frames(), 0);
    std::vector<uint8_t> second = frame;
    fw.writer.WriteFrame(second.data(), second.size());
    EXPECT_EQ(second[87], 0x00);
    EXPECT_EQ(second[88], 0x31);
    EXPECT_EQ(fw.writer.runningTimecode().frames(), 1);
    auto ess = fw.essence();
    ASSERT_EQ(ess.size(), 2u * 288000);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), ess.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), ess.begin() + 288000));
}

TEST(WriterFrames, Hd720ChannelPairsSegmentColumnsAndPictureTimecode)
{
    const uint32_t size = 240000, half = size / 2;
    FrameWriter fw("frames_720", 2, size, 60000, 1001, 4);
    fw.writer.SetRunningTimecode(vorn::dv::MakeTimecode(0, 0, 0, 0, false));
    // Each video segment's payload carries its half and segment number; the
    // source's first half says channel 2 (FSC 0, FSP 0), so the writer's first
    // frame (channel pair 0/1) moves column g to column g + 4.
    auto makeFrame = [&]() {
        std::vector<uint8_t> f(size, 0);
        for (uint32_t h = 0; h < 2; ++h)
            for (size_t n = 0; n < 270; ++n)
                for (size_t b = 0; b < 5; ++b) {
                    uint8_t* blk = &f[h * half + segmentOffset(n) + b * 80];
                    blk[0] = 0x90;
                    blk[1] = 0x03;
                    blk[3] = uint8_t(n >> 8);
                    blk[4] = uint8_t(n);
                    blk[5] = uint8_t(h);
                    blk[6] = uint8_t(b);
                }
        return f;
    };
    auto channelBits = [&](const std::vector<uint8_t>& f, uint32_t h) {
        std::set<int> bits;
        for (uint32_t b = 0; b < half; b += 80) bits.insert((f[h * half + b + 1] >> 2) & 3);
        return bits;
    };
    std::vector<uint8_t> f1 = makeFrame();
    fw.writer.WriteFrame(f1.data(), f1.size());
    EXPECT_EQ(channelBits(f1, 0), std::set<int>{1});   // channel 0
    EXPECT_EQ(channelBits(f1, 1), std::set<int>{3});   // channel 1
    for (uint32_t h = 0; h < 2; ++h)
        for (size_t pos = 0; pos < 270; ++pos) {
            const size_t from = (pos % 5 + 1) % 5 + 5 * (pos / 5);
            for (size_t b = 0; b < 5; ++b) {
                const uint8_t* blk = &f1[h * half + segmentOffset(pos) + b * 80];
                ASSERT_EQ(blk[3] * 256 + blk[4], int(from)) << "half " << h << " position " << pos;
                ASSERT_EQ(blk[5], h);
                ASSERT_EQ(blk[6], b);
                ASSERT_EQ(blk[0], 0x90);   // block IDs describe the position and stay
                ASSERT_EQ(blk[1] & 3, 3);
            }
        }
    for (int q = 0; q < 10; ++q) {
        EXPECT_EQ(f1[q * 12000 + 1], vorn::dv::DifIdByte1(2, 0, q));
        EXPECT_EQ(f1[half + q * 12000 + 1], vorn::dv::DifIdByte1(2, 1, q));
    }
    // The first picture of a pair does not move the time code.
    EXPECT_EQ(fw.writer.runningTimecode().frames(), 0);

    // Second frame: pair 2/3, the same as the source's channel: no reordering.
    std::vector<uint8_t> f2 = makeFrame();
    fw.writer.WriteFrame(f2.data(), f2.size());
    EXPECT_EQ(channelBits(f2, 0), std::set<int>{0});   // channel 2
    EXPECT_EQ(channelBits(f2, 1), std::set<int>{2});   // channel 3
    for (size_t pos = 0; pos < 270; ++pos) {
        const uint8_t* blk = &f2[segmentOffset(pos)];
        ASSERT_EQ(blk[3] * 256 + blk[4], int(pos));
    }
    EXPECT_EQ(fw.writer.runningTimecode().frames(), 1);

    // Third frame: pair 0/1 again; a source on channel 0/1 stays in place.
    std::vector<uint8_t> f3 = makeFrame();
    f3[561] = uint8_t((f3[561] & 0xF3) | (1 << 2));
    fw.writer.WriteFrame(f3.data(), f3.size());
    for (size_t pos = 0; pos < 270; ++pos) ASSERT_EQ(f3[segmentOffset(pos) + 4], uint8_t(pos));
    EXPECT_EQ(channelBits(f3, 0), std::set<int>{1});
    EXPECT_EQ(fw.writer.runningTimecode().frames(), 1);

    // Fourth: pair 2/3 with a source on channel 0 (position 0 < 2): column g moves to g + 1.
    std::vector<uint8_t> f4 = makeFrame();
    f4[561] = uint8_t((f4[561] & 0xF3) | (1 << 2));
    fw.writer.WriteFrame(f4.data(), f4.size());
    for (size_t pos = 0; pos < 270; ++pos) {
        const size_t from = (pos % 5 + 4) % 5 + 5 * (pos / 5);
        ASSERT_EQ(f4[half + segmentOffset(pos) + 3] * 256 + f4[half + segmentOffset(pos) + 4], int(from)) << pos;
    }
    EXPECT_EQ(fw.writer.runningTimecode().frames(), 2);
    auto ess = fw.essence();
    ASSERT_EQ(ess.size(), 4u * size);
    EXPECT_TRUE(std::equal(f4.begin(), f4.end(), ess.begin() + 3 * size));
}

TEST(WriterFrames, Hd720At25PicturePairsStillAdvanceEveryFrameBelow50)
{
    // 720/50p written as 25 frames a second would be a 50-picture clip; the
    // pair rule applies only from a rounded rate of 50, so here every frame counts.
    FrameWriter fw("frames_720_25", 4, 288000, 25, 1, 2);
    fw.writer.SetRunningTimecode(vorn::dv::MakeTimecode(0, 0, 0, 0, false));
    std::vector<uint8_t> f(288000, 0);
    fw.writer.WriteFrame(f.data(), f.size());
    fw.writer.WriteFrame(f.data(), f.size());
    EXPECT_EQ(fw.writer.runningTimecode().frames(), 2);
}
