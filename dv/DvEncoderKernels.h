// Shared by the files of the DV encoder's kernels (DvEncoderKernels*.cpp):
// the fixed-point layout of the forward DCT.
#pragma once

#include "dv/DvEncoderCore.h"

#include <cstdint>

namespace vorn::dv::enc {

// The vertical pass keeps 4 fractional bits, the horizontal pass rounds to integers.
inline constexpr int kPass1Shift = 11;
inline constexpr int kPass2Shift = 19;

// The rows of the table are even or odd: c[u][7 - y] = (-1)^u c[u][y]. So a
// column sum is sum_{y<4} c[u][y] (in[y] +- in[7 - y]): the same integer
// result with half the products. The sums and differences stay within 16 bits
// for the inputs of both passes (samples -128..127, pass-1 results within
// +-5800).
struct DctPairs {
    // (c[u][2k], c[u][2k+1]) as two 16-bit halves, k = 0 and 1, in every lane.
    alignas(32) int32_t p[8][2][8];
    DctPairs();
};
// Built from the transform's table when the program starts.
extern const DctPairs kDctPairs;

} // namespace vorn::dv::enc
