// Shared by the files of the DV decoder's kernels (DvDecoderIdct*.cpp): the
// cosine bases of the transforms and the macroblock writers built from a row
// writer. The writers have internal linkage, so each file's copy is compiled
// with that file's flags (see foundation/Simd.h).
#pragma once

#include "dv/DvDecoderCore.h"

#include <cstddef>
#include <cstdint>

namespace vorn::dv::detail {

// Built once by initIdct() before the first decoding, read-only afterwards.
alignas(32) extern float g_a8[8][8];           // g_a8[n][k] = C(k)/2 * cos(pi k (2n + 1) / 16)
alignas(32) extern float g_a4[4][4];           // g_a4[n][k] = C(k)/2 * cos(pi k (2n + 1) / 8)
alignas(32) extern float g_col8[8][4];         // g_col8[k][n] = g_a8[n][k] for n = 0..3
alignas(32) extern float g_col8x[8][8];        // g_col8[k][0..3] followed by g_col8[k][3..0]
alignas(32) extern float g_rowSplat[4][8][8];  // g_rowSplat[x][k][*] = g_col8[k][x]
alignas(32) extern float g_colSplat[4][8][8];  // g_colSplat[y][v][*] = g_a8[y][v]

namespace {

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

} // namespace

} // namespace vorn::dv::detail
