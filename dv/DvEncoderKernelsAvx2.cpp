// AVX2 variants of the DV encoder's kernels.
#include "dv/DvEncoderKernels.h"
#include "dv/EncoderTables.h"

#include <immintrin.h>

namespace vorn::dv::enc {
namespace {

inline __m256i pair256(int k, int u) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(kDctPairs.p[u][k])); }

// Two blocks at once, one in each 128-bit lane (every step stays within its
// lane, so each lane does exactly the SSE2 arithmetic).

inline void transpose8Avx2(__m256i r[8])
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
inline void dctColumnsAvx2(const __m256i in[8], __m256i out[8])
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
        const __m256i p0 = pair256(0, u), p1 = pair256(1, u);
        __m256i sl = _mm256_add_epi32(_mm256_madd_epi16(lo[odd][0], p0), _mm256_madd_epi16(lo[odd][1], p1));
        __m256i sh = _mm256_add_epi32(_mm256_madd_epi16(hi[odd][0], p0), _mm256_madd_epi16(hi[odd][1], p1));
        sl = _mm256_srai_epi32(_mm256_add_epi32(sl, round), Shift);
        sh = _mm256_srai_epi32(_mm256_add_epi32(sh, round), Shift);
        out[u] = _mm256_packs_epi32(sl, sh);
    }
}

void forwardDctPairAvx2(const int16_t in0[64], const int16_t in1[64], int16_t out0[64], int16_t out1[64])
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

// The same, 32 at a time.
uint64_t quantiseHdAvx2(const uint16_t mag[64], int k, uint8_t out[64])
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

// The same, 32 at a time.
int run0CodeBitsAvx2(const uint8_t amps[64])
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

} // namespace

constinit const SimdRung<EncoderKernels> kEncoderKernelsAvx2 = {
    SimdLevel::Avx2, VORN_COMPILED_CPU_FEATURES,
    {.forwardDctPair = forwardDctPairAvx2, .quantiseHd = quantiseHdAvx2, .run0CodeBits = run0CodeBitsAvx2}};

} // namespace vorn::dv::enc
