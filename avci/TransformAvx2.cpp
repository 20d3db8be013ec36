// AVX2 variants of the inverse transforms (the SSE2 rung's 4x4 and DC
// kernels serve this rung too).
#include "avci/Transform.h"
#include "avci/TransformVectors.h"

#include <immintrin.h>

namespace vorn::avci::detail {
namespace {

inline __m256i add256(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
inline __m256i sub256(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
inline __m256i sra256(__m256i a, int n) { return _mm256_srai_epi32(a, n); }

// Transposes the 8x8 block held as rows r0..r7 (named values, not an array, so that the
// compiler keeps them in registers).
#define VORN_TRANSPOSE8X8_AVX2(r0, r1, r2, r3, r4, r5, r6, r7)                              \
    do {                                                                                   \
        const __m256i t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1); \
        const __m256i t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3); \
        const __m256i t4 = _mm256_unpacklo_epi32(r4, r5), t5 = _mm256_unpackhi_epi32(r4, r5); \
        const __m256i t6 = _mm256_unpacklo_epi32(r6, r7), t7 = _mm256_unpackhi_epi32(r6, r7); \
        const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2); \
        const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3); \
        const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6); \
        const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7); \
        r0 = _mm256_permute2x128_si256(u0, u4, 0x20);                                       \
        r1 = _mm256_permute2x128_si256(u1, u5, 0x20);                                       \
        r2 = _mm256_permute2x128_si256(u2, u6, 0x20);                                       \
        r3 = _mm256_permute2x128_si256(u3, u7, 0x20);                                       \
        r4 = _mm256_permute2x128_si256(u0, u4, 0x31);                                       \
        r5 = _mm256_permute2x128_si256(u1, u5, 0x31);                                       \
        r6 = _mm256_permute2x128_si256(u2, u6, 0x31);                                       \
        r7 = _mm256_permute2x128_si256(u3, u7, 0x31);                                       \
    } while (0)

// Rows y and y + 1 of the residual (32-bit lanes) added to the picture and clipped.
inline void addRows8Avx2(uint16_t* dst, ptrdiff_t stride, __m256i a, __m256i b, __m256i maxv)
{
    const __m256i bias = _mm256_set1_epi32(32);
    __m128i* p0 = reinterpret_cast<__m128i*>(dst);
    __m128i* p1 = reinterpret_cast<__m128i*>(dst + stride);
    a = _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(a, bias), 6), _mm256_cvtepu16_epi32(_mm_loadu_si128(p0)));
    b = _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(b, bias), 6), _mm256_cvtepu16_epi32(_mm_loadu_si128(p1)));
    // packs works within 128-bit lanes: put each row's halves together again.
    __m256i v = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
    v = _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), maxv);
    _mm_storeu_si128(p0, _mm256_castsi256_si128(v));
    _mm_storeu_si128(p1, _mm256_extracti128_si256(v, 1));
}

void idct8x8AddAvx2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    __m256i* const cv = reinterpret_cast<__m256i*>(c);
    __m256i d0 = _mm256_loadu_si256(cv + 0), d1 = _mm256_loadu_si256(cv + 1);
    __m256i d2 = _mm256_loadu_si256(cv + 2), d3 = _mm256_loadu_si256(cv + 3);
    __m256i d4 = _mm256_loadu_si256(cv + 4), d5 = _mm256_loadu_si256(cv + 5);
    __m256i d6 = _mm256_loadu_si256(cv + 6), d7 = _mm256_loadu_si256(cv + 7);
    const __m256i z = _mm256_setzero_si256();
    _mm256_storeu_si256(cv + 0, z);
    _mm256_storeu_si256(cv + 1, z);
    _mm256_storeu_si256(cv + 2, z);
    _mm256_storeu_si256(cv + 3, z);
    _mm256_storeu_si256(cv + 4, z);
    _mm256_storeu_si256(cv + 5, z);
    _mm256_storeu_si256(cv + 6, z);
    _mm256_storeu_si256(cv + 7, z);
    // Transposed, vector k holds coefficient k of every row: the first pass transforms rows.
    VORN_TRANSPOSE8X8_AVX2(d0, d1, d2, d3, d4, d5, d6, d7);
    VORN_IDCT8_VECTORS(add256, sub256, sra256);
    VORN_TRANSPOSE8X8_AVX2(d0, d1, d2, d3, d4, d5, d6, d7);
    VORN_IDCT8_VECTORS(add256, sub256, sra256);
    const __m256i maxv = _mm256_set1_epi16(int16_t(maxValue));
    addRows8Avx2(dst, stride, d0, d1, maxv);
    addRows8Avx2(dst + 2 * stride, stride, d2, d3, maxv);
    addRows8Avx2(dst + 4 * stride, stride, d4, d5, maxv);
    addRows8Avx2(dst + 6 * stride, stride, d6, d7, maxv);
}

// Two 4x4 blocks at once: the low 128-bit lane holds the left block, the high lane the right
// one, and every step of the SSE2 transform works within lanes.
inline __m256i loadRowPair(const int32_t* c, int row)
{
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 4 * row));
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 16 + 4 * row));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(l), r, 1);
}

inline void transpose4Lanes(__m256i& a, __m256i& b, __m256i& c, __m256i& d)
{
    const __m256i t0 = _mm256_unpacklo_epi32(a, b), t1 = _mm256_unpacklo_epi32(c, d);
    const __m256i t2 = _mm256_unpackhi_epi32(a, b), t3 = _mm256_unpackhi_epi32(c, d);
    a = _mm256_unpacklo_epi64(t0, t1);
    b = _mm256_unpackhi_epi64(t0, t1);
    c = _mm256_unpacklo_epi64(t2, t3);
    d = _mm256_unpackhi_epi64(t2, t3);
}

void idct4x4PairAddAvx2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    __m256i x0 = loadRowPair(c, 0), x1 = loadRowPair(c, 1), x2 = loadRowPair(c, 2), x3 = loadRowPair(c, 3);
    const __m256i z = _mm256_setzero_si256();
    __m256i* const cv = reinterpret_cast<__m256i*>(c);
    _mm256_storeu_si256(cv + 0, z);
    _mm256_storeu_si256(cv + 1, z);
    _mm256_storeu_si256(cv + 2, z);
    _mm256_storeu_si256(cv + 3, z);
    transpose4Lanes(x0, x1, x2, x3);
    for (int pass = 0; pass < 2; ++pass) {
        const __m256i e0 = _mm256_add_epi32(x0, x2);
        const __m256i e1 = _mm256_sub_epi32(x0, x2);
        const __m256i e2 = _mm256_sub_epi32(_mm256_srai_epi32(x1, 1), x3);
        const __m256i e3 = _mm256_add_epi32(x1, _mm256_srai_epi32(x3, 1));
        x0 = _mm256_add_epi32(e0, e3);
        x1 = _mm256_add_epi32(e1, e2);
        x2 = _mm256_sub_epi32(e1, e2);
        x3 = _mm256_sub_epi32(e0, e3);
        if (pass == 0) transpose4Lanes(x0, x1, x2, x3);
    }
    // Row y of the area: lanes 0..3 from the left block, 4..7 from the right one.
    const __m256i maxv = _mm256_set1_epi16(int16_t(maxValue));
    addRows8Avx2(dst, stride, x0, x1, maxv);
    addRows8Avx2(dst + 2 * stride, stride, x2, x3, maxv);
}

#undef VORN_TRANSPOSE8X8_AVX2

} // namespace

constinit const SimdRung<TransformKernels> kTransformKernelsAvx2 = {
    SimdLevel::Avx2, VORN_COMPILED_CPU_FEATURES, {.idct8x8Add = idct8x8AddAvx2, .idct4x4PairAdd = idct4x4PairAddAvx2}};

} // namespace vorn::avci::detail
