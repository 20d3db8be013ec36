// Inverse DCTs of the DV decoder: the 8-8 transform and the 2-4-8 transform
// (8-point horizontally; vertically a 4-point transform of the sum and of the
// difference of the two fields, recombined into interleaved lines).
//
// Both 1-D passes use the symmetry of the cosine basis: output n and output
// N-1-n share the even-frequency sum E and the odd-frequency sum O (n gets
// E + O, N-1-n gets E - O). The SSE2 form and the portable form add the same
// products in the same order, so they give identical samples.
#include "dv/DvDecoderCore.h"

#include <cmath>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn::dv::detail {

namespace {

alignas(16) float g_a8[8][8]; // g_a8[n][k] = C(k)/2 * cos(pi k (2n + 1) / 16)
alignas(16) float g_a4[4][4]; // g_a4[n][k] = C(k)/2 * cos(pi k (2n + 1) / 8)
alignas(16) float g_col8[8][4]; // g_col8[k][n] = g_a8[n][k] for n = 0..3
std::once_flag g_once;

void buildBases()
{
    const double pi = std::acos(-1.0);
    for (int n = 0; n < 8; ++n)
        for (int k = 0; k < 8; ++k)
            g_a8[n][k] = static_cast<float>((k == 0 ? std::sqrt(0.5) : 1.0) / 2.0 * std::cos(pi * k * (2 * n + 1) / 16.0));
    for (int n = 0; n < 4; ++n)
        for (int k = 0; k < 4; ++k)
            g_a4[n][k] = static_cast<float>((k == 0 ? std::sqrt(0.5) : 1.0) / 2.0 * std::cos(pi * k * (2 * n + 1) / 8.0));
    for (int k = 0; k < 8; ++k)
        for (int n = 0; n < 4; ++n)
            g_col8[k][n] = g_a8[n][k];
}

#if !defined(__SSE2__)

inline uint8_t toSample(float v)
{
    // Round half up after adding the 128 offset; the clamp keeps the conversion defined.
    v += 128.5f;
    if (v < 0.0f)
        v = 0.0f;
    if (v > 255.0f)
        v = 255.0f;
    return static_cast<uint8_t>(static_cast<int>(v));
}

// Horizontal pass: tmp[v][0..7] for the coefficient rows in rowMask (others zero).
void rowPass(float* coef, unsigned rowMask, float* tmp)
{
    for (int v = 0; v < 8; ++v) {
        float* t = tmp + v * 8;
        if (!(rowMask & (1u << v))) {
            for (int x = 0; x < 8; ++x)
                t[x] = 0.0f;
            continue;
        }
        float* c = coef + v * 8;
        for (int x = 0; x < 4; ++x) {
            float e = 0.0f, o = 0.0f;
            e = e + c[0] * g_col8[0][x];
            o = o + c[1] * g_col8[1][x];
            e = e + c[2] * g_col8[2][x];
            o = o + c[3] * g_col8[3][x];
            e = e + c[4] * g_col8[4][x];
            o = o + c[5] * g_col8[5][x];
            e = e + c[6] * g_col8[6][x];
            o = o + c[7] * g_col8[7][x];
            t[x] = e + o;
            t[7 - x] = e - o;
        }
        for (int h = 0; h < 8; ++h)
            c[h] = 0.0f;
    }
}

#endif

} // namespace

void initIdct() { std::call_once(g_once, buildBases); }

#if defined(__SSE2__)

namespace {

inline __m128 bcast(float v) { return _mm_set1_ps(v); }
inline __m128 reverse4(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }

// lo[v] = outputs 0..3, hi[v] = outputs 4..7 of coefficient row v.
inline void rowPassSse(float* coef, unsigned rowMask, __m128* lo, __m128* hi)
{
    for (int v = 0; v < 8; ++v) {
        if (!(rowMask & (1u << v))) {
            lo[v] = _mm_setzero_ps();
            hi[v] = _mm_setzero_ps();
            continue;
        }
        float* c = coef + v * 8;
        __m128 e = _mm_setzero_ps(), o = _mm_setzero_ps();
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[0]), _mm_load_ps(g_col8[0])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[1]), _mm_load_ps(g_col8[1])));
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[2]), _mm_load_ps(g_col8[2])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[3]), _mm_load_ps(g_col8[3])));
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[4]), _mm_load_ps(g_col8[4])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[5]), _mm_load_ps(g_col8[5])));
        e = _mm_add_ps(e, _mm_mul_ps(bcast(c[6]), _mm_load_ps(g_col8[6])));
        o = _mm_add_ps(o, _mm_mul_ps(bcast(c[7]), _mm_load_ps(g_col8[7])));
        lo[v] = _mm_add_ps(e, o);
        hi[v] = reverse4(_mm_sub_ps(e, o));
        _mm_storeu_ps(c, _mm_setzero_ps());
        _mm_storeu_ps(c + 4, _mm_setzero_ps());
    }
}

// v + 128 rounded half up, clamped to 0..255; 8 values to 8 bytes.
inline void storeSamples(__m128 a, __m128 b, uint8_t* out)
{
    const __m128 offset = bcast(128.5f), zero = _mm_setzero_ps(), top = bcast(255.0f);
    a = _mm_min_ps(_mm_max_ps(_mm_add_ps(a, offset), zero), top);
    b = _mm_min_ps(_mm_max_ps(_mm_add_ps(b, offset), zero), top);
    const __m128i w = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
}

} // namespace

void idct88(float* coef, unsigned rowMask, uint8_t* out)
{
    __m128 lo[8], hi[8];
    rowPassSse(coef, rowMask, lo, hi);
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
        storeSamples(_mm_add_ps(ea, oa), _mm_add_ps(eb, ob), out + 8 * y);
        storeSamples(_mm_sub_ps(ea, oa), _mm_sub_ps(eb, ob), out + 8 * (7 - y));
    }
}

void idct248(float* coef, unsigned rowMask, uint8_t* out)
{
    __m128 lo[8], hi[8];
    rowPassSse(coef, rowMask, lo, hi);
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
        storeSamples(_mm_add_ps(s0a, d0a), _mm_add_ps(s0b, d0b), out + 16 * y);
        storeSamples(_mm_sub_ps(s0a, d0a), _mm_sub_ps(s0b, d0b), out + 16 * y + 8);
        storeSamples(_mm_add_ps(s1a, d1a), _mm_add_ps(s1b, d1b), out + 16 * (3 - y));
        storeSamples(_mm_sub_ps(s1a, d1a), _mm_sub_ps(s1b, d1b), out + 16 * (3 - y) + 8);
    }
}

#else

void idct88(float* coef, unsigned rowMask, uint8_t* out)
{
    float tmp[64];
    rowPass(coef, rowMask, tmp);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) {
            float e = 0.0f, o = 0.0f;
            for (int v = 0; v < 8; v += 2) {
                if (rowMask & (1u << v))
                    e = e + tmp[v * 8 + x] * g_a8[y][v];
                if (rowMask & (2u << v))
                    o = o + tmp[(v + 1) * 8 + x] * g_a8[y][v + 1];
            }
            out[8 * y + x] = toSample(e + o);
            out[8 * (7 - y) + x] = toSample(e - o);
        }
}

void idct248(float* coef, unsigned rowMask, uint8_t* out)
{
    float tmp[64];
    rowPass(coef, rowMask, tmp);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x) {
            const float* t = tmp + x;
            const float se = t[0] * g_a4[y][0] + t[16] * g_a4[y][2];
            const float so = t[8] * g_a4[y][1] + t[24] * g_a4[y][3];
            const float de = t[32] * g_a4[y][0] + t[48] * g_a4[y][2];
            const float dd = t[40] * g_a4[y][1] + t[56] * g_a4[y][3];
            const float s0 = se + so, s1 = se - so, d0 = de + dd, d1 = de - dd;
            out[16 * y + x] = toSample(s0 + d0);
            out[16 * y + 8 + x] = toSample(s0 - d0);
            out[16 * (3 - y) + x] = toSample(s1 + d1);
            out[16 * (3 - y) + 8 + x] = toSample(s1 - d1);
        }
}

#endif

} // namespace vorn::dv::detail
