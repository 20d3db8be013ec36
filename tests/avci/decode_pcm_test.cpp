// I_PCM macroblocks in CABAC slices: after the terminating bin of mb_type the samples start
// at the next byte boundary and the arithmetic decoder starts again after them. x264 never
// writes I_PCM, so the test codes a tiny picture itself with a CABAC encoder (the encoding
// procedure of the standard): I_PCM, an Intra 16x16 DC macroblock without residual, I_PCM.
// FFmpeg's decode of the same stream is the reference.
#include "avci/AvcDecoder.h"
#include "avci/AvcTables.h"

#include "helpers/RbspWriter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

// The arithmetic encoder of the standard (EncodeDecision, EncodeTerminate, EncodeFlush).
struct CabacEncoder {
    RbspWriter& out;
    uint8_t state[460] = {};
    uint8_t mps[460] = {};
    uint32_t low = 0, range = 510;
    bool first = true;
    int outstanding = 0;

    CabacEncoder(RbspWriter& sink, int qp) : out(sink)
    {
        for (int i = 0; i < 460; ++i)
            avci::cabacInitContext(avci::kCabacInitI[i][0], avci::kCabacInitI[i][1], qp, state[i], mps[i]);
    }
    void start()
    {
        low = 0;
        range = 510;
        first = true;
        outstanding = 0;
    }
    void putBit(int b)
    {
        if (first) first = false;
        else out.bit(b);
        for (; outstanding > 0; --outstanding) out.bit(1 - b);
    }
    void renorm()
    {
        while (range < 256) {
            if (low < 256) {
                putBit(0);
            } else if (low >= 512) {
                low -= 512;
                putBit(1);
            } else {
                low -= 256;
                ++outstanding;
            }
            range <<= 1;
            low <<= 1;
        }
    }
    void decision(int ctx, int bin)
    {
        const uint32_t lps = avci::kCabacRangeTabLps[state[ctx]][(range >> 6) & 3];
        range -= lps;
        if (bin != mps[ctx]) {
            low += range;
            range = lps;
            if (state[ctx] == 0) mps[ctx] = uint8_t(1 - mps[ctx]);
            state[ctx] = avci::kCabacTransIdxLps[state[ctx]];
        } else {
            state[ctx] = avci::cabacTransIdxMps(state[ctx]);
        }
        renorm();
    }
    void terminate(int bin)
    {
        range -= 2;
        if (bin) {
            low += range;
            range = 2;
            renorm();
            putBit(int((low >> 9) & 1));
            out.u(2, ((low >> 7) & 3) | 1);
        } else {
            renorm();
        }
    }
};


TEST(AvcDecodePcm, CabacPcmMacroblocksMatchFfmpeg)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    std::mt19937 rng(99);
    std::vector<uint8_t> stream;
    {
        RbspWriter sps; // High, 8-bit 4:2:0, 3 x 1 macroblocks
        sps.u(8, 100);
        sps.u(8, 0);
        sps.u(8, 30);
        sps.ue(0);
        sps.ue(1);
        sps.ue(0);
        sps.ue(0);
        sps.u(1, 0);
        sps.u(1, 0);
        sps.ue(0); // log2_max_frame_num_minus4
        sps.ue(2); // pic_order_cnt_type
        sps.ue(0);
        sps.u(1, 0);
        sps.ue(2); // width 3 MBs
        sps.ue(0); // height 1 MB
        sps.u(1, 1);
        sps.u(1, 1);
        sps.u(1, 0);
        sps.u(1, 0);
        sps.trailing();
        appendNal(stream, 0x67, sps.bytes());
        RbspWriter pps;
        pps.ue(0);
        pps.ue(0);
        pps.u(1, 1); // CABAC
        pps.u(1, 0);
        pps.ue(0);
        pps.ue(0);
        pps.ue(0);
        pps.u(1, 0);
        pps.u(2, 0);
        pps.se(0);
        pps.se(0);
        pps.se(0);
        pps.u(1, 1); // deblocking_filter_control_present_flag
        pps.u(1, 0);
        pps.u(1, 0);
        pps.trailing();
        appendNal(stream, 0x68, pps.bytes());
    }
    std::vector<uint8_t> firstPcmLuma; // the luma samples of the very first macroblock
    for (int frame = 0; frame < 2; ++frame) {
        RbspWriter s;
        s.ue(0);      // first_mb_in_slice
        s.ue(7);      // I slice
        s.ue(0);      // pps
        s.u(4, 0);    // frame_num
        s.ue(uint32_t(frame)); // idr_pic_id
        s.u(1, 0);
        s.u(1, 0);    // dec_ref_pic_marking
        s.se(frame == 0 ? 0 : 8); // slice_qp_delta
        s.ue(1);      // loop filter off
        s.align(1); // cabac_alignment_one_bit
        CabacEncoder enc(s, 26 + (frame == 0 ? 0 : 8));
        auto pcm = [&](int mbTypeCtx) {
            enc.decision(mbTypeCtx, 1); // not I_NxN
            enc.terminate(1);           // I_PCM
            s.align(0); // pcm_alignment_zero_bit
            for (int i = 0; i < 384; ++i) {
                const uint8_t v = uint8_t(16 + rng() % 220);
                if (firstPcmLuma.size() < 256) firstPcmLuma.push_back(v);
                s.u(8, v);
            }
            enc.start();
        };
        pcm(3);
        enc.terminate(0); // end_of_slice_flag
        // Intra 16x16, DC prediction, no coded luma or chroma, mb_qp_delta 0.
        enc.decision(3 + 1, 1);
        enc.terminate(0);
        enc.decision(3 + 3, 0); // no luma AC
        enc.decision(3 + 4, 0); // no chroma
        enc.decision(3 + 6, 1); // prediction mode 2 (DC): bits 1, 0
        enc.decision(3 + 7, 0);
        enc.decision(64, 0);    // intra_chroma_pred_mode DC (left neighbour is I_PCM)
        enc.decision(60, 0);    // mb_qp_delta 0
        enc.decision(85 + 3, 0); // Intra16x16DCLevel coded_block_flag (A I_PCM, B absent)
        enc.terminate(0);
        pcm(3 + 1);
        enc.terminate(1);       // end_of_slice_flag, its last bit the stop bit
        s.align(0);
        appendNal(stream, 0x65, s.bytes());
    }
    const std::filesystem::path dir = scratchDir("avci_pcm");
    writeBytes(dir / "pcm.264", stream);
    const CommandResult r = runCommand("cd " + shellQuote(dir.string()) +
                                       " && ffmpeg -loglevel error -y -i pcm.264 -f rawvideo -pix_fmt yuv420p pcm.yuv");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<uint8_t> ref = readBytes(dir / "pcm.yuv");
    ASSERT_EQ(ref.size(), 2u * 48 * 16 * 3 / 2);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            ASSERT_EQ(ref[size_t(y * 48 + x)], firstPcmLuma[size_t(y * 16 + x)]) << "FFmpeg must show the PCM samples";
    avci::AvcDecoder decoder;
    std::vector<uint8_t> frame(48 * 16 * 2), all;
    for (const auto& [off, size] : avci::splitAccessUnits(stream.data(), stream.size())) {
        const Status s = decoder.decode(stream.data() + off, size, 36, frame.data(), frame.size());
        ASSERT_TRUE(s.ok()) << s.message();
        all.insert(all.end(), frame.begin(), frame.begin() + std::ptrdiff_t(decoder.lastFrame().bytes));
    }
    EXPECT_EQ(all, ref);
}

} // namespace
