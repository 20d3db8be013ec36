// The AVC-Intra decoder frame: turns one compressed access unit (H.264 byte stream with
// start codes, as stored in P2 MXF essence) into one uncompressed picture.
//
// The decoder is a single process-wide instance; calls must not overlap. It keeps the
// parameter sets from call to call (later P2 frames carry none) and is released and
// rebuilt when the format code changes.
//
// Output layout: luma plane, then Cb, then Cr, each row by row from the top without gaps,
// cropped by the frame-cropping rectangle; 2 bytes a sample (little-endian) when the bit
// depth exceeds 8, else 1 byte. 4:0:0 streams write the luma plane only.
#pragma once

#include "avci/Nal.h"   // access unit splitting, used with the decoder

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vorn::avci {

// Decodes one access unit (one frame, or the two fields of one frame) into dst.
// On any decoding error (bad syntax, value out of range, missing parameter set, truncated
// data, "NALU overflow.", destination too small) it shows the message titled
// "Quintell AVC-Intra Decoder" through vorn::notify and returns false; the decoder stays
// ready for the next call. With no destination (nullptr and capacity 0) the frame is
// decoded but not written out; avcLastFrameInfo() still describes it.
bool decodeAvcFrame(const uint8_t* source, uint8_t* destination, size_t sourceCount, int formatCode,
                    size_t destinationCapacity);

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
AvcFrameInfo avcLastFrameInfo();

// Number of slice contexts (threads decoding slices of one picture at once), 1..8.
// 0 (the default) means one per processor.
void setAvcDecoderThreads(int threads);

} // namespace vorn::avci
