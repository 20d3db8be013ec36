// Sequence and picture parameter sets of H.264 as the intra decoder uses them.
#pragma once

#include "avci/Bitstream.h"

#include <array>
#include <cstdint>

namespace vorn::avci {

struct Sps {
    bool valid = false;
    int profileIdc = 0;
    bool constraintSet3 = false;
    int levelIdc = 0;
    int spsId = 0;
    int chromaFormatIdc = 1;
    bool separateColourPlane = false;
    int bitDepthLuma = 8;
    int bitDepthChroma = 8;
    bool transformBypass = false;
    bool scalingMatrixPresent = false;
    // Scaling lists in zigzag order: 6 of 4x4 (Intra Y, Cb, Cr, Inter Y, Cb, Cr), 6 of 8x8.
    std::array<std::array<uint8_t, 16>, 6> list4x4{};
    std::array<std::array<uint8_t, 64>, 6> list8x8{};
    int log2MaxFrameNum = 4;
    int pocType = 0;
    int log2MaxPocLsb = 4;
    bool deltaPicOrderAlwaysZero = false;
    int widthInMbs = 0;
    int heightInMapUnits = 0;
    bool frameMbsOnly = true;
    bool mbAff = false;
    bool frameCropping = false;
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0; // in crop units

    int frameHeightInMbs() const { return (2 - (frameMbsOnly ? 1 : 0)) * heightInMapUnits; }
    int chromaArrayType() const { return separateColourPlane ? 0 : chromaFormatIdc; }
    // Intra-only profiles: the loop filter never runs for them.
    bool intraProfile() const { return profileIdc == 44 || (profileIdc >= 110 && constraintSet3); }
};

struct Pps {
    bool valid = false;
    int ppsId = 0;
    int spsId = 0;
    bool cabac = false;
    bool bottomFieldPicOrderPresent = false;
    int numRefIdxL0Default = 1;
    int numRefIdxL1Default = 1;
    bool weightedPred = false;
    int weightedBipredIdc = 0;
    int picInitQp = 26;
    int chromaQpIndexOffset = 0;
    int secondChromaQpIndexOffset = 0;
    bool deblockingControlPresent = false;
    bool constrainedIntraPred = false;
    bool redundantPicCntPresent = false;
    bool transform8x8Mode = false;
    bool scalingMatrixPresent = false;
    std::array<std::array<uint8_t, 16>, 6> list4x4{};
    std::array<std::array<uint8_t, 64>, 6> list8x8{};
    // Scaling lists in effect for pictures of this PPS (resolved against its SPS on activation).
};

// Parse an SPS/PPS RBSP (after the NAL header byte). Throws AvcError on bad data.
void parseSps(BitReader& br, Sps& sps);
// The PPS needs its SPS (chroma format for the number of 8x8 lists; the fall-back lists).
void parsePps(BitReader& br, Pps& pps, const std::array<Sps, 32>& spsTable);

} // namespace vorn::avci
