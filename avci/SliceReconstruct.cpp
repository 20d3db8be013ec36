#include "avci/Slice.h"

#include "avci/AvcTables.h"
#include "avci/IntraPred.h"
#include "avci/SliceInternal.h"
#include "avci/Transform.h"

namespace vorn::avci {

// ---------------------------------------------------------------------------------------
// Reconstruction
// ---------------------------------------------------------------------------------------

void SliceDecoder::gatherEdge(int plane, int x, int y, int w, int h, bool topRightAvail, IntraEdge& e) const
{
    const uint16_t* base = base_[plane];
    const ptrdiff_t rs = rowStride_[plane];
    const int mbW = plane == 0 ? 16 : 8;
    (void)mbW;
    e.hasLeft = x > 0 || availA_;
    e.hasTop = y > 0 || availB_;
    if (x > 0 && y > 0) e.hasCorner = true;
    else if (x == 0 && y > 0) e.hasCorner = availA_;
    else if (x > 0 && y == 0) e.hasCorner = availB_;
    else e.hasCorner = availD_;
    e.hasTopRight = topRightAvail;
    if (e.hasTop) {
        const uint16_t* t = base + (y - 1) * rs + x;
        const int n = topRightAvail ? 2 * w : w;
        for (int i = 0; i < n; ++i) e.top[i] = t[i];
    }
    if (e.hasLeft) {
        const uint16_t* l = base + y * rs + x - 1;
        for (int i = 0; i < h; ++i) e.left[i] = l[i * rs];
    }
    if (e.hasCorner) {
        // The sample above-left in the macroblock's own row structure (also for a frame
        // macroblock at the bottom of a pair next to a field pair, as FFmpeg and x264 do).
        const int c = base[(y - 1) * rs + x - 1];
        e.top[-1] = c;
        e.left[-1] = c;
    }
}

namespace {

} // namespace

void SliceDecoder::reconstruct()
{
    PictureContext& p = *pic_;
    const int maxValue = (1 << p.bitDepth) - 1;
    const int qpY = qp_ + 6 * (p.bitDepth - 8);
    uint16_t* base = base_[0];
    const ptrdiff_t rs = rowStride_[0];
    const TransformKernels& xf = *xf_;
    IntraEdge e;
    if (mb_->kind == kMbI4x4) {
        for (int blk = 0; blk < 16; ++blk) {
            const int r = kBlkRaster[blk];
            const int bx = r & 3, by = r >> 2;
            bool tr;
            if (by == 0) tr = bx < 3 ? availB_ : availC_;
            else if (bx == 3) tr = false;
            else tr = kRasterToBlk[(by - 1) * 4 + bx + 1] < blk;
            gatherEdge(0, bx * 4, by * 4, 4, 4, tr, e);
            uint16_t* dst = base + by * 4 * rs + bx * 4;
            predict4x4(dst, rs, mb_->predMode[r], e, p.bitDepth);
            // Two call sites, each with one target, rather than one with two.
            if (lumaAc_ & (1u << r)) xf.idct4x4Add(dst, rs, luma_[r], maxValue);
            else if (lumaNz_ & (1u << r)) xf.dc4x4Add(dst, rs, luma_[r], maxValue);
        }
    } else if (mb_->kind == kMbI8x8) {
        for (int b8 = 0; b8 < 4; ++b8) {
            const int bx = b8 & 1, by = b8 >> 1;
            bool tr;
            if (b8 == 0) tr = availB_;
            else if (b8 == 1) tr = availC_;
            else if (b8 == 2) tr = true;
            else tr = false;
            gatherEdge(0, bx * 8, by * 8, 8, 8, tr, e);
            uint16_t* dst = base + by * 8 * rs + bx * 8;
            predict8x8(dst, rs, mb_->predMode[(by * 2) * 4 + bx * 2], e, p.bitDepth);
            if (lumaAc_ & (1u << b8)) xf.idct8x8Add(dst, rs, luma8_[b8], maxValue);
            else if (lumaNz_ & (1u << b8)) xf.dc8x8Add(dst, rs, luma8_[b8], maxValue);
        }
    } else {
        gatherEdge(0, 0, 0, 16, 16, false, e);
        predict16x16(base, rs, i16Mode_, e, p.bitDepth);
        const int32_t* ls = p.levelScale4x4[0][qpY % 6];
        if (lumaDcNz_) {
            hadamard4x4(lumaDc_);
            const int s = qpY / 6;
            for (int i = 0; i < 16; ++i) {
                int64_t v;
                if (qpY >= 36) v = (int64_t(lumaDc_[i]) * ls[0]) << (s - 6);
                else v = (int64_t(lumaDc_[i]) * ls[0] + (int64_t(1) << (5 - s))) >> (6 - s);
                luma_[i][0] = clampCoef(v);
                lumaDc_[i] = 0;
                if (luma_[i][0]) lumaNz_ |= uint16_t(1u << i);
            }
        }
        if (lumaNz_ | lumaAc_)
            for (int r = 0; r < 16; r += 2)
                xf.idct4x4PairAdd(base + (r >> 2) * 4 * rs + (r & 3) * 4, rs, luma_[r], maxValue);
    }
    if (p.chromaArrayType == 1 || p.chromaArrayType == 2) reconstructChroma();
}

int SliceDecoder::chromaQp(int c) const
{
    const PictureContext& p = *pic_;
    const int qpBdOffsetC = 6 * (p.bitDepth - 8);
    const int offset = c == 0 ? p.pps->chromaQpIndexOffset : p.pps->secondChromaQpIndexOffset;
    return chromaQpFromIndex(clip3(-qpBdOffsetC, 51, qp_ + offset)) + qpBdOffsetC;
}

void SliceDecoder::reconstructChroma()
{
    PictureContext& p = *pic_;
    const int maxValue = (1 << p.bitDepth) - 1;
    const int h = p.mbHeightC;
    const int numC = h == 16 ? 8 : 4;
    const TransformKernels& xf = *xf_;
    for (int c = 0; c < 2; ++c) {
        IntraEdge e;
        gatherEdge(1 + c, 0, 0, 8, h, false, e);
        uint16_t* base = base_[1 + c];
        const ptrdiff_t rs = rowStride_[1 + c];
        predictChroma(base, rs, mb_->chromaPred, e, h, p.bitDepth);
        const int qpC = chromaQp(c);
        const int32_t* ls = p.levelScale4x4[1 + c][qpC % 6];
        uint8_t nz = chromaNz_[c];
        if (chromaDcNz_[c]) {
            int32_t* d = chromaDc_[c];
            if (numC == 4) {
                const int32_t a = d[0] + d[1], b = d[0] - d[1], cc = d[2] + d[3], dd = d[2] - d[3];
                const int32_t f[4] = {a + cc, b + dd, a - cc, b - dd};
                for (int i = 0; i < 4; ++i) {
                    chroma_[c][i][0] = clampCoef(((int64_t(f[i]) * ls[0]) << (qpC / 6)) >> 5);
                    d[i] = 0;
                }
            } else {
                int32_t t[8];
                for (int row = 0; row < 4; ++row) {
                    t[row * 2] = d[row * 2] + d[row * 2 + 1];
                    t[row * 2 + 1] = d[row * 2] - d[row * 2 + 1];
                }
                int32_t f[8];
                for (int col = 0; col < 2; ++col) {
                    const int32_t x0 = t[col], x1 = t[2 + col], x2 = t[4 + col], x3 = t[6 + col];
                    const int32_t a = x0 + x1, b = x0 - x1, ee = x2 + x3, ff = x2 - x3;
                    f[col] = a + ee;
                    f[2 + col] = a - ee;
                    f[4 + col] = b - ff;
                    f[6 + col] = b + ff;
                }
                const int qpDc = qpC + 3;
                const int32_t ls0 = p.levelScale4x4[1 + c][qpDc % 6][0];
                const int s = qpDc / 6;
                for (int i = 0; i < 8; ++i) {
                    int64_t v;
                    if (qpDc >= 36) v = (int64_t(f[i]) * ls0) << (s - 6);
                    else v = (int64_t(f[i]) * ls0 + (int64_t(1) << (5 - s))) >> (6 - s);
                    chroma_[c][i][0] = clampCoef(v);
                    d[i] = 0;
                }
            }
            for (int i = 0; i < numC; ++i)
                nz |= uint8_t((chroma_[c][i][0] != 0 ? 1u : 0u) << i);
        }
        // Whole rows of two blocks, coded or not (an empty block adds nothing): no branch per
        // block.
        if (nz | chromaAc_[c])
            for (int row = 0; row < numC / 2; ++row)
                xf.idct4x4PairAdd(base + row * 4 * rs, rs, chroma_[c][2 * row], maxValue);
    }
}

} // namespace vorn::avci
