// Inverse transforms of H.264 residual blocks, added to the prediction in place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::avci {

// coef: dequantised coefficients in raster order (y * 4 + x); the block is cleared.
void idct4x4Add(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);
// coef: 64 dequantised coefficients in raster order (y * 8 + x); the block is cleared.
void idct8x8Add(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);
// In-place 4x4 Hadamard of the Intra16x16 DC coefficients (raster order).
void hadamard4x4(int32_t* c);

// Dequantised values are kept within this range so that the transforms stay in 32 bits.
constexpr int32_t kCoefLimit = 1 << 22;
inline int32_t clampCoef(int64_t v)
{
    return v > kCoefLimit ? kCoefLimit : (v < -kCoefLimit ? -kCoefLimit : int32_t(v));
}

} // namespace vorn::avci
