#include "avci/Slice.h"

#include "avci/AvcTables.h"
#include "avci/SliceInternal.h"
#include "avci/Transform.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace vorn::avci {

namespace {

// coded_block_pattern of intra macroblocks by codeNum (ChromaArrayType 1 and 2).
constexpr uint8_t kIntraCbpFromCode[48] = {
    47, 31, 15, 0,  23, 27, 29, 30, 7,  11, 13, 14, 39, 43, 45, 46,
    16, 3,  5,  10, 12, 19, 21, 26, 28, 35, 37, 42, 44, 1,  2,  4,
    8,  17, 18, 20, 24, 6,  9,  22, 25, 32, 33, 34, 36, 40, 38, 41};

// The same for monochrome pictures (ChromaArrayType 0).
constexpr uint8_t kIntraCbpFromCodeMono[16] = {15, 0, 7, 11, 13, 14, 3, 5, 10, 12, 1, 2, 4, 8, 6, 9};

} // namespace


void PictureContext::setupScaling()
{
    const bool fromPps = pps->scalingMatrixPresent;
    const auto& l4 = fromPps ? pps->list4x4 : sps->list4x4;
    const auto& l8 = fromPps ? pps->list8x8 : sps->list8x8;
    for (int list = 0; list < 3; ++list) {
        for (int m = 0; m < 6; ++m) {
            for (int k = 0; k < 16; ++k) {
                const int pos = kZigzag4x4[k];
                levelScale4x4[list][m][pos] = int32_t(l4[size_t(list)][size_t(k)]) * normAdjust4x4(m, pos & 3, pos >> 2);
            }
        }
    }
    for (int m = 0; m < 6; ++m) {
        for (int k = 0; k < 64; ++k) {
            const int pos = kZigzag8x8[k];
            levelScale8x8[m][pos] = int32_t(l8[0][size_t(k)]) * normAdjust8x8(m, pos & 7, pos >> 3);
        }
    }
    // LevelScale is at most 255 * 25 (4x4) or 255 * 32 (8x8); shifted by at most 10 it stays
    // well inside 32 bits.
    for (int qp = 0; qp <= kMaxQp; ++qp) {
        const int left4 = qp >= 24 ? qp / 6 - 4 : 0;
        const int left8 = qp >= 36 ? qp / 6 - 6 : 0;
        for (int list = 0; list < 3; ++list)
            for (int pos = 0; pos < 16; ++pos) scaleQp4x4[list][qp][pos] = levelScale4x4[list][qp % 6][pos] << left4;
        for (int pos = 0; pos < 64; ++pos) scaleQp8x8[qp][pos] = levelScale8x8[qp % 6][pos] << left8;
    }
}

SliceDecoder::SliceDecoder() : xf_(&transformKernels())
{
    for (int t = 0; t < 6; ++t) coeffToken_[t] = &coeffTokenLookup(CoeffTokenTable(t));
    for (int i = 1; i < 16; ++i) totalZeros_[0][i] = &totalZeros4x4Lookup(i);
    for (int i = 1; i < 4; ++i) totalZeros_[1][i] = &totalZerosChromaDcLookup(1, i);
    for (int i = 1; i < 8; ++i) totalZeros_[2][i] = &totalZerosChromaDcLookup(2, i);
    static const VlcLookup noRun{std::vector<VlcLookup::Entry>{}};
    runBefore_[0] = &noRun;
    for (int z = 1; z < 8; ++z) runBefore_[z] = &runBeforeLookup(z);
    // run_before by zerosLeft (0: nothing to read) and the next 3 bits; with zerosLeft above 6
    // the bits 000 start a longer code (kLongRun here).
    for (int z = 1; z < 8; ++z)
        for (uint32_t bits = 0; bits < 8; ++bits) {
            const VlcLookup::Result r = runBefore_[z]->decode(bits << 13);
            if (r.length != 0 && r.length <= 3) runCodes_[z][bits] = RunCode{uint8_t(r.symbol), r.length};
        }
    runCodes_[7][0] = RunCode{kLongRun, 0};
    for (int zerosLeft = 0; zerosLeft < 16; ++zerosLeft)
        for (uint32_t bits = 0; bits < 64; ++bits) {
            const RunCode a = runCodes_[std::min(zerosLeft, 7)][bits >> 3];
            if (a.run == kLongRun) continue;
            const RunCode b = runCodes_[std::min(zerosLeft - a.run, 7)][((bits << a.length) >> 3) & 7];
            if (b.run == kLongRun) continue;
            runPairs_[zerosLeft][bits] = RunPair{a.run, b.run, uint8_t(a.length + b.length), 2};
        }
    for (int nC = -2; nC <= 16; ++nC) coeffTokenForNc_[nC + 2] = coeffToken_[coeffTokenTableForNc(nC)];
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 16; ++i) {
            scan8Cavlc_[0][k][i] = kZigzag8x8[4 * i + k];
            scan8Cavlc_[1][k][i] = kFieldScan8x8[4 * i + k];
        }
}

// ---------------------------------------------------------------------------------------
// Neighbours
// ---------------------------------------------------------------------------------------

bool SliceDecoder::available(int mbAddr) const { return mbAddr >= firstMb_ && mbAddr < mbAddr_; }

void SliceDecoder::setupMb(int mbAddr, bool field)
{
    PictureContext& p = *pic_;
    const int w = p.widthMbs;
    mbAddr_ = mbAddr;
    mb_ = &p.mbs[size_t(mbAddr)];
    const int mbHC = p.mbHeightC;
    if (!p.mbaff) {
        mbX_ = mbAddr % w;
        mbY_ = mbAddr / w;
        isBottom_ = false;
        field_ = p.fieldPic;
        base_[0] = p.plane[0] + ptrdiff_t(mbY_) * 16 * p.stride[0] + mbX_ * 16;
        rowStride_[0] = p.stride[0];
        for (int c = 1; c < 3 && p.chromaArrayType != 0; ++c) {
            base_[c] = p.plane[c] + ptrdiff_t(mbY_) * mbHC * p.stride[c] + mbX_ * 8;
            rowStride_[c] = p.stride[c];
        }
        auto chk = [&](bool ok, int a) { return ok && available(a) ? a : -1; };
        pairA_ = chk(mbX_ > 0, mbAddr - 1);
        pairB_ = chk(mbY_ > 0, mbAddr - w);
        pairC_ = chk(mbY_ > 0 && mbX_ < w - 1, mbAddr - w + 1);
        pairD_ = chk(mbY_ > 0 && mbX_ > 0, mbAddr - w - 1);
        availA_ = pairA_ >= 0;
        availB_ = pairB_ >= 0;
        availC_ = pairC_ >= 0;
        availD_ = pairD_ >= 0;
        return;
    }
    const int pair = mbAddr / 2;
    mbX_ = pair % w;
    const int py = pair / w;
    mbY_ = py * 2 + (mbAddr & 1);
    isBottom_ = (mbAddr & 1) != 0;
    field_ = field;
    const int top = 2 * pair;
    auto chk = [&](bool ok, int a) { return ok && a >= firstMb_ ? a : -1; };
    pairA_ = chk(mbX_ > 0, top - 2);
    pairB_ = chk(py > 0, top - 2 * w);
    pairC_ = chk(py > 0 && mbX_ < w - 1, top - 2 * w + 2);
    pairD_ = chk(py > 0 && mbX_ > 0, top - 2 * w - 2);
    const int lumaRow = py * 32 + (field ? (isBottom_ ? 1 : 0) : (isBottom_ ? 16 : 0));
    base_[0] = p.plane[0] + ptrdiff_t(lumaRow) * p.stride[0] + mbX_ * 16;
    rowStride_[0] = p.stride[0] * (field ? 2 : 1);
    const int chromaRow = py * 2 * mbHC + (field ? (isBottom_ ? 1 : 0) : (isBottom_ ? mbHC : 0));
    for (int c = 1; c < 3 && p.chromaArrayType != 0; ++c) {
        base_[c] = p.plane[c] + ptrdiff_t(chromaRow) * p.stride[c] + mbX_ * 8;
        rowStride_[c] = p.stride[c] * (field ? 2 : 1);
    }
    availA_ = pairA_ >= 0;
    if (!field && isBottom_) {
        availB_ = true;
        availC_ = false;
        availD_ = availA_;
    } else {
        availB_ = pairB_ >= 0;
        availC_ = pairC_ >= 0;
        availD_ = pairD_ >= 0;
    }
}

SliceDecoder::Neighbour SliceDecoder::neighbour(int xN, int yN, bool luma) const
{
    const int maxW = luma ? 16 : 8;
    const int maxH = luma ? 16 : pic_->mbHeightC;
    if (yN > maxH - 1 || (xN > maxW - 1 && yN >= 0)) return {-1, 0, 0};
    const int xW = xN < 0 ? xN + maxW : (xN >= maxW ? xN - maxW : xN);
    if (xN >= 0 && xN < maxW && yN >= 0) return {mbAddr_, xW, yN};
    if (!pic_->mbaff) {
        int n;
        if (xN < 0) n = yN < 0 ? pairD_ : pairA_;
        else if (xN < maxW) n = pairB_;
        else n = pairC_;
        return {n, xW, yN < 0 ? yN + maxH : yN};
    }
    // Macroblock-adaptive frame/field: neighbours of macroblock pairs.
    const std::vector<MbInfo>& mbs = pic_->mbs;
    auto isFrame = [&](int top) { return !mbs[size_t(top)].field; };
    int n = -1;
    int yM = 0;
    if (!field_) {
        if (!isBottom_) {
            if (xN < 0 && yN < 0) {
                if (pairD_ < 0) return {-1, 0, 0};
                n = pairD_ + 1;
                yM = yN;
            } else if (xN < 0) {
                if (pairA_ < 0) return {-1, 0, 0};
                if (isFrame(pairA_)) {
                    n = pairA_;
                    yM = yN;
                } else {
                    n = pairA_ + (yN % 2);
                    yM = yN >> 1;
                }
            } else if (xN < maxW) {
                if (pairB_ < 0) return {-1, 0, 0};
                n = pairB_ + 1;
                yM = yN;
            } else {
                if (pairC_ < 0) return {-1, 0, 0};
                n = pairC_ + 1;
                yM = yN;
            }
        } else {
            if (xN < 0 && yN < 0) {
                if (pairA_ < 0) return {-1, 0, 0};
                n = pairA_;
                yM = isFrame(pairA_) ? yN : (yN + maxH) >> 1;
            } else if (xN < 0) {
                if (pairA_ < 0) return {-1, 0, 0};
                if (isFrame(pairA_)) {
                    n = pairA_ + 1;
                    yM = yN;
                } else {
                    n = pairA_ + (yN % 2);
                    yM = (yN + maxH) >> 1;
                }
            } else if (xN < maxW) {
                n = mbAddr_ - 1;
                yM = yN;
            } else {
                return {-1, 0, 0};
            }
        }
    } else {
        if (!isBottom_) {
            if (xN < 0 && yN < 0) {
                if (pairD_ < 0) return {-1, 0, 0};
                if (isFrame(pairD_)) {
                    n = pairD_ + 1;
                    yM = 2 * yN;
                } else {
                    n = pairD_;
                    yM = yN;
                }
            } else if (xN < 0) {
                if (pairA_ < 0) return {-1, 0, 0};
                if (isFrame(pairA_)) {
                    if (yN < maxH / 2) {
                        n = pairA_;
                        yM = yN << 1;
                    } else {
                        n = pairA_ + 1;
                        yM = (yN << 1) - maxH;
                    }
                } else {
                    n = pairA_;
                    yM = yN;
                }
            } else if (xN < maxW) {
                if (pairB_ < 0) return {-1, 0, 0};
                if (isFrame(pairB_)) {
                    n = pairB_ + 1;
                    yM = 2 * yN;
                } else {
                    n = pairB_;
                    yM = yN;
                }
            } else {
                if (pairC_ < 0) return {-1, 0, 0};
                if (isFrame(pairC_)) {
                    n = pairC_ + 1;
                    yM = 2 * yN;
                } else {
                    n = pairC_;
                    yM = yN;
                }
            }
        } else {
            if (xN < 0 && yN < 0) {
                if (pairD_ < 0) return {-1, 0, 0};
                n = pairD_ + 1;
                yM = yN;
            } else if (xN < 0) {
                if (pairA_ < 0) return {-1, 0, 0};
                if (isFrame(pairA_)) {
                    if (yN < maxH / 2) {
                        n = pairA_;
                        yM = (yN << 1) + 1;
                    } else {
                        n = pairA_ + 1;
                        yM = (yN << 1) + 1 - maxH;
                    }
                } else {
                    n = pairA_ + 1;
                    yM = yN;
                }
            } else if (xN < maxW) {
                if (pairB_ < 0) return {-1, 0, 0};
                n = pairB_ + 1;
                yM = yN;
            } else {
                if (pairC_ < 0) return {-1, 0, 0};
                n = pairC_ + 1;
                yM = yN;
            }
        }
    }
    return {n, xW, yM < 0 ? yM + maxH : yM};
}

void SliceDecoder::cacheNeighbours()
{
    if (!pic_->mbaff) {
        // Without macroblock pairs the neighbours are the macroblocks at the left and above,
        // at the same rows and at their bottom row.
        const int mbHC = pic_->mbHeightC;
        for (int by = 0; by < 4; ++by) leftY_[by] = {pairA_, 15, 4 * by};
        topY_ = {pairB_, 0, 15};
        if (pic_->chromaArrayType == 1 || pic_->chromaArrayType == 2) {
            for (int by = 0; by < mbHC / 4; ++by) leftC_[by] = {pairA_, 7, 4 * by};
            topC_ = {pairB_, 0, mbHC - 1};
        }
        return;
    }
    // Macroblock pairs: the left neighbours of rows 0, 4, 8, ... (even rows) follow one rule
    // for the whole macroblock, picked once here rather than for every row.
    auto left = [this](Neighbour* out, int rows, int maxW, int maxH) {
        const bool frameA = pairA_ >= 0 && !pic_->mbs[size_t(pairA_)].field;
        for (int r = 0; r < rows; ++r) {
            const int yN = 4 * r;
            Neighbour& nb = out[r];
            nb.xW = maxW - 1;
            if (pairA_ < 0) {
                nb = {-1, 0, 0};
            } else if (!field_) {
                // Frame macroblock: beside a frame pair the macroblock of the same half at the
                // same rows; beside a field pair its top macroblock (the even rows), at half
                // the row counted from the top of the pair.
                nb.mb = pairA_ + (frameA && isBottom_ ? 1 : 0);
                nb.yW = frameA ? yN : (yN + (isBottom_ ? maxH : 0)) >> 1;
            } else if (frameA) {
                // Field macroblock beside a frame pair: its rows of this parity.
                const int y = (yN << 1) + (isBottom_ ? 1 : 0);
                nb.mb = pairA_ + (y >= maxH ? 1 : 0);
                nb.yW = y >= maxH ? y - maxH : y;
            } else {
                nb.mb = pairA_ + (isBottom_ ? 1 : 0);
                nb.yW = yN;
            }
        }
    };
    left(leftY_, 4, 16, 16);
    topY_ = neighbour(0, -1, true);
    if (pic_->chromaArrayType == 1 || pic_->chromaArrayType == 2) {
        left(leftC_, pic_->mbHeightC / 4, 8, pic_->mbHeightC);
        topC_ = neighbour(0, -1, false);
    }
}

// ---------------------------------------------------------------------------------------
// Slice data
// ---------------------------------------------------------------------------------------

namespace {

// ctxIdx of significant_coeff_flag and last_significant_coeff_flag of an 8x8 luma block by
// scan position 0..62, side by side: [0] frame coded, [1] field coded.
struct SigLastCtx8x8 {
    uint16_t idx[2][64][2]; // position 63 has neither flag: an entry that is never decoded
};
const SigLastCtx8x8 kSigLastCtx8x8 = [] {
    SigLastCtx8x8 t{};
    for (int f = 0; f < 2; ++f) {
        for (int i = 0; i < 63; ++i) {
            t.idx[f][i][0] = uint16_t(kCtxBaseSignificant[f][5] + kSignificant8x8CtxInc[f][i]);
            t.idx[f][i][1] = uint16_t(kCtxBaseLast[f][5] + kLast8x8CtxInc[i]);
        }
        t.idx[f][63][0] = t.idx[f][63][1] = t.idx[f][62][0];
    }
    return t;
}();

} // namespace

void SliceDecoder::decode(PictureContext& pic, const SliceHeader& sh, BitReader& br, int sliceNum, int endMb)
{
    pic_ = &pic;
    sh_ = &sh;
    br_ = &br;
    sliceNum_ = sliceNum;
    useCabac_ = pic.pps->cabac;
    const int picSize = std::min(pic.picSizeInMbs(), endMb);
    firstMb_ = sh.firstMb * (pic.mbaff ? 2 : 1);
    if (firstMb_ >= picSize) avcFail("Value out of range: first_mb_in_slice.");
    qp_ = sh.sliceQp;
    prevQpDeltaNonZero_ = false;
    std::memset(luma_, 0, sizeof luma_);
    std::memset(luma8_, 0, sizeof luma8_);
    std::memset(chroma_, 0, sizeof chroma_);
    std::memset(lumaDc_, 0, sizeof lumaDc_);
    std::memset(chromaDc_, 0, sizeof chromaDc_);
    if (useCabac_) {
        br.alignByte();
        cabac_.initContexts(sh.sliceQp);
        cabac_.start(&br);
        uint8_t* const ctx = cabac_.contexts();
        for (int f = 0; f < 2; ++f) {
            for (int k = 0; k < 65; ++k) {
                sigLastAt_[f][k][0] = ctx + kSigLastCtx8x8.idx[f][std::min(k, 63)][0];
                sigLastAt_[f][k][1] = ctx + kSigLastCtx8x8.idx[f][std::min(k, 63)][1];
            }
        }
    }
    int mbAddr = firstMb_;
    bool fieldPair = false;
    try {
    for (;;) {
        if (pic.mbs[size_t(mbAddr)].kind != kMbNone) avcFail("Slices overlap.");
        if (pic.mbaff && (mbAddr & 1) == 0) {
            mbAddr_ = mbAddr;
            if (useCabac_) {
                const int pair = mbAddr / 2;
                const int w = pic.widthMbs;
                const int px = pair % w, py = pair / w;
                int inc = 0;
                if (px > 0 && mbAddr - 2 >= firstMb_ && pic.mbs[size_t(mbAddr - 2)].field) ++inc;
                if (py > 0 && mbAddr - 2 * w >= firstMb_ && pic.mbs[size_t(mbAddr - 2 * w)].field) ++inc;
                fieldPair = cabac_.decision(kCtxMbFieldDecodingFlag + inc) != 0;
            } else {
                fieldPair = br.flag();
            }
        }
        setupMb(mbAddr, pic.mbaff ? fieldPair : pic.fieldPic);
        mb_->field = uint8_t(field_ ? 1 : 0);
        mb_->slice = sliceNum;
        cacheNeighbours();
        decodeMacroblock();
        if (useCabac_ ? cabac_.overrun() : br.overrun()) avcFail("Truncated slice data.");
        bool end;
        // With MBAFF, CABAC codes end_of_slice_flag only after the bottom macroblock of a pair.
        if (useCabac_) end = (pic.mbaff && (mbAddr & 1) == 0) ? false : cabac_.terminate() != 0;
        else end = !br.moreRbspData();
        ++mbAddr;
        if (end) break;
        if (mbAddr >= picSize) avcFail("Slice data continues past the end of the picture or into the next slice.");
    }
    } catch (AvcError& e) {
        e.message += " (macroblock " + std::to_string(mbAddr) + ")";
        throw;
    }
    if (pic.mbaff && (mbAddr & 1) != 0) avcFail("Slice ends inside a macroblock pair.");
}

// ---------------------------------------------------------------------------------------
// Macroblock layer
// ---------------------------------------------------------------------------------------

int SliceDecoder::readMbTypeCabac()
{
    int inc = 0;
    const Neighbour a = neighbourLuma(-1, 0);
    const Neighbour b = neighbourLuma(0, -1);
    if (a.mb >= 0 && pic_->mbs[size_t(a.mb)].kind != kMbI4x4 && pic_->mbs[size_t(a.mb)].kind != kMbI8x8) ++inc;
    if (b.mb >= 0 && pic_->mbs[size_t(b.mb)].kind != kMbI4x4 && pic_->mbs[size_t(b.mb)].kind != kMbI8x8) ++inc;
    if (!cabac_.decision(kCtxMbTypeI + inc)) return 0;
    if (cabac_.terminate()) return 25;
    int type = 1;
    if (cabac_.decision(kCtxMbTypeI + 3)) type += 12;
    if (cabac_.decision(kCtxMbTypeI + 4)) type += cabac_.decision(kCtxMbTypeI + 5) ? 8 : 4;
    type += 2 * cabac_.decision(kCtxMbTypeI + 6);
    type += cabac_.decision(kCtxMbTypeI + 7);
    return type;
}

void SliceDecoder::decodeMacroblock()
{
    PictureContext& p = *pic_;
    BitReader& br = *br_;
    int mbType;
    if (useCabac_) mbType = readMbTypeCabac();
    else mbType = int(br.ueMax(25, "mb_type"));
    mbType_ = mbType;
    mb_->t8x8 = 0;
    mb_->cbfDc = 0;
    std::memset(mb_->nzY, 0, sizeof mb_->nzY);
    std::memset(mb_->nzC, 0, sizeof mb_->nzC);
    if (mbType == 25) {
        readPcm();
        prevQpDeltaNonZero_ = false;
        return;
    }
    int cbp = 0;
    if (mbType == 0) {
        mb_->kind = kMbI4x4;
        if (p.pps->transform8x8Mode) {
            bool t8;
            if (useCabac_) {
                int inc = 0;
                const Neighbour a = neighbourLuma(-1, 0);
                const Neighbour b = neighbourLuma(0, -1);
                if (a.mb >= 0 && p.mbs[size_t(a.mb)].t8x8) ++inc;
                if (b.mb >= 0 && p.mbs[size_t(b.mb)].t8x8) ++inc;
                t8 = cabac_.decision(kCtxTransformSize8x8Flag + inc) != 0;
            } else {
                t8 = br.flag();
            }
            if (t8) {
                mb_->kind = kMbI8x8;
                mb_->t8x8 = 1;
            }
        }
        readPredModes();
    } else {
        mb_->kind = kMbI16x16;
        i16Mode_ = (mbType - 1) % 4;
        const int chroma = ((mbType - 1) / 4) % 3;
        cbp = (chroma << 4) | (mbType >= 13 ? 15 : 0);
        for (int i = 0; i < 16; ++i) mb_->predMode[i] = 2;
    }
    if (p.chromaArrayType == 1 || p.chromaArrayType == 2) {
        int mode;
        if (useCabac_) {
            int inc = 0;
            const Neighbour a = neighbourLuma(-1, 0);
            const Neighbour b = neighbourLuma(0, -1);
            auto cond = [&](int n) {
                if (n < 0) return 0;
                const MbInfo& m = p.mbs[size_t(n)];
                return (m.kind != kMbPcm && m.chromaPred != 0) ? 1 : 0;
            };
            inc = cond(a.mb) + cond(b.mb);
            mode = 0;
            if (cabac_.decision(kCtxIntraChromaPredMode + inc)) {
                mode = 1;
                while (mode < 3 && cabac_.decision(kCtxIntraChromaPredMode + 3)) ++mode;
            }
        } else {
            mode = int(br.ueMax(3, "intra_chroma_pred_mode"));
        }
        mb_->chromaPred = uint8_t(mode);
    } else {
        mb_->chromaPred = 0;
    }
    if (mb_->kind != kMbI16x16) cbp = readCbp();
    mb_->cbp = uint8_t(cbp);
    if (mb_->kind == kMbI16x16 || cbp != 0) {
        readQpDelta();
    } else {
        prevQpDeltaNonZero_ = false;
    }
    mb_->qp = int8_t(qp_);
    readResidual();
    reconstruct();
}

void SliceDecoder::readPcm()
{
    PictureContext& p = *pic_;
    BitReader& br = *br_;
    mb_->kind = kMbPcm;
    if (useCabac_) br.setPosition(cabac_.position());
    br.alignByte();
    const unsigned bd = unsigned(p.bitDepth);
    const size_t needBits = (256 + 2 * size_t(8) * size_t(p.mbHeightC)) * bd;
    if (br.position() + needBits > br.sizeBits()) avcFail("Truncated PCM macroblock.");
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) base_[0][y * rowStride_[0] + x] = uint16_t(br.u(bd));
    if (p.chromaArrayType != 0) {
        for (int c = 1; c < 3; ++c)
            for (int y = 0; y < p.mbHeightC; ++y)
                for (int x = 0; x < 8; ++x) base_[c][y * rowStride_[c] + x] = uint16_t(br.u(bd));
    }
    mb_->qp = int8_t(qp_);
    mb_->cbp = 0x2F;
    mb_->cbfDc = 7;
    mb_->chromaPred = 0;
    for (int i = 0; i < 16; ++i) {
        mb_->predMode[i] = 2;
        mb_->nzY[i] = 16;
    }
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 8; ++i) mb_->nzC[c][i] = 16;
    if (useCabac_) cabac_.start(&br);
}

void SliceDecoder::readPredModes()
{
    BitReader& br = *br_;
    const bool t8 = mb_->t8x8 != 0;
    const int count = t8 ? 4 : 16;
    if (useCabac_) {
        // The engine from a local copy, so that its registers stay in registers.
        CabacEngine e = cabac_.engine();
        uint8_t& prevCtx = cabac_.contexts()[kCtxPrevIntraPredModeFlag];
        uint8_t& remCtx = cabac_.contexts()[kCtxRemIntraPredMode];
        for (int i = 0; i < count; ++i) {
            const int prev = e.decision(prevCtx);
            int rem = 0;
            if (!prev) {
                rem = e.decision(remCtx);
                rem |= e.decision(remCtx) << 1;
                rem |= e.decision(remCtx) << 2;
            }
            prevFlag_[i] = int8_t(prev);
            rem_[i] = int8_t(rem);
        }
        cabac_.engine() = e;
    } else {
        for (int i = 0; i < count; ++i) {
            // The flag and the 3 bits that follow it when it is clear, in one read.
            const uint32_t b4 = br.peek32() >> 28;
            const int prev = int(b4 >> 3);
            prevFlag_[i] = int8_t(prev);
            rem_[i] = int8_t(prev ? 0 : int(b4 & 7));
            br.skip(unsigned(4 - 3 * prev));
        }
    }
    const std::vector<MbInfo>& mbs = pic_->mbs;
    if (!t8) {
        for (int blk = 0; blk < 16; ++blk) {
            const int r = kBlkRaster[blk];
            const int x = (r & 3) * 4, y = (r >> 2) * 4;
            const Neighbour a = neighbourLuma(x - 1, y);
            const Neighbour b = neighbourLuma(x, y - 1);
            int pred;
            if (a.mb < 0 || b.mb < 0) {
                pred = 2;
            } else {
                auto modeOf = [&](const Neighbour& n) {
                    const MbInfo& m = mbs[size_t(n.mb)];
                    if (m.kind != kMbI4x4 && m.kind != kMbI8x8) return 2;
                    return int(m.predMode[(n.yW >> 2) * 4 + (n.xW >> 2)]);
                };
                pred = std::min(modeOf(a), modeOf(b));
            }
            const int mode = prevFlag_[blk] ? pred : (rem_[blk] < pred ? rem_[blk] : rem_[blk] + 1);
            mb_->predMode[r] = int8_t(mode);
        }
    } else {
        for (int b8 = 0; b8 < 4; ++b8) {
            const int x = (b8 & 1) * 8, y = (b8 >> 1) * 8;
            const Neighbour a = neighbourLuma(x - 1, y);
            const Neighbour b = neighbourLuma(x, y - 1);
            int pred;
            if (a.mb < 0 || b.mb < 0) {
                pred = 2;
            } else {
                auto modeOf = [&](const Neighbour& n, bool isA) {
                    const MbInfo& m = mbs[size_t(n.mb)];
                    if (m.kind == kMbI8x8) return int(m.predMode[(n.yW >> 2) * 4 + (n.xW >> 2)]);
                    if (m.kind != kMbI4x4) return 2;
                    // A 4x4 neighbour: block luma8x8BlkIdxN * 4 + n.
                    int nIdx;
                    if (isA) nIdx = (pic_->mbaff && !field_ && m.field && b8 == 2) ? 3 : 1;
                    else nIdx = 2;
                    const int bx = (n.xW >> 3) * 2 + (nIdx & 1);
                    const int by = (n.yW >> 3) * 2 + (nIdx >> 1);
                    return int(m.predMode[by * 4 + bx]);
                };
                pred = std::min(modeOf(a, true), modeOf(b, false));
            }
            const int mode = prevFlag_[b8] ? pred : (rem_[b8] < pred ? rem_[b8] : rem_[b8] + 1);
            const int r0 = (y >> 2) * 4 + (x >> 2);
            mb_->predMode[r0] = mb_->predMode[r0 + 1] = mb_->predMode[r0 + 4] = mb_->predMode[r0 + 5] = int8_t(mode);
        }
    }
}

int SliceDecoder::readCbp()
{
    PictureContext& p = *pic_;
    if (!useCabac_) {
        if (p.chromaArrayType == 0) return kIntraCbpFromCodeMono[br_->ueMax(15, "coded_block_pattern")];
        return kIntraCbpFromCode[br_->ueMax(47, "coded_block_pattern")];
    }
    int luma = 0;
    for (int b8 = 0; b8 < 4; ++b8) {
        const int x = (b8 & 1) * 8, y = (b8 >> 1) * 8;
        auto cond = [&](const Neighbour& n) {
            if (n.mb < 0) return 0;
            const int b8N = (n.yW >> 3) * 2 + (n.xW >> 3);
            if (n.mb == mbAddr_) return ((luma >> b8N) & 1) == 0 ? 1 : 0;
            const MbInfo& m = p.mbs[size_t(n.mb)];
            if (m.kind == kMbPcm) return 0;
            return ((m.cbp >> b8N) & 1) == 0 ? 1 : 0;
        };
        const int inc = cond(neighbourLuma(x - 1, y)) + 2 * cond(neighbourLuma(x, y - 1));
        luma |= cabac_.decision(kCtxCodedBlockPatternLuma + inc) << b8;
    }
    int chroma = 0;
    if (p.chromaArrayType == 1 || p.chromaArrayType == 2) {
        const Neighbour a = neighbourLuma(-1, 0);
        const Neighbour b = neighbourLuma(0, -1);
        auto cond = [&](const Neighbour& n, int minChroma) {
            if (n.mb < 0) return 0;
            const MbInfo& m = p.mbs[size_t(n.mb)];
            if (m.kind == kMbPcm) return 1;
            return (m.cbp >> 4) >= minChroma ? 1 : 0;
        };
        const int inc0 = cond(a, 1) + 2 * cond(b, 1);
        if (cabac_.decision(kCtxCodedBlockPatternChroma + inc0)) {
            const int inc1 = cond(a, 2) + 2 * cond(b, 2);
            chroma = 1 + cabac_.decision(kCtxCodedBlockPatternChroma + 4 + inc1);
        }
    }
    return luma | (chroma << 4);
}

void SliceDecoder::readQpDelta()
{
    const int qpBdOffset = 6 * (pic_->bitDepth - 8);
    int delta;
    if (useCabac_) {
        int k = 0;
        if (cabac_.decision(kCtxMbQpDelta + (prevQpDeltaNonZero_ ? 1 : 0))) {
            k = 1;
            int ctx = kCtxMbQpDelta + 2;
            while (cabac_.decision(ctx)) {
                ++k;
                ctx = kCtxMbQpDelta + 3;
                if (k > 2 * (52 + qpBdOffset)) avcFail("Value out of range: mb_qp_delta.");
            }
        }
        delta = (k & 1) ? (k + 1) / 2 : -(k / 2);
    } else {
        delta = br_->se();
    }
    if (delta < -(26 + qpBdOffset / 2) || delta > 25 + qpBdOffset / 2) avcFail("Value out of range: mb_qp_delta.");
    prevQpDeltaNonZero_ = delta != 0;
    qp_ = ((qp_ + delta + 52 + 2 * qpBdOffset) % (52 + qpBdOffset)) - qpBdOffset;
}

void SliceDecoder::readResidual()
{
    if (useCabac_) readResidualWith<true>();
    else readResidualWith<false>();
}

} // namespace vorn::avci
