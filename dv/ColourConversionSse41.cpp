// SSE4.1 variant of the packed colour conversion (with the SSSE3 byte shuffle).
#include "dv/ColourConversion.h"

#include <immintrin.h>

namespace vorn::dv::detail {
namespace {

// Scale 1, 16 pixels at a time. The three sums stay within 16 bits once a bias
// (a multiple of 64 that makes the smallest sum non-negative) is added:
// blue -16512..35508, green -9779..28981, red -13056..32079. Shifting the
// biased sum and subtracting bias / 64 with unsigned saturation gives
// max(0, sum >> 6); the final pack limits it to 255.
struct Interleave {
    alignas(16) uint8_t mask[3][3][16]; // [output vector][channel][byte]
};
constexpr Interleave makeInterleave()
{
    Interleave m{};
    for (int j = 0; j < 3; ++j)
        for (int c = 0; c < 3; ++c)
            for (int b = 0; b < 16; ++b) {
                const int k = 16 * j + b;
                m.mask[j][c][b] = static_cast<uint8_t>(k % 3 == c ? k / 3 : 0x80);
            }
    return m;
}
constexpr Interleave kInterleave = makeInterleave();

void packedRowSse41(const uint8_t* src, int outWidth, uint8_t* dst)
{
    const __m128i lumaMask = _mm_set1_epi16(0x00ff);
    // Chroma of pixel i (16-bit lane i): byte 4 (i / 2) + 1 (Cb) or + 3 (Cr).
    const __m128i cbPick = _mm_setr_epi8(1, -128, 1, -128, 5, -128, 5, -128, 9, -128, 9, -128, 13, -128, 13, -128);
    const __m128i crPick = _mm_setr_epi8(3, -128, 3, -128, 7, -128, 7, -128, 11, -128, 11, -128, 15, -128, 15, -128);
    const __m128i c128 = _mm_set1_epi16(128);
    const __m128i k75 = _mm_set1_epi16(75), k129 = _mm_set1_epi16(129), k25 = _mm_set1_epi16(25),
                  k52 = _mm_set1_epi16(52), k102 = _mm_set1_epi16(102);
    const __m128i biasB = _mm_set1_epi16(16512), biasG = _mm_set1_epi16(9792), biasR = _mm_set1_epi16(13056);
    const __m128i offB = _mm_set1_epi16(258), offG = _mm_set1_epi16(153), offR = _mm_set1_epi16(204);
    const __m128i* m = reinterpret_cast<const __m128i*>(kInterleave.mask);
    int x = 0;
    for (; x + 16 <= outWidth; x += 16) {
        __m128i b8[2], g8[2], r8[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * x + 16 * h));
            const __m128i y = _mm_mullo_epi16(_mm_and_si128(in, lumaMask), k75);
            const __m128i cb = _mm_sub_epi16(_mm_shuffle_epi8(in, cbPick), c128);
            const __m128i cr = _mm_sub_epi16(_mm_shuffle_epi8(in, crPick), c128);
            __m128i b = _mm_add_epi16(_mm_add_epi16(y, _mm_mullo_epi16(cb, k129)), biasB);
            __m128i g = _mm_sub_epi16(_mm_add_epi16(y, biasG),
                                      _mm_add_epi16(_mm_mullo_epi16(cb, k25), _mm_mullo_epi16(cr, k52)));
            __m128i r = _mm_add_epi16(_mm_add_epi16(y, _mm_mullo_epi16(cr, k102)), biasR);
            b8[h] = _mm_subs_epu16(_mm_srli_epi16(b, 6), offB);
            g8[h] = _mm_subs_epu16(_mm_srli_epi16(g, 6), offG);
            r8[h] = _mm_subs_epu16(_mm_srli_epi16(r, 6), offR);
        }
        const __m128i B = _mm_packus_epi16(b8[0], b8[1]);
        const __m128i G = _mm_packus_epi16(g8[0], g8[1]);
        const __m128i R = _mm_packus_epi16(r8[0], r8[1]);
        for (int j = 0; j < 3; ++j) {
            const __m128i o = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(B, m[3 * j]), _mm_shuffle_epi8(G, m[3 * j + 1])),
                                           _mm_shuffle_epi8(R, m[3 * j + 2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x + 16 * j), o);
        }
    }
    if (x < outWidth)
        packedRowPlain(src + 2 * x, outWidth - x, 1, dst + 3 * x);
}

} // namespace

constinit const SimdRung<ColourKernels> kColourKernelsSse41 = {SimdLevel::Sse41, VORN_COMPILED_CPU_FEATURES,
                                                               {.packedRow = packedRowSse41}};

} // namespace vorn::dv::detail
