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
#include "foundation/Status.h"

#include <cstdint>
#include <memory>

namespace vorn::dv {

// Message shown (title "Quintell") when an HD encoder worker cannot be started.
inline constexpr const char* kEncodeWorkerFailure = "Could not create Encode process";

// Bit budgets of one video segment (AC code bits plus 4 end-of-block bits per block).
inline constexpr int kSdSegmentBudget = 2640;
inline constexpr int kHdSegmentBudget = 2540;

// What an encoder is built with.
struct DvEncoderSettings {
    // True searches quantisers against the budget; false codes every DVCPRO HD
    // macroblock at QNO 9 (the 25/50 Mb/s engine always searches).
    bool rateControl = true;
};

// How the picture handed to DvEncoder::encode is laid out.
struct EncodeLayout {
    // The picture's size: the coded width of the format, or for DVCPRO HD the
    // full raster (1920 / 1280), which the stretch pass brings to the coded
    // width in the scratch picture first.
    int width = 0;
    // A positive height means rows stored bottom-up (the PictureBuffer rule),
    // a negative one top-down.
    int height = 0;
    // Inverts the row order; for DVCPRO HD it also mirrors the lines (a
    // 180-degree turn together with the row order).
    bool flip = false;
    // Only 2 (packed 4:2:2) is encoded.
    int bytesPerPixel = 2;
};

// A DV encoder: a PictureBuffer becomes a complete DifFrame. One object keeps
// its segment coders (one per worker slot), the carried DVCPRO HD quantisers
// and the 720-line channel pair of its next frame; frames encoded by one
// object form one stream. Objects are independent of each other; one object
// encodes one frame at a time.
class DvEncoder {
public:
    explicit DvEncoder(const DvEncoderSettings& settings = {});
    ~DvEncoder();
    DvEncoder(const DvEncoder&) = delete;
    DvEncoder& operator=(const DvEncoder&) = delete;

    // Encodes `src` (laid out as `layout` says) as a frame of format `code`
    // into `dest`; `scratch` takes the stretched DVCPRO HD picture when one is
    // needed. `dest` grows to the format's frame size when it is smaller;
    // bytes outside the video and system data this encoder writes keep their
    // values. `timecode` goes into the time code packs of the system data; the
    // encoder never advances it. Fails, writing nothing or an incomplete
    // frame, when the format cannot be encoded, the picture does not match,
    // or the stretch pass or a worker could not be started (the worker pool
    // shows that message box).
    Status encode(DifFrame& dest, PictureBuffer& scratch, const PictureBuffer& src, const EncodeLayout& layout,
                  VideoFormat code, const TimecodeCounter& timecode = {});

    // The picture's own size and bottom-up rows, no flip.
    Status encode(DifFrame& dest, const PictureBuffer& src, VideoFormat code, const TimecodeCounter& timecode = {});

    // 720-line frames (codes 2 and 4) are coded on channels 0/1 and 2/3 in
    // turn, starting with 0/1: the pair of the next such frame (0 or 1).
    int nextChannelPair() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Test hook: makes the start of worker number `worker` fail (-1 = never).
void setEncodeWorkerStartFailureForTest(int worker);

// True for the codes this encoder writes (1-5, 7-10).
bool isEncodableFormat(VideoFormat code);

} // namespace vorn::dv
