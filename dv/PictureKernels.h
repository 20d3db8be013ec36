// The inner loops of the picture operations (stretch pass, planar conversion,
// format change, noise reduction): a kernel family of foundation/Simd.h. The
// plain table is the reference: every variant gives bit-identical results.
#pragma once

#include "foundation/Simd.h"

#include <cstdint>
#include <span>
#include <tuple>

namespace vorn::dv {

// The sampling positions of a horizontal rescale: for output luma sample k the
// left source sample lumaIndex[k] and the fraction lumaFrac[k] (0..65535) of
// the way to its right neighbour (the last sample stands in beyond the edge);
// likewise for the chroma pairs. The first lumaSafe (chromaSafe) outputs have
// a real right neighbour.
struct ResampleSteps {
    const int32_t* lumaIndex = nullptr;
    const int32_t* lumaFrac = nullptr;
    int lumaCount = 0;
    int lumaSafe = 0;
    const int32_t* chromaIndex = nullptr;
    const int32_t* chromaFrac = nullptr;
    int chromaCount = 0;
    int chromaSafe = 0;
    int sourceWidth = 0; // pixels
};

struct PictureKernels {
    // Line mirror of `pairs` pixel pairs: pair i goes to pair pairs - 1 - i as
    // Y1 Cb Y0 Cr. dst and src must not overlap.
    void (*mirror)(uint8_t* dst, const uint8_t* src, int pairs) = nullptr;
    // Up-stretch of `groups` groups: 2 pairs -> 3 pairs (code 1) and 3 pairs ->
    // 4 pairs (codes 2, 3, 4), averages rounding up. dst and src must not overlap.
    void (*stretch2to3)(uint8_t* dst, const uint8_t* src, int groups) = nullptr;
    void (*stretch3to4)(uint8_t* dst, const uint8_t* src, int groups) = nullptr;
    // One packed line of `width` pixels (even) from 16-bit luma and chroma rows:
    // each byte clamp((v + 2) >> 2, 0, 255).
    void (*packPlanarRow)(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width) = nullptr;
    // dst[i] = a[i] + (((b[i] - a[i]) * f) >> 16) (arithmetic shift) for `bytes` bytes, f < 65536.
    void (*lerpRows)(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int bytes) = nullptr;
    // One packed line rescaled horizontally: luma sample k = Y(i) + ((Y(i + 1)
    // - Y(i)) * f >> 16), and the same over the Cb and over the Cr samples.
    void (*resampleLine)(uint8_t* dst, const uint8_t* src, const ResampleSteps& steps) = nullptr;
    // The noise filter's luma for pixels 1 .. width - 2 of one packed row;
    // cur and hist are the rows above, at and below it (current picture and
    // history). Writes the luma bytes of those pixels only.
    void (*noiseRow)(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int width) = nullptr;
};

inline constexpr auto kPictureKernelEntries =
    std::tuple{&PictureKernels::mirror,   &PictureKernels::stretch2to3,  &PictureKernels::stretch3to4,
               &PictureKernels::packPlanarRow, &PictureKernels::lerpRows, &PictureKernels::resampleLine,
               &PictureKernels::noiseRow};

// The table for a set of features: the reference, then the variants of each
// rung up the ladder while `features` has what the rung needs.
PictureKernels initPictureKernels(CpuFeatures features);
// The rungs with variants, lowest first (none off x86).
std::span<const SimdRung<PictureKernels>* const> pictureKernelRungs();

// The kernels of one level (a level above the processor's falls back to the
// highest the processor has).
const PictureKernels& pictureKernels(SimdLevel level);
// The kernels of this run (simdFeatures()).
const PictureKernels& pictureKernels();

namespace detail {
// The rungs, one per file PictureKernels<Rung>.cpp.
extern const SimdRung<PictureKernels> kPictureKernelsSse2;
extern const SimdRung<PictureKernels> kPictureKernelsSse41;
extern const SimdRung<PictureKernels> kPictureKernelsAvx2;
} // namespace detail

} // namespace vorn::dv
