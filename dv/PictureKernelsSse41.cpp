// SSE4.1 variants of the picture kernels (with the SSSE3 byte shuffle).
#include "dv/PictureKernelsTails.h"

#include <immintrin.h>

namespace vorn::dv::detail {
namespace {

inline __m128i loadMask(const Mask& m) { return _mm_load_si128(reinterpret_cast<const __m128i*>(m.b)); }

void stretch2to3Sse41(uint8_t* d, const uint8_t* s, int groups)
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

void stretch3to4Sse41(uint8_t* d, const uint8_t* s, int groups)
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

} // namespace

constinit const SimdRung<PictureKernels> kPictureKernelsSse41 = {
    SimdLevel::Sse41, VORN_COMPILED_CPU_FEATURES,
    {.stretch2to3 = stretch2to3Sse41, .stretch3to4 = stretch3to4Sse41}};

} // namespace vorn::dv::detail
