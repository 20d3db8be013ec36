// 180-degree rotation of 720-line DVCPRO HD frames (codes 2 and 4) in the
// coefficient domain, without decoding to pixels: every video segment of the
// frame's channel pair is decoded to quantised blocks, each block moves to the
// mirrored position of the raster, the coefficients of odd horizontal plus
// vertical frequency change sign, and the segments are written again with the
// encoder's block layout and three-pass placement.
#pragma once

#include "dv/DvFormat.h"

#include <cstdint>
#include <span>

namespace vorn::dv {

// Failure texts (message boxes titled "Quintell").
inline constexpr const char* kRotationBufferMessage = "Could not create DCT buffer";
inline constexpr const char* kRotationSegmentBufferMessage = "Could not allocate Quintell DCT buffers";
inline constexpr const char* kRotationDecodeThreadMessage = "Could not create Flip thread";
inline constexpr const char* kRotationEncodeThreadMessage = "Could not create Encode process";

// Rotates `frame` (one DifFrame of code 2 or 4) in place when `rotate` is set.
// Only the video DIF blocks change (their IDs are kept); header, subcode,
// video-auxiliary and audio blocks stay as they are. Macroblocks coded in
// field arrangement are turned into frame arrangement on the way. Segments whose
// codes no longer fit their space (only possible after that rearrangement, or
// from damaged input) are requantised more coarsely, macroblock by macroblock.
//
// Returns true when the frame was rotated (or `rotate` is false). Returns false
// with the frame unchanged for any other code, a frame shorter than the code's
// size, or when a work buffer or a worker could not be had (message shown).
// Damaged compressed data never makes it read or write outside the frame.
// Runs on the default pool's workers; calls must not overlap.
bool RotateDifFrame(std::span<uint8_t> frame, VideoFormat code, bool rotate = true);

} // namespace vorn::dv
