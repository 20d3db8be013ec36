// SSE4.1 variants of the DV encoder's kernels (with the SSSE3 byte shuffle).
#include "dv/DvEncoderKernelsX86.h"
#include "dv/EncoderTables.h"

#include <array>

namespace vorn::dv::enc {
namespace {

// The scan order by byte shuffles: each group of 8 scan positions gathers
// its values from the 3 to 6 rows that hold them (36 parts in all).
constexpr uint8_t kScan[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                               12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                               35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                               58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
struct ShufflePart {
    int out = 0;
    int row = 0;
    uint8_t mask[16] = {};
};
constexpr int kShuffleParts = 36;
constexpr std::array<ShufflePart, kShuffleParts> kShuffles = [] {
    std::array<ShufflePart, kShuffleParts> parts{};
    int count = 0;
    for (int out = 0; out < 8; ++out)
        for (int row = 0; row < 8; ++row) {
            ShufflePart p{out, row, {}};
            bool used = false;
            for (int i = 0; i < 8; ++i) {
                const int n = kScan[8 * out + i];
                const bool here = n / 8 == row;
                p.mask[2 * i] = here ? static_cast<uint8_t>(2 * (n % 8)) : 0x80;
                p.mask[2 * i + 1] = here ? static_cast<uint8_t>(2 * (n % 8) + 1) : 0x80;
                used = used || here;
            }
            if (used && count < kShuffleParts)
                parts[static_cast<size_t>(count)] = p;
            count += used;
        }
    return count == kShuffleParts ? parts : throw "zigzag parts";
}();

int scanMagnitudesSse41(const int16_t v[64], uint16_t mag[64], uint64_t* negative)
{
    __m128i rows[8], r[8];
    for (int i = 0; i < 8; ++i) {
        rows[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 8 * i));
        r[i] = _mm_setzero_si128();
    }
#pragma GCC unroll 36
    for (int k = 0; k < kShuffleParts; ++k) {
        const ShufflePart& p = kShuffles[static_cast<size_t>(k)];
        r[p.out] = _mm_or_si128(r[p.out],
                                _mm_shuffle_epi8(rows[p.row], _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.mask))));
    }
    return scanOrderMagnitudes(r, mag, negative);
}

// Run-0 code lengths by table look-up of min(amplitude, 31), 16 at a time,
// summed per byte.
int run0CodeBitsSse41(const uint8_t amps[64])
{
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRun0Lengths));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRun0Lengths + 16));
    const __m128i cap = _mm_set1_epi8(31), fifteen = _mm_set1_epi8(15), zero = _mm_setzero_si128();
    __m128i sum = zero;
    for (int i = 0; i < 64; i += 16) {
        const __m128i idx = _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(amps + i)), cap);
        const __m128i len = _mm_blendv_epi8(_mm_shuffle_epi8(lo, idx), _mm_shuffle_epi8(hi, idx),
                                            _mm_cmpgt_epi8(idx, fifteen));
        sum = _mm_add_epi64(sum, _mm_sad_epu8(len, zero));
    }
    return _mm_cvtsi128_si32(_mm_add_epi64(sum, _mm_unpackhi_epi64(sum, sum)));
}

} // namespace

constinit const SimdRung<EncoderKernels> kEncoderKernelsSse41 = {
    SimdLevel::Sse41, VORN_COMPILED_CPU_FEATURES,
    {.scanMagnitudes = scanMagnitudesSse41, .run0CodeBits = run0CodeBitsSse41}};

} // namespace vorn::dv::enc
