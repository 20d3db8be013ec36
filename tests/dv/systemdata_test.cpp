#include "dv/DvSystemData.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using namespace vorn::dv;

std::vector<uint8_t> bytesAt(const std::vector<uint8_t>& v, std::size_t off, std::size_t n)
{
    return std::vector<uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(off),
                                v.begin() + static_cast<std::ptrdiff_t>(off + n));
}

struct SeqCase {
    int code, channel, seq;
    uint8_t id;          // DIF block ID byte 1
    uint8_t byte3;       // header byte 3
    uint8_t byte4;       // header byte 4 (APT)
    uint8_t sub0id0;     // subcode sync block 0 ID0
    uint8_t vauxStype;   // 4th byte of the 0x60 pack
    uint8_t aaux1, aaux3;
};

// Expected values written out from the DIF layout, per format and position.
const SeqCase kSeqCases[] = {
    // DV25 NTSC (IEC), sequence 0: FR set, even sequence.
    {5, 0, 0, 0x07, 0x3F, 0xF8, 0x8F, 0xC0, 0x54, 0xC3},
    // DVCPRO25 PAL, sequence 7 (odd, second half: FR clear).
    {9, 0, 7, 0x77, 0xBF, 0xF9, 0x1F, 0xE0, 0x58, 0xE3},
    // DVCPRO25 NTSC, sequence 5: first sequence of the second half.
    {10, 0, 5, 0x57, 0x3F, 0xF9, 0x1F, 0xC0, 0x54, 0xC3},
    // DV50 NTSC channel 1 (FSC set), sequence 4.
    {8, 1, 4, 0x4F, 0x3F, 0xF9, 0x9F, 0xC4, 0x54, 0xC3},
    // DV50 PAL channel 0, sequence 5 (still first half at 12 sequences).
    {7, 0, 5, 0x57, 0xBF, 0xF9, 0x9F, 0xE4, 0x58, 0xE3},
    // DVCPRO HD channels: FSC/FSP = 0/1, 1/1, 0/0, 1/0.
    {1, 0, 9, 0x97, 0x3F, 0xF9, 0x1F, 0xD4, 0x54, 0xC3},
    {1, 1, 2, 0x2F, 0x3F, 0xF9, 0x9F, 0xD4, 0x54, 0xC3},
    {2, 2, 3, 0x33, 0x3F, 0xF9, 0x9F, 0xD8, 0x54, 0xC3},
    {4, 3, 11, 0xBB, 0xBF, 0xF9, 0x1F, 0xF8, 0x58, 0xE3},
    {3, 2, 11, 0xB3, 0xBF, 0xF9, 0x1F, 0xF4, 0x58, 0xE3},
};

TEST(SystemData, SequenceLayoutByFormatChannelAndSequence)
{
    TimecodeCounter counter;
    SetTimecode(counter, 12, 34, 56, 23, true);
    for (const SeqCase& c : kSeqCases) {
        SCOPED_TRACE(::testing::Message() << "code " << c.code << " ch " << c.channel << " seq " << c.seq);
        std::vector<uint8_t> area(static_cast<std::size_t>(c.seq + 1) * 12000, 0x55);
        ASSERT_TRUE(WriteSystemData(area, c.channel, c.seq, c.code, counter));
        // The sequences before this one are untouched.
        for (std::size_t i = 0; i < static_cast<std::size_t>(c.seq) * 12000; i += 997)
            ASSERT_EQ(area[i], 0x55);
        const std::vector<uint8_t> s = bytesAt(area, static_cast<std::size_t>(c.seq) * 12000, 12000);
        const bool odd = c.seq & 1;
        const uint8_t fr = c.sub0id0 & 0x80;

        // Header block.
        EXPECT_EQ(bytesAt(s, 0, 4), (std::vector<uint8_t>{0x1F, c.id, 0x00, c.byte3}));
        const uint8_t tf = c.byte4 == 0xF8 ? 0x78 : 0x79;
        EXPECT_EQ(bytesAt(s, 4, 4), (std::vector<uint8_t>{c.byte4, tf, tf, tf}));
        EXPECT_EQ(bytesAt(s, 8, 72), std::vector<uint8_t>(72, 0xFF));

        // Subcode blocks.
        EXPECT_EQ(bytesAt(s, 80, 3), (std::vector<uint8_t>{0x3F, c.id, 0x00}));
        EXPECT_EQ(bytesAt(s, 160, 3), (std::vector<uint8_t>{0x3F, c.id, 0x01}));
        const uint8_t tcBytes[4] = {0x40 | 0x23, 0x56, 0x34, 0x12};
        const uint8_t id1[12] = {0xE0, 0xF1, 0xF2, 0xE3, 0xF4, 0xF5, 0xE6, 0xF7, 0xF8, 0xE9, 0xFA, 0xFB};
        for (int j = 0; j < 12; ++j) {
            SCOPED_TRACE(::testing::Message() << "sync block " << j);
            const std::size_t off = j < 6 ? 83 + 8 * j : 163 + 8 * (j - 6);
            const uint8_t id0 = j == 0 ? c.sub0id0 : (j == 6 || j == 11) ? (fr | 0x1F) : (fr | 0x7F);
            EXPECT_EQ(s[off], id0);
            EXPECT_EQ(s[off + 1], id1[j]);
            EXPECT_EQ(s[off + 2], 0xFF);
            if (j == 1 || j == 4 || j == 7 || j == 10) {
                EXPECT_EQ(bytesAt(s, off + 3, 5), (std::vector<uint8_t>{0x14, 0x55, 0x55, 0x55, 0x55}));
            } else {
                EXPECT_EQ(bytesAt(s, off + 3, 5),
                          (std::vector<uint8_t>{0x13, tcBytes[0], tcBytes[1], tcBytes[2], tcBytes[3]}));
            }
        }
        EXPECT_EQ(bytesAt(s, 131, 29), std::vector<uint8_t>(29, 0xFF));
        EXPECT_EQ(bytesAt(s, 211, 29), std::vector<uint8_t>(29, 0xFF));

        // VAUX blocks: the five packs sit in block 0 (odd) or block 2 from pack 9 (even).
        std::vector<uint8_t> expectVaux(240, 0xFF);
        for (int b = 0; b < 3; ++b) {
            expectVaux[80 * b] = 0x5F;
            expectVaux[80 * b + 1] = c.id;
            expectVaux[80 * b + 2] = static_cast<uint8_t>(b);
        }
        const std::size_t p0 = odd ? 3 : 160 + 3 + 45;
        const std::vector<uint8_t> packs = {
            0x60, 0xFF, 0xFF, c.vauxStype, 0x7F,
            0x61, 0x3F, static_cast<uint8_t>(odd ? 0xCA : 0xC8), 0xFC, 0xFF,
            0x62, 0xFF, 0x1F, 0xFF, 0xFF,
            0x63, tcBytes[0], tcBytes[1], tcBytes[2], tcBytes[3],
            0x64, 0x55, 0x55, 0x55, 0x55};
        std::copy(packs.begin(), packs.end(), expectVaux.begin() + static_cast<std::ptrdiff_t>(p0));
        EXPECT_EQ(bytesAt(s, 240, 240), expectVaux);

        // Audio blocks.
        for (int i = 0; i < 9; ++i) {
            SCOPED_TRACE(::testing::Message() << "audio block " << i);
            const std::size_t off = 480 + 1280 * static_cast<std::size_t>(i);
            EXPECT_EQ(bytesAt(s, off, 3), (std::vector<uint8_t>{0x7F, c.id, static_cast<uint8_t>(i)}));
            std::vector<uint8_t> pack(5, 0xFF);
            if (i == (odd ? 0 : 3)) pack = {0x50, c.aaux1, 0x10, c.aaux3, 0xC0};
            if (i == (odd ? 1 : 4)) pack = {0x51, 0x3C, 0xCF, 0xF8, 0xFF};
            EXPECT_EQ(bytesAt(s, off + 3, 5), pack);
            EXPECT_EQ(bytesAt(s, off + 8, 72), std::vector<uint8_t>(72, 0x00));
            // Video blocks between audio blocks are untouched.
            EXPECT_EQ(s[off + 80], 0x55);
        }
    }
}

TEST(SystemData, RejectsBadArgumentsWithoutWriting)
{
    struct Bad { int code, channel, seq; std::size_t size; };
    const Bad cases[] = {
        {0, 0, 0, 12000}, {11, 0, 0, 12000}, {5, 1, 0, 12000}, {8, 2, 0, 12000},
        {1, 4, 0, 12000}, {10, 0, 10, 132000}, {9, 0, -1, 12000}, {9, 0, 3, 47999},
    };
    for (const Bad& b : cases) {
        std::vector<uint8_t> area(b.size, 0x55);
        EXPECT_FALSE(WriteSystemData(area, b.channel, b.seq, b.code, TimecodeCounter{})) << b.code << "/" << b.channel << "/" << b.seq;
        EXPECT_EQ(area, std::vector<uint8_t>(b.size, 0x55));
    }
}

TEST(SystemData, FrameSizes)
{
    const std::size_t expect[11] = {0, 480000, 240000, 576000, 288000, 120000, 144000, 288000, 240000, 144000, 120000};
    for (int code = 0; code <= 10; ++code)
        EXPECT_EQ(DifFrameBytes(code), expect[code]) << code;
    EXPECT_EQ(DifFrameBytes(32), 0u);
}

struct CountCase {
    int code, hint, rate;
};

TEST(Timecode, CountingRateByFormatAndHint)
{
    TimecodeCounter counter;
    const CountCase cases[] = {
        {1, 24, 24}, {2, 24, 24}, {5, 24, 24}, {8, 24, 24},
        {1, 30, 30}, {2, 60, 30}, {5, 30, 30}, {8, 25, 30},
        {3, 24, 25}, {4, 30, 25}, {7, 24, 25}, {9, 60, 25},
        {10, 24, 30}, {10, 30, 30},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "code " << c.code << " hint " << c.hint);
        EXPECT_EQ(TimecodeCountingRate(c.code, c.hint), c.rate);
        // The rollover to the next second happens at frame rate - 1.
        SetTimecode(counter, 1, 2, 3, c.rate - 2, false);
        AdvanceTimecode(counter, c.code, c.hint);
        EXPECT_EQ(counter.frames(), c.rate - 1);
        EXPECT_EQ(counter.seconds(), 3);
        AdvanceTimecode(counter, c.code, c.hint);
        EXPECT_EQ(counter.frames(), 0);
        EXPECT_EQ(counter.seconds(), 4);
    }
}

TEST(Timecode, OneDayOfCountingWrapsToMidnight)
{
    TimecodeCounter counter;
    for (int rate : {24, 25, 30}) {
        const int code = rate == 25 ? 9 : rate == 24 ? 5 : 10;
        SetTimecode(counter, 0, 0, 0, 0, false);
        const long perDay = 24L * 3600 * rate;
        for (long i = 0; i < perDay - 1; ++i)
            AdvanceTimecode(counter, code, 24);
        const TimecodeCounter last = counter;
        EXPECT_EQ(last.hours(), 23);
        EXPECT_EQ(last.minutes(), 59);
        EXPECT_EQ(last.seconds(), 59);
        EXPECT_EQ(last.frames(), rate - 1);
        AdvanceTimecode(counter, code, 24);
        EXPECT_EQ(counter, TimecodeCounter{});
    }
}

TEST(Timecode, DropFrameSkipsTwoFramesExceptEveryTenthMinute)
{
    TimecodeCounter counter;
    SetTimecode(counter, 0, 0, 59, 29, true);
    AdvanceTimecode(counter, 10, 30);
    TimecodeCounter tc = counter;
    EXPECT_EQ(tc.minutes(), 1);
    EXPECT_EQ(tc.seconds(), 0);
    EXPECT_EQ(tc.frames(), 2);
    EXPECT_TRUE(tc.dropFrame);

    SetTimecode(counter, 0, 9, 59, 29, true);
    AdvanceTimecode(counter, 10, 30);
    tc = counter;
    EXPECT_EQ(tc.minutes(), 10);
    EXPECT_EQ(tc.frames(), 0);

    // 24 frame counting never drops.
    SetTimecode(counter, 0, 0, 59, 23, true);
    AdvanceTimecode(counter, 5, 24);
    EXPECT_EQ(counter.frames(), 0);
    // A drop-frame hour holds 107892 frames.
    SetTimecode(counter, 0, 0, 0, 0, true);
    for (int i = 0; i < 107892; ++i)
        AdvanceTimecode(counter, 10, 30);
    tc = counter;
    EXPECT_EQ(tc.hours(), 1);
    EXPECT_EQ(tc.minutes(), 0);
    EXPECT_EQ(tc.seconds(), 0);
    EXPECT_EQ(tc.frames(), 0);
}

TEST(Timecode, SetReducesOutOfRangeValues)
{
    TimecodeCounter counter;
    SetTimecode(counter, 25, 61, -1, 120, false);
    const TimecodeCounter tc = counter;
    EXPECT_EQ(tc.hours(), 1);
    EXPECT_EQ(tc.minutes(), 1);
    EXPECT_EQ(tc.seconds(), 59);
    EXPECT_EQ(tc.frames(), 99);
    uint8_t b[4];
    TimecodePackBytes(tc, b);
    EXPECT_EQ(b[0], 0x99 & 0x3F);   // frame tens limited to two bits
}

TEST(Timecode, StampRewritesOnlyTimecodePacksKeepingFlagBits)
{
    TimecodeCounter counter;
    // A DVCPRO HD 720p frame (two channel areas of 10 sequences).
    SetTimecode(counter, 0, 0, 0, 0, false);
    std::vector<uint8_t> frame(DifFrameBytes(2), 0x00);
    for (int area = 0; area < 2; ++area)
        for (int q = 0; q < 10; ++q)
            ASSERT_TRUE(WriteSystemData(std::span<uint8_t>(frame).subspan(static_cast<std::size_t>(area) * 120000),
                                        area, q, 2, counter));
    // Set the bits above the digits in every time code pack.
    for (std::size_t q = 0; q < 20; ++q)
        for (int j = 0; j < 12; ++j) {
            uint8_t* pk = &frame[q * 12000 + (j < 6 ? 83 + 8 * j : 163 + 8 * (j - 6)) + 3];
            if (pk[0] != 0x13) continue;
            pk[1] |= 0x80; pk[2] |= 0x80; pk[3] |= 0x80; pk[4] |= 0xC0;
        }
    const std::vector<uint8_t> before = frame;
    SetTimecode(counter, 23, 59, 58, 17, false);
    StampTimecode(2, true, frame, counter);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < frame.size(); ++i)
        if (frame[i] != before[i]) ++changed;
    // 20 sequences x 8 packs, each with all four data bytes changed.
    EXPECT_EQ(changed, 20u * 8 * 4);
    for (std::size_t q = 0; q < 20; ++q) {
        const uint8_t* pk = &frame[q * 12000 + 163 + 8 * 5 + 3];   // sync block 11
        EXPECT_EQ(pk[0], 0x13);
        EXPECT_EQ(pk[1], 0x80 | 0x40 | 0x17);
        EXPECT_EQ(pk[2], 0x80 | 0x58);
        EXPECT_EQ(pk[3], 0x80 | 0x59);
        EXPECT_EQ(pk[4], 0xC0 | 0x23);
    }
    // A short buffer is stamped only as far as it reaches.
    std::vector<uint8_t> shortFrame(before.begin(), before.begin() + 12000 + 100);
    StampTimecode(2, false, shortFrame, counter);
    EXPECT_EQ(shortFrame[83 + 4], 0x80 | 0x17);
    EXPECT_EQ(shortFrame[12000 + 83 + 4], before[12000 + 83 + 4]);
}

} // namespace

TEST(SystemData, ReadTimecodeGivesBackWhatWasWritten)
{
    // What WriteSystemData and StampTimecode write, ReadTimecode reads back;
    // a frame without a time code pack or with a digit out of range has none.
    struct Case { int code; int h, m, s, f; bool drop; };
    const Case cases[] = {{5, 23, 59, 59, 29, true}, {9, 0, 0, 0, 0, false}, {1, 12, 34, 56, 23, true}, {4, 1, 2, 3, 24, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const TimecodeCounter written = MakeTimecode(c.h, c.m, c.s, c.f, c.drop);
        std::vector<uint8_t> frame(DifFrameBytes(c.code), 0);
        ASSERT_TRUE(WriteSystemData(frame, 0, 0, c.code, MakeTimecode(0, 0, 0, 0, false)));
        StampTimecode(c.code, c.drop, frame, written);
        TimecodeCounter got;
        ASSERT_TRUE(ReadTimecode(frame, got));
        EXPECT_EQ(got, written);
        uint8_t* pack = nullptr;
        for (int k = 0; k < 6 && !pack; ++k)
            if (frame[86 + 8 * k] == 0x13) pack = &frame[86 + 8 * k];
        ASSERT_NE(pack, nullptr);
        pack[2] = 0x5A;   // seconds units digit 10
        EXPECT_FALSE(ReadTimecode(frame, got));
    }
    std::vector<uint8_t> none(DifFrameBytes(9), 0xFF);
    TimecodeCounter got;
    EXPECT_FALSE(ReadTimecode(none, got));
    EXPECT_FALSE(ReadTimecode(std::span<const uint8_t>(), got));
}
