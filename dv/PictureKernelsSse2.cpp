// SSE2 variants of the picture kernels.
#include "dv/PictureKernelsTails.h"

#include <immintrin.h>

namespace vorn::dv::detail {
namespace {

void mirrorSse2(uint8_t* dst, const uint8_t* src, int pairs)
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

inline __m128i to8x8(__m128i v)
{
    return _mm_srli_epi16(_mm_adds_epu16(v, _mm_set1_epi16(2)), 2);
}

void packPlanarRowSse2(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width)
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
inline __m128i lerp16(__m128i a, __m128i b, __m128i fs, __m128i fix)
{
    const __m128i d = _mm_sub_epi16(b, a);
    return _mm_add_epi16(a, _mm_add_epi16(_mm_mulhi_epi16(d, fs), _mm_and_si128(d, fix)));
}

void lerpRowsSse2(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int bytes)
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

inline __m128i absDiff16(__m128i a, __m128i b)
{
    return _mm_or_si128(_mm_subs_epu16(a, b), _mm_subs_epu16(b, a));
}

// Luma of 8 pixels from byte offset `at` of a row, as 16-bit lanes.
inline __m128i luma8(const uint8_t* row, int at)
{
    return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + at)), _mm_set1_epi16(0xff));
}

void noiseRowSse2(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int width)
{
    const __m128i k256 = _mm_set1_epi16(256), k128 = _mm_set1_epi16(128), one = _mm_set1_epi16(1);
    const __m128i ninth = _mm_set1_epi16(7282); // (s * 7282) >> 16 == s / 9 for s <= 2295
    const int last = width - 1 - 8; // start of the last whole vector
    if (last < 1) {
        noiseTail(dst, cur, hist, 1, width - 1);
        return;
    }
    // The last vector may overlap the one before it: it computes the same values again.
    for (int x = 1;; x = minInt(x + 8, last)) {
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

} // namespace

constinit const SimdRung<PictureKernels> kPictureKernelsSse2 = {
    SimdLevel::Sse2, VORN_COMPILED_CPU_FEATURES,
    {.mirror = mirrorSse2, .packPlanarRow = packPlanarRowSse2, .lerpRows = lerpRowsSse2, .noiseRow = noiseRowSse2}};

} // namespace vorn::dv::detail
