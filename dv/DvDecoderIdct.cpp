// Inverse DCTs of the DV decoder: the 8-8 transform and the 2-4-8 transform
// (8-point horizontally; vertically a 4-point transform of the sum and of the
// difference of the two fields, recombined into interleaved lines), and the
// writers of packed 4:2:2 rows from decoded blocks.
//
// Both 1-D passes use the symmetry of the cosine basis: output n and output
// N-1-n share the even-frequency sum E and the odd-frequency sum O (n gets
// E + O, N-1-n gets E - O). Every variant adds the same products in the same
// order for each sample, so all give identical samples; the plain one is the
// reference the others are tested against.
#include "dv/DvDecoderCore.h"

#include <bit>

#include <cmath>
#include <mutex>

#if defined(__x86_64__) || defined(__i386__)
#define VORN_X86 1
#include <immintrin.h>
#define VORN_SSE2 __attribute__((target("sse2")))
#define VORN_AVX2 __attribute__((target("avx2")))
#endif

namespace vorn::dv::detail {

namespace {

alignas(32) float g_a8[8][8];   // g_a8[n][k] = C(k)/2 * cos(pi k (2n + 1) / 16)
alignas(32) float g_a4[4][4];   // g_a4[n][k] = C(k)/2 * cos(pi k (2n + 1) / 8)
alignas(32) float g_col8[8][4]; // g_col8[k][n] = g_a8[n][k] for n = 0..3
alignas(32) float g_col8x[8][8]; // g_col8[k][0..3] followed by g_col8[k][3..0]
alignas(32) float g_rowSplat[4][8][8]; // g_rowSplat[x][k][*] = g_col8[k][x]
alignas(32) float g_colSplat[4][8][8]; // g_colSplat[y][v][*] = g_a8[y][v]
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
        for (int n = 0; n < 4; ++n) {
            g_col8[k][n] = g_a8[n][k];
            g_col8x[k][n] = g_a8[n][k];
            g_col8x[k][7 - n] = g_a8[n][k];
            for (int i = 0; i < 8; ++i) {
                g_rowSplat[n][k][i] = g_col8[k][n];
                g_colSplat[n][k][i] = g_a8[n][k];
            }
        }
}

// ---------------------------------------------------------------------------
// Plain reference.

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

// Horizontal pass: tmp[v][0..7] for the coefficient rows in rowMask (others
// zero), of coefficients stored by column; the coefficients are cleared.
void rowPass(float* coefT, unsigned rowMask, float* tmp)
{
    for (int v = 0; v < 8; ++v) {
        float* t = tmp + v * 8;
        if (!(rowMask & (1u << v))) {
            for (int x = 0; x < 8; ++x)
                t[x] = 0.0f;
            continue;
        }
        const float* c = coefT + v; // column k at c[8 * k]
        for (int x = 0; x < 4; ++x) {
            float e = 0.0f, o = 0.0f;
            e = e + c[0] * g_col8[0][x];
            o = o + c[8] * g_col8[1][x];
            e = e + c[16] * g_col8[2][x];
            o = o + c[24] * g_col8[3][x];
            e = e + c[32] * g_col8[4][x];
            o = o + c[40] * g_col8[5][x];
            e = e + c[48] * g_col8[6][x];
            o = o + c[56] * g_col8[7][x];
            t[x] = e + o;
            t[7 - x] = e - o;
        }
    }
    for (int i = 0; i < 64; ++i)
        coefT[i] = 0.0f;
}

void idct88Plain(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
{
    float tmp[64];
    rowPass(coefT, rowMask, tmp);
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

void idct248Plain(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
{
    float tmp[64];
    rowPass(coefT, rowMask, tmp);
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

void row422Plain(uint8_t* d, const uint8_t* yl, const uint8_t* yr, const uint8_t* cb, const uint8_t* cr)
{
    for (int i = 0; i < 8; ++i) {
        const uint8_t* ys = i < 4 ? yl + 2 * i : yr + 2 * (i - 4);
        d[4 * i] = ys[0];
        d[4 * i + 1] = cb[i];
        d[4 * i + 2] = ys[1];
        d[4 * i + 3] = cr[i];
    }
}

void row411Plain(uint8_t* d, const uint8_t* y0, const uint8_t* y1, const uint8_t* y2, const uint8_t* y3,
                 const uint8_t* cb, const uint8_t* cr)
{
    const uint8_t* ys[4] = {y0, y1, y2, y3};
    for (int p = 0; p < 16; ++p) {
        const uint8_t* s = ys[p / 4] + 2 * (p % 4);
        d[4 * p] = s[0];
        d[4 * p + 1] = cb[p / 2];
        d[4 * p + 2] = s[1];
        d[4 * p + 3] = cr[p / 2];
    }
}

template <auto Row411>
inline void mb411T(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64])
{
    for (int r = 0; r < 8; ++r, d += step)
        Row411(d, px[0] + 8 * r, px[1] + 8 * r, px[2] + 8 * r, px[3] + 8 * r, px[5] + 8 * r, px[4] + 8 * r);
}

template <auto Row422>
inline void mb422T(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64], int layout)
{
    if (layout == kMb422Sd) {
        for (int r = 0; r < 8; ++r, d += step)
            Row422(d, px[0] + 8 * r, px[2] + 8 * r, px[5] + 8 * r, px[4] + 8 * r);
        return;
    }
    // Frame layout: the upper blocks' 8 lines, then the lower blocks'; field
    // layout: their lines alternate.
    const ptrdiff_t halfStep = layout == kMb422HdField ? step : 8 * step;
    const ptrdiff_t lineStep = layout == kMb422HdField ? 2 * step : step;
    for (int half = 0; half < 2; ++half) {
        uint8_t* row = d + half * halfStep;
        for (int line = 0; line < 64; line += 8, row += lineStep)
            Row422(row, px[2 * half] + line, px[2 * half + 1] + line, px[6 + half] + line, px[4 + half] + line);
    }
}

void mb411Plain(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64]) { mb411T<row411Plain>(d, step, px); }
void mb422Plain(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64], int layout)
{
    mb422T<row422Plain>(d, step, px, layout);
}

#ifdef VORN_X86

// ---------------------------------------------------------------------------
// SSE2: four samples of a row per vector.

VORN_SSE2 inline __m128 bcast(float v) { return _mm_set1_ps(v); }
VORN_SSE2 inline __m128 reverse4(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }

// lo[v] = outputs 0..3, hi[v] = outputs 4..7 of coefficient row v, of
// coefficients stored by column (cleared afterwards).
VORN_SSE2 inline void rowPassSse2(float* coefT, unsigned rowMask, __m128* lo, __m128* hi)
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
VORN_SSE2 inline void storeSamplesSse2(__m128 a, __m128 b, uint8_t* out)
{
    const __m128 offset = bcast(128.5f), zero = _mm_setzero_ps(), top = bcast(255.0f);
    a = _mm_min_ps(_mm_max_ps(_mm_add_ps(a, offset), zero), top);
    b = _mm_min_ps(_mm_max_ps(_mm_add_ps(b, offset), zero), top);
    const __m128i w = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
}

VORN_SSE2 void idct88Sse2(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
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

VORN_SSE2 void idct248Sse2(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
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

VORN_SSE2 inline __m128i load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// 16 pixels of 4:2:2: luma from two 8-sample rows, chroma from 8 Cb and 8 Cr samples.
VORN_SSE2 void row422Sse2(uint8_t* d, const uint8_t* yl, const uint8_t* yr, const uint8_t* cb, const uint8_t* cr)
{
    const __m128i y = _mm_unpacklo_epi64(load8(yl), load8(yr));
    const __m128i c = _mm_unpacklo_epi8(load8(cb), load8(cr));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(y, c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi8(y, c));
}

// 32 pixels of 4:1:1: luma from four 8-sample rows, each chroma sample serving four pixels.
VORN_SSE2 void row411Sse2(uint8_t* d, const uint8_t* y0, const uint8_t* y1, const uint8_t* y2, const uint8_t* y3,
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

VORN_SSE2 void mb411Sse2(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64]) { mb411T<row411Sse2>(d, step, px); }
VORN_SSE2 void mb422Sse2(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64], int layout)
{
    mb422T<row422Sse2>(d, step, px, layout);
}

// ---------------------------------------------------------------------------
// AVX2: a whole row of eight samples per vector. The row pass builds E and O
// with outputs 0..3 in the low half and the mirrored outputs 7..4 in the high
// half, so one add of O with its high half negated gives the row.

// Coefficient row v of a block stored by column to its eight outputs; the
// block's columns outside colMask are zero.
VORN_AVX2 inline __m256 rowAvx2(const float* coefT, int v, unsigned colMask)
{
    const __m256 flipHigh = _mm256_castsi256_ps(_mm256_set_epi32(INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, 0, 0, 0, 0));
    // Terms of zero coefficients add only zeros, so leaving them out gives
    // the same samples: a block of DC column only, or with columns 4-7 zero,
    // takes the shorter forms.
    const float* c = coefT + v; // column k at c[8 * k]
    if (colMask == 1)
        return _mm256_mul_ps(_mm256_set1_ps(c[0]), _mm256_load_ps(g_col8x[0]));
    __m256 e = _mm256_mul_ps(_mm256_set1_ps(c[0]), _mm256_load_ps(g_col8x[0]));
    __m256 o = _mm256_mul_ps(_mm256_set1_ps(c[8]), _mm256_load_ps(g_col8x[1]));
    e = _mm256_add_ps(e, _mm256_mul_ps(_mm256_set1_ps(c[16]), _mm256_load_ps(g_col8x[2])));
    o = _mm256_add_ps(o, _mm256_mul_ps(_mm256_set1_ps(c[24]), _mm256_load_ps(g_col8x[3])));
    if (colMask & 0xF0) {
        e = _mm256_add_ps(e, _mm256_mul_ps(_mm256_set1_ps(c[32]), _mm256_load_ps(g_col8x[4])));
        o = _mm256_add_ps(o, _mm256_mul_ps(_mm256_set1_ps(c[40]), _mm256_load_ps(g_col8x[5])));
        e = _mm256_add_ps(e, _mm256_mul_ps(_mm256_set1_ps(c[48]), _mm256_load_ps(g_col8x[6])));
        o = _mm256_add_ps(o, _mm256_mul_ps(_mm256_set1_ps(c[56]), _mm256_load_ps(g_col8x[7])));
    }
    return _mm256_add_ps(e, _mm256_xor_ps(o, flipHigh));
}

// Clears the coefficient columns in colMask (and maybe others) of a block
// stored by column.
VORN_AVX2 inline void clearColumnsAvx2(float* coefT, unsigned colMask)
{
    const __m256 zero = _mm256_setzero_ps();
    _mm256_storeu_ps(coefT, zero);
    if (colMask > 1) {
        _mm256_storeu_ps(coefT + 8, zero);
        _mm256_storeu_ps(coefT + 16, zero);
        _mm256_storeu_ps(coefT + 24, zero);
        if (colMask & 0xF0) {
            _mm256_storeu_ps(coefT + 32, zero);
            _mm256_storeu_ps(coefT + 40, zero);
            _mm256_storeu_ps(coefT + 48, zero);
            _mm256_storeu_ps(coefT + 56, zero);
        }
    }
}

// The eight coefficient rows of a block (cleared afterwards) and, after the
// row pass, its eight rows of outputs, in named registers: as arrays indexed
// in loops the compiler copied the block through the stack in 16-byte pieces
// and read them back whole, which stalls every load.
struct Block8 {
    __m256 r0, r1, r2, r3, r4, r5, r6, r7;
};

VORN_AVX2 inline void transpose8x8(Block8& b)
{
    const __m256 t0 = _mm256_unpacklo_ps(b.r0, b.r1), t1 = _mm256_unpackhi_ps(b.r0, b.r1);
    const __m256 t2 = _mm256_unpacklo_ps(b.r2, b.r3), t3 = _mm256_unpackhi_ps(b.r2, b.r3);
    const __m256 t4 = _mm256_unpacklo_ps(b.r4, b.r5), t5 = _mm256_unpackhi_ps(b.r4, b.r5);
    const __m256 t6 = _mm256_unpacklo_ps(b.r6, b.r7), t7 = _mm256_unpackhi_ps(b.r6, b.r7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    b.r0 = _mm256_permute2f128_ps(u0, u4, 0x20);
    b.r1 = _mm256_permute2f128_ps(u1, u5, 0x20);
    b.r2 = _mm256_permute2f128_ps(u2, u6, 0x20);
    b.r3 = _mm256_permute2f128_ps(u3, u7, 0x20);
    b.r4 = _mm256_permute2f128_ps(u0, u4, 0x31);
    b.r5 = _mm256_permute2f128_ps(u1, u5, 0x31);
    b.r6 = _mm256_permute2f128_ps(u2, u6, 0x31);
    b.r7 = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// E + O and E - O of one output of an 8-point pass: sum of the first kTerms
// inputs times the broadcast factors k[0..kTerms-1], even and odd terms apart.
// Inputs past kTerms must be zero: their terms, left out, add only zeros, so
// the shorter sums give the same values (up to the sign of a zero).
template <int kTerms = 8>
VORN_AVX2 inline void butterflyAvx2(const Block8& c, const float (*k)[8], __m256& plus, __m256& minus)
{
    __m256 e = _mm256_mul_ps(c.r0, _mm256_load_ps(k[0]));
    __m256 o = _mm256_mul_ps(c.r1, _mm256_load_ps(k[1]));
    e = _mm256_add_ps(e, _mm256_mul_ps(c.r2, _mm256_load_ps(k[2])));
    o = _mm256_add_ps(o, _mm256_mul_ps(c.r3, _mm256_load_ps(k[3])));
    if constexpr (kTerms > 4) {
        e = _mm256_add_ps(e, _mm256_mul_ps(c.r4, _mm256_load_ps(k[4])));
        o = _mm256_add_ps(o, _mm256_mul_ps(c.r5, _mm256_load_ps(k[5])));
    }
    if constexpr (kTerms > 6) {
        e = _mm256_add_ps(e, _mm256_mul_ps(c.r6, _mm256_load_ps(k[6])));
        o = _mm256_add_ps(o, _mm256_mul_ps(c.r7, _mm256_load_ps(k[7])));
    }
    plus = _mm256_add_ps(e, o);
    minus = _mm256_sub_ps(e, o);
}

// The row pass for blocks with many coefficient rows: the block is stored
// by column, so one vector holds a coefficient column (one lane per row);
// each output column of all eight rows is built at once with the same
// products and sums as rowAvx2, and the result is transposed to rows.
VORN_AVX2 inline Block8 rowPassColumnsAvx2(float* coefT)
{
    Block8 c{_mm256_loadu_ps(coefT),      _mm256_loadu_ps(coefT + 8),  _mm256_loadu_ps(coefT + 16),
             _mm256_loadu_ps(coefT + 24), _mm256_loadu_ps(coefT + 32), _mm256_loadu_ps(coefT + 40),
             _mm256_loadu_ps(coefT + 48), _mm256_loadu_ps(coefT + 56)};
    // Straight stores: as a loop the compiler makes a string store of them,
    // slow to start for 256 bytes.
    const __m256 zero = _mm256_setzero_ps();
    _mm256_storeu_ps(coefT, zero);
    _mm256_storeu_ps(coefT + 8, zero);
    _mm256_storeu_ps(coefT + 16, zero);
    _mm256_storeu_ps(coefT + 24, zero);
    _mm256_storeu_ps(coefT + 32, zero);
    _mm256_storeu_ps(coefT + 40, zero);
    _mm256_storeu_ps(coefT + 48, zero);
    _mm256_storeu_ps(coefT + 56, zero);
    Block8 row;
    butterflyAvx2(c, g_rowSplat[0], row.r0, row.r7);
    butterflyAvx2(c, g_rowSplat[1], row.r1, row.r6);
    butterflyAvx2(c, g_rowSplat[2], row.r2, row.r5);
    butterflyAvx2(c, g_rowSplat[3], row.r3, row.r4);
    transpose8x8(row); // row.rv: outputs 0..7 of coefficient row v
    return row;
}

VORN_AVX2 inline __m256 rowOrZeroAvx2(const float* coefT, unsigned rowMask, unsigned colMask, int v)
{
    return (rowMask & (1u << v)) ? rowAvx2(coefT, v, colMask) : _mm256_setzero_ps();
}

// Blocks with few coefficient rows go row by row (zero rows cost nothing),
// others by columns; both give the same values.
VORN_AVX2 inline Block8 rowPassBestAvx2(float* coefT, unsigned rowMask, unsigned colMask)
{
    if (__builtin_popcount(rowMask) <= 2) {
        const Block8 r{rowOrZeroAvx2(coefT, rowMask, colMask, 0), rowOrZeroAvx2(coefT, rowMask, colMask, 1),
                       rowOrZeroAvx2(coefT, rowMask, colMask, 2), rowOrZeroAvx2(coefT, rowMask, colMask, 3),
                       rowOrZeroAvx2(coefT, rowMask, colMask, 4), rowOrZeroAvx2(coefT, rowMask, colMask, 5),
                       rowOrZeroAvx2(coefT, rowMask, colMask, 6), rowOrZeroAvx2(coefT, rowMask, colMask, 7)};
        clearColumnsAvx2(coefT, colMask);
        return r;
    }
    return rowPassColumnsAvx2(coefT);
}

VORN_AVX2 inline __m256i toInt32Avx2(__m256 x) { return _mm256_cvttps_epi32(_mm256_add_ps(x, _mm256_set1_ps(128.5f))); }

// Eight rows of eight values, each plus 128 rounded half up and limited to
// 0..255, to 64 bytes. The truncating conversion and the saturating packs
// give the same bytes as a clamp first: every value the decoder builds is far
// inside the 32-bit range (at most 255 times the largest dequantisation
// factor, times 16).
VORN_AVX2 inline void storeRowsAvx2(const Block8& v, uint8_t* out)
{
    // Lane-wise packs: [r0 0-3, r1 0-3, r2 0-3, r3 0-3 | r0 4-7, r1 4-7, ...].
    const __m256i lo = _mm256_packus_epi16(_mm256_packs_epi32(toInt32Avx2(v.r0), toInt32Avx2(v.r1)),
                                           _mm256_packs_epi32(toInt32Avx2(v.r2), toInt32Avx2(v.r3)));
    const __m256i hi = _mm256_packus_epi16(_mm256_packs_epi32(toInt32Avx2(v.r4), toInt32Avx2(v.r5)),
                                           _mm256_packs_epi32(toInt32Avx2(v.r6), toInt32Avx2(v.r7)));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(lo, order));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permutevar8x32_epi32(hi, order));
}

// Output lines y and 7 - y of a block whose only coefficient row v0 gave the
// row outputs row0; s0 flips the sign for an odd row.
VORN_AVX2 inline void oneRowTermsAvx2(__m256 row0, int v0, __m256 s0, int y, __m256& top, __m256& bottom)
{
    const __m256 t0 = _mm256_mul_ps(row0, _mm256_set1_ps(g_a8[y][v0]));
    top = t0;
    bottom = _mm256_xor_ps(t0, s0);
}

// The same for two coefficient rows v0 < v1.
VORN_AVX2 inline void twoRowTermsAvx2(__m256 row0, int v0, __m256 s0, __m256 row1, int v1, __m256 s1, int y,
                                      __m256& top, __m256& bottom)
{
    const __m256 t0 = _mm256_mul_ps(row0, _mm256_set1_ps(g_a8[y][v0]));
    const __m256 t1 = _mm256_mul_ps(row1, _mm256_set1_ps(g_a8[y][v1]));
    top = _mm256_add_ps(t0, t1);
    bottom = _mm256_add_ps(_mm256_xor_ps(t0, s0), _mm256_xor_ps(t1, s1));
}

// The column pass of an 8-8 block whose row outputs are zero from row kRows on.
template <int kRows>
VORN_AVX2 inline void columnPassStoreAvx2(const Block8& row, uint8_t* out)
{
    Block8 res;
    butterflyAvx2<kRows>(row, g_colSplat[0], res.r0, res.r7);
    butterflyAvx2<kRows>(row, g_colSplat[1], res.r1, res.r6);
    butterflyAvx2<kRows>(row, g_colSplat[2], res.r2, res.r5);
    butterflyAvx2<kRows>(row, g_colSplat[3], res.r3, res.r4);
    storeRowsAvx2(res, out);
}

VORN_AVX2 void idct88Avx2(float* coefT, unsigned rowMask, unsigned colMask, uint8_t* out)
{
    if (__builtin_popcount(rowMask) <= 2) {
        // With terms t of at most two rows, E + O is their sum and E - O the
        // sum with the odd rows' terms negated (negation and the order of two
        // terms do not change a float sum); zeros of the other rows only
        // change the sign of a zero, which the offset removes.
        if (rowMask == 0) {
            const __m256 z = _mm256_setzero_ps();
            storeRowsAvx2(Block8{z, z, z, z, z, z, z, z}, out);
            return;
        }
        const int v0 = std::countr_zero(rowMask);
        const unsigned rest = rowMask & (rowMask - 1);
        // The sign bit for an odd row, by arithmetic: as a choice it was a
        // branch on the data.
        const __m256 s0 = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(static_cast<unsigned>(v0 & 1) << 31)));
        const __m256 row0 = rowAvx2(coefT, v0, colMask);
        Block8 res;
        if (rest == 0) {
            oneRowTermsAvx2(row0, v0, s0, 0, res.r0, res.r7);
            oneRowTermsAvx2(row0, v0, s0, 1, res.r1, res.r6);
            oneRowTermsAvx2(row0, v0, s0, 2, res.r2, res.r5);
            oneRowTermsAvx2(row0, v0, s0, 3, res.r3, res.r4);
        } else {
            const int v1 = std::countr_zero(rest);
            const __m256 s1 = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(static_cast<unsigned>(v1 & 1) << 31)));
            const __m256 row1 = rowAvx2(coefT, v1, colMask);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 0, res.r0, res.r7);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 1, res.r1, res.r6);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 2, res.r2, res.r5);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 3, res.r3, res.r4);
        }
        clearColumnsAvx2(coefT, colMask);
        storeRowsAvx2(res, out);
        return;
    }
    // The terms of every row up to the last one used (a third of the blocks
    // of real pictures use only rows 0-3).
    const Block8 row = rowPassColumnsAvx2(coefT);
    if (rowMask < 0x10)
        columnPassStoreAvx2<4>(row, out);
    else if (rowMask < 0x40)
        columnPassStoreAvx2<6>(row, out);
    else
        columnPassStoreAvx2<8>(row, out);
}

// Field lines y and 3 - y of the sum (rows 0-3) and difference (rows 4-7)
// fields of a 2-4-8 block give output lines 2y, 2y + 1, 6 - 2y and 7 - 2y.
VORN_AVX2 inline void fieldLinesAvx2(const Block8& r, int y, __m256& a, __m256& b, __m256& c, __m256& d)
{
    const __m256 k0 = _mm256_set1_ps(g_a4[y][0]), k1 = _mm256_set1_ps(g_a4[y][1]);
    const __m256 k2 = _mm256_set1_ps(g_a4[y][2]), k3 = _mm256_set1_ps(g_a4[y][3]);
    const __m256 se = _mm256_add_ps(_mm256_mul_ps(r.r0, k0), _mm256_mul_ps(r.r2, k2));
    const __m256 so = _mm256_add_ps(_mm256_mul_ps(r.r1, k1), _mm256_mul_ps(r.r3, k3));
    const __m256 de = _mm256_add_ps(_mm256_mul_ps(r.r4, k0), _mm256_mul_ps(r.r6, k2));
    const __m256 dd = _mm256_add_ps(_mm256_mul_ps(r.r5, k1), _mm256_mul_ps(r.r7, k3));
    const __m256 s0 = _mm256_add_ps(se, so), s1 = _mm256_sub_ps(se, so);
    const __m256 d0 = _mm256_add_ps(de, dd), d1 = _mm256_sub_ps(de, dd);
    a = _mm256_add_ps(s0, d0);
    b = _mm256_sub_ps(s0, d0);
    c = _mm256_add_ps(s1, d1);
    d = _mm256_sub_ps(s1, d1);
}

VORN_AVX2 void idct248Avx2(float* coefT, unsigned rowMask, unsigned colMask, uint8_t* out)
{
    const Block8 r = rowPassBestAvx2(coefT, rowMask, colMask);
    Block8 res;
    fieldLinesAvx2(r, 0, res.r0, res.r1, res.r6, res.r7);
    fieldLinesAvx2(r, 1, res.r2, res.r3, res.r4, res.r5);
    storeRowsAvx2(res, out);
}

#endif // VORN_X86

} // namespace

void initIdct() { std::call_once(g_once, buildBases); }

const DecoderKernels& decoderKernels(SimdLevel level)
{
    static const DecoderKernels plain{idct88Plain, idct248Plain, row422Plain, row411Plain, mb411Plain, mb422Plain};
#ifdef VORN_X86
    static const DecoderKernels sse2{idct88Sse2, idct248Sse2, row422Sse2, row411Sse2, mb411Sse2, mb422Sse2};
    static const DecoderKernels avx2{idct88Avx2, idct248Avx2, row422Sse2, row411Sse2, mb411Sse2, mb422Sse2};
    switch (level) {
    case SimdLevel::Plain: return plain;
    case SimdLevel::Sse2:
    case SimdLevel::Sse41: return sse2;
    case SimdLevel::Avx2: return avx2;
    }
#else
    (void)level;
#endif
    return plain;
}

const DecoderKernels& decoderKernels()
{
    static const DecoderKernels& chosen = decoderKernels(simdLevel());
    return chosen;
}

namespace {
// A block of coefficients by row to one by column, clearing the source.
void transposeClear(float* coef, float* coefT)
{
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            coefT[8 * c + r] = coef[8 * r + c];
            coef[8 * r + c] = 0.0f;
        }
}
} // namespace

void idct88(float* coef, unsigned rowMask, uint8_t* out)
{
    alignas(32) float coefT[64];
    transposeClear(coef, coefT);
    decoderKernels().idct88(coefT, rowMask, 0xffu, out);
}
void idct248(float* coef, unsigned rowMask, uint8_t* out)
{
    alignas(32) float coefT[64];
    transposeClear(coef, coefT);
    decoderKernels().idct248(coefT, rowMask, 0xffu, out);
}

} // namespace vorn::dv::detail
