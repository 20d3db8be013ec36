// Internals of the DV decoder shared by its source files: the video-segment
// decoder (three-pass VLC, dequantisation, inverse DCT, placement).
#pragma once

#include "dv/CodecTables.h"
#include "dv/DvFormat.h"

#include <cstddef>
#include <cstdint>

namespace vorn::dv::detail {

// Destination of decoded samples: a packed 4:2:2 picture of the coded raster.
struct PackedTarget {
    uint8_t* base = nullptr;
    int width = 0;
    int height = 0;
    bool bottomUp = true;

    int pitch() const { return 2 * width; }
    uint8_t* row(int y) const
    {
        int r = bottomUp ? height - 1 - y : y;
        return base + static_cast<ptrdiff_t>(r) * pitch();
    }
};

// Decodes every video segment of DIF sequences [firstUnit, endUnit) of the
// frame (unit = shuffle channel * sequences + sequence) into `target`.
// `frame` must hold info.bytesPerFrame bytes (callers pad short frames).
void decodeUnits(const DvFormatInfo& info, const uint8_t* frame, int firstChannel, int firstUnit, int endUnit,
                 int sequencesPerChannel, const PackedTarget& target);

// 8x8 inverse DCTs of dequantised coefficients (index row * 8 + column) into 64
// samples (row-major), each the transform output rounded, plus 128, clamped to
// 0..255. rowMask has bit r set when coefficient row r may be non-zero; rows
// outside the mask must be zero. The coefficients are left all zero.
void idct88(float* coef, unsigned rowMask, uint8_t* out);
void idct248(float* coef, unsigned rowMask, uint8_t* out);

// Builds the decoder's lookup tables (called from the entry points).
void initDecoderTables();

} // namespace vorn::dv::detail
