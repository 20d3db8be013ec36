// Slice header parsing and the decoding of the macroblocks of one intra slice into a
// picture (CAVLC and CABAC entropy decoding, intra prediction, scaling and transforms).
#pragma once

#include "avci/Bitstream.h"
#include "avci/Cabac.h"
#include "avci/ParameterSets.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vorn::avci {

struct SliceHeader {
    int nalType = 0;
    int nalRefIdc = 0;
    int firstMb = 0;
    int sliceType = 0;
    int ppsId = 0;
    int frameNum = 0;
    bool fieldPic = false;
    bool bottomField = false;
    int idrPicId = 0;
    int pocLsb = 0;
    int deltaPocBottom = 0;
    int deltaPoc0 = 0;
    int deltaPoc1 = 0;
    int sliceQp = 26;
    int disableDeblocking = 0;
    int alphaOffset = 0; // FilterOffsetA
    int betaOffset = 0;  // FilterOffsetB
};

// Parses a slice header (br positioned after the NAL header byte). Throws AvcError.
void parseSliceHeader(BitReader& br, int nalType, int nalRefIdc, const std::array<Sps, 32>& spsTable,
                      const std::array<Pps, 256>& ppsTable, SliceHeader& sh);

// True when two slice headers can belong to the same picture (the fields that
// tell the first slice of a new primary picture, H.264 7.4.1.2.4).
inline bool samePicture(const SliceHeader& a, const SliceHeader& b)
{
    return a.frameNum == b.frameNum && a.ppsId == b.ppsId && a.fieldPic == b.fieldPic &&
           a.bottomField == b.bottomField && (a.nalRefIdc == 0) == (b.nalRefIdc == 0) &&
           (a.nalType == 5) == (b.nalType == 5) && a.idrPicId == b.idrPicId && a.pocLsb == b.pocLsb &&
           a.deltaPocBottom == b.deltaPocBottom && a.deltaPoc0 == b.deltaPoc0 && a.deltaPoc1 == b.deltaPoc1;
}

enum MbKind : uint8_t { kMbNone = 0, kMbI4x4, kMbI8x8, kMbI16x16, kMbPcm };

// What later macroblocks (and the loop filter) need to know about a decoded macroblock.
struct MbInfo {
    uint8_t kind = kMbNone;
    uint8_t field = 0;      // field macroblock (MBAFF) or field picture
    uint8_t t8x8 = 0;
    uint8_t cbp = 0;        // luma bits 0..3, chroma in bits 4..5
    uint8_t chromaPred = 0;
    uint8_t cbfDc = 0;      // coded_block_flag of DC blocks: bit 0 luma, 1 Cb, 2 Cr
    int8_t qp = 0;          // QP_Y
    int8_t predMode[16] = {};   // 4x4 luma blocks in raster order
    uint8_t nzY[16] = {};       // total coefficients (CAVLC) / coded flag (CABAC), raster
    uint8_t nzC[2][8] = {};     // chroma blocks, raster (2 wide)
    int32_t slice = -1;
};

// The picture being decoded: sample planes, parameter sets in effect, macroblock info.
struct PictureContext {
    const Sps* sps = nullptr;
    const Pps* pps = nullptr;
    // Planes of the picture (frame or one field): base pointers and row strides in samples.
    uint16_t* plane[3] = {};
    ptrdiff_t stride[3] = {};
    int widthMbs = 0;
    int heightMbs = 0;      // of this picture (half the frame for a field)
    bool mbaff = false;
    bool fieldPic = false;
    int chromaArrayType = 1;
    int bitDepth = 8;
    int mbHeightC = 8;
    // LevelScale tables: [list 0 Y, 1 Cb, 2 Cr][qP % 6][raster position].
    int32_t levelScale4x4[3][6][16];
    int32_t levelScale8x8[6][64];
    // Per qP (0..kMaxQp): LevelScale shifted left by the QP's left shift, for Dequant.
    static constexpr int kMaxQp = 51 + 6 * 6;
    int32_t scaleQp4x4[3][kMaxQp + 1][16];
    int32_t scaleQp8x8[kMaxQp + 1][64];
    std::vector<MbInfo> mbs;

    int picSizeInMbs() const { return widthMbs * heightMbs; }
    void setupScaling();
};

// Per-slice loop-filter parameters, indexed by slice number in the picture.
struct SliceFilterParams {
    int disableDeblocking = 1;
    int alphaOffset = 0;
    int betaOffset = 0;
};

class VlcLookup;
struct TransformKernels;

// Scaling of coefficient levels as they are parsed: the block QP's LevelScale by raster
// position, already shifted left for large QPs, and the rounded right shift of small QPs.
struct Dequant {
    const int32_t* scale = nullptr;
    int shift = 0;
    int64_t round = 0;
    int32_t apply(int level, int pos) const { return clampLevel((int64_t(level) * scale[pos] + round) >> shift); }
    static int32_t clampLevel(int64_t v)
    {
        constexpr int64_t lim = 1 << 22;
        return int32_t(v > lim ? lim : (v < -lim ? -lim : v));
    }
};

class SliceDecoder {
public:
    static constexpr uint8_t kNzUnavailable = 0x80;

    SliceDecoder();

    // Decodes the slice data that follows the header in br. sliceNum numbers the slices of
    // the picture. Throws AvcError on any error.
    // endMb: first macroblock address the slice must not reach (the next slice's start).
    void decode(PictureContext& pic, const SliceHeader& sh, BitReader& br, int sliceNum, int endMb);

private:
    struct Neighbour {
        int mb;   // macroblock address or -1 when not available
        int xW;
        int yW;
    };
    Neighbour neighbour(int xN, int yN, bool luma) const;
    // The neighbours of the macroblock's 4x4 blocks, from the cache filled by
    // cacheNeighbours(): yN (left) and xN (above) are multiples of 4.
    Neighbour neighbourLuma(int xN, int yN) const
    {
        if (xN < 0 && yN >= 0) return leftY_[yN >> 2];
        if (yN < 0 && xN >= 0 && xN < 16) return {topY_.mb, xN, topY_.yW};
        if (xN >= 0 && yN >= 0) return {mbAddr_, xN, yN};
        return neighbour(xN, yN, true);
    }
    Neighbour neighbourChroma(int xN, int yN) const
    {
        if (xN < 0 && yN >= 0) return leftC_[yN >> 2];
        if (yN < 0 && xN >= 0 && xN < 8) return {topC_.mb, xN, topC_.yW};
        if (xN >= 0 && yN >= 0) return {mbAddr_, xN, yN};
        return neighbour(xN, yN, false);
    }
    void cacheNeighbours();
    bool available(int mbAddr) const;
    void setupMb(int mbAddr, bool field);

    void decodeMacroblock();
    int readMbTypeCabac();
    void readPcm();
    void readPredModes();
    int readCbp();
    void readQpDelta();
    void readResidual();
    template <bool Cabac>
    void readResidualWith(); // one instance per entropy coder
    void gatherEdge(int plane, int x, int y, int w, int h, bool topRightAvail, struct IntraEdge& e) const;
    void reconstruct();
    void reconstructChroma();
    int chromaQp(int c) const; // QP'C of Cb (0) or Cr (1)

    // CAVLC
    // Returns TotalCoeff; lastIdx: scan index of the last coefficient (when TotalCoeff > 0).
    // Scaled: AC and 4x4/8x8 blocks (15 or 16 coefficients, dequantised through dq); otherwise
    // the DC blocks, whose levels are returned as they are.
    // pos: the bit position in the slice data, advanced past the block (held by the caller
    // across the blocks of a macroblock, so that it can stay in a register).
    template <bool Scaled>
    int cavlcBlock(size_t& pos, int32_t* coef, int maxNumCoeff, int nC, const uint8_t* scan, const Dequant* dq,
                   int& lastIdx);
    void fillNzCache();
    int nCLuma(int blkX, int blkY) const;
    int nCChroma(int comp, int blkX, int blkY) const;
    // CABAC
    // One instance per block category: the context tables, the coefficient count and the
    // dequantisation are settled at compile time. Cat 0 and 3 (DC) return levels undequantised.
    template <int Cat>
    int cabacBlock(int32_t* coef, int maxNumCoeff, const uint8_t* scan, int cbfCtxInc, const Dequant* dq, int& lastIdx);
    int cbfIncLuma(int blkX, int blkY) const;
    int cbfIncChroma(int comp, int blkX, int blkY) const;
    int cbfIncDc(int bit) const;

    // CAVLC code tables: coeff_token by table, total_zeros by tzVlcIndex (4x4, 2x2 and 2x4
    // chroma DC), run_before by min(zerosLeft, 7).
    const VlcLookup* coeffToken_[6] = {};
    const VlcLookup* totalZeros_[3][16] = {};
    const VlcLookup* runBefore_[8] = {}; // [0]: no zeros left, nothing to read
    const VlcLookup* coeffTokenForNc_[19] = {}; // by nC + 2 (nC -2..16)
    struct RunCode {
        uint8_t run = 0;
        uint8_t length = 0;
    };
    // run_before by min(zerosLeft, 7) and the next 3 bits; zerosLeft 0 gives run 0 of no bits,
    // and with zerosLeft above 6 the bits 000 start a longer code, marked kLongRun (a marker
    // of its own, so that the test for it does not depend on how many zeros are left).
    RunCode runCodes_[8][8] = {};
    static constexpr uint8_t kLongRun = 255;
    // Two run_before codes in one lookup, by zerosLeft (0..15) and the next 6 bits: the
    // runs of the two coefficients and the bits of both codes. count 2 when both codes are
    // short (at most 3 bits each), else 0 (read them one at a time).
    struct RunPair {
        uint8_t first = 0;
        uint8_t second = 0;
        uint8_t length = 0;
        uint8_t count = 0;
    };
    RunPair runPairs_[16][64] = {};
    // 8x8 scans split into the four interleaved 4x4 blocks of CAVLC: [field][block][index].
    uint8_t scan8Cavlc_[2][4][16] = {};

    const TransformKernels* xf_;
    PictureContext* pic_ = nullptr;
    const SliceHeader* sh_ = nullptr;
    BitReader* br_ = nullptr;
    CabacDecoder cabac_;
    // The significance and last flags' context bytes of 8x8 blocks by position (cabac_'s own,
    // set at the start of each slice): [field coded][position][0 significance, 1 last].
    // Positions 63 and 64 are stand-ins (loaded ahead, never decoded). An entry is 16 bytes
    // and each half 2048 bytes from a 1024-aligned start, so bits 4..9 of an entry's address
    // are its position.
    alignas(1024) uint8_t* sigLastAt_[2][128][2] = {};
    bool useCabac_ = false;
    int sliceNum_ = 0;
    int firstMb_ = 0;

    // Current macroblock.
    int mbAddr_ = 0;
    int mbX_ = 0, mbY_ = 0;      // macroblock position in the picture (MBAFF: pair column, MB row)
    bool isBottom_ = false;      // MBAFF bottom macroblock of a pair
    bool field_ = false;         // field macroblock (MBAFF) or field picture
    int pairA_ = -1, pairB_ = -1, pairC_ = -1, pairD_ = -1; // MBAFF: top MB of neighbouring pairs
    MbInfo* mb_ = nullptr;
    uint16_t* base_[3] = {};     // top-left sample of the macroblock
    ptrdiff_t rowStride_[3] = {};
    bool availA_ = false, availB_ = false, availC_ = false, availD_ = false;
    // Neighbours of the current macroblock, found once per macroblock: at the left of each
    // row of 4x4 blocks (luma, chroma) and above the macroblock.
    Neighbour leftY_[4] = {};
    Neighbour topY_ = {};
    Neighbour leftC_[4] = {};
    Neighbour topC_ = {};
    // Coefficient counts (CAVLC) or coded flags (CABAC) of the macroblock's 4x4 blocks with
    // the column at the left and the row above: [(y + 1) * 5 + x + 1] luma,
    // [comp][(y + 1) * 3 + x + 1] chroma.
    uint8_t nzY_[25] = {};
    uint8_t nzC_[2][15] = {};
    int mbType_ = 0;             // raw mb_type
    int i16Mode_ = 0;
    int qp_ = 0;                 // QP_Y
    bool prevQpDeltaNonZero_ = false;
    int8_t rem_[16];
    int8_t prevFlag_[16];

    // Coefficients (dequantised at reconstruction), raster order within each block.
    alignas(16) int32_t lumaDc_[16];
    alignas(16) int32_t luma_[16][16];   // 4x4 blocks by raster index
    alignas(16) int32_t luma8_[4][64];   // 8x8 blocks
    alignas(16) int32_t chromaDc_[2][8];
    alignas(16) int32_t chroma_[2][8][16];
    uint16_t lumaNz_ = 0;     // which 4x4 (raster) / 8x8 blocks have coefficients
    uint16_t lumaAc_ = 0;     // ... and which have any besides the DC coefficient
    uint8_t chromaNz_[2] = {};
    uint8_t chromaAc_[2] = {};
    bool lumaDcNz_ = false;
    bool chromaDcNz_[2] = {};
};

} // namespace vorn::avci
