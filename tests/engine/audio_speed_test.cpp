// The 24p <-> 25p audio speed converter: output counts, interpolation, and
// the last sample of a channel held instead of a sample never put in.
#include "engine/AudioSpeedConverter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using vorn::AudioSpeedConverter;

std::vector<uint8_t> bytesOf(const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> out;
    for (int16_t s : samples) {
        out.push_back(static_cast<uint8_t>(s & 0xFF));
        out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
    return out;
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes, size_t count)
{
    std::vector<int16_t> out;
    for (size_t i = 0; i + 1 < count; i += 2)
        out.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return out;
}

TEST(AudioSpeedConverter, OutputCountsFollowTheRatio)
{
    struct Row {
        bool to24;
        size_t in, out;   // samples
    };
    // 25p to 24p: 1001 out per 960 in; 24p to 25p: 960 out per 1001 in.
    const Row rows[] = {{true, 960 * 5, 1001 * 5}, {false, 1001 * 5, 960 * 5}, {true, 1, 2}, {false, 2, 2}};
    for (const auto& row : rows) {
        AudioSpeedConverter c;
        c.Init(row.to24);
        const std::vector<int16_t> ramp(row.in, 100);
        ASSERT_TRUE(c.Put(bytesOf(ramp).data(), 2 * row.in, 3));
        EXPECT_EQ(c.Remaining(3), 2 * row.out) << row.to24 << " " << row.in;
        EXPECT_LE(c.Available(3), c.Remaining(3));
        EXPECT_EQ(c.Remaining(2), 0u);   // channels are separate
    }
}

TEST(AudioSpeedConverter, InterpolatesAndHoldsTheLastSample)
{
    AudioSpeedConverter c;
    c.Init(false);   // step 1001 / 960: positions 0, 1.0427, 2.0854, ...
    const std::vector<int16_t> in = {0, 960, 1920, -960};
    ASSERT_TRUE(c.Put(bytesOf(in).data(), 8, 0));
    // While more input may come, only samples whose right neighbour is in.
    EXPECT_EQ(c.Available(0), 6u);
    std::vector<uint8_t> out(64, 0xEE);
    const size_t got = c.Take(out.data(), out.size(), 0);
    ASSERT_EQ(got, 8u);
    // s[i] + (s[i+1] - s[i]) * f / 960, integer division; the last position
    // (3 + 123/960) lies past the last sample, which is held.
    EXPECT_EQ(samplesOf(out, got), (std::vector<int16_t>{0, 1001, 1920 + (-2880 * 82) / 960, -960}));
    EXPECT_EQ(out[got], 0xEE);   // nothing written past what was produced
    EXPECT_EQ(c.Remaining(0), 0u);
}

TEST(AudioSpeedConverter, RefusesBadChannelsAndOverflow)
{
    AudioSpeedConverter c;
    c.Init(true);
    const std::vector<uint8_t> two(4, 0);
    EXPECT_FALSE(c.Put(two.data(), 4, -1));
    EXPECT_FALSE(c.Put(two.data(), 4, AudioSpeedConverter::kChannels));
    std::vector<uint8_t> big(static_cast<size_t>(2 * AudioSpeedConverter::kRingSamples), 0);
    EXPECT_TRUE(c.Put(big.data(), big.size(), 0));
    EXPECT_FALSE(c.Put(two.data(), 4, 0));   // the ring is full until something is taken
    std::vector<uint8_t> out(4000);
    EXPECT_EQ(c.Take(out.data(), out.size(), 0), out.size());
    EXPECT_TRUE(c.Put(two.data(), 4, 0));
}

} // namespace
