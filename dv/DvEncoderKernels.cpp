// Kernels of the DV encoder: samples, forward DCT, DVCPRO HD weighting,
// magnitudes, the two quantisers and run-0 code bits. The plain versions are the reference; the SSE2 versions do the
// same integer arithmetic and give identical results within the documented
// input ranges.
#include "dv/DvEncoderCore.h"
#include "dv/CodecTables.h"
#include "dv/EncoderTables.h"

#include <algorithm>
#include <array>
#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#define VORN_X86 1
#include <immintrin.h>
#define VORN_SSE2 __attribute__((target("sse2")))
#define VORN_SSE41 __attribute__((target("sse4.1")))
#define VORN_AVX2 __attribute__((target("avx2")))
#endif

namespace vorn::dv::enc {

namespace {

// kDct[u][x] = round(32768 * k(u) * cos((2x + 1) u pi / 16)) with k(0) =
// sqrt(1/8) and k(u) = 1/2 otherwise. The vertical pass keeps 4 fractional
// bits, the horizontal pass rounds to integers.
struct DctTable {
    int16_t c[8][8];
    DctTable()
    {
        const double pi = std::acos(-1.0);
        for (int u = 0; u < 8; ++u)
            for (int x = 0; x < 8; ++x) {
                const double k = u == 0 ? std::sqrt(0.125) : 0.5;
                c[u][x] = static_cast<int16_t>(std::lround(32768.0 * k * std::cos((2 * x + 1) * u * pi / 16.0)));
            }
    }
};
const DctTable kDct;

constexpr int kPass1Shift = 11;
constexpr int kPass2Shift = 19;

// ---------------------------------------------------------------------------
// Plain reference.

void weighHdPlain(const int16_t coef[64], const uint16_t r[64], int16_t w[64])
{
    for (int i = 0; i < 64; ++i)
        w[i] = static_cast<int16_t>((static_cast<int32_t>(coef[i]) * r[i]) >> 11);
}

void samplesPlain(const uint8_t* first, ptrdiff_t stride, int component, int16_t out[64])
{
    const int step = component == 0 ? 2 : 4, offset = component == 0 ? 0 : component == 1 ? 1 : 3;
    for (int j = 0; j < 8; ++j) {
        const uint8_t* p = first + j * stride + offset;
        for (int i = 0; i < 8; ++i)
            out[j * 8 + i] = static_cast<int16_t>(p[step * i] - 128);
    }
}

int scanMagnitudesPlain(const int16_t v[64], uint16_t mag[64], uint64_t* negative)
{
    uint64_t neg = 0;
    int largest = 0;
    mag[0] = 0;
    for (int pos = 1; pos < 64; ++pos) {
        const int x = v[kZigzag88[pos]];
        const int a = x < 0 ? -x : x;
        mag[pos] = static_cast<uint16_t>(a);
        neg |= static_cast<uint64_t>(x < 0) << pos;
        largest = std::max(largest, a);
    }
    *negative = neg;
    return largest;
}

uint64_t quantiseSdPlain(const uint16_t mag[64], const uint16_t r[64], uint8_t out[64])
{
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i) {
        out[i] = static_cast<uint8_t>(std::min(sdAmplitude(mag[i], r[i]), 255));
        if (i > 0 && out[i])
            m |= uint64_t(1) << i;
    }
    return m;
}

uint64_t quantiseHdPlain(const uint16_t mag[64], int k, uint8_t out[64])
{
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i) {
        out[i] = static_cast<uint8_t>(std::min(hdAmplitude(mag[i], static_cast<uint32_t>(k)), 255));
        if (i > 0 && out[i])
            m |= uint64_t(1) << i;
    }
    return m;
}

int run0CodeBitsPlain(const uint8_t amps[64])
{
    int bits = 0;
    for (int i = 1; i < 64; ++i)
        bits += kRun0Lengths[std::min<int>(amps[i], 31)];
    return bits;
}

#ifdef VORN_X86

// ---------------------------------------------------------------------------
// SSE2.

// The rows of the table are even or odd: c[u][7 - y] = (-1)^u c[u][y]. So a
// column sum is sum_{y<4} c[u][y] (in[y] +- in[7 - y]): the same integer
// result with half the products. The sums and differences stay within 16 bits
// for the inputs of both passes (samples -128..127, pass-1 results within
// +-5800).
struct DctPairs {
    // (c[u][2k], c[u][2k+1]) as two 16-bit halves, k = 0 and 1, in every lane.
    alignas(32) int32_t p[8][2][8];
    DctPairs()
    {
        for (int u = 0; u < 8; ++u)
            for (int k = 0; k < 2; ++k) {
                const uint32_t lo = static_cast<uint16_t>(kDct.c[u][2 * k]);
                const uint32_t hi = static_cast<uint16_t>(kDct.c[u][2 * k + 1]);
                for (int lane = 0; lane < 8; ++lane)
                    p[u][k][lane] = static_cast<int32_t>(lo | (hi << 16));
            }
    }
    VORN_SSE2 __m128i pair(int u, int k) const { return _mm_load_si128(reinterpret_cast<const __m128i*>(p[u][k])); }
    VORN_AVX2 __m256i pair256(int u, int k) const
    {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(p[u][k]));
    }
};
const DctPairs kDctPairs;

VORN_SSE2 inline void transpose8(__m128i r[8])
{
    __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// One pass down the columns: out[u] = sum_y c[u][y] * in[y], rounded by `Shift`.
template <int Shift>
VORN_SSE2 inline void dctColumns(const __m128i in[8], __m128i out[8])
{
    __m128i lo[2][2], hi[2][2]; // [even sums / odd differences][k]
    for (int k = 0; k < 2; ++k) {
        const __m128i s0 = _mm_add_epi16(in[2 * k], in[7 - 2 * k]);
        const __m128i s1 = _mm_add_epi16(in[2 * k + 1], in[6 - 2 * k]);
        const __m128i d0 = _mm_sub_epi16(in[2 * k], in[7 - 2 * k]);
        const __m128i d1 = _mm_sub_epi16(in[2 * k + 1], in[6 - 2 * k]);
        lo[0][k] = _mm_unpacklo_epi16(s0, s1);
        hi[0][k] = _mm_unpackhi_epi16(s0, s1);
        lo[1][k] = _mm_unpacklo_epi16(d0, d1);
        hi[1][k] = _mm_unpackhi_epi16(d0, d1);
    }
    const __m128i round = _mm_set1_epi32(1 << (Shift - 1));
    for (int u = 0; u < 8; ++u) {
        const int odd = u & 1;
        const __m128i p0 = kDctPairs.pair(u, 0), p1 = kDctPairs.pair(u, 1);
        __m128i sl = _mm_add_epi32(_mm_madd_epi16(lo[odd][0], p0), _mm_madd_epi16(lo[odd][1], p1));
        __m128i sh = _mm_add_epi32(_mm_madd_epi16(hi[odd][0], p0), _mm_madd_epi16(hi[odd][1], p1));
        sl = _mm_srai_epi32(_mm_add_epi32(sl, round), Shift);
        sh = _mm_srai_epi32(_mm_add_epi32(sh, round), Shift);
        out[u] = _mm_packs_epi32(sl, sh);
    }
}

VORN_SSE2 void forwardDctSse2(const int16_t in[64], int16_t out[64])
{
    __m128i r[8], t[8];
    for (int y = 0; y < 8; ++y)
        r[y] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * y));
    dctColumns<kPass1Shift>(r, t);
    transpose8(t);
    dctColumns<kPass2Shift>(t, r);
    transpose8(r);
    for (int v = 0; v < 8; ++v)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * v), r[v]);
}

VORN_SSE2 void forwardDctPairSse2(const int16_t in0[64], const int16_t in1[64], int16_t out0[64], int16_t out1[64])
{
    forwardDctSse2(in0, out0);
    forwardDctSse2(in1, out1);
}

// ---------------------------------------------------------------------------
// AVX2: two blocks at once, one in each 128-bit lane (every step stays within
// its lane, so each lane does exactly the SSE2 arithmetic).

VORN_AVX2 inline void transpose8Avx2(__m256i r[8])
{
    __m256i a0 = _mm256_unpacklo_epi16(r[0], r[1]), a1 = _mm256_unpackhi_epi16(r[0], r[1]);
    __m256i a2 = _mm256_unpacklo_epi16(r[2], r[3]), a3 = _mm256_unpackhi_epi16(r[2], r[3]);
    __m256i a4 = _mm256_unpacklo_epi16(r[4], r[5]), a5 = _mm256_unpackhi_epi16(r[4], r[5]);
    __m256i a6 = _mm256_unpacklo_epi16(r[6], r[7]), a7 = _mm256_unpackhi_epi16(r[6], r[7]);
    __m256i b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
    __m256i b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
    __m256i b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
    __m256i b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
    r[0] = _mm256_unpacklo_epi64(b0, b4);
    r[1] = _mm256_unpackhi_epi64(b0, b4);
    r[2] = _mm256_unpacklo_epi64(b1, b5);
    r[3] = _mm256_unpackhi_epi64(b1, b5);
    r[4] = _mm256_unpacklo_epi64(b2, b6);
    r[5] = _mm256_unpackhi_epi64(b2, b6);
    r[6] = _mm256_unpacklo_epi64(b3, b7);
    r[7] = _mm256_unpackhi_epi64(b3, b7);
}

template <int Shift>
VORN_AVX2 inline void dctColumnsAvx2(const __m256i in[8], __m256i out[8])
{
    __m256i lo[2][2], hi[2][2];
    for (int k = 0; k < 2; ++k) {
        const __m256i s0 = _mm256_add_epi16(in[2 * k], in[7 - 2 * k]);
        const __m256i s1 = _mm256_add_epi16(in[2 * k + 1], in[6 - 2 * k]);
        const __m256i d0 = _mm256_sub_epi16(in[2 * k], in[7 - 2 * k]);
        const __m256i d1 = _mm256_sub_epi16(in[2 * k + 1], in[6 - 2 * k]);
        lo[0][k] = _mm256_unpacklo_epi16(s0, s1);
        hi[0][k] = _mm256_unpackhi_epi16(s0, s1);
        lo[1][k] = _mm256_unpacklo_epi16(d0, d1);
        hi[1][k] = _mm256_unpackhi_epi16(d0, d1);
    }
    const __m256i round = _mm256_set1_epi32(1 << (Shift - 1));
    for (int u = 0; u < 8; ++u) {
        const int odd = u & 1;
        const __m256i p0 = kDctPairs.pair256(u, 0), p1 = kDctPairs.pair256(u, 1);
        __m256i sl = _mm256_add_epi32(_mm256_madd_epi16(lo[odd][0], p0), _mm256_madd_epi16(lo[odd][1], p1));
        __m256i sh = _mm256_add_epi32(_mm256_madd_epi16(hi[odd][0], p0), _mm256_madd_epi16(hi[odd][1], p1));
        sl = _mm256_srai_epi32(_mm256_add_epi32(sl, round), Shift);
        sh = _mm256_srai_epi32(_mm256_add_epi32(sh, round), Shift);
        out[u] = _mm256_packs_epi32(sl, sh);
    }
}

VORN_AVX2 void forwardDctPairAvx2(const int16_t in0[64], const int16_t in1[64], int16_t out0[64], int16_t out1[64])
{
    __m256i r[8], t[8];
    for (int y = 0; y < 8; ++y)
        r[y] = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in0 + 8 * y))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in1 + 8 * y)), 1);
    dctColumnsAvx2<kPass1Shift>(r, t);
    transpose8Avx2(t);
    dctColumnsAvx2<kPass2Shift>(t, r);
    transpose8Avx2(r);
    for (int v = 0; v < 8; ++v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + 8 * v), _mm256_castsi256_si128(r[v]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + 8 * v), _mm256_extracti128_si256(r[v], 1));
    }
}

// |coef| <= 2048 and r <= 4096 keep |w| within 4096.
VORN_SSE2 void weighHdSse2(const int16_t coef[64], const uint16_t r[64], int16_t w[64])
{
    for (int i = 0; i < 64; i += 8) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + i));
        const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i));
        const __m128i lo = _mm_mullo_epi16(c, k), hi = _mm_mulhi_epi16(c, k);
        const __m128i p0 = _mm_srai_epi32(_mm_unpacklo_epi16(lo, hi), 11);
        const __m128i p1 = _mm_srai_epi32(_mm_unpackhi_epi16(lo, hi), 11);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w + i), _mm_packs_epi32(p0, p1));
    }
}

// Reads only the 16 (luma) or 32 (chroma) bytes of each row that hold the samples.
VORN_SSE2 void samplesSse2(const uint8_t* first, ptrdiff_t stride, int component, int16_t out[64])
{
    const __m128i bias = _mm_set1_epi16(128), low = _mm_set1_epi16(0xFF);
    for (int j = 0; j < 8; ++j) {
        const uint8_t* p = first + j * stride;
        __m128i v;
        if (component == 0) {
            v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), low);
        } else {
            // Byte 1 (Cb) or 3 (Cr) of each 32-bit word.
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            if (component == 1)
                v = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8), _mm_set1_epi32(0xFF)),
                                    _mm_and_si128(_mm_srli_epi32(b, 8), _mm_set1_epi32(0xFF)));
            else
                v = _mm_packs_epi32(_mm_srli_epi32(a, 24), _mm_srli_epi32(b, 24));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * j), _mm_sub_epi16(v, bias));
    }
}

// Magnitudes, signs and the largest of 64 values already in scan order
// (|v| <= 4096), position 0 left out.
VORN_SSE2 inline int scanOrderMagnitudes(const __m128i v[8], uint16_t mag[64], uint64_t* negative)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i notDc = _mm_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0);
    __m128i largest = zero;
    uint64_t neg = 0;
    for (int i = 0; i < 8; i += 2) {
        __m128i a = v[i], b = v[i + 1];
        if (i == 0)
            a = _mm_and_si128(a, notDc);
        const __m128i na = _mm_cmpgt_epi16(zero, a), nb = _mm_cmpgt_epi16(zero, b);
        neg |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(na, nb)))) << (8 * i);
        a = _mm_max_epi16(a, _mm_sub_epi16(zero, a));
        b = _mm_max_epi16(b, _mm_sub_epi16(zero, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mag + 8 * i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mag + 8 * i + 8), b);
        largest = _mm_max_epi16(largest, _mm_max_epi16(a, b));
    }
    largest = _mm_max_epi16(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(1, 0, 3, 2)));
    largest = _mm_max_epi16(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(2, 3, 0, 1)));
    largest = _mm_max_epi16(largest, _mm_srli_epi32(largest, 16));
    *negative = neg;
    return _mm_cvtsi128_si32(largest) & 0xFFFF;
}

// The scan order by a copy through the zigzag table.
VORN_SSE2 int scanMagnitudesSse2(const int16_t v[64], uint16_t mag[64], uint64_t* negative)
{
    alignas(16) int16_t scan[64];
    for (int pos = 0; pos < 64; ++pos)
        scan[pos] = v[kZigzag88[pos]];
    __m128i r[8];
    for (int i = 0; i < 8; ++i)
        r[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(scan + 8 * i));
    return scanOrderMagnitudes(r, mag, negative);
}

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

VORN_SSE41 int scanMagnitudesSse41(const int16_t v[64], uint16_t mag[64], uint64_t* negative)
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

VORN_SSE2 uint64_t quantiseSdSse2(const uint16_t mag[64], const uint16_t r[64], uint8_t out[64])
{
    // lo + rounding carries into hi exactly when lo > 65535 - rounding.
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i limit = _mm_set1_epi16(static_cast<short>((65535u - kSdRounding) ^ 0x8000u));
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int i = 0; i < 64; i += 16) {
        __m128i q[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + i + 8 * h));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i + 8 * h));
            const __m128i hi = _mm_mulhi_epu16(a, b);
            const __m128i lo = _mm_mullo_epi16(a, b);
            const __m128i carry = _mm_cmpgt_epi16(_mm_xor_si128(lo, flip), limit);
            q[h] = _mm_sub_epi16(hi, carry);
        }
        // Amplitudes up to 4096: the signed pack limits them to 255.
        const __m128i bytes = _mm_packus_epi16(q[0], q[1]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
        zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)))) << i;
    }
    return ~zeros & ~uint64_t(1);
}

// Magnitudes are first limited to the smallest one whose amplitude reaches
// 255 (so the amplitude is limited to 255 as well): then mag * k + rounding
// stays below 32768 and the arithmetic fits 16-bit lanes.
VORN_SSE2 uint64_t quantiseHdSse2(const uint16_t mag[64], int k, uint8_t out[64])
{
    const int cap = (255 * 128 - static_cast<int>(kHdRounding) + k - 1) / k;
    const __m128i kk = _mm_set1_epi16(static_cast<short>(k));
    const __m128i capv = _mm_set1_epi16(static_cast<short>(cap));
    const __m128i round = _mm_set1_epi16(static_cast<short>(kHdRounding));
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int i = 0; i < 64; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + i + 8));
        a = _mm_sub_epi16(a, _mm_subs_epu16(a, capv)); // min(a, cap), unsigned
        b = _mm_sub_epi16(b, _mm_subs_epu16(b, capv));
        a = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(a, kk), round), 7);
        b = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(b, kk), round), 7);
        const __m128i q = _mm_packus_epi16(a, b);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), q);
        zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(q, zero)))) << i;
    }
    return ~zeros & ~uint64_t(1);
}

// The same, 32 at a time.
VORN_AVX2 uint64_t quantiseHdAvx2(const uint16_t mag[64], int k, uint8_t out[64])
{
    const int cap = (255 * 128 - static_cast<int>(kHdRounding) + k - 1) / k;
    const __m256i kk = _mm256_set1_epi16(static_cast<short>(k));
    const __m256i capv = _mm256_set1_epi16(static_cast<short>(cap));
    const __m256i round = _mm256_set1_epi16(static_cast<short>(kHdRounding));
    const __m256i zero = _mm256_setzero_si256();
    uint64_t zeros = 0;
    for (int i = 0; i < 64; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mag + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mag + i + 16));
        a = _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(_mm256_min_epu16(a, capv), kk), round), 7);
        b = _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(_mm256_min_epu16(b, capv), kk), round), 7);
        // The pack works within 128-bit lanes: put the 64-bit quarters back in order.
        const __m256i q = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), q);
        zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(q, zero)))) << i;
    }
    return ~zeros & ~uint64_t(1);
}

// Run-0 code lengths by table look-up of min(amplitude, 31), 16 at a time,
// summed per byte.
VORN_SSE41 int run0CodeBitsSse41(const uint8_t amps[64])
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

// The same, 32 at a time.
VORN_AVX2 int run0CodeBitsAvx2(const uint8_t amps[64])
{
    const __m256i lo = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kRun0Lengths)));
    const __m256i hi =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kRun0Lengths + 16)));
    const __m256i cap = _mm256_set1_epi8(31), fifteen = _mm256_set1_epi8(15), zero = _mm256_setzero_si256();
    __m256i sum = zero;
    for (int i = 0; i < 64; i += 32) {
        const __m256i idx = _mm256_min_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(amps + i)), cap);
        const __m256i len = _mm256_blendv_epi8(_mm256_shuffle_epi8(lo, idx), _mm256_shuffle_epi8(hi, idx),
                                               _mm256_cmpgt_epi8(idx, fifteen));
        sum = _mm256_add_epi64(sum, _mm256_sad_epu8(len, zero));
    }
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    return _mm_cvtsi128_si32(_mm_add_epi64(s, _mm_unpackhi_epi64(s, s)));
}

#endif // VORN_X86

} // namespace

void forwardDctPlain(const int16_t in[64], int16_t out[64])
{
    int16_t t[64];
    for (int v = 0; v < 8; ++v)
        for (int x = 0; x < 8; ++x) {
            int32_t acc = 0;
            for (int y = 0; y < 8; ++y)
                acc += kDct.c[v][y] * in[y * 8 + x];
            t[v * 8 + x] = static_cast<int16_t>((acc + (1 << (kPass1Shift - 1))) >> kPass1Shift);
        }
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
            int32_t acc = 0;
            for (int x = 0; x < 8; ++x)
                acc += kDct.c[u][x] * t[v * 8 + x];
            out[v * 8 + u] = static_cast<int16_t>((acc + (1 << (kPass2Shift - 1))) >> kPass2Shift);
        }
}

namespace {
void forwardDctPairPlain(const int16_t in0[64], const int16_t in1[64], int16_t out0[64], int16_t out1[64])
{
    forwardDctPlain(in0, out0);
    forwardDctPlain(in1, out1);
}
} // namespace

const EncoderKernels& encoderKernels(SimdLevel level)
{
    static const EncoderKernels plain{forwardDctPlain,  forwardDctPairPlain, samplesPlain, weighHdPlain,
                                      scanMagnitudesPlain, quantiseSdPlain, quantiseHdPlain,
                                      run0CodeBitsPlain};
#ifdef VORN_X86
    static const EncoderKernels sse2{forwardDctSse2,  forwardDctPairSse2, samplesSse2, weighHdSse2,
                                     scanMagnitudesSse2, quantiseSdSse2, quantiseHdSse2,
                                     run0CodeBitsPlain};
    static const EncoderKernels sse41{forwardDctSse2,  forwardDctPairSse2, samplesSse2, weighHdSse2,
                                      scanMagnitudesSse41, quantiseSdSse2, quantiseHdSse2,
                                      run0CodeBitsSse41};
    static const EncoderKernels avx2{forwardDctSse2,  forwardDctPairAvx2, samplesSse2, weighHdSse2,
                                     scanMagnitudesSse41, quantiseSdSse2, quantiseHdAvx2,
                                     run0CodeBitsAvx2};
    if (level >= SimdLevel::Avx2)
        return avx2;
    if (level >= SimdLevel::Sse41)
        return sse41;
    if (level != SimdLevel::Plain)
        return sse2;
#else
    (void)level;
#endif
    return plain;
}

const EncoderKernels& encoderKernels()
{
    static const EncoderKernels& chosen = encoderKernels(simdLevel());
    return chosen;
}

void forwardDct(const int16_t in[64], int16_t out[64]) { encoderKernels().forwardDct(in, out); }

} // namespace vorn::dv::enc
