#include "avci/ParameterSets.h"

#include "avci/AvcTables.h"

#include <algorithm>

namespace vorn::avci {

namespace {

// Reads one scaling list (zigzag order). Returns false when the default list is to be used.
bool readScalingList(BitReader& br, uint8_t* list, int size)
{
    int lastScale = 8;
    int nextScale = 8;
    for (int j = 0; j < size; ++j) {
        if (nextScale != 0) {
            const int delta = br.seRange(-128, 127, "delta_scale");
            nextScale = (lastScale + delta + 256) % 256;
            if (j == 0 && nextScale == 0) return false;
        }
        list[j] = uint8_t(nextScale == 0 ? lastScale : nextScale);
        lastScale = list[j];
    }
    return true;
}

template <typename L4, typename L8>
void readScalingMatrix(BitReader& br, int chromaFormatIdc, L4& list4x4, L8& list8x8,
                       const L4* fallback4, const L8* fallback8, int count8x8)
{
    // Lists 0..5 (4x4) and 6..(6+count8x8-1) (8x8). Fall-back rule A when fallback4 is null,
    // rule B otherwise (the first list of each kind falls back to the SPS list).
    for (int i = 0; i < 6; ++i) {
        const bool present = br.flag();
        if (present) {
            if (!readScalingList(br, list4x4[i].data(), 16)) {
                std::copy_n(i < 3 ? kDefault4x4Intra : kDefault4x4Inter, 16, list4x4[i].begin());
            }
        } else if (i == 0 || i == 3) {
            if (fallback4) list4x4[i] = (*fallback4)[i];
            else std::copy_n(i < 3 ? kDefault4x4Intra : kDefault4x4Inter, 16, list4x4[i].begin());
        } else {
            list4x4[i] = list4x4[i - 1];
        }
    }
    (void)chromaFormatIdc;
    for (int i = 0; i < 6; ++i) {
        const bool present = i < count8x8 ? br.flag() : false;
        if (present) {
            if (!readScalingList(br, list8x8[i].data(), 64)) {
                std::copy_n((i % 2) == 0 ? kDefault8x8Intra : kDefault8x8Inter, 64, list8x8[i].begin());
            }
        } else if (i < 2) {
            if (fallback8) list8x8[i] = (*fallback8)[i];
            else std::copy_n(i == 0 ? kDefault8x8Intra : kDefault8x8Inter, 64, list8x8[i].begin());
        } else {
            list8x8[i] = list8x8[i - 2];
        }
    }
}

void skipHrd(BitReader& br)
{
    const uint32_t cpbCnt = br.ueMax(31, "cpb_cnt_minus1") + 1;
    br.u(4);
    br.u(4);
    for (uint32_t i = 0; i < cpbCnt; ++i) {
        br.ue();
        br.ue();
        br.u(1);
    }
    br.u(5);
    br.u(5);
    br.u(5);
    br.u(5);
}

void skipVui(BitReader& br)
{
    if (br.flag()) { // aspect_ratio_info_present_flag
        if (br.u(8) == 255) br.u(32);
    }
    if (br.flag()) br.u(1); // overscan
    if (br.flag()) {        // video_signal_type_present_flag
        br.u(4);
        if (br.flag()) br.u(24);
    }
    if (br.flag()) { // chroma_loc_info_present_flag
        br.ue();
        br.ue();
    }
    if (br.flag()) { // timing_info_present_flag
        br.u(32);
        br.u(32);
        br.u(1);
    }
    const bool nalHrd = br.flag();
    if (nalHrd) skipHrd(br);
    const bool vclHrd = br.flag();
    if (vclHrd) skipHrd(br);
    if (nalHrd || vclHrd) br.u(1);
    br.u(1); // pic_struct_present_flag
    if (br.flag()) { // bitstream_restriction_flag
        br.u(1);
        br.ue();
        br.ue();
        br.ue();
        br.ue();
        br.ue();
        br.ue();
    }
}

} // namespace

void parseSps(BitReader& br, Sps& sps)
{
    sps = Sps{};
    sps.profileIdc = int(br.u(8));
    const uint32_t constraints = br.u(8);
    sps.constraintSet3 = (constraints & 0x10) != 0;
    sps.levelIdc = int(br.u(8));
    sps.spsId = int(br.ueMax(31, "seq_parameter_set_id"));
    const int p = sps.profileIdc;
    for (auto& l : sps.list4x4) l.fill(16);
    for (auto& l : sps.list8x8) l.fill(16);
    if (p == 100 || p == 110 || p == 122 || p == 244 || p == 44 || p == 83 || p == 86 || p == 118 ||
        p == 128 || p == 138 || p == 139 || p == 134 || p == 135) {
        sps.chromaFormatIdc = int(br.ueMax(3, "chroma_format_idc"));
        if (sps.chromaFormatIdc == 3) sps.separateColourPlane = br.flag();
        sps.bitDepthLuma = 8 + int(br.ueMax(6, "bit_depth_luma_minus8"));
        sps.bitDepthChroma = 8 + int(br.ueMax(6, "bit_depth_chroma_minus8"));
        sps.transformBypass = br.flag();
        sps.scalingMatrixPresent = br.flag();
        if (sps.scalingMatrixPresent) {
            readScalingMatrix(br, sps.chromaFormatIdc, sps.list4x4, sps.list8x8,
                              static_cast<decltype(sps.list4x4)*>(nullptr),
                              static_cast<decltype(sps.list8x8)*>(nullptr),
                              sps.chromaFormatIdc != 3 ? 2 : 6);
        }
    }
    sps.log2MaxFrameNum = 4 + int(br.ueMax(12, "log2_max_frame_num_minus4"));
    sps.pocType = int(br.ueMax(2, "pic_order_cnt_type"));
    if (sps.pocType == 0) {
        sps.log2MaxPocLsb = 4 + int(br.ueMax(12, "log2_max_pic_order_cnt_lsb_minus4"));
    } else if (sps.pocType == 1) {
        sps.deltaPicOrderAlwaysZero = br.flag();
        br.se();
        br.se();
        const uint32_t n = br.ueMax(255, "num_ref_frames_in_pic_order_cnt_cycle");
        for (uint32_t i = 0; i < n; ++i) br.se();
    }
    br.ueMax(16, "max_num_ref_frames");
    br.u(1); // gaps_in_frame_num_value_allowed_flag
    sps.widthInMbs = int(br.ueMax(1023, "pic_width_in_mbs_minus1")) + 1;
    sps.heightInMapUnits = int(br.ueMax(1023, "pic_height_in_map_units_minus1")) + 1;
    sps.frameMbsOnly = br.flag();
    if (!sps.frameMbsOnly) sps.mbAff = br.flag();
    br.u(1); // direct_8x8_inference_flag
    sps.frameCropping = br.flag();
    if (sps.frameCropping) {
        sps.cropLeft = int(br.ueMax(8192, "frame_crop_left_offset"));
        sps.cropRight = int(br.ueMax(8192, "frame_crop_right_offset"));
        sps.cropTop = int(br.ueMax(8192, "frame_crop_top_offset"));
        sps.cropBottom = int(br.ueMax(8192, "frame_crop_bottom_offset"));
    }
    if (br.flag()) skipVui(br);
    if (br.overrun()) avcFail("Truncated sequence parameter set.");
    if (sps.chromaFormatIdc == 3 || sps.separateColourPlane)
        avcFail("4:4:4 streams are not supported.");
    if (sps.bitDepthLuma > 14 || sps.bitDepthChroma > 14) avcFail("Unsupported bit depth.");
    if (sps.bitDepthLuma != sps.bitDepthChroma) avcFail("Different luma and chroma bit depths are not supported.");
    if (sps.transformBypass) avcFail("Lossless (transform bypass) streams are not supported.");
    // Cropping must leave a picture.
    const int cropUnitX = sps.chromaArrayType() == 0 ? 1 : (sps.chromaFormatIdc == 3 ? 1 : 2);
    const int cropUnitY = (sps.chromaArrayType() == 0 ? 1 : (sps.chromaFormatIdc == 1 ? 2 : 1)) *
                          (2 - (sps.frameMbsOnly ? 1 : 0));
    if (cropUnitX * (sps.cropLeft + sps.cropRight) >= sps.widthInMbs * 16 ||
        cropUnitY * (sps.cropTop + sps.cropBottom) >= sps.frameHeightInMbs() * 16)
        avcFail("Frame cropping out of range.");
    sps.valid = true;
}

void parsePps(BitReader& br, Pps& pps, const std::array<Sps, 32>& spsTable)
{
    pps = Pps{};
    pps.ppsId = int(br.ueMax(255, "pic_parameter_set_id"));
    pps.spsId = int(br.ueMax(31, "seq_parameter_set_id"));
    const Sps& sps = spsTable[size_t(pps.spsId)];
    if (!sps.valid) avcFail("Picture parameter set refers to a missing sequence parameter set.");
    pps.cabac = br.flag();
    pps.bottomFieldPicOrderPresent = br.flag();
    const uint32_t sliceGroups = br.ueMax(7, "num_slice_groups_minus1");
    if (sliceGroups != 0) avcFail("Slice groups are not supported.");
    pps.numRefIdxL0Default = int(br.ueMax(31, "num_ref_idx_l0_default_active_minus1")) + 1;
    pps.numRefIdxL1Default = int(br.ueMax(31, "num_ref_idx_l1_default_active_minus1")) + 1;
    pps.weightedPred = br.flag();
    pps.weightedBipredIdc = int(br.u(2));
    const int qpBdOffset = 6 * (sps.bitDepthLuma - 8);
    pps.picInitQp = 26 + br.seRange(-(26 + qpBdOffset), 25, "pic_init_qp_minus26");
    br.se(); // pic_init_qs_minus26
    pps.chromaQpIndexOffset = br.seRange(-12, 12, "chroma_qp_index_offset");
    pps.deblockingControlPresent = br.flag();
    pps.constrainedIntraPred = br.flag();
    pps.redundantPicCntPresent = br.flag();
    pps.secondChromaQpIndexOffset = pps.chromaQpIndexOffset;
    pps.list4x4 = sps.list4x4;
    pps.list8x8 = sps.list8x8;
    if (br.moreRbspData()) {
        pps.transform8x8Mode = br.flag();
        pps.scalingMatrixPresent = br.flag();
        if (pps.scalingMatrixPresent) {
            // Fall-back rule A without an SPS matrix, rule B with one.
            const bool ruleB = sps.scalingMatrixPresent;
            readScalingMatrix(br, sps.chromaFormatIdc, pps.list4x4, pps.list8x8,
                              ruleB ? &sps.list4x4 : nullptr, ruleB ? &sps.list8x8 : nullptr,
                              pps.transform8x8Mode ? (sps.chromaFormatIdc != 3 ? 2 : 6) : 0);
        }
        pps.secondChromaQpIndexOffset = br.seRange(-12, 12, "second_chroma_qp_index_offset");
    }
    if (br.overrun()) avcFail("Truncated picture parameter set.");
    pps.valid = true;
}

} // namespace vorn::avci
