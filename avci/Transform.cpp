#include "avci/Transform.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#define VORN_AVCI_X86 1
#include <immintrin.h>
#endif

namespace vorn::avci {

// ---------------------------------------------------------------------------------------
// Plain references
// ---------------------------------------------------------------------------------------

namespace {
inline uint16_t clip(int v, int maxValue)
{
    return uint16_t(v < 0 ? 0 : (v > maxValue ? maxValue : v));
}

template <int N>
void dcAdd(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    const int32_t r = (c[0] + 32) >> 6;
    for (int y = 0; y < N; ++y)
        for (int x = 0; x < N; ++x) dst[y * stride + x] = clip(dst[y * stride + x] + r, maxValue);
    c[0] = 0;
}
} // namespace

void idct4x4Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    int32_t t[16];
    for (int i = 0; i < 4; ++i) {
        const int32_t* d = c + i * 4;
        const int32_t e0 = d[0] + d[2];
        const int32_t e1 = d[0] - d[2];
        const int32_t e2 = (d[1] >> 1) - d[3];
        const int32_t e3 = d[1] + (d[3] >> 1);
        t[i * 4 + 0] = e0 + e3;
        t[i * 4 + 1] = e1 + e2;
        t[i * 4 + 2] = e1 - e2;
        t[i * 4 + 3] = e0 - e3;
    }
    for (int j = 0; j < 4; ++j) {
        const int32_t e0 = t[j] + t[8 + j];
        const int32_t e1 = t[j] - t[8 + j];
        const int32_t e2 = (t[4 + j] >> 1) - t[12 + j];
        const int32_t e3 = t[4 + j] + (t[12 + j] >> 1);
        dst[0 * stride + j] = clip(dst[0 * stride + j] + ((e0 + e3 + 32) >> 6), maxValue);
        dst[1 * stride + j] = clip(dst[1 * stride + j] + ((e1 + e2 + 32) >> 6), maxValue);
        dst[2 * stride + j] = clip(dst[2 * stride + j] + ((e1 - e2 + 32) >> 6), maxValue);
        dst[3 * stride + j] = clip(dst[3 * stride + j] + ((e0 - e3 + 32) >> 6), maxValue);
    }
    for (int i = 0; i < 16; ++i) c[i] = 0;
}

namespace {
inline void idct8(const int32_t* d, int step, int32_t* g, int gstep)
{
    const int32_t d0 = d[0], d1 = d[step], d2 = d[2 * step], d3 = d[3 * step];
    const int32_t d4 = d[4 * step], d5 = d[5 * step], d6 = d[6 * step], d7 = d[7 * step];
    const int32_t e0 = d0 + d4;
    const int32_t e1 = -d3 + d5 - d7 - (d7 >> 1);
    const int32_t e2 = d0 - d4;
    const int32_t e3 = d1 + d7 - d3 - (d3 >> 1);
    const int32_t e4 = (d2 >> 1) - d6;
    const int32_t e5 = -d1 + d7 + d5 + (d5 >> 1);
    const int32_t e6 = d2 + (d6 >> 1);
    const int32_t e7 = d3 + d5 + d1 + (d1 >> 1);
    const int32_t f0 = e0 + e6;
    const int32_t f1 = e1 + (e7 >> 2);
    const int32_t f2 = e2 + e4;
    const int32_t f3 = e3 + (e5 >> 2);
    const int32_t f4 = e2 - e4;
    const int32_t f5 = (e3 >> 2) - e5;
    const int32_t f6 = e0 - e6;
    const int32_t f7 = e7 - (e1 >> 2);
    g[0] = f0 + f7;
    g[gstep] = f2 + f5;
    g[2 * gstep] = f4 + f3;
    g[3 * gstep] = f6 + f1;
    g[4 * gstep] = f6 - f1;
    g[5 * gstep] = f4 - f3;
    g[6 * gstep] = f2 - f5;
    g[7 * gstep] = f0 - f7;
}
} // namespace

void idct8x8Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    int32_t t[64];
    int32_t r[64];
    for (int i = 0; i < 8; ++i) idct8(c + i * 8, 1, t + i * 8, 1);
    for (int j = 0; j < 8; ++j) idct8(t + j, 8, r + j, 8);
    for (int y = 0; y < 8; ++y) {
        uint16_t* row = dst + y * stride;
        for (int x = 0; x < 8; ++x) row[x] = clip(row[x] + ((r[y * 8 + x] + 32) >> 6), maxValue);
    }
    for (int i = 0; i < 64; ++i) c[i] = 0;
}

void idct4x4PairAdd(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    idct4x4Add(dst, stride, c, maxValue);
    idct4x4Add(dst + 4, stride, c + 16, maxValue);
}

void dc4x4Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue) { dcAdd<4>(dst, stride, c, maxValue); }
void dc8x8Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue) { dcAdd<8>(dst, stride, c, maxValue); }

void hadamard4x4(int32_t* c)
{
    int32_t t[16];
    for (int i = 0; i < 4; ++i) {
        const int32_t* d = c + i * 4;
        const int32_t a = d[0] + d[1], b = d[0] - d[1], e = d[2] + d[3], f = d[2] - d[3];
        t[i * 4 + 0] = a + e;
        t[i * 4 + 1] = a - e;
        t[i * 4 + 2] = b - f;
        t[i * 4 + 3] = b + f;
    }
    for (int j = 0; j < 4; ++j) {
        const int32_t a = t[j] + t[4 + j], b = t[j] - t[4 + j], e = t[8 + j] + t[12 + j], f = t[8 + j] - t[12 + j];
        c[j] = a + e;
        c[4 + j] = a - e;
        c[8 + j] = b - f;
        c[12 + j] = b + f;
    }
}

// ---------------------------------------------------------------------------------------
// x86 variants. The sums stay in 32 bits as in the reference; the final add-and-clip packs
// to 16 bits with signed saturation, which clips the same way because samples are below
// 2^14.
// ---------------------------------------------------------------------------------------

#ifdef VORN_AVCI_X86

// The 8-point butterfly of idct8() on whole vectors: d0..d7 in, d0..d7 out.
#define VORN_IDCT8_VECTORS(ADD, SUB, SRA)                                                  \
    do {                                                                                   \
        const auto e0 = ADD(d0, d4);                                                       \
        const auto e1 = SUB(SUB(SUB(d5, d3), d7), SRA(d7, 1));                             \
        const auto e2 = SUB(d0, d4);                                                       \
        const auto e3 = SUB(SUB(ADD(d1, d7), d3), SRA(d3, 1));                             \
        const auto e4 = SUB(SRA(d2, 1), d6);                                               \
        const auto e5 = ADD(ADD(SUB(d7, d1), d5), SRA(d5, 1));                             \
        const auto e6 = ADD(d2, SRA(d6, 1));                                               \
        const auto e7 = ADD(ADD(ADD(d3, d5), d1), SRA(d1, 1));                             \
        const auto f0 = ADD(e0, e6);                                                       \
        const auto f1 = ADD(e1, SRA(e7, 2));                                               \
        const auto f2 = ADD(e2, e4);                                                       \
        const auto f3 = ADD(e3, SRA(e5, 2));                                               \
        const auto f4 = SUB(e2, e4);                                                       \
        const auto f5 = SUB(SRA(e3, 2), e5);                                               \
        const auto f6 = SUB(e0, e6);                                                       \
        const auto f7 = SUB(e7, SRA(e1, 2));                                               \
        d0 = ADD(f0, f7);                                                                  \
        d1 = ADD(f2, f5);                                                                  \
        d2 = ADD(f4, f3);                                                                  \
        d3 = ADD(f6, f1);                                                                  \
        d4 = SUB(f6, f1);                                                                  \
        d5 = SUB(f4, f3);                                                                  \
        d6 = SUB(f2, f5);                                                                  \
        d7 = SUB(f0, f7);                                                                  \
    } while (0)

namespace {

#define SSE2 __attribute__((target("sse2")))
#define AVX2 __attribute__((target("avx2")))

SSE2 inline void transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d)
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

SSE2 inline __m128i loadCoef(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// (residual + 32) >> 6 added to 4 samples, as 32-bit lanes.
SSE2 inline __m128i addRow4(__m128i residual, const uint16_t* row)
{
    const __m128i px = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row)), _mm_setzero_si128());
    return _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(residual, _mm_set1_epi32(32)), 6), px);
}

SSE2 inline __m128i clip16(__m128i v, __m128i maxv) { return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), maxv); }

SSE2 void idct4x4AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
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

SSE2 void idct4x4PairAddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    idct4x4AddSse2(dst, stride, c, maxValue);
    idct4x4AddSse2(dst + 4, stride, c + 16, maxValue);
}

// The DC residual, saturated to 16 bits: saturating adds then clip as the reference does.
SSE2 inline __m128i dcResidual(int32_t dc)
{
    const int32_t r = (dc + 32) >> 6;
    return _mm_set1_epi16(int16_t(std::clamp(r, -32768, 32767)));
}

SSE2 void dc4x4AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    const __m128i r = dcResidual(c[0]);
    const __m128i maxv = _mm_set1_epi16(int16_t(maxValue));
    for (int y = 0; y < 4; ++y) {
        __m128i* p = reinterpret_cast<__m128i*>(dst + y * stride);
        _mm_storel_epi64(p, clip16(_mm_adds_epi16(_mm_loadl_epi64(p), r), maxv));
    }
    c[0] = 0;
}

SSE2 void dc8x8AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    const __m128i r = dcResidual(c[0]);
    const __m128i maxv = _mm_set1_epi16(int16_t(maxValue));
    for (int y = 0; y < 8; ++y) {
        __m128i* p = reinterpret_cast<__m128i*>(dst + y * stride);
        _mm_storeu_si128(p, clip16(_mm_adds_epi16(_mm_loadu_si128(p), r), maxv));
    }
    c[0] = 0;
}

SSE2 inline __m128i add128(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
SSE2 inline __m128i sub128(__m128i a, __m128i b) { return _mm_sub_epi32(a, b); }
SSE2 inline __m128i sra128(__m128i a, int n) { return _mm_srai_epi32(a, n); }

// One 1-D pass over 8 vectors of 4 lanes (one half of the block).
SSE2 inline void idct8Sse2(__m128i* v)
{
    __m128i d0 = v[0], d1 = v[1], d2 = v[2], d3 = v[3], d4 = v[4], d5 = v[5], d6 = v[6], d7 = v[7];
    VORN_IDCT8_VECTORS(add128, sub128, sra128);
    v[0] = d0, v[1] = d1, v[2] = d2, v[3] = d3, v[4] = d4, v[5] = d5, v[6] = d6, v[7] = d7;
}

// lo[i], hi[i]: columns 0..3 and 4..7 of row i; transposed in place.
SSE2 inline void transpose8(__m128i* lo, __m128i* hi)
{
    transpose4(lo[0], lo[1], lo[2], lo[3]);
    transpose4(hi[0], hi[1], hi[2], hi[3]);
    transpose4(lo[4], lo[5], lo[6], lo[7]);
    transpose4(hi[4], hi[5], hi[6], hi[7]);
    for (int i = 0; i < 4; ++i) std::swap(hi[i], lo[4 + i]);
}

SSE2 void idct8x8AddSse2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
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

AVX2 inline __m256i add256(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
AVX2 inline __m256i sub256(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
AVX2 inline __m256i sra256(__m256i a, int n) { return _mm256_srai_epi32(a, n); }

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
AVX2 inline void addRows8Avx2(uint16_t* dst, ptrdiff_t stride, __m256i a, __m256i b, __m256i maxv)
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

AVX2 void idct8x8AddAvx2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
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
AVX2 inline __m256i loadRowPair(const int32_t* c, int row)
{
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 4 * row));
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 16 + 4 * row));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(l), r, 1);
}

AVX2 inline void transpose4Lanes(__m256i& a, __m256i& b, __m256i& c, __m256i& d)
{
    const __m256i t0 = _mm256_unpacklo_epi32(a, b), t1 = _mm256_unpacklo_epi32(c, d);
    const __m256i t2 = _mm256_unpackhi_epi32(a, b), t3 = _mm256_unpackhi_epi32(c, d);
    a = _mm256_unpacklo_epi64(t0, t1);
    b = _mm256_unpackhi_epi64(t0, t1);
    c = _mm256_unpacklo_epi64(t2, t3);
    d = _mm256_unpackhi_epi64(t2, t3);
}

AVX2 void idct4x4PairAddAvx2(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
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
#undef SSE2
#undef AVX2

} // namespace

#endif // VORN_AVCI_X86

const TransformKernels& transformKernels(SimdLevel level)
{
    static const TransformKernels plain{idct4x4Add, idct8x8Add, dc4x4Add, dc8x8Add, idct4x4PairAdd};
#ifdef VORN_AVCI_X86
    static const TransformKernels sse2{idct4x4AddSse2, idct8x8AddSse2, dc4x4AddSse2, dc8x8AddSse2,
                                       idct4x4PairAddSse2};
    static const TransformKernels avx2{idct4x4AddSse2, idct8x8AddAvx2, dc4x4AddSse2, dc8x8AddSse2,
                                       idct4x4PairAddAvx2};
    const std::vector<SimdLevel> supported = supportedSimdLevels();
    level = std::min(level, supported.back());
    if (level >= SimdLevel::Avx2) return avx2;
    if (level >= SimdLevel::Sse2) return sse2;
#endif
    (void)level;
    return plain;
}

const TransformKernels& transformKernels()
{
    static const TransformKernels& chosen = transformKernels(simdLevel());
    return chosen;
}

} // namespace vorn::avci
