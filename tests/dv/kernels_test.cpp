// Every SIMD variant of the codec's kernels against the plain reference, on
// random blocks, for every instruction-set level this processor runs: a table
// of kernels x random inputs. The results must be identical, byte for byte.
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

constexpr int kBlocks = 3000;

// Random dequantised coefficients as the decoder produces them: a DC term and
// a few to all AC terms at random scan positions, small or large amplitudes,
// row and column masks of the rows and columns that hold a coefficient
// (sometimes supersets). The transforms take the block stored by column.
struct CoefBlock {
    alignas(32) float coef[64]; // column * 8 + row
    unsigned rowMask;
    unsigned colMask;
};
CoefBlock randomCoefficients(std::mt19937& rng, bool dct248)
{
    CoefBlock b{};
    const uint8_t* zz = dct248 ? kZigzag248 : kZigzag88;
    b.coef[0] = static_cast<float>(static_cast<int>(rng() % 1024) - 512) * 4.0f;
    b.rowMask = 1;
    b.colMask = 1;
    if (rng() % 8 == 0) {
        // No DC term: the masks may then name only odd rows, or none.
        b.coef[0] = 0.0f;
        b.rowMask = 0;
        b.colMask = 0;
    }
    // Kind 4 keeps to the first scan positions, as most blocks of real
    // pictures do, so that only the upper rows are used.
    const int kind = static_cast<int>(rng() % 5);
    const int count = kind == 0   ? 0
                      : kind == 1 ? 1 + static_cast<int>(rng() % 4)
                      : kind == 2 ? 20
                      : kind == 3 ? 63
                                  : 3 + static_cast<int>(rng() % 10);
    const int span = kind == 4 ? 6 + static_cast<int>(rng() % 20) : 63;
    const float scales[] = {0.25f, 1.0f, 1.37f, 3.9f, 16.0f};
    for (int i = 0; i < count; ++i) {
        const int pos = 1 + static_cast<int>(rng() % static_cast<unsigned>(span));
        const int amp = static_cast<int>(rng() % (kind == 3 ? 511 : 61)) - (kind == 3 ? 255 : 30);
        const int idx = zz[pos];
        b.coef[(idx & 7) * 8 + (idx >> 3)] = static_cast<float>(amp) * scales[rng() % 5];
        b.rowMask |= 1u << (idx >> 3);
        b.colMask |= 1u << (idx & 7);
    }
    if (rng() % 8 == 0)
        b.rowMask |= static_cast<unsigned>(rng()) & 0xff; // rows of zeros marked as used
    if (rng() % 8 == 0)
        b.colMask |= static_cast<unsigned>(rng()) & 0xff; // columns of zeros marked as used
    return b;
}

TEST(Kernels, DecoderVariantsMatchThePlainReference)
{
    InitCodecTables();
    detail::initDecoderTables();
    const detail::DecoderKernels& ref = detail::decoderKernels(SimdLevel::Plain);
    for (SimdLevel level : supportedSimdLevels()) {
        SCOPED_TRACE(simdLevelName(level));
        const detail::DecoderKernels& k = detail::decoderKernels(level);
        std::mt19937 rng(11);
        for (bool dct248 : {false, true}) {
            auto fn = dct248 ? k.idct248 : k.idct88;
            auto fnRef = dct248 ? ref.idct248 : ref.idct88;
            for (int t = 0; t < kBlocks; ++t) {
                CoefBlock a = randomCoefficients(rng, dct248), b = a;
                uint8_t out[64], outRef[64];
                fn(a.coef, a.rowMask, a.colMask, out);
                fnRef(b.coef, b.rowMask, b.colMask, outRef);
                ASSERT_EQ(0, std::memcmp(out, outRef, 64)) << (dct248 ? "2-4-8" : "8-8") << " block " << t;
                for (int i = 0; i < 64; ++i)
                    ASSERT_EQ(a.coef[i], 0.0f) << "coefficients left cleared";
            }
        }
        // Row writers: random samples, a guard byte after the written span.
        for (int t = 0; t < kBlocks; ++t) {
            uint8_t src[6][8];
            for (auto& row : src)
                for (auto& v : row)
                    v = static_cast<uint8_t>(rng());
            std::array<uint8_t, 65> d{}, dRef{};
            d.fill(0xA5);
            dRef.fill(0xA5);
            k.row422(d.data(), src[0], src[1], src[4], src[5]);
            ref.row422(dRef.data(), src[0], src[1], src[4], src[5]);
            ASSERT_EQ(d, dRef) << "4:2:2 row " << t;
            k.row411(d.data(), src[0], src[1], src[2], src[3], src[4], src[5]);
            ref.row411(dRef.data(), src[0], src[1], src[2], src[3], src[4], src[5]);
            ASSERT_EQ(d, dRef) << "4:1:1 row " << t;
        }
        // Macroblock writers: every layout, rows top-down and bottom-up, into
        // a picture with a guard column after the macroblock.
        for (int t = 0; t < 200; ++t) {
            alignas(16) uint8_t px[8][64];
            for (auto& b : px)
                for (auto& v : b)
                    v = static_cast<uint8_t>(rng());
            constexpr int kPitch = 80, kRows = 16;
            const bool up = t % 2 != 0;
            for (int layout : {-1, detail::kMb422Sd, detail::kMb422HdFrame, detail::kMb422HdField}) {
                std::vector<uint8_t> pic(kPitch * kRows, 0xA5), picRef(kPitch * kRows, 0xA5);
                const int rows = layout == detail::kMb422HdFrame || layout == detail::kMb422HdField ? 16 : 8;
                const ptrdiff_t step = up ? -kPitch : kPitch;
                const size_t first = up ? static_cast<size_t>(kPitch * (rows - 1)) : 0;
                if (layout < 0) {
                    k.mb411(pic.data() + first, step, px);
                    ref.mb411(picRef.data() + first, step, px);
                } else {
                    k.mb422(pic.data() + first, step, px, layout);
                    ref.mb422(picRef.data() + first, step, px, layout);
                }
                ASSERT_EQ(pic, picRef) << "macroblock layout " << layout << " block " << t;
            }
        }
    }
}

TEST(Kernels, EncoderVariantsMatchThePlainReference)
{
    const enc::EncoderKernels& ref = enc::encoderKernels(SimdLevel::Plain);
    for (SimdLevel level : supportedSimdLevels()) {
        SCOPED_TRACE(simdLevelName(level));
        const enc::EncoderKernels& k = enc::encoderKernels(level);
        std::mt19937 rng(5);
        for (int t = 0; t < kBlocks; ++t) {
            // Pixels: noise, flat, hard edges, extremes.
            alignas(16) int16_t px[64];
            const int kind = t % 4;
            for (int i = 0; i < 64; ++i)
                px[i] = static_cast<int16_t>(kind == 0   ? static_cast<int>(rng() % 256) - 128
                                             : kind == 1 ? (t % 255) - 128
                                             : kind == 2 ? ((i % 8) < 4 ? 127 : -128)
                                                         : ((i + t) % 2 ? 127 : -128));
            // Samples from packed rows (bottom-up, as pictures are stored):
            // luma and both chroma components.
            alignas(16) uint8_t packed[8 * 40];
            for (auto& b : packed)
                b = static_cast<uint8_t>(rng());
            for (int component = 0; component < 3; ++component) {
                alignas(16) int16_t s[64], sRef[64];
                k.samples(packed + 7 * 40 + 8, -40, component, s);
                ref.samples(packed + 7 * 40 + 8, -40, component, sRef);
                ASSERT_EQ(0, std::memcmp(s, sRef, sizeof s)) << "samples component " << component << " block " << t;
            }

            alignas(16) int16_t c[64], cRef[64];
            k.forwardDct(px, c);
            ref.forwardDct(px, cRef);
            ASSERT_EQ(0, std::memcmp(c, cRef, sizeof c)) << "forward DCT block " << t;
            // The pair form: this block and its mirror image.
            alignas(16) int16_t px2[64], c0[64], c1[64], c2Ref[64];
            for (int i = 0; i < 64; ++i)
                px2[i] = px[63 - i];
            ref.forwardDct(px2, c2Ref);
            k.forwardDctPair(px, px2, c0, c1);
            ASSERT_EQ(0, std::memcmp(c0, cRef, sizeof c0)) << "forward DCT pair, first block " << t;
            ASSERT_EQ(0, std::memcmp(c1, c2Ref, sizeof c1)) << "forward DCT pair, second block " << t;

            // Weighting with random coefficients |c| <= 2048 and weights <= 4096.
            alignas(16) int16_t coef[64];
            alignas(16) uint16_t r[64];
            for (int i = 0; i < 64; ++i) {
                coef[i] = static_cast<int16_t>(static_cast<int>(rng() % 4097) - 2048);
                r[i] = static_cast<uint16_t>(rng() % 4097);
            }
            alignas(16) int16_t w[64], wRef[64];
            k.weighHd(coef, r, w);
            ref.weighHd(coef, r, wRef);
            ASSERT_EQ(0, std::memcmp(w, wRef, sizeof w)) << "HD weighting block " << t;

            // AC magnitudes in scan order, signs and the largest of |v| <= 4096 (some blocks
            // all zero or with only a DC term, whose magnitude must not count).
            alignas(16) int16_t v[64];
            for (int i = 0; i < 64; ++i)
                v[i] = static_cast<int16_t>(kind == 1 ? (i == 0 ? -4096 : 0) : static_cast<int>(rng() % 8193) - 4096);
            alignas(16) uint16_t m[64], mRef[64];
            uint64_t neg = 0, negRef = 0;
            EXPECT_EQ(k.scanMagnitudes(v, m, &neg), ref.scanMagnitudes(v, mRef, &negRef)) << "largest block " << t;
            EXPECT_EQ(neg, negRef) << "signs block " << t;
            ASSERT_EQ(0, std::memcmp(m, mRef, sizeof m)) << "magnitudes block " << t;

            // Quantisers: magnitudes <= 4096 with many small ones.
            alignas(16) uint16_t mag[64];
            for (int i = 0; i < 64; ++i)
                mag[i] = static_cast<uint16_t>(rng() % 3 == 0 ? rng() % 4097 : rng() % 8);

            // 25/50 Mb/s quantiser: any reciprocal.
            alignas(16) uint16_t rec[64];
            for (int i = 0; i < 64; ++i)
                rec[i] = static_cast<uint16_t>(rng());
            alignas(16) uint8_t q[64], qRef[64];
            EXPECT_EQ(k.quantiseSd(mag, rec, q), ref.quantiseSd(mag, rec, qRef)) << "SD mask block " << t;
            ASSERT_EQ(0, std::memcmp(q, qRef, sizeof q)) << "SD quantiser block " << t;

            // Run-0 code bits of amplitudes up to 255, mostly small (position 0 is 0).
            alignas(16) uint8_t amps[64];
            for (int i = 0; i < 64; ++i)
                amps[i] = static_cast<uint8_t>(i == 0 ? 0 : rng() % 4 ? rng() % 40 : rng() % 256);
            EXPECT_EQ(k.run0CodeBits(amps), ref.run0CodeBits(amps)) << "run-0 code bits block " << t;
        }
    }
}

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
