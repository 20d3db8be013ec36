// Colour conversions to 24-bit bitmaps (bytes blue, green, red per pixel, rows
// bottom-up as a device-independent bitmap stores them), for the frame preview
// and the clip icon:
//  - packed 8-bit 4:2:2 PictureBuffer (rows bottom-up) at scale 1, 2 or 4;
//  - planar 10-bit AVC-Intra decoder output (4:2:0 or 4:2:2, rows from the
//    top) at any whole scale.
// Both use the integer matrix blue = (75 Y + 129 Cb') >> k, green =
// (75 Y - 25 Cb' - 52 Cr') >> k, red = (75 Y + 102 Cr') >> k with Cb', Cr' the
// chroma less its mid value and k = 6 for 8-bit and 8 for 10-bit samples,
// clamped to 0..255.
#pragma once

#include "foundation/Simd.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>

namespace vorn::dv {

// Bitmap size of a w x h picture shown at scale s: (w / s) x (h / s).
struct BgrSize {
    int width = 0;
    int height = 0;
};

// Packed 4:2:2 picture (pitch 2 x width) to a (width / scale) x (height / scale)
// bitmap. Scale 1 draws both pixels of each pair, 2 the first pixel of each pair,
// 4 the first pixel of every second pair; of every `scale` rows the first is kept.
// Rows keep their stored order, so a bottom-up picture gives an upright bitmap.
// dstPitch is the byte distance between bitmap rows (at least 3 x bitmap width).
// Returns false and writes nothing when the scale is not 1, 2 or 4, a size is not
// positive, or a buffer is too small.
bool packedToBgr(std::span<const uint8_t> picture, int width, int height, int scale, std::span<uint8_t> bitmap,
                 ptrdiff_t dstPitch);

// The same with a chosen kernel variant (tests and benchmarks compare them).
bool packedToBgr(std::span<const uint8_t> picture, int width, int height, int scale, std::span<uint8_t> bitmap,
                 ptrdiff_t dstPitch, SimdLevel level);

// Planar 16-bit samples of 10-bit range (luma plane width x height, then the Cb
// and Cr planes of (width / 2) x height for 4:2:2 or (width / 2) x (height / 2)
// for 4:2:0, rows from the top) to a (width / scale) x (height / scale) bitmap.
// Bitmap pixel (x, y) takes source pixel (scale x, scale y) with the chroma sample
// covering it. Without `turn` the top source row becomes the last bitmap row (an
// upright bitmap); with `turn` the picture is rotated by 180 degrees (top row
// first, each row mirrored). chroma422: true for 4:2:2, false for 4:2:0. Returns
// false and writes nothing on bad sizes or a scale below 1.
bool planarToBgr(std::span<const uint16_t> planes, int width, int height, bool chroma422, int scale, bool turn,
                 std::span<uint8_t> bitmap, ptrdiff_t dstPitch);

// Samples a planar picture of the given size holds (luma plus both chroma planes).
size_t planarSamples(int width, int height, bool chroma422);

// The packed conversion's kernel family (foundation/Simd.h): one picture row
// at scale 1 to `outWidth` (even) bitmap pixels.
struct ColourKernels {
    void (*packedRow)(const uint8_t* src, int outWidth, uint8_t* dst) = nullptr;
};
inline constexpr auto kColourKernelEntries = std::tuple{&ColourKernels::packedRow};
ColourKernels initColourKernels(CpuFeatures features);
std::span<const SimdRung<ColourKernels>* const> colourKernelRungs();
// The kernels of one level (at most the processor's).
const ColourKernels& colourKernels(SimdLevel level);

namespace detail {
extern const SimdRung<ColourKernels> kColourKernelsSse41;
// The reference row at scale 1, 2 or 4 (the variants' end of row).
void packedRowPlain(const uint8_t* src, int outWidth, int scale, uint8_t* dst);
} // namespace detail

} // namespace vorn::dv
