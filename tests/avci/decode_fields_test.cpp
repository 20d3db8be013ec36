// Field pictures with real residual data: x264 codes progressive pictures of field size with
// CAVLC; the test relabels each pair of them as the top and bottom field pictures of one
// frame (SPS: frame_mbs_only_flag 0; slice headers: field_pic_flag, bottom_field_flag; the
// second field a non-IDR picture). The slice data stays valid CAVLC syntax, decoded now with
// field scans into alternate frame lines. FFmpeg decodes the same relabelled stream.
#include "avci/AvcDecoder.h"

#include "helpers/RbspWriter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

struct SpsFacts {
    int log2MaxFrameNum = 4, pocType = 0, log2MaxPocLsb = 4;
};

// SPS of a progressive stream -> SPS of a field stream (same map units, twice the frame height).
std::vector<uint8_t> relabelSps(const std::vector<uint8_t>& rbsp, SpsFacts& f)
{
    RbspReader in{rbsp};
    RbspWriter w;
    const uint32_t profile = in.u(8);
    w.u(8, profile);
    w.u(8, in.u(8));
    w.u(8, in.u(8));
    w.ue(in.ue());
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244) {
        const uint32_t cf = in.ue();
        w.ue(cf);
        w.ue(in.ue());
        w.ue(in.ue());
        w.u(1, in.u(1));
        const uint32_t matrix = in.u(1);
        EXPECT_EQ(matrix, 0u) << "scaling matrices are not relabelled";
        w.u(1, matrix);
    }
    const uint32_t l2fn = in.ue();
    f.log2MaxFrameNum = int(l2fn) + 4;
    w.ue(l2fn);
    const uint32_t pocType = in.ue();
    f.pocType = int(pocType);
    w.ue(pocType);
    EXPECT_NE(pocType, 1u);
    if (pocType == 0) {
        const uint32_t l2poc = in.ue();
        f.log2MaxPocLsb = int(l2poc) + 4;
        w.ue(l2poc);
    }
    w.ue(in.ue());      // max_num_ref_frames
    w.u(1, in.u(1));    // gaps
    w.ue(in.ue());      // width
    w.ue(in.ue());      // height in map units (a field's height now)
    EXPECT_EQ(in.u(1), 1u) << "frame_mbs_only_flag of the progressive source";
    w.u(1, 0);          // frame_mbs_only_flag
    w.u(1, 0);          // mb_adaptive_frame_field_flag
    w.u(1, in.u(1));    // direct_8x8_inference_flag
    const uint32_t crop = in.u(1);
    EXPECT_EQ(crop, 0u) << "use sizes without cropping";
    w.u(1, crop);
    in.copyRest(w);
    return w.bytes();
}

// Slice header of picture `index` of the progressive stream -> a field slice.
std::vector<uint8_t> relabelSlice(const std::vector<uint8_t>& rbsp, const SpsFacts& f, bool bottom, bool idrIn,
                                  bool idrOut, int pocLsb)
{
    RbspReader in{rbsp};
    RbspWriter w;
    w.ue(in.ue()); // first_mb_in_slice
    w.ue(in.ue()); // slice_type
    w.ue(in.ue()); // pic_parameter_set_id
    in.u(f.log2MaxFrameNum);
    w.u(f.log2MaxFrameNum, 0); // frame_num: both fields of frame 0 after the IDR
    w.u(1, 1);                 // field_pic_flag
    w.u(1, bottom ? 1 : 0);    // bottom_field_flag
    uint32_t idrPicId = 0;
    if (idrIn) idrPicId = in.ue();
    if (idrOut) w.ue(idrPicId);
    if (f.pocType == 0) {
        in.u(f.log2MaxPocLsb);
        w.u(f.log2MaxPocLsb, uint32_t(pocLsb));
    }
    // dec_ref_pic_marking (nal_ref_idc != 0)
    if (idrIn) {
        in.u(1);
        in.u(1);
    } else {
        EXPECT_EQ(in.u(1), 0u);
    }
    if (idrOut) {
        w.u(1, 0);
        w.u(1, 0);
    } else {
        w.u(1, 0);
    }
    in.copyRest(w); // slice_qp_delta, deblocking fields, slice data
    return w.bytes();
}

struct Case {
    const char* name;
    const char* x264;
    bool tenBit422;
    bool clearIntraFlag; // make the 10-bit stream High 4:2:2 so that the fields are deblocked
};

TEST(AvcDecodeFields, RelabelledFieldPairsMatchFfmpeg)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("x264");
    const Case cases[] = {
        {"422_10_intra", "--output-csp i422 --output-depth 10 --profile high422", true, false},
        {"422_10_filtered", "--output-csp i422 --output-depth 10 --profile high422 --slices 2", true, true},
        {"420_8_filtered", "--profile high --no-8x8dct", false, false},
        {"420_10_slices", "--output-csp i420 --output-depth 10 --profile high10 --slices 3", true, false},
    };
    const std::filesystem::path dir = scratchDir("avci_paff");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string n = c.name;
        const std::string pix = c.tenBit422 ? (std::string(c.x264).find("i420") != std::string::npos ? "yuv420p10le" : "yuv422p10le")
                                            : "yuv420p";
        // Four pictures of 176x64: the fields of two 176x128 frames.
        const CommandResult enc = runCommand(
            "cd " + shellQuote(dir.string()) + " && ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=176x64:r=50 -vf "
            "noise=alls=10:allf=t -frames:v 4 -pix_fmt " + pix + " -strict -1 -f yuv4mpegpipe - | x264 --quiet "
            "--demuxer y4m --keyint 1 --no-cabac --crf 20 " + std::string(c.x264) + " -o " + n + ".264 - 2>/dev/null");
        ASSERT_EQ(enc.exitCode, 0) << enc.err;
        const std::vector<uint8_t> src = readBytes(dir / (n + ".264"));
        // Collect the NAL units.
        std::vector<std::pair<size_t, size_t>> nals;
        for (size_t i = 0; i + 3 < src.size(); ++i) {
            if (src[i] == 0 && src[i + 1] == 0 && src[i + 2] == 1) {
                if (!nals.empty()) {
                    size_t end = i;
                    while (end > nals.back().first && src[end - 1] == 0) --end;
                    nals.back().second = end - nals.back().first;
                }
                nals.push_back({i + 3, 0});
                i += 2;
            }
        }
        ASSERT_FALSE(nals.empty());
        nals.back().second = src.size() - nals.back().first;
        std::vector<uint8_t> out;
        SpsFacts facts;
        int picture = -1;
        int firstMbPrev = -1;
        for (const auto& [off, size] : nals) {
            const uint8_t header = src[off];
            const int type = header & 31;
            const std::vector<uint8_t> rbsp = rbspOf(src.data() + off + 1, size - 1);
            // x264 repeats its parameter sets before every picture: keep the first ones only
            // (parameter sets between two fields would end the access unit).
            if ((type == 7 || type == 8) && picture >= 0) continue;
            if (type == 7) {
                std::vector<uint8_t> sps = relabelSps(rbsp, facts);
                if (c.clearIntraFlag) sps[1] &= uint8_t(~0x10);
                appendNal(out, header, sps);
            } else if (type == 8) {
                appendNal(out, header, rbsp);
            } else if (type == 1 || type == 5) {
                RbspReader peek{rbsp};
                const int firstMb = int(peek.ue());
                if (firstMb <= firstMbPrev || picture < 0) ++picture;
                firstMbPrev = firstMb;
                const bool bottom = picture % 2 == 1;
                const bool idrOut = !bottom;
                const uint8_t outHeader = uint8_t((header & 0xE0) | (idrOut ? 5 : 1));
                appendNal(out, outHeader,
                          relabelSlice(rbsp, facts, bottom, type == 5, idrOut, bottom ? 1 : 0));
            }
        }
        ASSERT_EQ(picture, 3);
        writeBytes(dir / (n + "_fields.264"), out);
        const std::string fmt = pix;
        // The intra profiles are never filtered: FFmpeg is told to skip its loop filter for them.
        const bool intraProfile = c.tenBit422 && !c.clearIntraFlag;
        const CommandResult dec = runCommand("cd " + shellQuote(dir.string()) + " && ffmpeg -loglevel error -y " +
                                             (intraProfile ? "-skip_loop_filter all " : "") + "-i " + n +
                                             "_fields.264 -f rawvideo -pix_fmt " + fmt + " " + n + ".yuv");
        ASSERT_EQ(dec.exitCode, 0) << dec.err;
        const std::vector<uint8_t> ref = readBytes(dir / (n + ".yuv"));
        std::vector<uint8_t> frame(176 * 128 * 4), all;
        const auto units = avci::splitAccessUnits(out.data(), out.size());
        ASSERT_EQ(units.size(), 2u);
        avci::AvcDecoder decoder;
        for (const auto& [off, size] : units) {
            const Status s = decoder.decode(out.data() + off, size, 38, frame.data(), frame.size());
            ASSERT_TRUE(s.ok()) << s.message();
            all.insert(all.end(), frame.begin(), frame.begin() + std::ptrdiff_t(decoder.lastFrame().bytes));
        }
        EXPECT_EQ(decoder.lastFrame().height, 128);
        EXPECT_EQ(all.size(), ref.size());
        EXPECT_TRUE(all == ref);
        EXPECT_EQ(decoder.lastFrame().deblocked, !intraProfile);
    }
}

} // namespace
