// Coefficient-domain rotation without an oracle: exactness against the
// decoder's own 180-degree turn on both channel pairs, what it refuses, the
// requantisation of over-full segments, and the failure messages.
#include "dv/CodecTables.h"
#include "foundation/WorkerPool.h"
#include "dv/DifRotation.h"
#include "dv/DvDecoder.h"
#include "dv/DvEncoder.h"
#include "foundation/Notifier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vorn::dv {
namespace {

// A 960 x 720 picture: diagonal ramps, a few sharp-edged boxes and noise of
// the given strength (0 = none; 255 = every sample random).
PictureBuffer testPicture(int noise, uint32_t seed)
{
    PictureBuffer pic(960, 720);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> n(-noise, noise);
    for (int r = 0; r < 720; ++r) {
        uint8_t* row = pic.memoryRow(r);
        for (int x = 0; x < 960; ++x) {
            int y = (x / 4 + r / 3) % 220 + 16 + ((x / 40 + r / 40) % 5 == 0 ? 40 : 0);
            row[2 * x] = static_cast<uint8_t>(std::clamp(y + n(rng), 0, 255));
            row[2 * x + 1] = static_cast<uint8_t>(std::clamp((x & 1 ? 90 + r / 8 : 160 - x / 8) + n(rng), 0, 255));
        }
    }
    return pic;
}

// The next frame of `encoder`'s stream (720-line frames alternate channel pairs).
std::vector<uint8_t> encode(DvEncoder& encoder, const PictureBuffer& pic, VideoFormat code)
{
    DifFrame frame;
    EXPECT_TRUE(encoder.encode(frame, pic, code).ok());
    return frame.bytes;
}

// A frame coded on its own: channels 0/1 for 720 lines.
std::vector<uint8_t> encode(const PictureBuffer& pic, VideoFormat code)
{
    DvEncoder encoder;
    return encode(encoder, pic, code);
}

PictureBuffer decode(const std::vector<uint8_t>& frame, VideoFormat code, bool rotate = false)
{
    PictureBuffer pic;
    EXPECT_TRUE(decodeDifFrame(frame, code, pic, {.rotate = rotate}));
    return pic;
}

double lumaPsnr(const PictureBuffer& a, const PictureBuffer& b)
{
    double se = 0;
    for (size_t i = 0; i < a.bytes.size(); i += 2) {
        const double d = double(a.bytes[i]) - b.bytes[i];
        se += d * d;
    }
    const double n = double(a.bytes.size()) / 2;
    return se == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * n / se);
}

// Sets the DCT mode bit of block 0 in every video DIF block: the decoder then
// reads each macroblock in field arrangement.
void setFieldMode(std::vector<uint8_t>& frame, const DvFormatInfo& info)
{
    for (int c = 0; c < 2; ++c)
        for (int s = 0; s < 10; ++s)
            for (int k = 0; k < kVideoBlocksPerSequence; ++k)
                frame[static_cast<size_t>(c * info.channelBytes() + s * kDifSequenceBytes +
                                          videoDifBlockIndex(k) * kDifBlockBytes + 5)] |= 0x40;
}

TEST(RotateDifFrame, EqualsTheDecodersTurnOnBothChannelPairs)
{
    InitCodecTables();
    DifRotator rotator;
    for (VideoFormat code : {2, 4}) {
        DvEncoder encoder;
        for (int f = 0; f < 2; ++f) { // the encoder alternates the pairs 0/1 and 2/3
            const auto source = encode(encoder, testPicture(12, 5u + f), code);
            ASSERT_EQ(hdChannelPair(source), f == 0 ? 0 : 2);
            auto rotated = source;
            ASSERT_TRUE(rotator.rotate(rotated, code).ok());
            ASSERT_EQ(decode(rotated, code).bytes, decode(source, code, true).bytes) << "code " << code << " frame " << f;
            ASSERT_TRUE(rotator.rotate(rotated, code).ok());
            ASSERT_EQ(decode(rotated, code).bytes, decode(source, code).bytes) << "turned twice";
        }
    }
}

TEST(RotateDifFrame, LeavesOtherFramesAlone)
{
    InitCodecTables();
    DifRotator rotator;
    struct Case {
        VideoFormat code;
        size_t size;
        bool rotate;
        bool result;
    };
    const Case cases[] = {
        {1, 480000, true, false},  {3, 576000, true, false},  {5, 120000, true, false},
        {7, 288000, true, false},  {38, 240000, true, false}, {2, 239999, true, false}, // short frame
        {4, 240000, true, false},                                                      // 720/50p is 288000
        {2, 240000, false, true},                                                      // nothing to do
    };
    std::mt19937 rng(3);
    for (const Case& c : cases) {
        std::vector<uint8_t> frame(c.size);
        for (auto& b : frame)
            b = static_cast<uint8_t>(rng());
        const auto before = frame;
        EXPECT_EQ(rotator.rotate(frame, c.code, c.rotate).ok(), c.result) << "code " << c.code;
        EXPECT_EQ(frame, before) << "code " << c.code;
    }
}

// Read in field arrangement, a frame-coded picture has its lines shuffled;
// turned back into frame arrangement its blocks carry far more detail, so most
// segments overflow and must be requantised more coarsely. The result must stay
// close to a full decode, turn and re-encode (the codes cut off instead cost
// over 10 dB at the low noise level).
TEST(RotateDifFrame, FieldMacroblocksBecomeFrameArrangedAndOverfullSegmentsFit)
{
    InitCodecTables();
    const DvFormatInfo& info = *dvFormatInfo(2);
    for (int noise : {4, 60}) {
        auto source = encode(testPicture(noise, 11), 2);
        setFieldMode(source, info);
        auto rotated = source;
        ASSERT_TRUE(DifRotator().rotate(rotated, 2).ok());
        // The output is frame arranged: no mode bit left.
        for (int s = 0; s < 10; ++s)
            for (int k = 0; k < kVideoBlocksPerSequence; ++k)
                ASSERT_EQ(rotated[static_cast<size_t>(s * kDifSequenceBytes + videoDifBlockIndex(k) * kDifBlockBytes + 5)] &
                              0x40,
                          0);
        const PictureBuffer turned = decode(source, 2, true);
        const double psnr = lumaPsnr(decode(rotated, 2), turned);
        const double reencoded = lumaPsnr(decode(encode(turned, 2), 2), turned);
        std::printf("noise %d: luma PSNR %.2f dB (decode, turn and re-encode: %.2f dB)\n", noise, psnr, reencoded);
        EXPECT_GE(psnr, reencoded - 2.0) << "noise " << noise;
    }
}

TEST(RotateDifFrame, WorkerFailureShowsTheMessageAndKeepsTheFrame)
{
    InitCodecTables();
    const auto source = encode(testPicture(8, 2), 2);
    vorn::WorkerPool& pool = vorn::defaultWorkerPool();
    const int saved = pool.workers();
    pool.setWorkers(4);
    std::vector<std::pair<std::string, std::string>> boxes;
    auto previous = setNotifyHandler([&](const std::string& t, const std::string& m) { boxes.emplace_back(t, m); });
    auto frame = source;
    DifRotator rotator;
    vorn::setPoolStartFailureForTest(2);
    EXPECT_FALSE(rotator.rotate(frame, 2).ok());
    vorn::setPoolStartFailureForTest(-1);
    setNotifyHandler(previous);
    EXPECT_EQ(frame, source);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, "Quintell");
    EXPECT_EQ(boxes[0].second, "Could not create Flip thread");
    // The next call works, and the worker count does not change the result.
    auto again = source;
    ASSERT_TRUE(rotator.rotate(again, 2).ok());
    pool.setWorkers(1);
    auto single = source;
    ASSERT_TRUE(rotator.rotate(single, 2).ok());
    EXPECT_EQ(single, again);
    pool.setWorkers(saved);
}

} // namespace
} // namespace vorn::dv
