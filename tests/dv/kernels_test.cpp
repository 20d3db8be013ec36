// The DV encoder kernels' own results (every variant against the reference is
// in tests/foundation/kernel_registry_test.cpp).
#include "dv/CodecTables.h"
#include "dv/DvDecoderCore.h"
#include "dv/DvEncoderCore.h"
#include "dv/EncoderTables.h"
#include "foundation/Simd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vorn;
using namespace vorn::dv;

// The reference's samples: the luma bytes and the Cb and Cr bytes of each row,
// less 128.
TEST(Kernels, SamplesPickTheComponentOfEachRow)
{
    const enc::EncoderKernels& ref = enc::encoderKernels(SimdLevel::Plain);
    uint8_t rows[8 * 32];
    for (int i = 0; i < 8 * 32; ++i)
        rows[i] = static_cast<uint8_t>(i);
    alignas(16) int16_t out[64];
    ref.samples(rows, 32, 0, out);
    EXPECT_EQ(0 - 128, out[0]);
    EXPECT_EQ(14 - 128, out[7]);
    EXPECT_EQ(32 * 7 + 14 - 128, out[63]);
    ref.samples(rows, 32, 1, out);
    EXPECT_EQ(1 - 128, out[0]);
    EXPECT_EQ(29 - 128, out[7]);
    ref.samples(rows, 32, 2, out);
    EXPECT_EQ(3 - 128, out[0]);
    EXPECT_EQ(32 * 7 + 31 - 128, out[63]);
}

// The run-0 lengths are those of the code table for every amplitude 1..255,
// and the reference sums them over positions 1..63.
TEST(Kernels, Run0CodeBitsFollowTheCodeTable)
{
    InitSdEncoderTables();
    const uint8_t* len = enc::pairLengths();
    for (int a = 1; a <= 255; ++a)
        ASSERT_EQ(len[a], enc::kRun0Lengths[std::min(a, 31)]) << "amplitude " << a;
    alignas(16) uint8_t amps[64] = {};
    amps[1] = 1;    // 3 bits
    amps[2] = 255;  // escape: 16
    amps[40] = 12;  // 9
    amps[63] = 23;  // 16
    EXPECT_EQ(3 + 16 + 9 + 16, enc::encoderKernels(SimdLevel::Plain).run0CodeBits(amps));
}

// The reference's AC magnitudes: |v| and the sign mask in scan order at
// 1..63, DC left out of all three results.
TEST(Kernels, ScanMagnitudesFollowTheZigzagAndLeaveOutTheDcTerm)
{
    const enc::EncoderKernels& ref = enc::encoderKernels(SimdLevel::Plain);
    alignas(16) int16_t v[64] = {};
    v[0] = -4000;
    v[8] = -7;  // scan position 2
    v[63] = 300; // scan position 63
    v[5] = 2;   // row 0, column 5: scan position 15
    alignas(16) uint16_t m[64];
    uint64_t neg = 0;
    EXPECT_EQ(300, ref.scanMagnitudes(v, m, &neg));
    EXPECT_EQ(uint64_t(1) << 2, neg);
    EXPECT_EQ(0, m[0]);
    EXPECT_EQ(7, m[2]);
    EXPECT_EQ(2, m[15]);
    EXPECT_EQ(300, m[63]);
    EXPECT_EQ(0, m[1]);
}

TEST(Kernels, HdQuantiserGivesAmplitudesUpTo255ForEveryStep)
{
    for (SimdLevel level : supportedSimdLevels()) {
        SCOPED_TRACE(simdLevelName(level));
        const enc::EncoderKernels& kernels = enc::encoderKernels(level);
        for (int k = 1; k <= 128; ++k)
            for (int base = 0; base <= 4096; base += 64) {
                alignas(16) uint16_t mag[64];
                alignas(32) uint8_t out[64], expected[64];
                uint64_t expectedMask = 0;
                for (int i = 0; i < 64; ++i) {
                    mag[i] = static_cast<uint16_t>(std::min(4096, base + (i * 37) % 64));
                    expected[i] = static_cast<uint8_t>(std::min(255, enc::hdAmplitude(mag[i], static_cast<uint32_t>(k))));
                    if (i > 0 && expected[i])
                        expectedMask |= uint64_t(1) << i;
                }
                ASSERT_EQ(expectedMask, kernels.quantiseHd(mag, k, out)) << "k " << k << " from " << base;
                ASSERT_EQ(0, std::memcmp(out, expected, sizeof out)) << "k " << k << " from " << base;
            }
    }
}

// The 25/50 Mb/s quantiser's reference: amplitudes limited to 255 (some
// magnitude and reciprocal pairs give more), and the mask names exactly the
// non-zero outputs 1..63.
TEST(Kernels, SdQuantiserGivesAmplitudesUpTo255)
{
    const enc::EncoderKernels& ref = enc::encoderKernels(SimdLevel::Plain);
    std::mt19937 rng(4);
    for (int t = 0; t < 200; ++t) {
        alignas(16) uint16_t mag[64], rec[64];
        alignas(16) uint8_t q[64];
        for (int i = 0; i < 64; ++i) {
            mag[i] = static_cast<uint16_t>(rng() % 2 ? 0 : t % 2 ? rng() % 4097 : rng() % 300);
            rec[i] = static_cast<uint16_t>(rng());
        }
        const uint64_t mask = ref.quantiseSd(mag, rec, q);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(q[i], std::min(255, enc::sdAmplitude(mag[i], rec[i]))) << "position " << i;
            ASSERT_EQ((mask >> i) & 1, i > 0 && q[i] != 0 ? 1u : 0u) << "position " << i;
        }
    }
}

} // namespace
