// H.264 deblocking filter for pictures made only of intra macroblocks.
//
// The filter runs over a completely decoded picture, macroblock by macroblock in increasing
// macroblock address order; for each macroblock the luma vertical edges (left to right), then
// the luma horizontal edges (top to bottom), then the same for Cb and Cr. Because every
// macroblock is intra, the boundary strength is 4 at macroblock edges between frame
// macroblocks and at vertical macroblock edges of field and MBAFF pictures, and 3 at all
// other filtered edges (internal edges, horizontal macroblock edges touching a field
// macroblock, all horizontal macroblock edges of a field picture).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::avci {

enum class PictureStructure : uint8_t {
    Frame = 0,       // a frame (progressive or MBAFF)
    TopField = 1,    // a field picture; the planes address the field's own lines
    BottomField = 2, // ditto
};

// What the filter needs to know of one macroblock. For every macroblock the values of the
// slice that contains it are copied in (disableIdc, filter offsets, chroma QP offsets, slice).
struct DeblockMbInfo {
    int8_t qpY = 0;          // QPY (-QpBdOffsetY..51). Ignored when pcm is set: I_PCM filters as
                             // QP'Y = 0, i.e. QPY = -QpBdOffsetY (0 for 8-bit samples).
                             // For lossless macroblocks (qpprime_y_zero_transform_bypass_flag with
                             // QP'Y == 0) the caller passes 0 as well.
    uint8_t pcm = 0;         // I_PCM macroblock
    uint8_t fieldMb = 0;     // MBAFF frames: the macroblock belongs to a field macroblock pair
                             // (ignored otherwise). Both macroblocks of a pair must agree.
    uint8_t transform8x8 = 0;  // transform_size_8x8_flag: luma internal edges 1 and 3 not filtered
                               // (and the same for chroma when ChromaArrayType == 3)
    uint8_t disableIdc = 0;    // disable_deblocking_filter_idc of the slice: 0 filter all edges,
                               // 1 filter nothing, 2 do not filter across slice boundaries
    int8_t filterOffsetA = 0;  // FilterOffsetA = slice_alpha_c0_offset_div2 << 1
    int8_t filterOffsetB = 0;  // FilterOffsetB = slice_beta_offset_div2 << 1
    int8_t chromaQpOffset = 0;       // chroma_qp_index_offset (Cb)
    int8_t secondChromaQpOffset = 0; // second_chroma_qp_index_offset (Cr)
    int32_t slice = 0;         // any number identifying the slice (equal within a slice)
};

struct DeblockPicture {
    // Sample planes (Y, Cb, Cr) and their strides in samples. 8-bit streams use the same
    // 16-bit planes. For a field picture the planes address the field: first line of the field
    // and twice the frame stride. Chroma planes are unused for chromaArrayType 0.
    uint16_t* plane[3] = {nullptr, nullptr, nullptr};
    ptrdiff_t stride[3] = {0, 0, 0};
    int chromaArrayType = 1;   // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bitDepthY = 8;         // 8..14
    int bitDepthC = 8;
    int widthMbs = 0;          // PicWidthInMbs
    int heightMbs = 0;         // height of the picture being filtered in macroblocks: of the field
                               // for field pictures, of the frame for frames (also MBAFF)
    PictureStructure structure = PictureStructure::Frame;
    bool mbaff = false;        // MbaffFrameFlag (only with structure == Frame)
    // One entry per macroblock, indexed by macroblock address (widthMbs * heightMbs entries).
    // Without MBAFF mbAddr = mbY * widthMbs + mbX; with MBAFF the two macroblocks of a pair are
    // consecutive: mbAddr = 2 * (pairRow * widthMbs + mbX) + (bottom ? 1 : 0).
    const DeblockMbInfo* mbs = nullptr;
};

// Filters the picture in place. Returns false (and leaves the picture untouched) when the
// description is inconsistent (null planes, sizes out of range, bad bit depth, an odd
// heightMbs with MBAFF, ...).
bool deblockPicture(const DeblockPicture& picture);

// Single-edge primitives, exposed for tests and for callers that filter as they decode.
// Filters `count` lines across one edge. p0 of line k is at base[k * lineStep - sampleStep],
// q0 at base[k * lineStep], p1 at base[k*lineStep - 2*sampleStep], and so on.
// chromaStyle selects the chroma filters (ChromaArrayType != 3 chroma edges).
// bS is 0..4; indexA/indexB are already clipped to 0..51.
void filterEdgeLines(uint16_t* base, ptrdiff_t sampleStep, ptrdiff_t lineStep, int count,
                     int bS, int indexA, int indexB, int bitDepth, bool chromaStyle);

} // namespace vorn::avci
