// Per-format constants of the DV codec and the two buffer types it works on:
// PictureBuffer (the system's one uncompressed picture layout) and DifFrame
// (one compressed DV-family frame as 80-byte DIF blocks).
#pragma once

#include "dv/VideoFormats.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vorn::dv {

// The system's video format code (1-4 DVCPRO HD, 5-10 the 25/50 Mb/s DV formats).
using VideoFormat = int32_t;

inline constexpr int kDifBlockBytes = 80;
inline constexpr int kDifBlocksPerSequence = 150;
inline constexpr int kDifSequenceBytes = kDifBlockBytes * kDifBlocksPerSequence; // 12000
inline constexpr int kVideoBlocksPerSequence = 135;
inline constexpr int kVideoSegmentsPerSequence = 27;
inline constexpr int kMacroblocksPerSegment = 5;
inline constexpr int kMaxBlocksPerMacroblock = 8;

// DIF block index (0..149) of video DIF block k (0..134) within a DIF sequence.
constexpr int videoDifBlockIndex(int k) { return (k / 15) * 16 + (k % 15) + 7; }

enum class ChromaLayout : uint8_t {
    k411,   // 4:1:1, 32x8 macroblocks (16x16 at the right edge), 6 blocks
    k420,   // 4:2:0, 16x16 macroblocks, 6 blocks
    k422Sd, // 4:2:2 at 50 Mb/s, 16x8 macroblocks in 6 block slots (slots 1 and 3 carry overflow bits only)
    k422Hd, // 4:2:2 DVCPRO HD, 16x16 macroblocks (32x8 on the bottom row of 1080 lines), 8 blocks
};

struct DvFormatInfo {
    VideoFormat code = 0;
    const char* codecName = "";   // name written to clip metadata
    int codedWidth = 0;           // coded raster
    int height = 0;
    int fullWidth = 0;            // full raster width (differs from codedWidth for DVCPRO HD)
    int bytesPerFrame = 0;
    int channels = 0;             // channels stored in one frame (2 for 720-line HD, which carries 2 of the 4)
    int sequencesPerChannel = 0;  // DIF sequences stored per channel
    int videoSequencesPerChannel = 0; // DIF sequences carrying video per channel (channel 0 of code 3 has one more)
    int blocksPerMacroblock = 0;  // DCT block slots per compressed macroblock
    ChromaLayout chroma = ChromaLayout::k411;
    bool hd = false;
    bool decodable = false;       // true for every DV-family code (the 4:2:0 code 6 included)

    int channelBytes() const { return sequencesPerChannel * kDifSequenceBytes; }
    int pictureBytes() const { return 2 * codedWidth * height; }
};

// Constants of a DV-family code, or nullptr for any other code.
const DvFormatInfo* dvFormatInfo(VideoFormat code);
inline bool isDvFormat(VideoFormat code) { return dvFormatInfo(code) != nullptr; }

// Packed 8-bit 4:2:2 picture: bytes Y0 Cb Y1 Cr per pixel pair, pitch 2 x width,
// no padding, rows stored bottom-up (row 0 in memory is the bottom line) unless a
// caller explicitly asks for top-down order (rotation).
struct PictureBuffer {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;

    PictureBuffer() = default;
    PictureBuffer(int w, int h) { resize(w, h); }
    void resize(int w, int h)
    {
        width = w;
        height = h;
        bytes.resize(static_cast<size_t>(2) * static_cast<size_t>(w) * static_cast<size_t>(h));
    }
    int pitch() const { return 2 * width; }
    uint8_t* data() { return bytes.data(); }
    const uint8_t* data() const { return bytes.data(); }
    size_t size() const { return bytes.size(); }
    // Row in memory order (row 0 = first row in memory).
    uint8_t* memoryRow(int r) { return bytes.data() + static_cast<size_t>(r) * static_cast<size_t>(pitch()); }
    const uint8_t* memoryRow(int r) const { return bytes.data() + static_cast<size_t>(r) * static_cast<size_t>(pitch()); }
};

// One compressed frame exactly as stored in the clip's video essence: the DIF
// sequences of channel 0, then those of channel 1, and so on.
struct DifFrame {
    std::vector<uint8_t> bytes;

    DifFrame() = default;
    explicit DifFrame(size_t size) : bytes(size, 0) {}
    uint8_t* data() { return bytes.data(); }
    const uint8_t* data() const { return bytes.data(); }
    size_t size() const { return bytes.size(); }
    std::span<const uint8_t> view() const { return {bytes.data(), bytes.size()}; }
};

} // namespace vorn::dv
