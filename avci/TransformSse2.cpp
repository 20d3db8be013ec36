// SSE2 variants of the inverse transforms. The sums stay in 32 bits as in the
// reference; the final add-and-clip packs to 16 bits with signed saturation,
// which clips the same way because samples are below 2^14.
#include "avci/Transform.h"
#include "avci/TransformVectors.h"

#include <immintrin.h>

namespace vorn::avci::detail {
namespace {

inline void transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d)
{
    const __m128i t0 = _mm_unpacklo_epi32(a, b);
    const __m128i t1 = _mm_unpacklo_epi32(c, d);
    const __m128i t2 = _mm_unpackhi_epi32(a, b);
    const __m128i t3 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(t0, t1);
    b = _mm_unpackhi_epi64(t0, t1);
    c = _mm_unpacklo_epi64(t2, t3);
    d = _mm_unpackhi_epi64(t2, t3);
}

inline __m128i loadCoef(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// (residual + 32) >> 6 added to 4 samples, as 32-bit lanes.
inline __m128i addRow4(__m128i residual, const uint16_t* row)
{
    const __m128i px = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row)), _mm_setzero_si128());
    return _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(residual, _mm_set1_epi32(32)), 6), px);
}

inline __m128i clip16(__m128i v, __m128i maxv) { return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), maxv); }

void idct4x4AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    __m128i x0 = loadCoef(c), x1 = loadCoef(c + 4), x2 = loadCoef(c + 8), x3 = loadCoef(c + 12);
    transpose4(x0, x1, x2, x3);
    for (int pass = 0; pass < 2; ++pass) {
        const __m128i e0 = _mm_add_epi32(x0, x2);
        const __m128i e1 = _mm_sub_epi32(x0, x2);
        const __m128i e2 = _mm_sub_epi32(_mm_srai_epi32(x1, 1), x3);
        const __m128i e3 = _mm_add_epi32(x1, _mm_srai_epi32(x3, 1));
        x0 = _mm_add_epi32(e0, e3);
        x1 = _mm_add_epi32(e1, e2);
        x2 = _mm_sub_epi32(e1, e2);
        x3 = _mm_sub_epi32(e0, e3);
        if (pass == 0) transpose4(x0, x1, x2, x3);
    }
    const __m128i maxv = _mm_set1_epi16(int16_t(maxValue));
    const __m128i r01 = clip16(_mm_packs_epi32(addRow4(x0, dst), addRow4(x1, dst + stride)), maxv);
    const __m128i r23 = clip16(_mm_packs_epi32(addRow4(x2, dst + 2 * stride), addRow4(x3, dst + 3 * stride)), maxv);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), r01);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + stride), _mm_unpackhi_epi64(r01, r01));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * stride), r23);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * stride), _mm_unpackhi_epi64(r23, r23));
    const __m128i z = _mm_setzero_si128();
    for (int i = 0; i < 16; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(c + i), z);
}

void idct4x4PairAddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    idct4x4AddSse2(dst, stride, c, maxValue);
    idct4x4AddSse2(dst + 4, stride, c + 16, maxValue);
}

// The DC residual, saturated to 16 bits: saturating adds then clip as the reference does.
inline __m128i dcResidual(int32_t dc)
{
    const int32_t r = (dc + 32) >> 6;
    return _mm_set1_epi16(int16_t(r < -32768 ? -32768 : (r > 32767 ? 32767 : r)));
}

void dc4x4AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    const __m128i r = dcResidual(c[0]);
    const __m128i maxv = _mm_set1_epi16(int16_t(maxValue));
    for (int y = 0; y < 4; ++y) {
        __m128i* p = reinterpret_cast<__m128i*>(dst + y * stride);
        _mm_storel_epi64(p, clip16(_mm_adds_epi16(_mm_loadl_epi64(p), r), maxv));
    }
    c[0] = 0;
}

void dc8x8AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    const __m128i r = dcResidual(c[0]);
    const __m128i maxv = _mm_set1_epi16(int16_t(maxValue));
    for (int y = 0; y < 8; ++y) {
        __m128i* p = reinterpret_cast<__m128i*>(dst + y * stride);
        _mm_storeu_si128(p, clip16(_mm_adds_epi16(_mm_loadu_si128(p), r), maxv));
    }
    c[0] = 0;
}

inline __m128i add128(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
inline __m128i sub128(__m128i a, __m128i b) { return _mm_sub_epi32(a, b); }
inline __m128i sra128(__m128i a, int n) { return _mm_srai_epi32(a, n); }

// One 1-D pass over 8 vectors of 4 lanes (one half of the block).
inline void idct8Sse2(__m128i* v)
{
    __m128i d0 = v[0], d1 = v[1], d2 = v[2], d3 = v[3], d4 = v[4], d5 = v[5], d6 = v[6], d7 = v[7];
    VORN_IDCT8_VECTORS(add128, sub128, sra128);
    v[0] = d0, v[1] = d1, v[2] = d2, v[3] = d3, v[4] = d4, v[5] = d5, v[6] = d6, v[7] = d7;
}

// lo[i], hi[i]: columns 0..3 and 4..7 of row i; transposed in place.
inline void transpose8(__m128i* lo, __m128i* hi)
{
    transpose4(lo[0], lo[1], lo[2], lo[3]);
    transpose4(hi[0], hi[1], hi[2], hi[3]);
    transpose4(lo[4], lo[5], lo[6], lo[7]);
    transpose4(hi[4], hi[5], hi[6], hi[7]);
    for (int i = 0; i < 4; ++i) {
        const __m128i t = hi[i];
        hi[i] = lo[4 + i];
        lo[4 + i] = t;
    }
}

void idct8x8AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    __m128i lo[8], hi[8];
    for (int i = 0; i < 8; ++i) {
        lo[i] = loadCoef(c + 8 * i);
        hi[i] = loadCoef(c + 8 * i + 4);
    }
    transpose8(lo, hi);
    // Vector k now holds coefficient k of every row: the pass transforms the rows.
    idct8Sse2(lo);
    idct8Sse2(hi);
    transpose8(lo, hi);
    idct8Sse2(lo);
    idct8Sse2(hi);
    const __m128i maxv = _mm_set1_epi16(int16_t(maxValue));
    const __m128i bias = _mm_set1_epi32(32);
    for (int y = 0; y < 8; ++y) {
        __m128i* p = reinterpret_cast<__m128i*>(dst + y * stride);
        const __m128i px = _mm_loadu_si128(p);
        const __m128i a = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(lo[y], bias), 6),
                                        _mm_unpacklo_epi16(px, _mm_setzero_si128()));
        const __m128i b = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(hi[y], bias), 6),
                                        _mm_unpackhi_epi16(px, _mm_setzero_si128()));
        _mm_storeu_si128(p, clip16(_mm_packs_epi32(a, b), maxv));
    }
    const __m128i z = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(c + i), z);
}

} // namespace

constinit const SimdRung<TransformKernels> kTransformKernelsSse2 = {
    SimdLevel::Sse2, VORN_COMPILED_CPU_FEATURES,
    {.idct4x4Add = idct4x4AddSse2, .idct8x8Add = idct8x8AddSse2, .dc4x4Add = dc4x4AddSse2, .dc8x8Add = dc8x8AddSse2,
     .idct4x4PairAdd = idct4x4PairAddSse2}};

} // namespace vorn::avci::detail
