// The DV encoder: a PictureBuffer becomes a complete DifFrame (video of every
// DIF sequence plus header, subcode, VAUX and audio block system data).
//
// Two engines share this entry point: the 25/50 Mb/s engine for codes 5, 7, 8,
// 9 and 10 and the DVCPRO HD engine for codes 1 to 4. Both code every block
// with the 8-8 DCT, pick each macroblock's quantiser by a search against a
// per-segment bit budget. The time code written into the system data is the
// caller's; the encoder never advances it (whoever writes the frames does).
#pragma once

#include "dv/DvFormat.h"
#include "dv/DvSystemData.h"

#include <cstdint>

namespace vorn::dv {

// Message shown (title "Quintell") when an HD encoder worker cannot be started.
inline constexpr const char* kEncodeWorkerFailure = "Could not create Encode process";

// Bit budgets of one video segment (AC code bits plus 4 end-of-block bits per block).
inline constexpr int kSdSegmentBudget = 2640;
inline constexpr int kHdSegmentBudget = 2540;

// Encodes `src` into `dest`.
//  - width/height: the picture's size; a positive height means rows stored
//    bottom-up (the PictureBuffer rule), a negative one top-down; `flip`
//    inverts that choice. The width is the coded width of the format, or for
//    DVCPRO HD the full raster (1920 / 1280), which the stretch pass brings to
//    the coded width in `scratch` first; for DVCPRO HD `flip` also mirrors the
//    lines there (a 180-degree turn together with the row order).
//  - flagA/flagB: passed as 1 and 0 by the conversion path; not used.
//  - frameNumber: not used by the engines.
//  - bytesPerPixel: 2 (packed 4:2:2).
//  - rateControl: 1 searches quantisers against the budget; 0 codes every HD
//    macroblock at QNO 9 (the 25/50 Mb/s engine always searches).
// `dest` grows to the format's frame size when it is smaller; bytes outside the
// video and system data this encoder writes keep their values. Returns false,
// writing nothing or an incomplete frame, when the format cannot be encoded,
// the picture does not match, or an HD worker could not be started (after the
// message box). `timecode` goes into the time code packs of the system data.
bool EncodeDifFrame(DifFrame& dest, PictureBuffer& scratch, const PictureBuffer& src, int width, int height,
                    int flagA, int flagB, VideoFormat code, int frameNumber, int bytesPerPixel, int flip,
                    int rateControl, const TimecodeCounter& timecode = {});

// Short form used by the conversion path and the tools: flags 1 and 0, 2 bytes
// per pixel, no flip, rate control on; the height sign follows the picture's
// bottom-up rule.
bool EncodeDifFrame(DifFrame& dest, const PictureBuffer& src, VideoFormat code, const TimecodeCounter& timecode = {});

// Puts the process-wide encoder state back to its start: the carried HD
// quantisers (all 1) and the 720-line channel-pair toggle (channels 0/1 next).
void ResetEncoderState();

// Test hook: makes the start of worker number `worker` fail (-1 = never).
void setEncodeWorkerStartFailureForTest(int worker);

// True for the codes this encoder writes (1-5, 7-10).
bool isEncodableFormat(VideoFormat code);

} // namespace vorn::dv
