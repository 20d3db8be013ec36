// The number of 48 kHz audio samples that belong to a number of video frames.
#pragma once

#include <cstdint>
#include <limits>

namespace vorn::mxf {

// Samples of `frames` frames at rateNumerator/rateDenominator frames a second:
// the exact count frames x 48000 x den / num rounded to the nearest sample.
// Frame by frame this is the usual audio frame sequence: 1602, 1601, 1602,
// 1601, 1602 at 30000/1001 (8008 per five frames), 801, 801, 800, 801, 801 at
// 60000/1001, 2002 at 24000/1001, 1920 at 25. 0 when the rate is not positive;
// saturates instead of overflowing.
constexpr uint64_t audioSamplesOfFrames(uint64_t frames, uint32_t rateNumerator, uint32_t rateDenominator)
{
    if (rateNumerator == 0 || rateDenominator == 0)
        return 0;
    using Wide = unsigned __int128;
    const Wide exactTimesTwo = Wide(frames) * 48000u * rateDenominator * 2u;
    const Wide samples = (exactTimesTwo + rateNumerator) / (Wide(rateNumerator) * 2u);
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    return samples > kMax ? kMax : static_cast<uint64_t>(samples);
}

} // namespace vorn::mxf
