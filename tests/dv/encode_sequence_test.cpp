// DVCPRO HD 1080i encoder on 60-frame sequences against FFmpeg's encoder on
// the same frames: the quantisers carried from frame to frame must not drag
// the quality down, so every frame stays within 0.5 dB (luma) of FFmpeg's, and
// a frame late in the sequence is as good as when it is coded on its own. One FFmpeg call
// per sequence makes both the source and FFmpeg's DV frames; both encodings
// are decoded by our decoder.
#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "dv/DvEncoder.h"
#include "dv/DvFormat.h"
#include "dv/DvSystemData.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace vorn::test;
using namespace vorn::dv;

constexpr int kFrames = 60;
constexpr int kWidth = 1280, kHeight = 1080;
constexpr VideoFormat kCode = 1;

struct Sequence {
    const char* name;
    const char* filter; // FFmpeg filter chain on testsrc2 at 60000/1001 fields
};

const Sequence kSequences[] = {
    // One clean picture, repeated (frame 0 looped).
    {"static", "loop=loop=-1:size=1:start=0,fps=30000/1001"},
    // Moving pattern, interlaced, with noise.
    {"moving", "interlace=scan=tff:lowpass=off,noise=alls=6:allf=t"},
};

// Luma PSNR of a decoded picture (rows top-down in memory) against planar source luma.
double lumaPsnr(const PictureBuffer& pic, const uint8_t* y)
{
    double se = 0;
    for (int r = 0; r < kHeight; ++r) {
        const uint8_t* row = pic.memoryRow(r);
        const uint8_t* src = y + static_cast<size_t>(r) * kWidth;
        for (int x = 0; x < kWidth; ++x) {
            const double d = static_cast<double>(row[2 * x]) - src[x];
            se += d * d;
        }
    }
    const double mse = se / (static_cast<double>(kWidth) * kHeight);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Planes Y, Cb, Cr (rows from the top) to a packed picture, rows bottom-up.
PictureBuffer fromPlanar(const uint8_t* planes)
{
    PictureBuffer pic(kWidth, kHeight);
    const size_t n = static_cast<size_t>(kWidth) * kHeight;
    const uint8_t* y = planes;
    const uint8_t* cb = y + n;
    const uint8_t* cr = cb + n / 2;
    for (int r = 0; r < kHeight; ++r) {
        uint8_t* d = pic.memoryRow(kHeight - 1 - r);
        for (int x = 0; x < kWidth / 2; ++x) {
            d[4 * x] = *y++;
            d[4 * x + 1] = *cb++;
            d[4 * x + 2] = *y++;
            d[4 * x + 3] = *cr++;
        }
    }
    return pic;
}

PictureBuffer decodeTopDown(std::span<const uint8_t> frame)
{
    PictureBuffer pic;
    DecodeOptions top;
    top.topDown = true;
    EXPECT_TRUE(decodeDifFrame(frame, kCode, pic, top));
    return pic;
}

class EncodeSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(EncodeSequence, EveryFrameWithinHalfADecibelOfFfmpegAndAsGoodAsAlone)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const Sequence& s = GetParam();
    const auto dir = scratchDir(std::string("encode_sequence_") + s.name);
    const std::string src = (dir / "src.yuv").string(), theirs = (dir / "ffmpeg.dif").string();
    const std::string frames = std::to_string(kFrames);
    ASSERT_EQ(runCommand("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=s=1280x1080:r=60000/1001 "
                         "-filter_complex \"[0:v]" + std::string(s.filter) + ",format=yuv422p,split[a][b]\" "
                         "-map \"[a]\" -frames:v " + frames + " -f rawvideo " + shellQuote(src) +
                         " -map \"[b]\" -frames:v " + frames + " -c:v dvvideo -f rawvideo " + shellQuote(theirs))
                  .exitCode,
              0);
    const std::vector<uint8_t> source = readBytes(src), ffmpegDif = readBytes(theirs);
    const size_t pictureBytes = static_cast<size_t>(kWidth) * kHeight * 2;
    const size_t frameBytes = static_cast<size_t>(dvFormatInfo(kCode)->bytesPerFrame);
    ASSERT_EQ(source.size(), pictureBytes * kFrames);
    ASSERT_EQ(ffmpegDif.size(), frameBytes * kFrames);

    InitCodecTables();
    DvEncoder encoder;
    double worstGap = 99, sumOurs = 0, sumTheirs = 0, minOurs = 99;
    DifFrame ours(frameBytes), late(frameBytes);
    double oursAt40 = 0;
    for (int i = 0; i < kFrames; ++i) {
        const uint8_t* planes = source.data() + static_cast<size_t>(i) * pictureBytes;
        const PictureBuffer pic = fromPlanar(planes);
        ASSERT_TRUE(encoder.encode(ours, pic, kCode).ok());
        const PictureBuffer decOurs = decodeTopDown(ours.bytes);
        const PictureBuffer decTheirs =
            decodeTopDown(std::span<const uint8_t>(ffmpegDif.data() + static_cast<size_t>(i) * frameBytes, frameBytes));
        const double pOurs = lumaPsnr(decOurs, planes), pTheirs = lumaPsnr(decTheirs, planes);
        EXPECT_GE(pOurs, pTheirs - 0.5) << s.name << " frame " << i;
        worstGap = std::min(worstGap, pOurs - pTheirs);
        minOurs = std::min(minOurs, pOurs);
        sumOurs += pOurs;
        sumTheirs += pTheirs;
        if (i == 40)
            oursAt40 = pOurs;
    }
    std::printf("%s: luma PSNR ours mean %.2f min %.2f dB, FFmpeg's encoder mean %.2f dB, worst frame gap %+.2f dB\n",
                s.name, sumOurs / kFrames, minOurs, sumTheirs / kFrames, worstGap);

    // Frame 40 coded alone, by a new encoder: the carried
    // quantisers may only speed the search up, not lower the quality. (Where
    // the bits of a segment do not fall steadily with the quantiser, a seeded
    // search can stop at a neighbouring rung; that costs hundredths of a dB.)
    const uint8_t* planes40 = source.data() + 40 * pictureBytes;
    ASSERT_TRUE(DvEncoder().encode(late, fromPlanar(planes40), kCode).ok());
    const double alone = lumaPsnr(decodeTopDown(late.bytes), planes40);
    std::printf("%s: frame 40 in the sequence %.3f dB, alone %.3f dB\n", s.name, oursAt40, alone);
    EXPECT_GE(oursAt40, alone - 0.02) << s.name;
}

INSTANTIATE_TEST_SUITE_P(Hd1080i, EncodeSequence, ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

} // namespace
