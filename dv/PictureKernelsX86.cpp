// SIMD variants of the picture kernels (x86-64), each compiled for its
// instruction set with a target attribute and chosen at run time. Every
// variant handles the whole vectors it can and leaves the rest of a row to
// the plain arithmetic, so results equal the reference.
#include "dv/PictureKernels.h"

#include <algorithm>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define VORN_SSE2 __attribute__((target("sse2")))
#define VORN_SSE41 __attribute__((target("sse4.1")))
#define VORN_AVX2 __attribute__((target("avx2")))

namespace vorn::dv::detail {

namespace {

// ---- scalar tails (the reference arithmetic) ------------------------------

inline uint8_t avg(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

void mirrorTail(uint8_t* dst, const uint8_t* src, int pairs, int from)
{
    for (int i = from; i < pairs; ++i) {
        const uint8_t* s = src + 4 * i;
        uint8_t* d = dst + 4 * (pairs - 1 - i);
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        d[3] = s[3];
    }
}

inline uint8_t to8(uint16_t v) { return static_cast<uint8_t>(std::min((static_cast<uint32_t>(v) + 2) >> 2, 255u)); }

void packTail(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width, int fromPair)
{
    for (int p = fromPair; p < width / 2; ++p) {
        dst[4 * p] = to8(y[2 * p]);
        dst[4 * p + 1] = to8(cb[p]);
        dst[4 * p + 2] = to8(y[2 * p + 1]);
        dst[4 * p + 3] = to8(cr[p]);
    }
}

void lerpTail(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int from, int bytes)
{
    const int32_t w = static_cast<int32_t>(f);
    for (int i = from; i < bytes; ++i)
        dst[i] = static_cast<uint8_t>(a[i] + (((b[i] - a[i]) * w) >> 16));
}

void noiseTail(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int from, int to)
{
    const uint8_t *u = cur[0], *m = cur[1], *l = cur[2];
    const uint8_t *hu = hist[0], *hm = hist[1], *hl = hist[2];
    for (int x = from; x < to; ++x) {
        const int xl = 2 * (x - 1), xc = 2 * x, xr = 2 * (x + 1);
        int a = std::abs(l[xl] - l[xr]) + std::abs(u[xr] - l[xr]) + std::abs(u[xl] - l[xr]) +
                std::abs(u[xc] - l[xc]) + std::abs(u[xr] - l[xl]) + std::abs(u[xl] - l[xl]) +
                std::abs(u[xl] - u[xr]) + std::abs(m[xl] - m[xr]);
        a = std::min(4 * a, 256);
        const int mc = (u[xl] + u[xc] + u[xr] + m[xl] + m[xc] + m[xr] + l[xl] + l[xc] + l[xr]) / 9;
        const int mh = (hu[xl] + hu[xc] + hu[xr] + hm[xl] + hm[xc] + hm[xr] + hl[xl] + hl[xc] + hl[xr]) / 9;
        const int t = std::min(64 * std::abs(mc - mh), 256);
        const int cs = (mc * (256 - a) + a * m[xc] + 128) / 256;
        const int hs = (mh * (256 - a) + a * hm[xc] + 128) / 256;
        dst[xc] = static_cast<uint8_t>((((hs + cs + 1) / 2) * (256 - t) + t * cs + 128) / 256);
    }
}

// ---- shuffle masks of the stretch patterns ---------------------------------

// Source of one output byte of a stretch group: a copied input byte, or the
// rounding average of input bytes idx and idx + 2 (luma neighbours) or idx
// and idx + 4 (chroma neighbours).
enum Kind : uint8_t { Copy, Avg2, Avg4 };
struct Tap {
    Kind kind;
    uint8_t idx;
};
// Code 1: 8 input bytes -> 12 output bytes.
constexpr Tap kPattern2to3[12] = {{Copy, 0}, {Copy, 1}, {Avg2, 0}, {Copy, 3}, {Copy, 2}, {Copy, 1},
                                  {Copy, 4}, {Copy, 7}, {Avg2, 4}, {Copy, 5}, {Copy, 6}, {Copy, 7}};
// Codes 2-4: 12 input bytes -> 16 output bytes.
constexpr Tap kPattern3to4[16] = {{Copy, 0}, {Copy, 1}, {Avg2, 0}, {Copy, 3}, {Avg2, 2}, {Avg4, 1},
                                  {Copy, 4}, {Avg4, 3}, {Copy, 6}, {Avg4, 5}, {Avg2, 6}, {Avg4, 7},
                                  {Avg2, 8}, {Copy, 9}, {Copy, 10}, {Copy, 11}};

struct alignas(16) Mask {
    int8_t b[16];
};

// Masks for one 16-byte output block of 3to4: one per source kind.
struct Masks3to4 {
    Mask kind[3];
    Masks3to4()
    {
        for (auto& m : kind)
            std::fill(m.b, m.b + 16, static_cast<int8_t>(-128));
        for (int o = 0; o < 16; ++o)
            kind[kPattern3to4[o].kind].b[o] = static_cast<int8_t>(kPattern3to4[o].idx);
    }
};
const Masks3to4 kMasks3to4;

// Masks of 2to3 over four groups (32 input bytes in two vectors, 48 output
// bytes in three blocks): [block][input vector][copy or average].
struct Masks2to3 {
    Mask m[3][2][2];
    Masks2to3()
    {
        for (auto& block : m)
            for (auto& vec : block)
                for (auto& mk : vec)
                    std::fill(mk.b, mk.b + 16, static_cast<int8_t>(-128));
        for (int out = 0; out < 48; ++out) {
            const int group = out / 12;
            const Tap tap = kPattern2to3[out % 12];
            const int in = group * 8 + tap.idx;
            m[out / 16][in / 16][tap.kind == Copy ? 0 : 1].b[out % 16] = static_cast<int8_t>(in % 16);
        }
    }
};
const Masks2to3 kMasks2to3;

// ---- SSE2 ------------------------------------------------------------------

VORN_SSE2 void mirrorSse2(uint8_t* dst, const uint8_t* src, int pairs)
{
    const __m128i chroma = _mm_set1_epi32(static_cast<int>(0xff00ff00u));
    const __m128i low = _mm_set1_epi32(0xff);
    int i = 0;
    for (; i + 4 <= pairs; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
        v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
        const __m128i swapped = _mm_or_si128(_mm_slli_epi32(_mm_and_si128(v, low), 16),
                                             _mm_and_si128(_mm_srli_epi32(v, 16), low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * (pairs - 4 - i)),
                         _mm_or_si128(_mm_and_si128(v, chroma), swapped));
    }
    mirrorTail(dst, src, pairs, i);
}

VORN_SSE2 inline __m128i to8x8(__m128i v)
{
    return _mm_srli_epi16(_mm_adds_epu16(v, _mm_set1_epi16(2)), 2);
}

VORN_SSE2 void packPlanarRowSse2(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width)
{
    int p = 0;
    for (; 2 * p + 16 <= width; p += 8) {
        const __m128i y0 = to8x8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * p)));
        const __m128i y1 = to8x8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * p + 8)));
        const __m128i b = to8x8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + p)));
        const __m128i r = to8x8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + p)));
        const __m128i luma = _mm_packus_epi16(y0, y1);
        const __m128i c = _mm_packus_epi16(b, r);
        const __m128i cbcr = _mm_unpacklo_epi8(c, _mm_srli_si128(c, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * p), _mm_unpacklo_epi8(luma, cbcr));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * p + 16), _mm_unpackhi_epi8(luma, cbcr));
    }
    packTail(dst, y, cb, cr, width, p);
}

// a + ((b - a) * f >> 16) on 16-bit lanes: mulhi takes f as signed, which is
// f - 65536 from 32768 on; adding d back makes up for it.
VORN_SSE2 inline __m128i lerp16(__m128i a, __m128i b, __m128i fs, __m128i fix)
{
    const __m128i d = _mm_sub_epi16(b, a);
    return _mm_add_epi16(a, _mm_add_epi16(_mm_mulhi_epi16(d, fs), _mm_and_si128(d, fix)));
}

VORN_SSE2 void lerpRowsSse2(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int bytes)
{
    const __m128i fs = _mm_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(f)));
    const __m128i fix = _mm_set1_epi16(f >= 32768 ? -1 : 0);
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        const __m128i lo = lerp16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero), fs, fix);
        const __m128i hi = lerp16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero), fs, fix);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(lo, hi));
    }
    lerpTail(dst, a, b, f, i, bytes);
}

VORN_SSE2 inline __m128i absDiff16(__m128i a, __m128i b)
{
    return _mm_or_si128(_mm_subs_epu16(a, b), _mm_subs_epu16(b, a));
}

// Luma of 8 pixels from byte offset `at` of a row, as 16-bit lanes.
VORN_SSE2 inline __m128i luma8(const uint8_t* row, int at)
{
    return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + at)), _mm_set1_epi16(0xff));
}

VORN_SSE2 void noiseRowSse2(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int width)
{
    const __m128i k256 = _mm_set1_epi16(256), k128 = _mm_set1_epi16(128), one = _mm_set1_epi16(1);
    const __m128i ninth = _mm_set1_epi16(7282); // (s * 7282) >> 16 == s / 9 for s <= 2295
    const int last = width - 1 - 8; // start of the last whole vector
    if (last < 1) {
        noiseTail(dst, cur, hist, 1, width - 1);
        return;
    }
    // The last vector may overlap the one before it: it computes the same values again.
    for (int x = 1;; x = std::min(x + 8, last)) {
        const int l = 2 * (x - 1), c = 2 * x, r = 2 * (x + 1);
        const __m128i uL = luma8(cur[0], l), uC = luma8(cur[0], c), uR = luma8(cur[0], r);
        const __m128i mL = luma8(cur[1], l), mC = luma8(cur[1], c), mR = luma8(cur[1], r);
        const __m128i lL = luma8(cur[2], l), lC = luma8(cur[2], c), lR = luma8(cur[2], r);
        __m128i act = _mm_add_epi16(absDiff16(lL, lR), absDiff16(uR, lR));
        act = _mm_add_epi16(act, _mm_add_epi16(absDiff16(uL, lR), absDiff16(uC, lC)));
        act = _mm_add_epi16(act, _mm_add_epi16(absDiff16(uR, lL), absDiff16(uL, lL)));
        act = _mm_add_epi16(act, _mm_add_epi16(absDiff16(uL, uR), absDiff16(mL, mR)));
        const __m128i a = _mm_min_epi16(_mm_slli_epi16(act, 2), k256);
        const __m128i na = _mm_sub_epi16(k256, a);

        __m128i sc = _mm_add_epi16(_mm_add_epi16(uL, uC), _mm_add_epi16(uR, mL));
        sc = _mm_add_epi16(_mm_add_epi16(sc, mC), _mm_add_epi16(mR, lL));
        sc = _mm_add_epi16(sc, _mm_add_epi16(lC, lR));
        const __m128i hC = luma8(hist[1], c);
        __m128i sh = _mm_add_epi16(_mm_add_epi16(luma8(hist[0], l), luma8(hist[0], c)),
                                   _mm_add_epi16(luma8(hist[0], r), luma8(hist[1], l)));
        sh = _mm_add_epi16(_mm_add_epi16(sh, hC), _mm_add_epi16(luma8(hist[1], r), luma8(hist[2], l)));
        sh = _mm_add_epi16(sh, _mm_add_epi16(luma8(hist[2], c), luma8(hist[2], r)));
        const __m128i mc = _mm_mulhi_epu16(sc, ninth);
        const __m128i mh = _mm_mulhi_epu16(sh, ninth);
        const __m128i t = _mm_min_epi16(_mm_slli_epi16(absDiff16(mc, mh), 6), k256);

        // Weighted sums stay below 65536: unsigned 16-bit lanes suffice.
        const __m128i cs = _mm_srli_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(mc, na), _mm_mullo_epi16(a, mC)), k128), 8);
        const __m128i hs = _mm_srli_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(mh, na), _mm_mullo_epi16(a, hC)), k128), 8);
        const __m128i mean = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(hs, cs), one), 1);
        const __m128i out = _mm_srli_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(mean, _mm_sub_epi16(k256, t)), _mm_mullo_epi16(t, cs)), k128),
            8);
        __m128i* d = reinterpret_cast<__m128i*>(dst + c);
        const __m128i keep = _mm_andnot_si128(_mm_set1_epi16(0xff), _mm_loadu_si128(d));
        _mm_storeu_si128(d, _mm_or_si128(keep, out));
        if (x == last)
            break;
    }
}

// ---- SSE4.1 (with SSSE3 byte shuffles) --------------------------------------

VORN_SSE41 inline __m128i loadMask(const Mask& m) { return _mm_load_si128(reinterpret_cast<const __m128i*>(m.b)); }

VORN_SSE41 void stretch2to3Sse41(uint8_t* d, const uint8_t* s, int groups)
{
    const Masks2to3& k = kMasks2to3;
    int g = 0;
    for (; g + 4 <= groups; g += 4, s += 32, d += 48) {
        const __m128i in[2] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16))};
        const __m128i av[2] = {_mm_avg_epu8(in[0], _mm_srli_si128(in[0], 2)),
                               _mm_avg_epu8(in[1], _mm_srli_si128(in[1], 2))};
        for (int b = 0; b < 3; ++b) {
            __m128i out = _mm_setzero_si128();
            for (int v = 0; v < 2; ++v)
                out = _mm_or_si128(out, _mm_or_si128(_mm_shuffle_epi8(in[v], loadMask(k.m[b][v][0])),
                                                     _mm_shuffle_epi8(av[v], loadMask(k.m[b][v][1]))));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16 * b), out);
        }
    }
    for (; g < groups; ++g, s += 8, d += 12)
        for (int o = 0; o < 12; ++o) {
            const Tap t = kPattern2to3[o];
            d[o] = t.kind == Copy ? s[t.idx] : avg(s[t.idx], s[t.idx + 2]);
        }
}

void stretch3to4Tail(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 12, d += 16)
        for (int o = 0; o < 16; ++o) {
            const Tap t = kPattern3to4[o];
            d[o] = t.kind == Copy ? s[t.idx] : avg(s[t.idx], s[t.idx + (t.kind == Avg2 ? 2 : 4)]);
        }
}

VORN_SSE41 void stretch3to4Sse41(uint8_t* d, const uint8_t* s, int groups)
{
    const __m128i mc = loadMask(kMasks3to4.kind[Copy]);
    const __m128i m2 = loadMask(kMasks3to4.kind[Avg2]);
    const __m128i m4 = loadMask(kMasks3to4.kind[Avg4]);
    int g = 0;
    // Each load reads 4 bytes of the next group: the last group goes to the tail.
    for (; g + 1 < groups; ++g, s += 12, d += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i a2 = _mm_avg_epu8(v, _mm_srli_si128(v, 2));
        const __m128i a4 = _mm_avg_epu8(v, _mm_srli_si128(v, 4));
        const __m128i out = _mm_or_si128(_mm_shuffle_epi8(v, mc),
                                         _mm_or_si128(_mm_shuffle_epi8(a2, m2), _mm_shuffle_epi8(a4, m4)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), out);
    }
    stretch3to4Tail(d, s, groups - g);
}

// ---- AVX2 ------------------------------------------------------------------

VORN_AVX2 void mirrorAvx2(uint8_t* dst, const uint8_t* src, int pairs)
{
    const __m256i chroma = _mm256_set1_epi32(static_cast<int>(0xff00ff00u));
    const __m256i low = _mm256_set1_epi32(0xff);
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    int i = 0;
    for (; i + 8 <= pairs; i += 8) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * i));
        v = _mm256_permutevar8x32_epi32(v, reverse);
        const __m256i swapped = _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(v, low), 16),
                                                _mm256_and_si256(_mm256_srli_epi32(v, 16), low));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * (pairs - 8 - i)),
                            _mm256_or_si256(_mm256_and_si256(v, chroma), swapped));
    }
    mirrorTail(dst, src, pairs, i);
}

VORN_AVX2 inline __m256i to8x16(__m256i v)
{
    return _mm256_srli_epi16(_mm256_adds_epu16(v, _mm256_set1_epi16(2)), 2);
}

VORN_AVX2 void packPlanarRowAvx2(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width)
{
    int p = 0;
    for (; 2 * p + 32 <= width; p += 16) {
        const __m256i y0 = to8x16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * p)));
        const __m256i y1 = to8x16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * p + 16)));
        const __m256i b = to8x16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb + p)));
        const __m256i r = to8x16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr + p)));
        // Lane-wise packs: luma back in order; chroma [cb0-7 cr0-7 | cb8-15 cr8-15].
        const __m256i luma = _mm256_permute4x64_epi64(_mm256_packus_epi16(y0, y1), 0xd8);
        const __m256i c = _mm256_packus_epi16(b, r);
        const __m256i cbcr = _mm256_unpacklo_epi8(c, _mm256_srli_si256(c, 8)); // pairs 0-7 | 8-15
        const __m256i lo = _mm256_unpacklo_epi8(luma, cbcr); // pixels 0-7 | 16-23
        const __m256i hi = _mm256_unpackhi_epi8(luma, cbcr); // pixels 8-15 | 24-31
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * p), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * p + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    packTail(dst, y, cb, cr, width, p);
}

VORN_AVX2 inline __m256i lerp16x16(__m256i a, __m256i b, __m256i fs, __m256i fix)
{
    const __m256i d = _mm256_sub_epi16(b, a);
    return _mm256_add_epi16(a, _mm256_add_epi16(_mm256_mulhi_epi16(d, fs), _mm256_and_si256(d, fix)));
}

VORN_AVX2 void lerpRowsAvx2(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int bytes)
{
    const __m256i fs = _mm256_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(f)));
    const __m256i fix = _mm256_set1_epi16(f >= 32768 ? -1 : 0);
    const __m256i zero = _mm256_setzero_si256();
    int i = 0;
    for (; i + 32 <= bytes; i += 32) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        // Unpack and pack are both lane-wise, so the byte order comes back unchanged.
        const __m256i lo = lerp16x16(_mm256_unpacklo_epi8(va, zero), _mm256_unpacklo_epi8(vb, zero), fs, fix);
        const __m256i hi = lerp16x16(_mm256_unpackhi_epi8(va, zero), _mm256_unpackhi_epi8(vb, zero), fs, fix);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_packus_epi16(lo, hi));
    }
    lerpTail(dst, a, b, f, i, bytes);
}

VORN_AVX2 inline __m256i absDiff16x16(__m256i a, __m256i b)
{
    return _mm256_or_si256(_mm256_subs_epu16(a, b), _mm256_subs_epu16(b, a));
}

VORN_AVX2 inline __m256i luma16(const uint8_t* row, int at)
{
    return _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + at)), _mm256_set1_epi16(0xff));
}

VORN_AVX2 void noiseRowAvx2(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int width)
{
    const __m256i k256 = _mm256_set1_epi16(256), k128 = _mm256_set1_epi16(128), one = _mm256_set1_epi16(1);
    const __m256i ninth = _mm256_set1_epi16(7282);
    const int last = width - 1 - 16; // start of the last whole vector
    if (last < 1) {
        noiseTail(dst, cur, hist, 1, width - 1);
        return;
    }
    // The last vector may overlap the one before it: it computes the same values again.
    for (int x = 1;; x = std::min(x + 16, last)) {
        const int l = 2 * (x - 1), c = 2 * x, r = 2 * (x + 1);
        const __m256i uL = luma16(cur[0], l), uC = luma16(cur[0], c), uR = luma16(cur[0], r);
        const __m256i mL = luma16(cur[1], l), mC = luma16(cur[1], c), mR = luma16(cur[1], r);
        const __m256i lL = luma16(cur[2], l), lC = luma16(cur[2], c), lR = luma16(cur[2], r);
        __m256i act = _mm256_add_epi16(absDiff16x16(lL, lR), absDiff16x16(uR, lR));
        act = _mm256_add_epi16(act, _mm256_add_epi16(absDiff16x16(uL, lR), absDiff16x16(uC, lC)));
        act = _mm256_add_epi16(act, _mm256_add_epi16(absDiff16x16(uR, lL), absDiff16x16(uL, lL)));
        act = _mm256_add_epi16(act, _mm256_add_epi16(absDiff16x16(uL, uR), absDiff16x16(mL, mR)));
        const __m256i a = _mm256_min_epi16(_mm256_slli_epi16(act, 2), k256);
        const __m256i na = _mm256_sub_epi16(k256, a);

        __m256i sc = _mm256_add_epi16(_mm256_add_epi16(uL, uC), _mm256_add_epi16(uR, mL));
        sc = _mm256_add_epi16(_mm256_add_epi16(sc, mC), _mm256_add_epi16(mR, lL));
        sc = _mm256_add_epi16(sc, _mm256_add_epi16(lC, lR));
        const __m256i hC = luma16(hist[1], c);
        __m256i sh = _mm256_add_epi16(_mm256_add_epi16(luma16(hist[0], l), luma16(hist[0], c)),
                                      _mm256_add_epi16(luma16(hist[0], r), luma16(hist[1], l)));
        sh = _mm256_add_epi16(_mm256_add_epi16(sh, hC), _mm256_add_epi16(luma16(hist[1], r), luma16(hist[2], l)));
        sh = _mm256_add_epi16(sh, _mm256_add_epi16(luma16(hist[2], c), luma16(hist[2], r)));
        const __m256i mc = _mm256_mulhi_epu16(sc, ninth);
        const __m256i mh = _mm256_mulhi_epu16(sh, ninth);
        const __m256i t = _mm256_min_epi16(_mm256_slli_epi16(absDiff16x16(mc, mh), 6), k256);

        const __m256i cs = _mm256_srli_epi16(
            _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(mc, na), _mm256_mullo_epi16(a, mC)), k128), 8);
        const __m256i hs = _mm256_srli_epi16(
            _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(mh, na), _mm256_mullo_epi16(a, hC)), k128), 8);
        const __m256i mean = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(hs, cs), one), 1);
        const __m256i out = _mm256_srli_epi16(
            _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(mean, _mm256_sub_epi16(k256, t)),
                                              _mm256_mullo_epi16(t, cs)),
                             k128),
            8);
        __m256i* d = reinterpret_cast<__m256i*>(dst + c);
        const __m256i keep = _mm256_andnot_si256(_mm256_set1_epi16(0xff), _mm256_loadu_si256(d));
        _mm256_storeu_si256(d, _mm256_or_si256(keep, out));
        if (x == last)
            break;
    }
}

VORN_AVX2 void stretch3to4Avx2(uint8_t* d, const uint8_t* s, int groups)
{
    const __m256i mc = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kMasks3to4.kind[Copy].b)));
    const __m256i m2 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kMasks3to4.kind[Avg2].b)));
    const __m256i m4 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kMasks3to4.kind[Avg4].b)));
    int g = 0;
    // Two groups a vector, one in each lane; the loads read 4 bytes past the second group.
    for (; g + 2 < groups; g += 2, s += 24, d += 32) {
        const __m256i v = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12)), 1);
        const __m256i a2 = _mm256_avg_epu8(v, _mm256_srli_si256(v, 2));
        const __m256i a4 = _mm256_avg_epu8(v, _mm256_srli_si256(v, 4));
        const __m256i out = _mm256_or_si256(_mm256_shuffle_epi8(v, mc),
                                            _mm256_or_si256(_mm256_shuffle_epi8(a2, m2), _mm256_shuffle_epi8(a4, m4)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), out);
    }
    stretch3to4Tail(d, s, groups - g);
}

void resampleTail(uint8_t* dst, const uint8_t* src, const ResampleSteps& s, int fromLuma, int fromPair)
{
    const int lastLuma = s.sourceWidth - 1, lastPair = s.sourceWidth / 2 - 1;
    for (int k = fromLuma; k < s.lumaCount; ++k) {
        const int i = s.lumaIndex[k], n = std::min(i + 1, lastLuma);
        dst[2 * k] = static_cast<uint8_t>(src[2 * i] + (((src[2 * n] - src[2 * i]) * s.lumaFrac[k]) >> 16));
    }
    for (int j = fromPair; j < s.chromaCount; ++j) {
        const int i = s.chromaIndex[j], n = std::min(i + 1, lastPair);
        const int32_t f = s.chromaFrac[j];
        dst[4 * j + 1] = static_cast<uint8_t>(src[4 * i + 1] + (((src[4 * n + 1] - src[4 * i + 1]) * f) >> 16));
        dst[4 * j + 3] = static_cast<uint8_t>(src[4 * i + 3] + (((src[4 * n + 3] - src[4 * i + 3]) * f) >> 16));
    }
}

// Eight output pixels at a time: one gather of the luma pairs (Y(i), Y(i + 1)
// are bytes 0 and 2 of the dword at pixel i) and two of the chroma pairs
// (Cb and Cr are bytes 1 and 3 of the dword at pair i, and of the next).
VORN_AVX2 void resampleLineAvx2(uint8_t* dst, const uint8_t* src, const ResampleSteps& s)
{
    const int* base = reinterpret_cast<const int*>(src);
    const __m256i byte = _mm256_set1_epi32(0xff);
    const __m128i byte4 = _mm_set1_epi32(0xff);
    const int lumaEnd = std::min(s.lumaSafe, s.lumaCount);
    const int pairEnd = std::min(s.chromaSafe, s.chromaCount);
    int k = 0;
    for (; k + 8 <= lumaEnd && k / 2 + 4 <= pairEnd; k += 8) {
        const __m256i idx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.lumaIndex + k));
        const __m256i g = _mm256_i32gather_epi32(base, idx, 2);
        const __m256i y0 = _mm256_and_si256(g, byte);
        const __m256i y1 = _mm256_and_si256(_mm256_srli_epi32(g, 16), byte);
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.lumaFrac + k));
        const __m256i y = _mm256_add_epi32(y0, _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(y1, y0), f), 16));
        // Eight 16-bit luma values: as dwords, Y(2p) in byte 0 and Y(2p + 1) in byte 2 of pair p.
        const __m128i luma = _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(y, y), 0x08));

        const int j = k / 2;
        const __m128i cidx = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.chromaIndex + j));
        const __m128i c0 = _mm_i32gather_epi32(base, cidx, 4);
        const __m128i c1 = _mm_i32gather_epi32(base + 1, cidx, 4);
        const __m128i cf = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.chromaFrac + j));
        const __m128i cb0 = _mm_and_si128(_mm_srli_epi32(c0, 8), byte4), cb1 = _mm_and_si128(_mm_srli_epi32(c1, 8), byte4);
        const __m128i cr0 = _mm_srli_epi32(c0, 24), cr1 = _mm_srli_epi32(c1, 24);
        const __m128i cb = _mm_add_epi32(cb0, _mm_srai_epi32(_mm_mullo_epi32(_mm_sub_epi32(cb1, cb0), cf), 16));
        const __m128i cr = _mm_add_epi32(cr0, _mm_srai_epi32(_mm_mullo_epi32(_mm_sub_epi32(cr1, cr0), cf), 16));
        const __m128i chroma = _mm_or_si128(_mm_slli_epi32(cb, 8), _mm_slli_epi32(cr, 24));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * k), _mm_or_si128(luma, chroma));
    }
    resampleTail(dst, src, s, k, k / 2);
}

} // namespace

const PictureKernels kPictureKernelsSse2 = {.mirror = mirrorSse2,
                                            .packPlanarRow = packPlanarRowSse2,
                                            .lerpRows = lerpRowsSse2,
                                            .noiseRow = noiseRowSse2};
const PictureKernels kPictureKernelsSse41 = {.stretch2to3 = stretch2to3Sse41, .stretch3to4 = stretch3to4Sse41};
const PictureKernels kPictureKernelsAvx2 = {.mirror = mirrorAvx2,
                                            .stretch3to4 = stretch3to4Avx2,
                                            .packPlanarRow = packPlanarRowAvx2,
                                            .lerpRows = lerpRowsAvx2,
                                            .resampleLine = resampleLineAvx2,
                                            .noiseRow = noiseRowAvx2};

} // namespace vorn::dv::detail

#else

namespace vorn::dv::detail {
const PictureKernels kPictureKernelsSse2 = {};
const PictureKernels kPictureKernelsSse41 = {};
const PictureKernels kPictureKernelsAvx2 = {};
} // namespace vorn::dv::detail

#endif
