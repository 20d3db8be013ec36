// The reading of a macroblock's residual, one instance per entropy coder: included by the
// CAVLC and the CABAC source file, each of which makes its own instance.
#pragma once

#include "avci/AvcTables.h"
#include "avci/Slice.h"
#include "avci/SliceInternal.h"

#include <cstring>

namespace vorn::avci {

// The counts of the blocks around the macroblock's 4x4 blocks, filled once per macroblock:
// kNzUnavailable where the neighbouring block is not available.
inline void SliceDecoder::fillNzCache()
{
    std::memset(nzY_, 0, sizeof nzY_);
    for (int i = 0; i < 4; ++i) {
        const Neighbour& a = leftY_[i];
        nzY_[(i + 1) * 5] = a.mb < 0 ? kNzUnavailable : pic_->mbs[size_t(a.mb)].nzY[(a.yW >> 2) * 4 + 3];
        nzY_[i + 1] = topY_.mb < 0 ? kNzUnavailable : pic_->mbs[size_t(topY_.mb)].nzY[(topY_.yW >> 2) * 4 + i];
    }
    if (pic_->chromaArrayType != 1 && pic_->chromaArrayType != 2) return;
    std::memset(nzC_, 0, sizeof nzC_);
    const int rows = pic_->mbHeightC / 4;
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < rows; ++i) {
            const Neighbour& a = leftC_[i];
            nzC_[c][(i + 1) * 3] = a.mb < 0 ? kNzUnavailable : pic_->mbs[size_t(a.mb)].nzC[c][(a.yW >> 2) * 2 + 1];
        }
        for (int i = 0; i < 2; ++i)
            nzC_[c][i + 1] = topC_.mb < 0 ? kNzUnavailable : pic_->mbs[size_t(topC_.mb)].nzC[c][(topC_.yW >> 2) * 2 + i];
    }
}

template <bool Cabac>
void SliceDecoder::readResidualWith()
{
    PictureContext& p = *pic_;
    const bool fld = field_;
    const uint8_t* scan4 = fld ? kFieldScan4x4 : kZigzag4x4;
    const uint8_t* scan8 = fld ? kFieldScan8x8 : kZigzag8x8;
    const int cbpLuma = mb_->cbp & 15;
    const int cbpChroma = mb_->cbp >> 4;
    const int qpY = qp_ + 6 * (p.bitDepth - 8);
    auto make4x4 = [&p](int list, int qp) {
        Dequant d;
        d.scale = p.scaleQp4x4[list][qp];
        d.shift = qp >= 24 ? 0 : 4 - qp / 6;
        d.round = qp >= 24 ? 0 : int64_t(1) << (3 - qp / 6);
        return d;
    };
    const Dequant dqY = make4x4(0, qpY);
    Dequant dq8;
    dq8.scale = p.scaleQp8x8[qpY];
    dq8.shift = qpY >= 36 ? 0 : 6 - qpY / 6;
    dq8.round = qpY >= 36 ? 0 : int64_t(1) << (5 - qpY / 6);
    lumaNz_ = 0;
    lumaAc_ = 0;
    lumaDcNz_ = false;
    chromaNz_[0] = chromaNz_[1] = 0;
    chromaAc_[0] = chromaAc_[1] = 0;
    chromaDcNz_[0] = chromaDcNz_[1] = false;
    int last = 0;
    fillNzCache();
    // The CAVLC bit position, kept here for all blocks and written back on the way out.
    size_t pos = br_->position();
    struct WriteBack {
        BitReader* br;
        const size_t& pos;
        ~WriteBack() { br->setPosition(pos); }
    } writeBack{br_, pos};

    if (mb_->kind == kMbI16x16) {
        int n;
        if constexpr (Cabac) n = cabacBlock<0>(lumaDc_, 16, scan4, cbfIncDc(0), nullptr, last);
        else n = cavlcBlock<false>(pos, lumaDc_, 16, nCLuma(0, 0), scan4, nullptr, last);
        if (n) {
            mb_->cbfDc |= 1;
            lumaDcNz_ = true;
        }
        if (cbpLuma) {
            for (int blk = 0; blk < 16; ++blk) {
                const int r = kBlkRaster[blk];
                const int bx = r & 3, by = r >> 2;
                int c;
                if constexpr (Cabac) c = cabacBlock<1>(luma_[r], 15, scan4 + 1, cbfIncLuma(bx, by), &dqY, last);
                else c = cavlcBlock<true>(pos, luma_[r], 15, nCLuma(bx, by), scan4 + 1, &dqY, last);
                mb_->nzY[r] = nzY_[(by + 1) * 5 + bx + 1] = uint8_t(c);
                lumaNz_ |= uint16_t((c != 0) << r);
            }
            lumaAc_ = lumaNz_;
        }
    } else if (mb_->kind == kMbI8x8) {
        for (int b8 = 0; b8 < 4; ++b8) {
            if (!((cbpLuma >> b8) & 1)) continue;
            const int bx0 = (b8 & 1) * 2, by0 = (b8 >> 1) * 2;
            if constexpr (Cabac) {
                cabacBlock<5>(luma8_[b8], 64, scan8, 0, &dq8, last);
                for (int k = 0; k < 4; ++k) {
                    const int bx = bx0 + (k & 1), by = by0 + (k >> 1);
                    mb_->nzY[by * 4 + bx] = nzY_[(by + 1) * 5 + bx + 1] = 1;
                }
                lumaNz_ |= uint16_t(1u << b8);
                if (last > 0) lumaAc_ |= uint16_t(1u << b8);
            } else {
                // The 8x8 block is sent as four interleaved 4x4 blocks: coefficient i of block
                // k is coefficient 4 * i + k of the 8x8 scan.
                for (int k = 0; k < 4; ++k) {
                    const int bx = bx0 + (k & 1), by = by0 + (k >> 1);
                    const int c =
                        cavlcBlock<true>(pos, luma8_[b8], 16, nCLuma(bx, by), scan8Cavlc_[fld ? 1 : 0][k], &dq8, last);
                    mb_->nzY[by * 4 + bx] = nzY_[(by + 1) * 5 + bx + 1] = uint8_t(c);
                    // Flags without branches: whether a block is coded is as unpredictable as
                    // the data (`last` is only set when it is).
                    const unsigned coded = c != 0 ? 1u : 0u;
                    const unsigned ac = coded & ((k > 0 ? 1u : 0u) | (last > 0 ? 1u : 0u));
                    lumaNz_ |= uint16_t(coded << b8);
                    lumaAc_ |= uint16_t(ac << b8);
                }
            }
        }
    } else {
        for (int blk = 0; blk < 16; ++blk) {
            if (!((cbpLuma >> (blk >> 2)) & 1)) continue;
            const int r = kBlkRaster[blk];
            const int bx = r & 3, by = r >> 2;
            int c;
            if constexpr (Cabac) c = cabacBlock<2>(luma_[r], 16, scan4, cbfIncLuma(bx, by), &dqY, last);
            else c = cavlcBlock<true>(pos, luma_[r], 16, nCLuma(bx, by), scan4, &dqY, last);
            mb_->nzY[r] = nzY_[(by + 1) * 5 + bx + 1] = uint8_t(c);
            lumaNz_ |= uint16_t((c != 0) << r);
            lumaAc_ |= uint16_t((c != 0 && last > 0) << r);
        }
    }

    if (p.chromaArrayType != 1 && p.chromaArrayType != 2) return;
    const int numC = p.chromaArrayType == 2 ? 8 : 4;
    const uint8_t* dcOrder = p.chromaArrayType == 2 ? kChromaDc422Order : kChromaDc420Order;
    if (cbpChroma & 3) {
        for (int c = 0; c < 2; ++c) {
            int n;
            if constexpr (Cabac) n = cabacBlock<3>(chromaDc_[c], numC, dcOrder, cbfIncDc(1 + c), nullptr, last);
            else n = cavlcBlock<false>(pos, chromaDc_[c], numC, numC == 4 ? -1 : -2, dcOrder, nullptr, last);
            if (n) {
                mb_->cbfDc |= uint8_t(2 << c);
                chromaDcNz_[c] = true;
            }
        }
    }
    if (cbpChroma & 2) {
        for (int c = 0; c < 2; ++c) {
            const int dqC = chromaQp(c);
            const Dequant dq = make4x4(1 + c, dqC);
            for (int blk = 0; blk < numC; ++blk) {
                const int bx = blk & 1, by = blk >> 1;
                int n;
                if constexpr (Cabac)
                    n = cabacBlock<4>(chroma_[c][blk], 15, scan4 + 1, cbfIncChroma(c, bx, by), &dq, last);
                else n = cavlcBlock<true>(pos, chroma_[c][blk], 15, nCChroma(c, bx, by), scan4 + 1, &dq, last);
                mb_->nzC[c][blk] = nzC_[c][(by + 1) * 3 + bx + 1] = uint8_t(n);
                chromaNz_[c] |= uint8_t((n != 0) << blk);
            }
            chromaAc_[c] = chromaNz_[c];
        }
    }
}

} // namespace vorn::avci
