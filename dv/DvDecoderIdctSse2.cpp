// SSE2 variants of the DV decoder's kernels.
#include "dv/DvDecoderIdct.h"

#include <immintrin.h>

namespace vorn::dv::detail {
namespace {

// ---------------------------------------------------------------------------
// SSE2: four samples of a row per vector.

inline __m128 bcast(float v) { return _mm_set1_ps(v); }
inline __m128 reverse4(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }

// lo[v] = outputs 0..3, hi[v] = outputs 4..7 of coefficient row v, of
// coefficients stored by column (cleared afterwards).
inline void rowPassSse2(float* coefT, unsigned rowMask, __m128* lo, __m128* hi)
{
    for (int v = 0; v < 8; ++v) {
        if (!(rowMask & (1u << v))) {
            lo[v] = _mm_setzero_ps();
            hi[v] = _mm_setzero_ps();
            continue;
        }
        const float* c = coefT + v; // column k at c[8 * k]
        __m128 e = _mm_setzero_ps(), o = _mm_setzero_ps();
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[0]), _mm_load_ps(g_col8[0])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[8]), _mm_load_ps(g_col8[1])));
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[16]), _mm_load_ps(g_col8[2])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[24]), _mm_load_ps(g_col8[3])));
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[32]), _mm_load_ps(g_col8[4])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[40]), _mm_load_ps(g_col8[5])));
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[48]), _mm_load_ps(g_col8[6])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[56]), _mm_load_ps(g_col8[7])));
        lo[v] = _mm_add_ps(e, o);
        hi[v] = reverse4(_mm_sub_ps(e, o));
    }
    for (int i = 0; i < 64; i += 4)
        _mm_storeu_ps(coefT + i, _mm_setzero_ps());
}

// v + 128 rounded half up, clamped to 0..255; 8 values to 8 bytes.
inline void storeSamplesSse2(__m128 a, __m128 b, uint8_t* out)
{
    const __m128 offset = bcast(128.5f), zero = _mm_setzero_ps(), top = bcast(255.0f);
    a = _mm_min_ps(_mm_max_ps(_mm_add_ps(a, offset), zero), top);
    b = _mm_min_ps(_mm_max_ps(_mm_add_ps(b, offset), zero), top);
    const __m128i w = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
}

void idct88Sse2(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
{
    __m128 lo[8], hi[8];
    rowPassSse2(coefT, rowMask, lo, hi);
    for (int y = 0; y < 4; ++y) {
        __m128 ea = _mm_setzero_ps(), eb = _mm_setzero_ps(), oa = _mm_setzero_ps(), ob = _mm_setzero_ps();
        for (int v = 0; v < 8; v += 2) {
            if (rowMask & (1u << v)) {
                const __m128 k = bcast(g_a8[y][v]);
                ea = _mm_add_ps(ea, _mm_mul_ps(lo[v], k));
                eb = _mm_add_ps(eb, _mm_mul_ps(hi[v], k));
            }
            if (rowMask & (2u << v)) {
                const __m128 k = bcast(g_a8[y][v + 1]);
                oa = _mm_add_ps(oa, _mm_mul_ps(lo[v + 1], k));
                ob = _mm_add_ps(ob, _mm_mul_ps(hi[v + 1], k));
            }
        }
        storeSamplesSse2(_mm_add_ps(ea, oa), _mm_add_ps(eb, ob), out + 8 * y);
        storeSamplesSse2(_mm_sub_ps(ea, oa), _mm_sub_ps(eb, ob), out + 8 * (7 - y));
    }
}

void idct248Sse2(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
{
    __m128 lo[8], hi[8];
    rowPassSse2(coefT, rowMask, lo, hi);
    for (int y = 0; y < 2; ++y) {
        // Even and odd parts of the sum field (rows 0-3) and the difference field (rows 4-7).
        const __m128 k0 = bcast(g_a4[y][0]), k1 = bcast(g_a4[y][1]), k2 = bcast(g_a4[y][2]), k3 = bcast(g_a4[y][3]);
        const __m128 sea = _mm_add_ps(_mm_mul_ps(lo[0], k0), _mm_mul_ps(lo[2], k2));
        const __m128 seb = _mm_add_ps(_mm_mul_ps(hi[0], k0), _mm_mul_ps(hi[2], k2));
        const __m128 soa = _mm_add_ps(_mm_mul_ps(lo[1], k1), _mm_mul_ps(lo[3], k3));
        const __m128 sob = _mm_add_ps(_mm_mul_ps(hi[1], k1), _mm_mul_ps(hi[3], k3));
        const __m128 dea = _mm_add_ps(_mm_mul_ps(lo[4], k0), _mm_mul_ps(lo[6], k2));
        const __m128 deb = _mm_add_ps(_mm_mul_ps(hi[4], k0), _mm_mul_ps(hi[6], k2));
        const __m128 doa = _mm_add_ps(_mm_mul_ps(lo[5], k1), _mm_mul_ps(lo[7], k3));
        const __m128 dob = _mm_add_ps(_mm_mul_ps(hi[5], k1), _mm_mul_ps(hi[7], k3));
        // Field line y and 3 - y.
        const __m128 s0a = _mm_add_ps(sea, soa), s0b = _mm_add_ps(seb, sob);
        const __m128 s1a = _mm_sub_ps(sea, soa), s1b = _mm_sub_ps(seb, sob);
        const __m128 d0a = _mm_add_ps(dea, doa), d0b = _mm_add_ps(deb, dob);
        const __m128 d1a = _mm_sub_ps(dea, doa), d1b = _mm_sub_ps(deb, dob);
        storeSamplesSse2(_mm_add_ps(s0a, d0a), _mm_add_ps(s0b, d0b), out + 16 * y);
        storeSamplesSse2(_mm_sub_ps(s0a, d0a), _mm_sub_ps(s0b, d0b), out + 16 * y + 8);
        storeSamplesSse2(_mm_add_ps(s1a, d1a), _mm_add_ps(s1b, d1b), out + 16 * (3 - y));
        storeSamplesSse2(_mm_sub_ps(s1a, d1a), _mm_sub_ps(s1b, d1b), out + 16 * (3 - y) + 8);
    }
}

inline __m128i load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// 16 pixels of 4:2:2: luma from two 8-sample rows, chroma from 8 Cb and 8 Cr samples.
void row422Sse2(uint8_t* d, const uint8_t* yl, const uint8_t* yr, const uint8_t* cb, const uint8_t* cr)
{
    const __m128i y = _mm_unpacklo_epi64(load8(yl), load8(yr));
    const __m128i c = _mm_unpacklo_epi8(load8(cb), load8(cr));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(y, c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi8(y, c));
}

// 32 pixels of 4:1:1: luma from four 8-sample rows, each chroma sample serving four pixels.
void row411Sse2(uint8_t* d, const uint8_t* y0, const uint8_t* y1, const uint8_t* y2, const uint8_t* y3,
                          const uint8_t* cb, const uint8_t* cr)
{
    const __m128i c = _mm_unpacklo_epi8(load8(cb), load8(cr));
    const __m128i clo = _mm_unpacklo_epi16(c, c), chi = _mm_unpackhi_epi16(c, c);
    const __m128i ya = _mm_unpacklo_epi64(load8(y0), load8(y1));
    const __m128i yb = _mm_unpacklo_epi64(load8(y2), load8(y3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(ya, clo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi8(ya, clo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_unpacklo_epi8(yb, chi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), _mm_unpackhi_epi8(yb, chi));
}

void mb411Sse2(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64]) { mb411T<row411Sse2>(d, step, px); }
void mb422Sse2(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64], int layout)
{
    mb422T<row422Sse2>(d, step, px, layout);
}

} // namespace

constinit const SimdRung<DecoderKernels> kDecoderKernelsSse2 = {
    SimdLevel::Sse2, VORN_COMPILED_CPU_FEATURES,
    {.idct88 = idct88Sse2, .idct248 = idct248Sse2, .row422 = row422Sse2, .row411 = row411Sse2, .mb411 = mb411Sse2,
     .mb422 = mb422Sse2}};

} // namespace vorn::dv::detail
