// 180-degree rotation of 720-line DVCPRO HD frames (codes 2 and 4) in the
// coefficient domain, without decoding to pixels: every video segment of the
// frame's channel pair is decoded to quantised blocks, each block moves to the
// mirrored position of the raster, the coefficients of odd horizontal plus
// vertical frequency change sign, and the segments are written again with the
// encoder's block layout and three-pass placement.
#pragma once

#include "dv/DvFormat.h"
#include "foundation/Status.h"

#include <cstdint>
#include <memory>
#include <span>

namespace vorn::dv {

// Failure texts; the title of their message boxes.
inline constexpr const char* kRotationMessageTitle = "Quintell";
inline constexpr const char* kRotationBufferMessage = "Could not create DCT buffer";
inline constexpr const char* kRotationSegmentBufferMessage = "Could not allocate Quintell DCT buffers";
inline constexpr const char* kRotationDecodeThreadMessage = "Could not create Flip thread";
inline constexpr const char* kRotationEncodeThreadMessage = "Could not create Encode process";

// The rotation with its work areas (the coefficient store, the rewritten
// frame and a segment coder per worker slot), kept from frame to frame. One
// object rotates one frame at a time; objects are independent of each other.
class DifRotator {
public:
    DifRotator();
    ~DifRotator();
    DifRotator(const DifRotator&) = delete;
    DifRotator& operator=(const DifRotator&) = delete;

    // Rotates `frame` (one DifFrame of code 2 or 4) in place when `rotate` is
    // set. Only the video DIF blocks change (their IDs are kept); header,
    // subcode, video-auxiliary and audio blocks stay as they are. Macroblocks
    // coded in field arrangement are turned into frame arrangement on the way.
    // Segments whose codes no longer fit their space (only possible after that
    // rearrangement, or from damaged input) are requantised more coarsely,
    // macroblock by macroblock.
    //
    // Succeeds when the frame was rotated (or `rotate` is false). Fails with
    // the frame unchanged for any other code or a frame shorter than the
    // code's size; when a work area cannot be allocated (kRotationBufferMessage
    // or kRotationSegmentBufferMessage, system error ENOMEM); or when a worker
    // cannot be started (the worker pool shows that message box). Damaged
    // compressed data never makes it read or write outside the frame. Runs on
    // the default pool's workers.
    Status rotate(std::span<uint8_t> frame, VideoFormat code, bool rotate = true);

    // True when the last rotate() could not decode some video segments (the
    // decoder's segment context could not be allocated): they became flat grey
    // blocks, and the user is to be told kRotationSegmentBufferMessage.
    bool undecodableSegments() const { return m_undecodable; }

private:
    struct Buffers;
    std::unique_ptr<Buffers> m_buffers;
    bool m_undecodable = false;
};

} // namespace vorn::dv
