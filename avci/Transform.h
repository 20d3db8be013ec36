// Inverse transforms of H.264 residual blocks, added to the prediction in place.
//
// A kernel family of foundation/Simd.h: every kernel has a plain C++ reference (the free
// functions below) and faster variants for some instruction sets, chosen at run time. All
// variants give the same samples.
#pragma once

#include "foundation/Simd.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>

namespace vorn::avci {

// Adds the inverse transform of coef (dequantised coefficients in raster order, y * N + x)
// to the N x N block at dst, clipping to 0..maxValue, and clears coef.
using BlockAddFn = void (*)(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);

struct TransformKernels {
    BlockAddFn idct4x4Add = nullptr;
    BlockAddFn idct8x8Add = nullptr;
    // The same when only coef[0] may be non-zero (every residual sample is equal).
    BlockAddFn dc4x4Add = nullptr;
    BlockAddFn dc8x8Add = nullptr;
    // Two horizontally adjacent 4x4 blocks (an 8x4 area): coef holds the left block's 16
    // coefficients, then the right one's. Blocks without coefficients may be included: they
    // add nothing.
    BlockAddFn idct4x4PairAdd = nullptr;
};
inline constexpr auto kTransformKernelEntries =
    std::tuple{&TransformKernels::idct4x4Add, &TransformKernels::idct8x8Add, &TransformKernels::dc4x4Add,
               &TransformKernels::dc8x8Add, &TransformKernels::idct4x4PairAdd};

// The table for a set of features, the rungs with variants (none off x86), the kernels of
// one level (a level the processor cannot run falls back to the highest it can), and those
// of this run (vorn::simdFeatures()).
TransformKernels initTransformKernels(CpuFeatures features);
std::span<const SimdRung<TransformKernels>* const> transformKernelRungs();
const TransformKernels& transformKernels(SimdLevel level);
const TransformKernels& transformKernels();

namespace detail {
extern const SimdRung<TransformKernels> kTransformKernelsSse2;
extern const SimdRung<TransformKernels> kTransformKernelsAvx2;
} // namespace detail

// Plain references.
void idct4x4Add(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);
void idct8x8Add(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);
void dc4x4Add(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);
void dc8x8Add(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);
void idct4x4PairAdd(uint16_t* dst, ptrdiff_t stride, int32_t* coef, int maxValue);
// In-place 4x4 Hadamard of the Intra16x16 DC coefficients (raster order).
void hadamard4x4(int32_t* c);

// Dequantised values are kept within this range so that the transforms stay in 32 bits.
constexpr int32_t kCoefLimit = 1 << 22;
inline int32_t clampCoef(int64_t v)
{
    return v > kCoefLimit ? kCoefLimit : (v < -kCoefLimit ? -kCoefLimit : int32_t(v));
}

} // namespace vorn::avci
