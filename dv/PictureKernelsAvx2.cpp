// AVX2 variants of the picture kernels.
#include "dv/PictureKernelsTails.h"

#include <immintrin.h>

namespace vorn::dv::detail {
namespace {

void mirrorAvx2(uint8_t* dst, const uint8_t* src, int pairs)
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

inline __m256i to8x16(__m256i v)
{
    return _mm256_srli_epi16(_mm256_adds_epu16(v, _mm256_set1_epi16(2)), 2);
}

void packPlanarRowAvx2(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width)
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

inline __m256i lerp16x16(__m256i a, __m256i b, __m256i fs, __m256i fix)
{
    const __m256i d = _mm256_sub_epi16(b, a);
    return _mm256_add_epi16(a, _mm256_add_epi16(_mm256_mulhi_epi16(d, fs), _mm256_and_si256(d, fix)));
}

void lerpRowsAvx2(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int bytes)
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

inline __m256i absDiff16x16(__m256i a, __m256i b)
{
    return _mm256_or_si256(_mm256_subs_epu16(a, b), _mm256_subs_epu16(b, a));
}

inline __m256i luma16(const uint8_t* row, int at)
{
    return _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + at)), _mm256_set1_epi16(0xff));
}

void noiseRowAvx2(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int width)
{
    const __m256i k256 = _mm256_set1_epi16(256), k128 = _mm256_set1_epi16(128), one = _mm256_set1_epi16(1);
    const __m256i ninth = _mm256_set1_epi16(7282);
    const int last = width - 1 - 16; // start of the last whole vector
    if (last < 1) {
        noiseTail(dst, cur, hist, 1, width - 1);
        return;
    }
    // The last vector may overlap the one before it: it computes the same values again.
    for (int x = 1;; x = minInt(x + 16, last)) {
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

void stretch3to4Avx2(uint8_t* d, const uint8_t* s, int groups)
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

// Eight output pixels at a time: one gather of the luma pairs (Y(i), Y(i + 1)
// are bytes 0 and 2 of the dword at pixel i) and two of the chroma pairs
// (Cb and Cr are bytes 1 and 3 of the dword at pair i, and of the next).
void resampleLineAvx2(uint8_t* dst, const uint8_t* src, const ResampleSteps& s)
{
    const int* base = reinterpret_cast<const int*>(src);
    const __m256i byte = _mm256_set1_epi32(0xff);
    const __m128i byte4 = _mm_set1_epi32(0xff);
    const int lumaEnd = minInt(s.lumaSafe, s.lumaCount);
    const int pairEnd = minInt(s.chromaSafe, s.chromaCount);
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

constinit const SimdRung<PictureKernels> kPictureKernelsAvx2 = {
    SimdLevel::Avx2, VORN_COMPILED_CPU_FEATURES,
    {.mirror = mirrorAvx2,
     .stretch3to4 = stretch3to4Avx2,
     .packPlanarRow = packPlanarRowAvx2,
     .lerpRows = lerpRowsAvx2,
     .resampleLine = resampleLineAvx2,
     .noiseRow = noiseRowAvx2}};

} // namespace vorn::dv::detail
