// Intra prediction of H.264 luma and chroma blocks from gathered neighbouring samples.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::avci {

// Neighbouring samples of a block. top[-1] and left[-1] are the corner sample p[-1,-1];
// top[0..] the row above (including the above-right samples), left[0..] the column at
// the left. The flags tell which groups are available.
struct IntraEdge {
    int topBuf[1 + 32];
    int leftBuf[1 + 16];
    int* top = topBuf + 1;
    int* left = leftBuf + 1;
    bool hasTop = false;
    bool hasTopRight = false;
    bool hasLeft = false;
    bool hasCorner = false;

    IntraEdge() = default;
    IntraEdge(const IntraEdge&) = delete;
    IntraEdge& operator=(const IntraEdge&) = delete;
};

// mode: Intra4x4PredMode 0..8. Needs top[0..7] (top-right substitution done here).
void predict4x4(uint16_t* dst, ptrdiff_t stride, int mode, IntraEdge& e, int bitDepth);
// mode: Intra8x8PredMode 0..8. Reference sample filtering is done here.
void predict8x8(uint16_t* dst, ptrdiff_t stride, int mode, IntraEdge& e, int bitDepth);
// mode: Intra16x16PredMode 0..3.
void predict16x16(uint16_t* dst, ptrdiff_t stride, int mode, const IntraEdge& e, int bitDepth);
// mode: intra_chroma_pred_mode 0..3 (DC, horizontal, vertical, plane); height 8 or 16.
void predictChroma(uint16_t* dst, ptrdiff_t stride, int mode, const IntraEdge& e, int height, int bitDepth);

} // namespace vorn::avci
