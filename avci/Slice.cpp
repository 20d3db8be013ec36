#include "avci/Slice.h"

#include "avci/AvcTables.h"
#include "avci/IntraPred.h"
#include "avci/Transform.h"
#include "foundation/ByteOrder.h"

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

// Coefficient order of chroma DC: 2x2 raster for 4:2:0; for 4:2:2 the 2-wide, 4-high
// raster position of each coefficient.
constexpr uint8_t kChromaDc420Order[4] = {0, 1, 2, 3};
constexpr uint8_t kChromaDc422Order[8] = {0, 2, 1, 4, 6, 3, 5, 7};

// Raster index (y * 4 + x) of the 4x4 luma blocks in decoding order.
constexpr uint8_t kBlkRaster[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};
// Decoding order of each raster 4x4 block.
constexpr uint8_t kRasterToBlk[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};

inline int clip3(int lo, int hi, int v) { return v < lo ? lo : (v > hi ? hi : v); }

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

// ---------------------------------------------------------------------------------------
// Slice header
// ---------------------------------------------------------------------------------------

void parseSliceHeader(BitReader& br, int nalType, int nalRefIdc, const std::array<Sps, 32>& spsTable,
                      const std::array<Pps, 256>& ppsTable, SliceHeader& sh)
{
    sh = SliceHeader{};
    sh.nalType = nalType;
    sh.nalRefIdc = nalRefIdc;
    sh.firstMb = int(br.ueMax(1 << 20, "first_mb_in_slice"));
    sh.sliceType = int(br.ueMax(9, "slice_type"));
    if (sh.sliceType % 5 != 2) avcFail("Only intra (I) slices are supported.");
    sh.ppsId = int(br.ueMax(255, "pic_parameter_set_id"));
    const Pps& pps = ppsTable[size_t(sh.ppsId)];
    if (!pps.valid) avcFail("Slice refers to a missing picture parameter set.");
    const Sps& sps = spsTable[size_t(pps.spsId)];
    if (!sps.valid) avcFail("Slice refers to a missing sequence parameter set.");
    sh.frameNum = int(br.u(unsigned(sps.log2MaxFrameNum)));
    if (!sps.frameMbsOnly) {
        sh.fieldPic = br.flag();
        if (sh.fieldPic) sh.bottomField = br.flag();
    }
    if (nalType == 5) sh.idrPicId = int(br.ueMax(65535, "idr_pic_id"));
    if (sps.pocType == 0) {
        sh.pocLsb = int(br.u(unsigned(sps.log2MaxPocLsb)));
        if (pps.bottomFieldPicOrderPresent && !sh.fieldPic) sh.deltaPocBottom = br.se();
    } else if (sps.pocType == 1 && !sps.deltaPicOrderAlwaysZero) {
        sh.deltaPoc0 = br.se();
        if (pps.bottomFieldPicOrderPresent && !sh.fieldPic) sh.deltaPoc1 = br.se();
    }
    if (pps.redundantPicCntPresent) br.ueMax(127, "redundant_pic_cnt");
    if (nalRefIdc != 0) {
        if (nalType == 5) {
            br.u(1);
            br.u(1);
        } else if (br.flag()) {
            for (int guard = 0;; ++guard) {
                if (guard > 100) avcFail("Too many memory management operations.");
                const uint32_t op = br.ueMax(6, "memory_management_control_operation");
                if (op == 0) break;
                if (op == 1 || op == 3) br.ue();
                if (op == 2) br.ue();
                if (op == 3 || op == 6) br.ue();
                if (op == 4) br.ue();
            }
        }
    }
    const int qpBdOffset = 6 * (sps.bitDepthLuma - 8);
    sh.sliceQp = pps.picInitQp + br.se();
    if (sh.sliceQp < -qpBdOffset || sh.sliceQp > 51) avcFail("Value out of range: slice_qp_delta.");
    if (pps.deblockingControlPresent) {
        sh.disableDeblocking = int(br.ueMax(2, "disable_deblocking_filter_idc"));
        if (sh.disableDeblocking != 1) {
            sh.alphaOffset = 2 * br.seRange(-6, 6, "slice_alpha_c0_offset_div2");
            sh.betaOffset = 2 * br.seRange(-6, 6, "slice_beta_offset_div2");
        }
    }
    if (br.overrun()) avcFail("Truncated slice header.");
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

// ---------------------------------------------------------------------------------------
// Residual data
// ---------------------------------------------------------------------------------------

// The counts of the blocks around the macroblock's 4x4 blocks, filled once per macroblock:
// kNzUnavailable where the neighbouring block is not available.
void SliceDecoder::fillNzCache()
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

namespace {
// nC from the counts of the blocks at the left (a) and above (b): their rounded mean when
// both are available, else the one that is, else 0.
inline int nCOf(int a, int b)
{
    const int sum = (a & 31) + (b & 31);
    return ((a | b) & SliceDecoder::kNzUnavailable) ? sum : (sum + 1) >> 1;
}
} // namespace

int SliceDecoder::nCLuma(int blkX, int blkY) const
{
    const int i = (blkY + 1) * 5 + blkX + 1;
    return nCOf(nzY_[i - 1], nzY_[i - 5]);
}

int SliceDecoder::nCChroma(int comp, int blkX, int blkY) const
{
    const int i = (blkY + 1) * 3 + blkX + 1;
    return nCOf(nzC_[comp][i - 1], nzC_[comp][i - 3]);
}

// coded_block_flag of an unavailable neighbour counts as set in intra macroblocks.
int SliceDecoder::cbfIncLuma(int blkX, int blkY) const
{
    const int i = (blkY + 1) * 5 + blkX + 1;
    return (nzY_[i - 1] != 0 ? 1 : 0) + (nzY_[i - 5] != 0 ? 2 : 0);
}

int SliceDecoder::cbfIncChroma(int comp, int blkX, int blkY) const
{
    const int i = (blkY + 1) * 3 + blkX + 1;
    return (nzC_[comp][i - 1] != 0 ? 1 : 0) + (nzC_[comp][i - 3] != 0 ? 2 : 0);
}

int SliceDecoder::cbfIncDc(int bit) const
{
    const Neighbour a = neighbourLuma(-1, 0);
    const Neighbour b = neighbourLuma(0, -1);
    const std::vector<MbInfo>& mbs = pic_->mbs;
    const int cA = a.mb < 0 ? 1 : ((mbs[size_t(a.mb)].cbfDc >> bit) & 1);
    const int cB = b.mb < 0 ? 1 : ((mbs[size_t(b.mb)].cbfDc >> bit) & 1);
    return cA + 2 * cB;
}

template <bool Scaled>
__attribute__((always_inline)) inline int SliceDecoder::cavlcBlock(size_t& position, int32_t* coef, int maxNumCoeff,
                                                                   int nC, const uint8_t* scan, const Dequant* dq,
                                                                   int& lastIdx)
{
    // The bits are read straight from the payload: a block starts inside it and reads at most
    // kMaxCavlcBlockBits, which the reader's zero padding covers, so no load needs a check.
    // They are held in a 64-bit cache (next bit in bit 63, `avail` of them valid) that is
    // shifted as codes are taken and reloaded from the payload only when it runs low.
    const BitReader& br = *br_;
    const uint8_t* const data = br.data();
    size_t pos = position;
    if (pos > br.sizeBits()) avcFail("Truncated slice data.");
    uint64_t w = 0;
    int avail = 0;
    auto reload = [&] {
        w = loadBigEndian64(data + (pos >> 3)) << (pos & 7);
        avail = 64 - int(pos & 7); // 57 or more
    };
    auto take = [&](int n) {
        w <<= n;
        avail -= n;
        pos += size_t(n);
    };
    reload();
    const VlcLookup& tokenCode = *coeffTokenForNc_[nC + 2];
    VlcLookup::Result tok = tokenCode.decodeShort(w);
    if (tok.length == 0) [[unlikely]] tok = tokenCode.decode64(w);
    if (tok.length == 0) avcFail("Invalid coeff_token.");
    const int total = tok.symbol >> 2;
    const int t1 = tok.symbol & 3;
    if (total > maxNumCoeff) avcFail("Invalid coeff_token.");
    if (total == 0) {
        position = pos + tok.length;
        return 0;
    }
    take(tok.length);
    // Trailing ones: one sign bit each, right after the token. Three are taken whatever
    // TrailingOnes is; the levels that follow overwrite the extra ones.
    int level[16];
    level[0] = 1 - 2 * int(w >> 63);
    level[1] = 1 - 2 * int((w >> 62) & 1);
    level[2] = 1 - 2 * int((w >> 61) & 1);
    take(t1);
    // Short level codes come from one lookup; the slot carries suffixLength and whether this
    // is the first level after fewer than three trailing ones (level_code 2 more).
    unsigned slot = ((total > 10 && t1 < 3) ? 1u : 0u) + (t1 < 3 ? 7u : 0u);
    const int levelLimit = 1 << (7 + pic_->bitDepth + 8);
    for (int i = t1; i < total; ++i) {
        // A level of prefix below 14 takes at most 20 bits; longer ones reload first.
        if (avail < 32) reload();
        const CavlcLevelCode code = kCavlcLevelCodes[(slot << kCavlcLevelBits) | unsigned(w >> (64 - kCavlcLevelBits))];
        if (code.length != 0) [[likely]] {
            level[i] = code.level;
            take(code.length);
            slot = code.next;
            continue;
        }
        int suffixLength = int(slot >= 7 ? slot - 7 : slot);
        int prefix = std::countl_zero(w | 1);
        int levelCode;
        int size;
        if (prefix < 14) {
            levelCode = prefix << suffixLength;
            size = suffixLength;
        } else {
            reload(); // a level takes at most 48 bits
            prefix = std::countl_zero(w | 1);
            if (prefix > 25) avcFail("Invalid level_prefix.");
            if (prefix == 14) {
                levelCode = 14 << suffixLength;
                size = suffixLength ? suffixLength : 4;
            } else {
                levelCode = (15 << suffixLength) + (suffixLength ? 0 : 15);
                size = prefix - 3;
                if (prefix >= 16) levelCode += (1 << (prefix - 3)) - 4096;
            }
        }
        take(prefix + 1);
        levelCode += int((w >> 1) >> (63 - size)); // size may be 0
        take(size);
        if (slot >= 7) levelCode += 2;
        // Even codes are positive levels, odd ones negative: magnitude (levelCode + 2) / 2
        // rounded down, sign from the low bit.
        const int odd = levelCode & 1;
        const int magnitude = (levelCode + 2 - odd) >> 1;
        if (magnitude > levelLimit) avcFail("Coefficient level out of range.");
        level[i] = (magnitude ^ -odd) + odd;
        slot = unsigned(nextLevelSuffixLength(suffixLength, magnitude));
    }
    // total_zeros (at most 9 bits) and all run_before codes of a valid block (at most 42
    // bits, see below) fit in one reload.
    reload();
    int totalZeros = 0;
    if (total < maxNumCoeff) {
        const int kind = Scaled ? 0 : (maxNumCoeff == 4 ? 1 : (maxNumCoeff == 8 ? 2 : 0));
        const VlcLookup& zerosCode = *totalZeros_[kind][total];
        VlcLookup::Result tz = zerosCode.decodeShort(w);
        if (tz.length == 0) [[unlikely]] tz = zerosCode.decode64(w);
        if (tz.length == 0) avcFail("Invalid total_zeros.");
        take(tz.length);
        totalZeros = tz.symbol;
        if (totalZeros + total > maxNumCoeff) avcFail("Invalid total_zeros.");
    }
    const int32_t* const scale = Scaled ? dq->scale : nullptr;
    const int shift = Scaled ? dq->shift : 0;
    const int64_t round = Scaled ? dq->round : 0;
    auto put = [&](int value, int p) {
        if constexpr (Scaled) coef[p] = Dequant::clampLevel((int64_t(value) * scale[p] + round) >> shift);
        else coef[p] = value;
    };
    // Coefficients from the highest frequency down: each run_before is the count of zeros
    // below the coefficient just placed. total - 1 codes are read, of at most 3 bits while
    // zerosLeft < 7; a longer one (run - 3 bits) needs total_zeros above 6, which leaves at
    // most 9 coefficients: the codes take at most 3 * 14 bits.
    int coeffNum = total - 1 + totalZeros;
    lastIdx = coeffNum;
    int zerosLeft = totalZeros;
    const int runs = total - 1;
    for (int i = 0; i < runs; ++i) {
        // Two short codes at a time: half the lookups on the chain from code to code.
        if (i + 1 < runs) {
            const RunPair rp = runPairs_[zerosLeft][w >> 58];
            if (rp.count == 2) [[likely]] {
                put(level[i], scan[coeffNum]);
                coeffNum -= rp.first + 1;
                put(level[i + 1], scan[coeffNum]);
                coeffNum -= rp.second + 1;
                zerosLeft -= rp.first + rp.second;
                take(rp.length);
                ++i;
                continue;
            }
        }
        put(level[i], scan[coeffNum]);
        const int z = zerosLeft < 7 ? zerosLeft : 7;
        const RunCode rb = runCodes_[z][w >> 61];
        int run = rb.run, len = rb.length;
        if (run == kLongRun) {
            // 000 followed by 1 to 8 more zeros and a one: run_before 4 + the zeros.
            const int lz = std::countl_zero(w | (uint64_t(1) << 52)); // at most 11
            if (lz > 10) avcFail("Invalid run_before.");
            run = lz + 4;
            len = lz + 1;
        }
        if (run > zerosLeft) avcFail("Invalid run_before.");
        take(len);
        zerosLeft -= run;
        coeffNum -= run + 1;
    }
    put(level[total - 1], scan[coeffNum]);
    position = pos;
    return total;
}

namespace {

// ctxIdxInc of significant_coeff_flag and last_significant_coeff_flag of chroma DC by scan
// position: the position over the number of 4:2:0 DC blocks in the component, at most 2.
constexpr uint8_t kIncChromaDc420[4] = {0, 1, 2, 2};
constexpr uint8_t kIncChromaDc422[8] = {0, 0, 1, 1, 2, 2, 2, 2};


} // namespace

template <int Cat>
__attribute__((noinline)) int SliceDecoder::cabacBlock(int32_t* coef, int maxNumCoeff, const uint8_t* scan,
                                                       int cbfCtxInc, const Dequant* dq, int& lastIdx)
{
    constexpr bool k8x8 = Cat == 5;        // no coded_block_flag (4:2:0 and 4:2:2)
    constexpr bool kDequant = Cat != 0 && Cat != 3;
    if constexpr (Cat == 0 || Cat == 1 || Cat == 2 || Cat == 4) maxNumCoeff = Cat == 2 ? 16 : 15 + (Cat == 0);
    if constexpr (Cat == 5) maxNumCoeff = 64;
    // The engine runs from a local copy so that its registers stay in registers.
    uint8_t* const ctx = cabac_.contexts();
    CabacEngine e = cabac_.engine();
    if (!k8x8 && !e.decision(ctx[kCtxBaseCodedBlockFlag[Cat] + cbfCtxInc])) {
        cabac_.engine() = e;
        return 0;
    }
    const int fld = field_ ? 1 : 0;
    uint8_t* const sigCtx = ctx + kCtxBaseSignificant[fld][Cat];
    uint8_t* const lastCtx = ctx + kCtxBaseLast[fld][Cat];
    const uint8_t* sigInc = nullptr;
    const uint8_t* lastInc = nullptr;
    if constexpr (Cat == 5) {
        sigInc = kSignificant8x8CtxInc[fld];
        lastInc = kLast8x8CtxInc;
    } else if constexpr (Cat == 3) {
        sigInc = lastInc = pic_->chromaArrayType == 2 ? kIncChromaDc422 : kIncChromaDc420;
    }
    // In the other categories the position is its own ctxIdxInc.
    constexpr bool kIdentity = Cat != 3 && Cat != 5;
    uint8_t sig[64];
    int numSig = 0;
    const int end = maxNumCoeff - 1;
    int i = 0;
    if constexpr (k8x8) {
        // One bin per step, without a branch on its value: the step after a significance flag
        // is its last flag when it was set, the next position's significance flag when not.
        // Both candidates' context bytes are loaded before the bin is decoded, ordered by the
        // context's MPS, and the next one picked by a conditional move on the bin's own
        // comparison, so that a flag as unpredictable as the data costs no branch and the
        // next bin waits on nothing but the arithmetic.
        // The context bytes by position come from the decoder's own table of pointers, walked
        // by one pointer: the position is bits 4..9 of its address (the table is 1024-aligned).
        uint8_t* const* p = sigLastAt_[fld][0];
        uint8_t* const* const pEnd = sigLastAt_[fld][end];
        uint8_t* at = p[0];
        uint32_t s = *at;
        uint32_t isLast = 0; // the step decodes last_significant_coeff_flag
        // This step's candidates: the last flag of its position, the next position's
        // significance flag. The pointers of the step after an advance are loaded a step ahead,
        // so that the next step's are a conditional move away from the bin.
        uint8_t* lastAt = p[1];
        uint8_t* sigAt = p[2];
        for (;;) {
            uint8_t* const lastAtNext = p[3];
            uint8_t* const sigAtNext = p[4];
            uint32_t sigS = *sigAt;
            // When the next flag has this step's context, it follows a bin of 0, which is the
            // LPS exactly when the MPS is 1: its context byte is known before the bin.
            const uint32_t sameS = kCabacTables.nextOnZero[s];
            const uint32_t lastS = *lastAt;
            // What follows by symbol: a bin of 0 leads to the next significance flag, a bin of
            // 1 to the last flag (after a last flag it ends the loop: the pick is unused).
            uint8_t* pickAt;
            uint8_t* lpsAt;
            uint32_t pickS, lpsS;
#if defined(__x86_64__) && defined(__GNUC__)
            // Conditional moves: the compiler makes branches of these, as unpredictable as the bins.
            asm("cmpq %[sigAt], %[at]\n\t"
                "cmovel %[sameS], %[sigS]"
                : [sigS] "+r"(sigS)
                : [sigAt] "r"(sigAt), [at] "r"(at), [sameS] "r"(sameS)
                : "cc");
            asm("movq %[sigAt], %[pickAt]\n\t"
                "movl %[sigS], %[pickS]\n\t"
                "movq %[lastAt], %[lpsAt]\n\t"
                "movl %[lastS], %[lpsS]\n\t"
                "testl $1, %[s]\n\t"
                "cmovneq %[lastAt], %[pickAt]\n\t"
                "cmovnel %[lastS], %[pickS]\n\t"
                "cmovneq %[sigAt], %[lpsAt]\n\t"
                "cmovnel %[sigS], %[lpsS]"
                : [pickAt] "=&r"(pickAt), [pickS] "=&r"(pickS), [lpsAt] "=&r"(lpsAt), [lpsS] "=&r"(lpsS)
                : [s] "r"(s), [lastAt] "r"(lastAt), [lastS] "r"(lastS), [sigAt] "r"(sigAt), [sigS] "r"(sigS)
                : "cc");
#else
            if (sigAt == at) sigS = sameS;
            const bool mps = (s & 1) != 0;
            pickAt = mps ? lastAt : sigAt;
            pickS = mps ? lastS : sigS;
            lpsAt = mps ? sigAt : lastAt;
            lpsS = mps ? sigS : lastS;
#endif
            uint32_t ns;
            const uint32_t bin = uint32_t(e.decisionPick(s, ns, pickAt, pickS, lpsAt, lpsS));
            *at = uint8_t(ns);
            sig[numSig] = uint8_t((reinterpret_cast<uintptr_t>(p) >> 4) & 63);
            const uint32_t toLast = bin & (isLast ^ 1);
            numSig += int(toLast);
            if (bin & isLast) break;
            const uint32_t advance = toLast ^ 1;
            p += 2 * advance;
            if (p == pEnd) break;
            isLast = toLast;
            at = pickAt;
            s = pickS;
#if defined(__x86_64__) && defined(__GNUC__)
            asm("testl %[c], %[c]\n\t"
                "cmovneq %[lastAtNext], %[lastAt]\n\t"
                "cmovneq %[sigAtNext], %[sigAt]"
                : [lastAt] "+r"(lastAt), [sigAt] "+r"(sigAt)
                : [c] "r"(advance), [lastAtNext] "r"(lastAtNext), [sigAtNext] "r"(sigAtNext)
                : "cc");
#else
            if (advance) {
                lastAt = lastAtNext;
                sigAt = sigAtNext;
            }
#endif
        }
        if (p == pEnd) i = end;
    } else {
        for (; i < end; ++i) {
            if (e.decision(sigCtx[kIdentity ? i : sigInc[i]])) {
                sig[numSig++] = uint8_t(i);
                if (e.decision(lastCtx[kIdentity ? i : lastInc[i]])) break;
            }
        }
    }
    if (i == end) sig[numSig++] = uint8_t(i);
    lastIdx = sig[numSig - 1];
    // Dequantisation constants in registers: the coefficient stores could alias *dq.
    const int32_t* scale = nullptr;
    int64_t round = 0;
    int shift = 0;
    if constexpr (kDequant) {
        scale = dq->scale;
        round = dq->round;
        shift = dq->shift;
    }
    uint8_t* const absCtx = ctx + kCtxBaseAbsLevel[Cat];
    int numGt1 = 0, numEq1 = 0;
    constexpr int gtLimit = Cat == 3 ? 3 : 4;
    for (int k = numSig - 1; k >= 0; --k) {
        const int inc0 = numGt1 != 0 ? 0 : std::min(4, 1 + numEq1);
        int v = 0;
        if (e.decision(absCtx[inc0])) {
            v = 1;
            uint8_t& greater = absCtx[5 + std::min(gtLimit, numGt1)];
            while (v < 14 && e.decision(greater)) ++v;
            if (v == 14) {
                int kk = 0;
                int suffix = 0;
                while (e.bypass()) {
                    suffix += 1 << kk;
                    ++kk;
                    if (kk > 24) avcFail("Coefficient level out of range.");
                }
                while (kk-- > 0) suffix += e.bypass() << kk;
                v += suffix;
            }
            ++numGt1;
        } else {
            ++numEq1;
        }
        const int absLevel = v + 1;
        const int level = e.bypass() ? -absLevel : absLevel;
        const int pos = scan[sig[k]];
        if constexpr (kDequant) coef[pos] = Dequant::clampLevel((int64_t(level) * scale[pos] + round) >> shift);
        else coef[pos] = level;
    }
    cabac_.engine() = e;
    return numSig;
}

void SliceDecoder::readResidual()
{
    if (useCabac_) readResidualWith<true>();
    else readResidualWith<false>();
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
