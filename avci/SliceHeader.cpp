#include "avci/Slice.h"

namespace vorn::avci {

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

} // namespace vorn::avci
