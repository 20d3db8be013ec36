// Inverse DCTs of the DV decoder: the 8-8 transform and the 2-4-8 transform
// (8-point horizontally; vertically a 4-point transform of the sum and of the
// difference of the two fields, recombined into interleaved lines).
#include "dv/DvDecoderCore.h"

#include <cmath>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn::dv::detail {

namespace {

float g_a8[8][8]; // g_a8[n][k] = C(k)/2 * cos(pi k (2n + 1) / 16)
float g_a4[4][4]; // g_a4[n][k] = C(k)/2 * cos(pi k (2n + 1) / 8)
#if defined(__SSE2__)
alignas(16) float g_col8[8][2][4]; // basis k at outputs 4 * half .. 4 * half + 3
#endif
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
#if defined(__SSE2__)
    for (int k = 0; k < 8; ++k)
        for (int n = 0; n < 8; ++n)
            g_col8[k][n / 4][n % 4] = g_a8[n][k];
#endif
}

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

// Horizontal 8-point inverse transform of the rows in rowMask.
inline void rowPass(const float* coef, unsigned rowMask, float* tmp)
{
    for (int v = 0; v < 8; ++v) {
        float* t = tmp + v * 8;
        if (!(rowMask & (1u << v))) {
            for (int x = 0; x < 8; ++x)
                t[x] = 0.0f;
            continue;
        }
        const float* c = coef + v * 8;
        for (int x = 0; x < 8; ++x) {
            float s = 0.0f;
            for (int h = 0; h < 8; ++h)
                s += c[h] * g_a8[x][h];
            t[x] = s;
        }
    }
}

} // namespace

void initIdct() { std::call_once(g_once, buildBases); }

#if defined(__SSE2__)

namespace {

inline __m128 bcast(float v) { return _mm_set1_ps(v); }

// tmp[v] (8 floats as two vectors) = sum over h of coef[v][h] * basis h.
inline void rowPassSse(const float* coef, unsigned rowMask, __m128* lo, __m128* hi)
{
    for (int v = 0; v < 8; ++v) {
        if (!(rowMask & (1u << v))) {
            lo[v] = _mm_setzero_ps();
            hi[v] = _mm_setzero_ps();
            continue;
        }
        const float* c = coef + v * 8;
        __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps();
        for (int h = 0; h < 8; ++h) {
            if (c[h] == 0.0f)
                continue;
            const __m128 k = bcast(c[h]);
            a = _mm_add_ps(a, _mm_mul_ps(k, _mm_load_ps(g_col8[h][0])));
            b = _mm_add_ps(b, _mm_mul_ps(k, _mm_load_ps(g_col8[h][1])));
        }
        lo[v] = a;
        hi[v] = b;
    }
}

// Rounds v + 128 half up and clamps to 0..255 (same as toSample), 8 values to 8 bytes.
inline void storeSamples(__m128 a, __m128 b, uint8_t* out)
{
    const __m128 offset = bcast(128.5f), zero = _mm_setzero_ps(), top = bcast(255.0f);
    a = _mm_min_ps(_mm_max_ps(_mm_add_ps(a, offset), zero), top);
    b = _mm_min_ps(_mm_max_ps(_mm_add_ps(b, offset), zero), top);
    const __m128i ia = _mm_cvttps_epi32(a), ib = _mm_cvttps_epi32(b);
    const __m128i w = _mm_packs_epi32(ia, ib);
    const __m128i bytes = _mm_packus_epi16(w, w);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
}

} // namespace

void idct88(const float* coef, unsigned rowMask, uint8_t* out)
{
    __m128 lo[8], hi[8];
    rowPassSse(coef, rowMask, lo, hi);
    for (int y = 0; y < 8; ++y) {
        __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps();
        for (int v = 0; v < 8; ++v) {
            if (!(rowMask & (1u << v)))
                continue;
            const __m128 k = bcast(g_a8[y][v]);
            a = _mm_add_ps(a, _mm_mul_ps(lo[v], k));
            b = _mm_add_ps(b, _mm_mul_ps(hi[v], k));
        }
        storeSamples(a, b, out + 8 * y);
    }
}

void idct248(const float* coef, unsigned rowMask, uint8_t* out)
{
    __m128 lo[8], hi[8];
    rowPassSse(coef, rowMask, lo, hi);
    for (int y = 0; y < 4; ++y) {
        __m128 sa = _mm_setzero_ps(), sb = _mm_setzero_ps(), da = _mm_setzero_ps(), db = _mm_setzero_ps();
        for (int v = 0; v < 4; ++v) {
            const __m128 k = bcast(g_a4[y][v]);
            sa = _mm_add_ps(sa, _mm_mul_ps(lo[v], k));
            sb = _mm_add_ps(sb, _mm_mul_ps(hi[v], k));
            da = _mm_add_ps(da, _mm_mul_ps(lo[v + 4], k));
            db = _mm_add_ps(db, _mm_mul_ps(hi[v + 4], k));
        }
        storeSamples(_mm_add_ps(sa, da), _mm_add_ps(sb, db), out + 16 * y);
        storeSamples(_mm_sub_ps(sa, da), _mm_sub_ps(sb, db), out + 16 * y + 8);
    }
}

#else

void idct88(const float* coef, unsigned rowMask, uint8_t* out)
{
    if (rowMask == 1u) {
        // Only the first coefficient row: every output row is the same.
        float t[8];
        for (int x = 0; x < 8; ++x) {
            float s = 0.0f;
            for (int h = 0; h < 8; ++h)
                s += coef[h] * g_a8[x][h];
            t[x] = s * g_a8[0][0];
        }
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                out[y * 8 + x] = toSample(t[x]);
        return;
    }
    float tmp[64];
    rowPass(coef, rowMask, tmp);
    for (int y = 0; y < 8; ++y) {
        float acc[8] = {};
        for (int v = 0; v < 8; ++v) {
            const float a = g_a8[y][v];
            const float* t = tmp + v * 8;
            for (int x = 0; x < 8; ++x)
                acc[x] += t[x] * a;
        }
        for (int x = 0; x < 8; ++x)
            out[y * 8 + x] = toSample(acc[x]);
    }
}

void idct248(const float* coef, unsigned rowMask, uint8_t* out)
{
    float tmp[64];
    rowPass(coef, rowMask, tmp);
    for (int y = 0; y < 4; ++y) {
        float sum[8] = {}, diff[8] = {};
        for (int v = 0; v < 4; ++v) {
            const float a = g_a4[y][v];
            const float* ts = tmp + v * 8;
            const float* td = tmp + (v + 4) * 8;
            for (int x = 0; x < 8; ++x) {
                sum[x] += ts[x] * a;
                diff[x] += td[x] * a;
            }
        }
        for (int x = 0; x < 8; ++x) {
            out[(2 * y) * 8 + x] = toSample(sum[x] + diff[x]);
            out[(2 * y + 1) * 8 + x] = toSample(sum[x] - diff[x]);
        }
    }
}

#endif

} // namespace vorn::dv::detail
