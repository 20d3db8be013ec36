// Test-only H.264 writer of I_PCM / Intra 16x16 DC field and frame pictures.
#include "FieldStreamWriter.h"
#include "RbspWriter.h"

#include "avci/AvcTables.h"

#include <stdexcept>

namespace vorn::test {

PlanarFrame::PlanarFrame(int w, int h, int chroma) : width(w), height(h), chromaFormat(chroma)
{
    y.assign(static_cast<size_t>(w * h), 0);
    cb.assign(static_cast<size_t>(chromaWidth() * chromaHeight()), 0);
    cr.assign(cb.size(), 0);
}

namespace {

// A NAL unit of the given nal_ref_idc and type.
void appendNal(std::vector<uint8_t>& out, int refIdc, int type, const std::vector<uint8_t>& rbsp)
{
    test::appendNal(out, static_cast<uint8_t>((refIdc << 5) | type), rbsp);
}

// Access to the samples of one picture (a field's lines, or the whole frame).
struct PictureView {
    PlanarFrame& frame;
    int parity; // -1 frame, 0 top field, 1 bottom field

    int rowOf(int y) const { return parity < 0 ? y : 2 * y + parity; }
    uint16_t& at(int c, int x, int y) const
    {
        return frame.plane(c)[static_cast<size_t>(rowOf(y) * frame.planeWidth(c) + x)];
    }
};

int dcOf(int sum, int count) { return (sum + count / 2) / count; }

} // namespace

FieldStreamWriter::FieldStreamWriter(const FieldStreamOptions& options) : opt_(options)
{
    if (opt_.widthMbs < 1 || opt_.heightMbs < 1 || (opt_.fieldPairs && opt_.heightMbs % 2) ||
        (opt_.bitDepth != 8 && opt_.bitDepth != 10) || (opt_.chromaFormat != 1 && opt_.chromaFormat != 2) ||
        opt_.mbRowsPerSlice < 0 || (opt_.deblockingIdc != 0 && opt_.deblockingIdc != 2))
        throw std::invalid_argument("FieldStreamWriter: unsupported options");
    writeParameterSets();
}

void FieldStreamWriter::writeParameterSets()
{
    RbspWriter sps;
    sps.u(8, opt_.chromaFormat == 2 ? 122 : 110); // High 4:2:2 or High 10
    sps.u(8, opt_.deblocking ? 0x00 : 0x10);       // constraint_set3: the intra profiles
    sps.u(8, 40);                                  // level_idc
    sps.ue(0);                                        // seq_parameter_set_id
    sps.ue(static_cast<uint32_t>(opt_.chromaFormat)); // chroma_format_idc
    sps.ue(static_cast<uint32_t>(opt_.bitDepth - 8)); // bit_depth_luma_minus8
    sps.ue(static_cast<uint32_t>(opt_.bitDepth - 8)); // bit_depth_chroma_minus8
    sps.bit(0);                                       // qpprime_y_zero_transform_bypass_flag
    sps.bit(0);                                       // seq_scaling_matrix_present_flag
    sps.ue(0);                                        // log2_max_frame_num_minus4
    sps.ue(0);                                        // pic_order_cnt_type
    sps.ue(4);                                        // log2_max_pic_order_cnt_lsb_minus4
    sps.ue(1);                                        // max_num_ref_frames
    sps.bit(0);                                       // gaps_in_frame_num_value_allowed_flag
    sps.ue(static_cast<uint32_t>(opt_.widthMbs - 1));
    sps.ue(static_cast<uint32_t>((opt_.fieldPairs ? opt_.heightMbs / 2 : opt_.heightMbs) - 1));
    sps.bit(opt_.fieldPairs ? 0 : 1);                 // frame_mbs_only_flag
    if (opt_.fieldPairs) sps.bit(0);                  // mb_adaptive_frame_field_flag
    sps.bit(1);                                       // direct_8x8_inference_flag
    sps.bit(0);                                       // frame_cropping_flag
    sps.bit(0);                                       // vui_parameters_present_flag
    sps.trailing();
    appendNal(stream_, 3, 7, sps.bytes());

    RbspWriter pps;
    pps.ue(0);                     // pic_parameter_set_id
    pps.ue(0);                     // seq_parameter_set_id
    pps.bit(0);                    // entropy_coding_mode_flag: CAVLC
    pps.bit(0);                    // bottom_field_pic_order_in_frame_present_flag
    pps.ue(0);                     // num_slice_groups_minus1
    pps.ue(0);                     // num_ref_idx_l0_default_active_minus1
    pps.ue(0);                     // num_ref_idx_l1_default_active_minus1
    pps.bit(0);                    // weighted_pred_flag
    pps.u(2, 0);                // weighted_bipred_idc
    pps.se(opt_.sliceQp - 26);     // pic_init_qp_minus26
    pps.se(0);                     // pic_init_qs_minus26
    pps.se(opt_.chromaQpIndexOffset);
    pps.bit(1);                    // deblocking_filter_control_present_flag
    pps.bit(0);                    // constrained_intra_pred_flag
    pps.bit(0);                    // redundant_pic_cnt_present_flag
    pps.trailing();
    appendNal(stream_, 3, 8, pps.bytes());
}

CodedAccessUnit FieldStreamWriter::addAccessUnit(const PlanarFrame& source, const std::vector<MbPlan>& plans)
{
    const int mbsPerPicture = opt_.widthMbs * (opt_.fieldPairs ? opt_.heightMbs / 2 : opt_.heightMbs);
    const int pictures = opt_.fieldPairs ? 2 : 1;
    if (source.width != 16 * opt_.widthMbs || source.height != 16 * opt_.heightMbs ||
        source.chromaFormat != opt_.chromaFormat || static_cast<int>(plans.size()) != mbsPerPicture * pictures)
        throw std::invalid_argument("FieldStreamWriter: frame or plan does not fit the options");

    CodedAccessUnit unit;
    unit.reconstruction = PlanarFrame(source.width, source.height, source.chromaFormat);
    unit.pictures.resize(static_cast<size_t>(pictures));
    for (int p = 0; p < pictures; ++p)
        writePicture(source, unit.reconstruction, plans.data() + p * mbsPerPicture, opt_.fieldPairs ? p : -1,
                     p == 0, unit.pictures[static_cast<size_t>(p)]);
    ++accessUnits_;
    return unit;
}

void FieldStreamWriter::writeSliceHeader(RbspWriter& bw, int firstMb, int parity, bool idr) const
{
    bw.ue(static_cast<uint32_t>(firstMb)); // first_mb_in_slice
    bw.ue(7);               // slice_type: I (all slices of the picture)
    bw.ue(0);               // pic_parameter_set_id
    bw.u(4, 0);          // frame_num: every access unit starts with an IDR picture
    if (opt_.fieldPairs) {
        bw.bit(1);          // field_pic_flag
        bw.bit(static_cast<uint32_t>(parity)); // bottom_field_flag
    }
    if (idr) bw.ue(static_cast<uint32_t>(accessUnits_ % 2)); // idr_pic_id differs between neighbours
    bw.u(8, parity < 0 ? 0 : static_cast<uint32_t>(parity)); // pic_order_cnt_lsb
    if (idr) {
        bw.bit(0); // no_output_of_prior_pics_flag
        bw.bit(0); // long_term_reference_flag
    } else {
        bw.bit(0); // adaptive_ref_pic_marking_mode_flag
    }
    bw.se(0);      // slice_qp_delta
    bw.ue(static_cast<uint32_t>(opt_.deblocking ? opt_.deblockingIdc : 1)); // disable_deblocking_filter_idc
    if (opt_.deblocking) {
        bw.se(opt_.alphaOffsetDiv2);
        bw.se(opt_.betaOffsetDiv2);
    }
}

void FieldStreamWriter::writePicture(const PlanarFrame& source, PlanarFrame& recon, const MbPlan* plans,
                                     int parity, bool idr, CodedPicture& out)
{
    const int W = opt_.widthMbs;
    const int H = parity < 0 ? opt_.heightMbs : opt_.heightMbs / 2;
    const int mbwC = 8, mbhC = opt_.chromaFormat == 1 ? 8 : 16;
    const int qpBdOffset = 6 * (opt_.bitDepth - 8);
    out.structure = parity < 0 ? avci::PictureStructure::Frame
                               : (parity == 0 ? avci::PictureStructure::TopField : avci::PictureStructure::BottomField);
    out.mbs.assign(static_cast<size_t>(W * H), avci::DeblockMbInfo{});

    PictureView src{const_cast<PlanarFrame&>(source), parity};
    PictureView rec{recon, parity};
    const int mid = 1 << (opt_.bitDepth - 1);
    const int rowsPerSlice = opt_.mbRowsPerSlice > 0 ? opt_.mbRowsPerSlice : H;
    RbspWriter bw;
    int qpPred = opt_.sliceQp;
    for (int addr = 0; addr < W * H; ++addr) {
        const int mbX = addr % W, mbY = addr / W;
        const int slice = mbY / rowsPerSlice;
        if (addr % (W * rowsPerSlice) == 0) {
            if (addr > 0) {
                bw.trailing();
                appendNal(stream_, idr ? 3 : 2, idr ? 5 : 1, bw.bytes());
                bw = RbspWriter();
            }
            writeSliceHeader(bw, addr, parity, idr);
            qpPred = opt_.sliceQp;
        }
        const MbPlan& plan = plans[addr];
        avci::DeblockMbInfo& info = out.mbs[static_cast<size_t>(addr)];
        info.disableIdc = static_cast<uint8_t>(opt_.deblocking ? opt_.deblockingIdc : 1);
        info.slice = slice;
        info.filterOffsetA = static_cast<int8_t>(2 * opt_.alphaOffsetDiv2);
        info.filterOffsetB = static_cast<int8_t>(2 * opt_.betaOffsetDiv2);
        info.chromaQpOffset = info.secondChromaQpOffset = static_cast<int8_t>(opt_.chromaQpIndexOffset);

        if (plan.coding == MbCoding::Pcm) {
            bw.ue(25); // mb_type I_PCM
            bw.align(0);
            for (int c = 0; c < 3; ++c) {
                const int w = c ? mbwC : 16, h = c ? mbhC : 16;
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const uint16_t v = src.at(c, mbX * w + x, mbY * h + y);
                        bw.u(opt_.bitDepth, v);
                        rec.at(c, mbX * w + x, mbY * h + y) = v;
                    }
            }
            info.pcm = 1;
            info.qpY = static_cast<int8_t>(qpPred);
            continue;
        }

        // Intra 16x16, DC prediction, coded_block_pattern 0.
        bw.ue(3);  // mb_type I_16x16_2_0_0
        bw.ue(0);  // intra_chroma_pred_mode: DC
        const int range = 52 + qpBdOffset;
        int delta = plan.qp - qpPred;
        if (delta > 25 + qpBdOffset / 2) delta -= range;
        if (delta < -(26 + qpBdOffset / 2)) delta += range;
        bw.se(delta);
        qpPred = plan.qp;
        info.qpY = static_cast<int8_t>(plan.qp);
        // Intra16x16DCLevel: coeff_token with TotalCoeff 0, nC from the neighbours (16 for I_PCM,
        // 0 for these residual-free macroblocks).
        const bool haveA = mbX > 0, haveB = mbY % rowsPerSlice > 0; // inside the picture and the slice
        const int nA = haveA && plans[addr - 1].coding == MbCoding::Pcm ? 16 : 0;
        const int nB = haveB && plans[addr - W].coding == MbCoding::Pcm ? 16 : 0;
        const int nC = haveA && haveB ? (nA + nB + 1) >> 1 : (haveA ? nA : (haveB ? nB : 0));
        const avci::VlcCode token = avci::kCoeffToken[avci::coeffTokenTableForNc(nC)][0][0];
        bw.u(token.length, token.code);

        // Reconstruction = prediction.
        const int x0 = mbX * 16, y0 = mbY * 16;
        int sumTop = 0, sumLeft = 0;
        for (int i = 0; i < 16; ++i) {
            if (haveB) sumTop += rec.at(0, x0 + i, y0 - 1);
            if (haveA) sumLeft += rec.at(0, x0 - 1, y0 + i);
        }
        const int dcY = haveA && haveB ? (sumTop + sumLeft + 16) >> 5
                                       : (haveA ? dcOf(sumLeft, 16) : (haveB ? dcOf(sumTop, 16) : mid));
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) rec.at(0, x0 + x, y0 + y) = static_cast<uint16_t>(dcY);
        for (int c = 1; c < 3; ++c) {
            const int cx0 = mbX * mbwC, cy0 = mbY * mbhC;
            for (int by = 0; by < mbhC; by += 4)
                for (int bx = 0; bx < mbwC; bx += 4) {
                    int top = 0, left = 0;
                    for (int i = 0; i < 4; ++i) {
                        if (haveB) top += rec.at(c, cx0 + bx + i, cy0 - 1);
                        if (haveA) left += rec.at(c, cx0 - 1, cy0 + by + i);
                    }
                    int dc;
                    if ((bx == 0 && by == 0) || (bx > 0 && by > 0))
                        dc = haveA && haveB ? (top + left + 4) >> 3
                                            : (haveA ? dcOf(left, 4) : (haveB ? dcOf(top, 4) : mid));
                    else if (bx > 0) // top row of blocks: the row above first
                        dc = haveB ? dcOf(top, 4) : (haveA ? dcOf(left, 4) : mid);
                    else // left column of blocks: the column on the left first
                        dc = haveA ? dcOf(left, 4) : (haveB ? dcOf(top, 4) : mid);
                    for (int y = 0; y < 4; ++y)
                        for (int x = 0; x < 4; ++x) rec.at(c, cx0 + bx + x, cy0 + by + y) = static_cast<uint16_t>(dc);
                }
        }
    }
    bw.trailing();
    appendNal(stream_, idr ? 3 : 2, idr ? 5 : 1, bw.bytes());
}

avci::DeblockPicture FieldStreamWriter::describe(PlanarFrame& frame, const CodedPicture& picture, int widthMbs,
                                                 int pictureHeightMbs, int bitDepth)
{
    avci::DeblockPicture d;
    const int parity = picture.structure == avci::PictureStructure::BottomField ? 1 : 0;
    const bool field = picture.structure != avci::PictureStructure::Frame;
    for (int c = 0; c < 3; ++c) {
        const int w = frame.planeWidth(c);
        d.plane[c] = frame.plane(c).data() + (field ? parity * w : 0);
        d.stride[c] = field ? 2 * w : w;
    }
    d.chromaArrayType = frame.chromaFormat;
    d.bitDepthY = d.bitDepthC = bitDepth;
    d.widthMbs = widthMbs;
    d.heightMbs = pictureHeightMbs;
    d.structure = picture.structure;
    d.mbs = picture.mbs.data();
    return d;
}

} // namespace vorn::test
