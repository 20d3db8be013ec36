// Constant tables of the H.264 decoding process (ITU-T H.264 | ISO/IEC 14496-10) that the
// AVC-Intra decoder needs: CAVLC code tables with fast lookups, CABAC context initialisation
// and arithmetic-decoder state tables, context index offsets, scans, default scaling lists,
// dequantisation factors, the chroma QP mapping, block positions and the deblocking
// thresholds.
//
// All arrays are plain constant data. Index conventions are documented next to each one.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <vector>

namespace vorn::avci {

// ===================================================================================
// CAVLC
// ===================================================================================

// One code word: the value of the bits (MSB first, right-aligned) and their count.
// length == 0 marks a symbol that has no code word in that table.
struct VlcCode {
    uint16_t code;
    uint8_t length;
};

// coeff_token tables, chosen by nC.
enum CoeffTokenTable : int {
    kCoeffTokenNc0to1 = 0,      // 0 <= nC < 2
    kCoeffTokenNc2to3 = 1,      // 2 <= nC < 4
    kCoeffTokenNc4to7 = 2,      // 4 <= nC < 8
    kCoeffTokenNc8up = 3,       // 8 <= nC: fixed 6-bit code
    kCoeffTokenChromaDc420 = 4, // nC == -1 (chroma DC, 4:2:0), TotalCoeff <= 4
    kCoeffTokenChromaDc422 = 5, // nC == -2 (chroma DC, 4:2:2), TotalCoeff <= 8
};
// The table for a given nC (nC >= 0, -1 or -2).
inline CoeffTokenTable coeffTokenTableForNc(int nC)
{
    if (nC == -1) return kCoeffTokenChromaDc420;
    if (nC == -2) return kCoeffTokenChromaDc422;
    if (nC < 2) return kCoeffTokenNc0to1;
    if (nC < 4) return kCoeffTokenNc2to3;
    if (nC < 8) return kCoeffTokenNc4to7;
    return kCoeffTokenNc8up;
}

// coeff_token code words: [table][TrailingOnes 0..3][TotalCoeff 0..16].
extern const VlcCode kCoeffToken[6][4][17];

// total_zeros for 4x4 blocks (and 15-coefficient AC blocks): [tzVlcIndex - 1][total_zeros 0..15]
// (tzVlcIndex = TotalCoeff, 1..15).
extern const VlcCode kTotalZeros4x4[15][16];
// total_zeros for 4:2:0 chroma DC (2x2): [tzVlcIndex - 1][total_zeros 0..3], tzVlcIndex 1..3.
extern const VlcCode kTotalZerosChromaDc420[3][4];
// total_zeros for 4:2:2 chroma DC (2x4): [tzVlcIndex - 1][total_zeros 0..7], tzVlcIndex 1..7.
extern const VlcCode kTotalZerosChromaDc422[7][8];
// run_before: [min(zerosLeft, 7) - 1][run_before 0..14].
extern const VlcCode kRunBefore[7][15];

// Short CAVLC level codes (level_prefix and level_suffix) in one lookup, indexed by
// [slot][next kCavlcLevelBits bits]. The slot is suffixLength (0..6), or 7 + suffixLength
// (0 or 1) for the first level after fewer than three trailing ones, whose level_code is 2
// more. length 0: the code is longer than kCavlcLevelBits (or starts with that many zeros)
// and is decoded the long way.
struct CavlcLevelCode {
    int16_t level;
    uint8_t length;
    uint8_t next; // suffixLength of the next level
};
// suffixLength of the next level after a level of `magnitude` read with `suffixLength`.
constexpr int nextLevelSuffixLength(int suffixLength, int magnitude)
{
    suffixLength += suffixLength == 0;
    return suffixLength + ((magnitude > (3 << (suffixLength - 1))) & (suffixLength < 6));
}
constexpr int kCavlcLevelBits = 8;
constexpr int kCavlcLevelSlots = 9;
using CavlcLevelTable = std::array<CavlcLevelCode, std::size_t(kCavlcLevelSlots) << kCavlcLevelBits>;
extern const CavlcLevelTable kCavlcLevelCodes;

// Single-lookup decoder for one variable-length code table of code words up to 16 bits.
// A code word is its count of leading zeros (at most 16 are told apart) and the few bits
// after the leading one; the table is indexed by both at once, so a decode is one count of
// leading zeros, one shift and one load.
class VlcLookup {
public:
    struct Result {
        int16_t symbol;
        uint8_t length; // 0: the bits start no valid code word
    };
    struct Entry {
        uint16_t code;
        uint8_t length;
        int16_t symbol;
    };
    VlcLookup() = default;
    explicit VlcLookup(const std::vector<Entry>& entries);

    // window: the next bits of the stream from bit 63 down (at least 17 valid bits; zeros
    // past the end of data).
    Result decode64(uint64_t window) const
    {
        const int lz = std::countl_zero(window | (uint64_t(1) << 47)); // at most 16
        const uint32_t rest = uint32_t((window << lz << 1) >> (64 - kRestBits));
        return table_[(unsigned(lz) << kRestBits) | rest];
    }
    // next16: the next 16 bits of the stream, MSB first (bit 15 = next bit).
    Result decode(uint32_t next16) const { return decode64(uint64_t(next16 & 0xFFFFu) << 48); }
    // A code word of at most kShortBits bits by those bits alone, without counting leading
    // zeros first (a shorter chain from the bits to the result); length 0 for a longer one
    // (or none), which decode64 then reads.
    static constexpr int kShortBits = 6;
    Result decodeShort(uint64_t window) const
    {
        const ShortResult r = short_[window >> (64 - kShortBits)];
        return Result{r.symbol, r.length};
    }

private:
    static constexpr int kRestBits = 5; // longest tail after the leading one in any table
    // [leading zeros 0..16][next kRestBits bits after the one], held in the object so that
    // a lookup is one load.
    std::array<Result, std::size_t(17) << kRestBits> table_{};
    // Two bytes an entry (every symbol of these tables is below 256), so that the tables in
    // use stay in the first-level cache.
    struct ShortResult {
        uint8_t symbol;
        uint8_t length;
    };
    std::array<ShortResult, std::size_t(1) << kShortBits> short_{};
};

// Prebuilt lookups (built once on first use, thread-safe).
// coeff_token: symbol = TotalCoeff * 4 + TrailingOnes.
const VlcLookup& coeffTokenLookup(CoeffTokenTable table);
// total_zeros of 4x4 blocks: tzVlcIndex 1..15, symbol = total_zeros.
const VlcLookup& totalZeros4x4Lookup(int tzVlcIndex);
// total_zeros of chroma DC: chromaArrayType 1 (2x2) or 2 (2x4); tzVlcIndex 1..3 or 1..7.
const VlcLookup& totalZerosChromaDcLookup(int chromaArrayType, int tzVlcIndex);
// run_before: zerosLeft >= 1 (values above 7 use the zerosLeft > 6 table); symbol = run_before.
const VlcLookup& runBeforeLookup(int zerosLeft);

// ===================================================================================
// CABAC
// ===================================================================================

// (m, n) for every ctxIdx 0..459 as used by I (and SI) slices: for ctxIdx 0..10 and 60..69
// the values common to all slice types, for 70..459 the I column. ctxIdx 11..59 (P/B only)
// hold (0, 0) and are never used by intra slices. ctxIdx 276 (end_of_slice_flag / the I_PCM
// bin of mb_type) is not initialised from (m, n): it is pStateIdx 63, valMPS 0; it holds (0, 0).
// The Cb/Cr residual contexts 460..1023 exist only for 4:4:4 and are not included.
constexpr int kCabacIntraContextCount = 460;
extern const int8_t kCabacInitI[kCabacIntraContextCount][2];
constexpr int kCabacEndOfSliceCtx = 276;

// Initial state of one context: preCtxState = Clip3(1, 126, ((m * Clip3(0, 51, SliceQPY)) >> 4) + n).
inline void cabacInitContext(int m, int n, int sliceQpY, uint8_t& pStateIdx, uint8_t& valMps)
{
    const int qp = sliceQpY < 0 ? 0 : (sliceQpY > 51 ? 51 : sliceQpY);
    int pre = ((m * qp) >> 4) + n;
    pre = pre < 1 ? 1 : (pre > 126 ? 126 : pre);
    if (pre <= 63) {
        pStateIdx = static_cast<uint8_t>(63 - pre);
        valMps = 0;
    } else {
        pStateIdx = static_cast<uint8_t>(pre - 64);
        valMps = 1;
    }
}

// rangeTabLPS[pStateIdx][qCodIRangeIdx] with qCodIRangeIdx = (codIRange >> 6) & 3.
extern const uint8_t kCabacRangeTabLps[64][4];
// State transition after an LPS; after an MPS the next state is min(pStateIdx + 1, 62).
extern const uint8_t kCabacTransIdxLps[64];
inline constexpr uint8_t cabacTransIdxMps(uint8_t pStateIdx)
{
    return pStateIdx < 62 ? static_cast<uint8_t>(pStateIdx + 1) : static_cast<uint8_t>(62);
}

// ctxIdxOffset of the syntax elements of intra slices (first ctxIdx of each range).
constexpr int kCtxMbTypeSi = 0;             // SI prefix 0..2
constexpr int kCtxMbTypeI = 3;              // mb_type of I slices 3..10
constexpr int kCtxMbQpDelta = 60;           // 60..63
constexpr int kCtxIntraChromaPredMode = 64; // 64..67
constexpr int kCtxPrevIntraPredModeFlag = 68; // prev_intra4x4/8x8_pred_mode_flag
constexpr int kCtxRemIntraPredMode = 69;    // rem_intra4x4/8x8_pred_mode
constexpr int kCtxMbFieldDecodingFlag = 70; // 70..72
constexpr int kCtxCodedBlockPatternLuma = 73;   // 73..76
constexpr int kCtxCodedBlockPatternChroma = 77; // 77..84
constexpr int kCtxTransformSize8x8Flag = 399;   // 399..401

// ctxBlockCat 0..13: 0 Intra16x16DCLevel, 1 Intra16x16ACLevel, 2 LumaLevel4x4,
// 3 ChromaDCLevel, 4 ChromaACLevel, 5 LumaLevel8x8, 6..9 the Cb counterparts of 0,1,2,5 and
// 10..13 the Cr counterparts (6..13 only for 4:4:4).
// The ctxIdxOffset of each residual syntax element per ctxBlockCat ...
extern const uint16_t kCtxIdxOffsetCodedBlockFlag[14];
extern const uint16_t kCtxIdxOffsetSignificant[2][14]; // [0] frame coded, [1] field coded
extern const uint16_t kCtxIdxOffsetLast[2][14];        // [0] frame coded, [1] field coded
extern const uint16_t kCtxIdxOffsetAbsLevel[14];       // coeff_abs_level_minus1
// ... and ctxBlockCatOffset: [0] coded_block_flag, [1] significant/last_significant_coeff_flag,
// [2] coeff_abs_level_minus1.
extern const uint8_t kCtxBlockCatOffset[3][14];
// Sums ctxIdxOffset + ctxBlockCatOffset (the first ctxIdx of a block category), ready to use:
// ctxIdx = base + ctxIdxInc.
extern const uint16_t kCtxBaseCodedBlockFlag[14];
extern const uint16_t kCtxBaseSignificant[2][14];
extern const uint16_t kCtxBaseLast[2][14];
extern const uint16_t kCtxBaseAbsLevel[14];

// ctxIdxInc of significant_coeff_flag for 8x8 blocks (ctxBlockCat 5, 9, 13) by levelListIdx
// 0..62: [0] frame coded, [1] field coded. And of last_significant_coeff_flag (both).
extern const uint8_t kSignificant8x8CtxInc[2][63];
extern const uint8_t kLast8x8CtxInc[63];

// ===================================================================================
// Scans, scaling, quantisation
// ===================================================================================

// Inverse scans: scan index -> raster position inside the block (y * width + x).
extern const uint8_t kZigzag4x4[16];
extern const uint8_t kFieldScan4x4[16];
extern const uint8_t kZigzag8x8[64];
extern const uint8_t kFieldScan8x8[64];

// Default scaling lists as the standard lists them: in ZIGZAG scan order (entry idx belongs to
// the raster position kZigzag4x4[idx] / kZigzag8x8[idx]), the same order in which scaling
// lists are sent in parameter sets.
extern const uint8_t kDefault4x4Intra[16];
extern const uint8_t kDefault4x4Inter[16];
extern const uint8_t kDefault8x8Intra[64];
extern const uint8_t kDefault8x8Inter[64];
// Flat_4x4_16 / Flat_8x8_16: every entry 16.

// normAdjust4x4(m, i, j) = v[m][0] if i and j both even, v[m][1] if both odd, else v[m][2].
extern const uint8_t kNormAdjust4x4V[6][3];
// normAdjust8x8(m, i, j): v[m][0] if i%4==0 and j%4==0; v[m][1] if i%2==1 and j%2==1;
// v[m][2] if i%4==2 and j%4==2; v[m][3] if (i%4==0 and j%2==1) or (i%2==1 and j%4==0);
// v[m][4] if (i%4==0 and j%4==2) or (i%4==2 and j%4==0); v[m][5] otherwise.
extern const uint8_t kNormAdjust8x8V[6][6];
// i, j: column and row of the coefficient (the rule is symmetric), m = qP % 6.
int normAdjust4x4(int m, int i, int j);
int normAdjust8x8(int m, int i, int j);

// QPc as a function of qPI for qPI 0..51 (identity below 30).
extern const uint8_t kChromaQpTable[52];
// QPc for any qPI in -QpBdOffsetC..51 (negative values map to themselves).
inline int chromaQpFromIndex(int qPi)
{
    return qPi < 30 ? qPi : kChromaQpTable[qPi > 51 ? 51 : qPi];
}

// Block index -> top-left sample position inside the macroblock (luma4x4BlkIdx 0..15,
// luma8x8BlkIdx 0..3). The same maps serve 4x4 chroma blocks of a 4:4:4 colour plane.
extern const uint8_t kBlk4x4X[16];
extern const uint8_t kBlk4x4Y[16];
extern const uint8_t kBlk8x8X[4];
extern const uint8_t kBlk8x8Y[4];

// ===================================================================================
// Deblocking thresholds (for 8-bit samples; multiply by 1 << (BitDepth - 8))
// ===================================================================================
extern const uint8_t kDeblockAlpha[52]; // alpha' by indexA
extern const uint8_t kDeblockBeta[52];  // beta' by indexB
extern const uint8_t kDeblockTc0[52][3]; // tC0' by indexA and bS 1..3 ([bS - 1])

} // namespace vorn::avci
