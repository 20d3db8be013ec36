// DV decoder: turns one compressed DV-family frame (DV25, DVCPRO25/50, DVCPRO HD)
// into a PictureBuffer (packed 8-bit 4:2:2, rows bottom-up unless told otherwise),
// or into 24-bit RGB for icons. The work is split over processorCount() workers.
#pragma once

#include "dv/DvFormat.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn::dv {

// Full form of the decoder entry point.
//  dest, destBytes  destination picture (2 bytes per pixel at 16 bpp, 3 at 24 bpp);
//                   nothing is written when destBytes is too small for the request
//  width            output width: the coded width (or the full-raster width 1920/1280
//                   for DVCPRO HD to request stretching), divided by `scale`
//  height           output height (divided by `scale`); positive = rows bottom-up,
//                   negative = top-down; `rotate` inverts that choice and mirrors
//                   each row (a 180-degree turn)
//  frame            the compressed frame; a short frame decodes as if zero-padded
//  modeFlag         full-quality flag (any value decodes at full quality)
//  stretchMode      mode flag of the stretch pass (1 conversion path, 0 thumbnails)
//  code             VideoFormat 1..10 (other codes are ignored)
//  bitsPerPixel     16 (PictureBuffer layout) or 24 (RGB, 3 bytes per pixel)
//  scale            1, 2, 4 or 8: reduced-size output (2x2 ... 8x8 box average)
void DecodeDifFrame(uint8_t* dest, size_t destBytes, int width, int height, std::span<const uint8_t> frame,
                    int modeFlag, int stretchMode, VideoFormat code, int bitsPerPixel, int scale, bool rotate);

struct DecodeOptions {
    bool fullRaster = false; // DVCPRO HD: stretch to 1920 / 1280 wide
    bool rotate = false;     // 180-degree rotation (top-down rows, mirrored lines)
    bool topDown = false;    // rows top-down instead of bottom-up (before rotation)
};

// Message box text when a decoding worker cannot be started.
inline constexpr const char* kDecodeThreadMessage = "Could not create Decode thread";

// Decodes into `picture` (resized to the coded or full raster). Returns false
// for a code that is not a DV-family format or when the workers could not run.
bool decodeDifFrame(std::span<const uint8_t> frame, VideoFormat code, PictureBuffer& picture,
                    const DecodeOptions& options = {});

// Output raster of a code: coded width (or full raster width) and height.
int decodedWidth(VideoFormat code, bool fullRaster);

} // namespace vorn::dv
