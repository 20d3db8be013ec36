// DV encoder against FFmpeg: every encodable format decodes in FFmpeg without
// an error, FFmpeg's picture and our decoder's agree, and the quality on a
// moving, noisy pattern is at least 38 dB and within 1 dB of FFmpeg's own
// DV encoder (both decoded by FFmpeg, compared with the source).
#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "dv/DvFormat.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace vorn::test;
using vorn::dv::VideoFormat;

struct Format {
    VideoFormat code;
    int width, height;
    const char* pixFmt;  // FFmpeg's pixel format of this DV flavour
    const char* rate;    // frame rate
    const char* srcRate; // rate of the moving source (two fields per frame when interlaced)
    bool interlaced;
};

const Format kFormats[] = {
    {1, 1280, 1080, "yuv422p", "30000/1001", "60000/1001", true},
    {2, 960, 720, "yuv422p", "60000/1001", "60000/1001", false},
    {3, 1440, 1080, "yuv422p", "25", "50", true},
    {4, 960, 720, "yuv422p", "50", "50", false},
    {5, 720, 480, "yuv411p", "30000/1001", "60000/1001", true},
    {7, 720, 576, "yuv422p", "25", "50", true},
    {8, 720, 480, "yuv422p", "30000/1001", "60000/1001", true},
    {9, 720, 576, "yuv411p", "25", "50", true},
    {10, 720, 480, "yuv411p", "30000/1001", "60000/1001", true},
};

constexpr int kFrames = 2;

double psnr(const uint8_t* a, const uint8_t* b, size_t n)
{
    double se = 0;
    for (size_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        se += d * d;
    }
    const double mse = se / static_cast<double>(n);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Luma PSNR over all frames of two planar 4:2:2 files.
double lumaPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, const Format& f)
{
    const size_t plane = static_cast<size_t>(f.width) * f.height, frame = plane * 2;
    double se = 0;
    size_t n = 0;
    for (int i = 0; i < kFrames; ++i) {
        const double p = psnr(a.data() + i * frame, b.data() + i * frame, plane);
        se += 255.0 * 255.0 / std::pow(10.0, p / 10.0) * static_cast<double>(plane);
        n += plane;
    }
    return 10.0 * std::log10(255.0 * 255.0 / (se / static_cast<double>(n)));
}

std::string decodeErrors(const std::string& stderrText)
{
    std::string out;
    size_t start = 0;
    while (start < stderrText.size()) {
        size_t end = stderrText.find('\n', start);
        if (end == std::string::npos)
            end = stderrText.size();
        const std::string line = stderrText.substr(start, end - start);
        if (!line.empty() && line.find("Estimating duration") == std::string::npos)
            out += line + "\n";
        start = end + 1;
    }
    return out;
}

class EncodeOracle : public ::testing::TestWithParam<Format> {};

TEST_P(EncodeOracle, FfmpegDecodesItAndQualityMatchesFfmpegsEncoder)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const Format f = GetParam();
    const auto dir = scratchDir("encode_oracle_" + std::to_string(f.code));
    const std::string size = std::to_string(f.width) + "x" + std::to_string(f.height);
    const std::string src = (dir / "src.yuv").string(), ours = (dir / "ours.dif").string(),
                      theirs = (dir / "ffmpeg.dif").string();
    const std::string weave = f.interlaced ? "interlace=scan=tff:lowpass=off," : "";
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
    ASSERT_EQ(runCommand(ff + "-f lavfi -i testsrc2=s=" + size + ":r=" + f.srcRate + " -vf " + weave +
                         "noise=alls=6:allf=t -frames:v " + std::to_string(kFrames) +
                         " -pix_fmt yuv422p -f rawvideo " + shellQuote(src))
                  .exitCode,
              0);

    // Ours, through the command, with a start time code.
    const CommandResult enc = runVorn("codec dv-encode --format " + std::to_string(f.code) +
                                      " --timecode 10:59:59:00 " + shellQuote(src) + " " + shellQuote(ours));
    ASSERT_EQ(enc.exitCode, 0) << enc.err;
    const std::vector<uint8_t> dif = readBytes(ours);
    ASSERT_EQ(dif.size(), static_cast<size_t>(vorn::dv::dvFormatInfo(f.code)->bytesPerFrame) * kFrames);

    // FFmpeg's own DV encoder on the same source.
    ASSERT_EQ(runCommand(ff + "-f rawvideo -pix_fmt yuv422p -s " + size + " -r " + f.rate + " -i " +
                         shellQuote(src) + " -pix_fmt " + f.pixFmt + " -c:v dvvideo -f rawvideo " +
                         shellQuote(theirs))
                  .exitCode,
              0);

    // Both decoded by FFmpeg: ours must decode without a message.
    auto decode = [&](const std::string& in, const std::string& pixFmt, const std::string& out) {
        const CommandResult r = runCommand("ffmpeg -nostdin -hide_banner -loglevel warning -y -f dv -i " +
                                           shellQuote(in) + " -f rawvideo -pix_fmt " + pixFmt + " " + shellQuote(out));
        EXPECT_EQ(r.exitCode, 0);
        return decodeErrors(r.err);
    };
    EXPECT_EQ(decode(ours, "yuv422p", (dir / "ours.yuv").string()), "");
    decode(theirs, "yuv422p", (dir / "ffmpeg.yuv").string());
    const std::vector<uint8_t> source = readBytes(src), oursDec = readBytes(dir / "ours.yuv"),
                               theirsDec = readBytes(dir / "ffmpeg.yuv");
    const size_t frameBytes = static_cast<size_t>(f.width) * f.height * 2;
    ASSERT_EQ(oursDec.size(), frameBytes * kFrames);
    ASSERT_EQ(theirsDec.size(), frameBytes * kFrames);
    const double psnrOurs = lumaPsnr(oursDec, source, f), psnrFfmpeg = lumaPsnr(theirsDec, source, f);
    RecordProperty("psnr_y_ours", std::to_string(psnrOurs));
    RecordProperty("psnr_y_ffmpeg", std::to_string(psnrFfmpeg));
    std::printf("code %d: luma PSNR ours %.2f dB, FFmpeg's encoder %.2f dB\n", f.code, psnrOurs, psnrFfmpeg);
    EXPECT_GE(psnrOurs, 38.0);
    EXPECT_GE(psnrOurs, psnrFfmpeg - 1.0);

    // FFmpeg's picture (in the flavour's own sampling) and our decoder's agree.
    decode(ours, f.pixFmt, (dir / "native.yuv").string());
    const std::vector<uint8_t> native = readBytes(dir / "native.yuv");
    const bool is411 = std::string(f.pixFmt) == "yuv411p";
    const size_t luma = static_cast<size_t>(f.width) * f.height, chroma = luma / (is411 ? 4 : 2);
    ASSERT_EQ(native.size(), (luma + 2 * chroma) * kFrames);
    vorn::dv::InitCodecTables();
    for (int i = 0; i < kFrames; ++i) {
        vorn::dv::PictureBuffer pic;
        vorn::dv::DecodeOptions top;
        top.topDown = true;
        ASSERT_TRUE(vorn::dv::decodeDifFrame(
            std::span<const uint8_t>(dif.data() + static_cast<size_t>(i) * (dif.size() / kFrames), dif.size() / kFrames),
            f.code, pic, top));
        std::vector<uint8_t> y(luma), cb(chroma), cr(chroma);
        const int step = is411 ? 4 : 2;
        for (int r = 0; r < f.height; ++r) {
            const uint8_t* row = pic.memoryRow(r);
            for (int x = 0; x < f.width; ++x)
                y[static_cast<size_t>(r) * f.width + x] = row[2 * x];
            for (int x = 0; x < f.width / step; ++x) {
                const size_t pair = static_cast<size_t>(x * step / 2);
                cb[static_cast<size_t>(r) * (f.width / step) + x] = row[4 * pair + 1];
                cr[static_cast<size_t>(r) * (f.width / step) + x] = row[4 * pair + 3];
            }
        }
        const uint8_t* n = native.data() + static_cast<size_t>(i) * (luma + 2 * chroma);
        EXPECT_GE(psnr(y.data(), n, luma), 50.0) << "frame " << i;
        EXPECT_GE(psnr(cb.data(), n + luma, chroma), 50.0) << "frame " << i;
        EXPECT_GE(psnr(cr.data(), n + luma + chroma, chroma), 50.0) << "frame " << i;
    }

    // The running time code of the second frame as FFmpeg reads it.
    const CommandResult probe = runCommand("ffprobe -v error -show_entries format_tags=timecode:stream_tags=timecode "
                                           "-f dv " + shellQuote(ours));
    EXPECT_NE(probe.out.find("10:59:59"), std::string::npos) << probe.out << probe.err;
}

INSTANTIATE_TEST_SUITE_P(AllFormats, EncodeOracle, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) {
                             return "code" + std::to_string(info.param.code);
                         });

} // namespace
