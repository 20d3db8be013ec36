// Shared by the SSE2 and SSE4.1 files of the DV encoder's kernels. Internal
// linkage: each file's copy is compiled with its own flags (see
// foundation/Simd.h).
#pragma once

#include "dv/DvEncoderKernels.h"

#include <immintrin.h>

namespace vorn::dv::enc {
namespace {

// Magnitudes, signs and the largest of 64 values already in scan order
// (|v| <= 4096), position 0 left out.
inline int scanOrderMagnitudes(const __m128i v[8], uint16_t mag[64], uint64_t* negative)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i notDc = _mm_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0);
    __m128i largest = zero;
    uint64_t neg = 0;
    for (int i = 0; i < 8; i += 2) {
        __m128i a = v[i], b = v[i + 1];
        if (i == 0)
            a = _mm_and_si128(a, notDc);
        const __m128i na = _mm_cmpgt_epi16(zero, a), nb = _mm_cmpgt_epi16(zero, b);
        neg |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(na, nb)))) << (8 * i);
        a = _mm_max_epi16(a, _mm_sub_epi16(zero, a));
        b = _mm_max_epi16(b, _mm_sub_epi16(zero, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mag + 8 * i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mag + 8 * i + 8), b);
        largest = _mm_max_epi16(largest, _mm_max_epi16(a, b));
    }
    largest = _mm_max_epi16(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(1, 0, 3, 2)));
    largest = _mm_max_epi16(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(2, 3, 0, 1)));
    largest = _mm_max_epi16(largest, _mm_srli_epi32(largest, 16));
    *negative = neg;
    return _mm_cvtsi128_si32(largest) & 0xFFFF;
}

} // namespace
} // namespace vorn::dv::enc
