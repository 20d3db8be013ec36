// The AVC-Intra decoder: turns one compressed access unit (H.264 byte stream with start
// codes, as stored in P2 MXF essence) into one uncompressed picture.
//
// Its owner builds one from AvcDecoderSettings and keeps it for the frames of a clip: the
// decoder keeps the parameter sets from call to call (later P2 frames carry none) and
// forgets them when the format code changes. Calls on one decoder must not overlap;
// separate decoders are independent.
//
// Output layout: luma plane, then Cb, then Cr, each row by row from the top without gaps,
// cropped by the frame-cropping rectangle; 2 bytes a sample (little-endian) when the bit
// depth exceeds 8, else 1 byte. 4:0:0 streams write the luma plane only.
#pragma once

#include "avci/Nal.h"   // access unit splitting, used with the decoder
#include "foundation/Status.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace vorn::avci {

// The title under which the program shows the decoder's failures to the user.
inline constexpr const char* kAvcDecoderTitle = "Quintell AVC-Intra Decoder";

struct AvcDecoderSettings {
    // Number of slice contexts (threads decoding slices of one picture at once), 1..8.
    // 0 (the default) means one per processor; other values are clamped to 0..8.
    int threads = 0;
};

// Facts about the last picture decoded successfully.
struct AvcFrameInfo {
    int width = 0;          // cropped luma size
    int height = 0;
    int chromaFormat = 0;   // 0 4:0:0, 1 4:2:0, 2 4:2:2
    int bitDepth = 0;
    int profileIdc = 0;
    bool deblocked = false; // the loop filter ran on the picture
    size_t bytes = 0;       // size of the decoder output
};

class AvcDecoder {
public:
    explicit AvcDecoder(const AvcDecoderSettings& settings = {});
    ~AvcDecoder();
    // A decoder moved from may only be assigned to or destroyed.
    AvcDecoder(AvcDecoder&&) noexcept;
    AvcDecoder& operator=(AvcDecoder&&) noexcept;
    AvcDecoder(const AvcDecoder&) = delete;
    AvcDecoder& operator=(const AvcDecoder&) = delete;

    // Decodes one access unit (one frame, or the two fields of one frame) into destination.
    // On any decoding error (bad syntax, value out of range, missing parameter set, truncated
    // data, "NALU overflow.", destination too small) it returns the failure with its
    // message; the decoder stays ready for the next call. With no destination (nullptr and
    // capacity 0) the frame is decoded but not written out; lastFrame() still describes it.
    Status decode(const uint8_t* source, size_t sourceCount, int formatCode, uint8_t* destination,
                  size_t destinationCapacity);

    // The last picture decoded successfully (all zero before the first, and after a change
    // of format code until the next success).
    const AvcFrameInfo& lastFrame() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// True for a failure the user has been shown already: a slice decoding thread that could
// not be started, which the worker pool reports itself. Every other failure is shown
// titled kAvcDecoderTitle.
bool failureAlreadyShown(const Status& failure);

} // namespace vorn::avci
