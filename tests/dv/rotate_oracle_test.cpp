// Rotation of 720-line DVCPRO HD frames in the coefficient domain, judged by
// FFmpeg: `vorn codec rotate` output decoded by FFmpeg against FFmpeg's decode
// of the source turned with hflip,vflip, on noisy moving pictures from FFmpeg's
// encoder and from ours (which alternates the channel pairs 0/1 and 2/3), and
// on frames whose macroblocks are coded in field arrangement. Our own decoder
// shows the turn is exact where no requantisation is needed.
#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "dv/DvFormat.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace vorn::dv {
namespace {

using namespace vorn::test;

constexpr int kWidth = 960, kHeight = 720, kFrames = 3;

enum class Source { Ffmpeg, Ours, OursField };

struct RotateCase {
    VideoFormat code;
    const char* rate;
    Source source;
    const char* name;
};

double lumaPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    const size_t plane = static_cast<size_t>(kWidth) * kHeight, frame = 2 * plane;
    double se = 0;
    for (int f = 0; f < kFrames; ++f)
        for (size_t i = 0; i < plane; ++i) {
            const double d = double(a[f * frame + i]) - b[f * frame + i];
            se += d * d;
        }
    const double n = double(plane) * kFrames;
    return se == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * n / se);
}

// Field arrangement of every 16-line band of a planar 4:2:2 picture: lines 0-7
// of the band take its even lines, lines 8-15 its odd lines. Coded with the DCT
// mode bit set, such a picture decodes back to the original lines.
std::vector<uint8_t> toFieldBands(const std::vector<uint8_t>& planar)
{
    std::vector<uint8_t> out(planar.size());
    const size_t frame = static_cast<size_t>(kWidth) * kHeight * 2;
    for (size_t f = 0; f * frame < planar.size(); ++f) {
        size_t offset = f * frame;
        for (int width : {kWidth, kWidth / 2, kWidth / 2}) {
            for (int y = 0; y < kHeight; ++y) {
                const int band = y / 16, r = y % 16;
                const int from = band * 16 + (r < 8 ? 2 * r : 2 * (r - 8) + 1);
                std::copy_n(planar.begin() + static_cast<ptrdiff_t>(offset + size_t(from) * width), width,
                            out.begin() + static_cast<ptrdiff_t>(offset + size_t(y) * width));
            }
            offset += size_t(width) * kHeight;
        }
    }
    return out;
}

// Byte ranges of the video DIF blocks of every frame (blocks 7.. of each
// 16-block group of the first 10 sequences of both channel areas).
bool isVideoByte(const DvFormatInfo& info, size_t index)
{
    const size_t inFrame = index % static_cast<size_t>(info.bytesPerFrame);
    const size_t inChannel = inFrame % static_cast<size_t>(info.channelBytes());
    const size_t sequence = inChannel / kDifSequenceBytes;
    const size_t block = (inChannel % kDifSequenceBytes) / kDifBlockBytes;
    return sequence < 10 && block >= 6 && (block - 6) % 16 != 0;
}

void setFieldMode(std::vector<uint8_t>& dif, const DvFormatInfo& info)
{
    for (size_t i = 0; i < dif.size(); i += kDifBlockBytes)
        if (isVideoByte(info, i))
            dif[i + 5] |= 0x40; // DCT mode bit of block 0
}

// FFmpeg's messages while decoding, without the progress-type notes.
std::string ffmpegDecode(const std::string& in, const std::string& filter, const std::string& out)
{
    const CommandResult r = runCommand("ffmpeg -nostdin -hide_banner -loglevel warning -y -f dv -i " + shellQuote(in) +
                                       filter + " -f rawvideo -pix_fmt yuv422p " + shellQuote(out));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string messages;
    size_t start = 0;
    while (start < r.err.size()) {
        size_t end = r.err.find('\n', start);
        if (end == std::string::npos)
            end = r.err.size();
        std::string line = r.err.substr(start, end - start);
        if (const size_t bracket = line.find("] "); bracket != std::string::npos)
            line = line.substr(bracket + 2); // drop the "[dv @ 0x...]" prefix
        if (!line.empty() && line.find("Estimating duration") == std::string::npos)
            messages += line + "\n";
        start = end + 1;
    }
    return messages;
}

std::vector<uint8_t> frameOf(const std::vector<uint8_t>& dif, const DvFormatInfo& info, int f)
{
    const auto begin = dif.begin() + static_cast<ptrdiff_t>(f) * info.bytesPerFrame;
    return {begin, begin + info.bytesPerFrame};
}

class RotateOracle : public ::testing::TestWithParam<RotateCase> {};

TEST_P(RotateOracle, FfmpegSeesTheTurnedPicture)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const RotateCase c = GetParam();
    const DvFormatInfo& info = *dvFormatInfo(c.code);
    const auto dir = scratchDir(std::string("rotate_oracle_") + c.name);
    const std::string src = (dir / "src.yuv").string(), in = (dir / "in.dif").string(),
                      out = (dir / "out.dif").string();
    ASSERT_EQ(runCommand("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=s=960x720:r=" + std::string(c.rate) +
                         " -vf noise=alls=6:allf=t -frames:v " + std::to_string(kFrames) +
                         " -pix_fmt yuv422p -f rawvideo " + shellQuote(src))
                  .exitCode,
              0);
    if (c.source == Source::Ffmpeg) {
        ASSERT_EQ(runCommand("ffmpeg -nostdin -loglevel error -y -f rawvideo -pix_fmt yuv422p -s 960x720 -r " +
                             std::string(c.rate) + " -i " + shellQuote(src) + " -c:v dvvideo -f rawvideo " +
                             shellQuote(in))
                      .exitCode,
                  0);
    } else {
        std::string picture = src;
        if (c.source == Source::OursField) {
            picture = (dir / "fields.yuv").string();
            writeBytes(picture, toFieldBands(readBytes(src)));
        }
        const CommandResult enc = runVorn("codec dv-encode --format " + std::to_string(c.code) +
                                          " --timecode 01:00:00:00 " + shellQuote(picture) + " " + shellQuote(in));
        ASSERT_EQ(enc.exitCode, 0) << enc.err;
        if (c.source == Source::OursField) {
            auto dif = readBytes(in);
            setFieldMode(dif, info);
            writeBytes(in, dif);
        }
    }

    const CommandResult rot = runVorn("codec rotate --format " + std::to_string(c.code) + " " + shellQuote(in) +
                                      " " + shellQuote(out));
    ASSERT_EQ(rot.exitCode, 0) << rot.err;
    const auto source = readBytes(in), rotated = readBytes(out);
    ASSERT_EQ(rotated.size(), source.size());
    ASSERT_EQ(source.size(), static_cast<size_t>(info.bytesPerFrame) * kFrames);
    for (size_t i = 0; i < source.size(); ++i) {
        if (!isVideoByte(info, i)) {
            ASSERT_EQ(rotated[i], source[i]) << "byte " << i << " outside the video blocks";
        }
    }

    // FFmpeg: the rotated stream decodes with no message the source does not
    // cause too, into the source's picture turned by 180 degrees.
    const std::string turned = (dir / "turned.yuv").string(), decoded = (dir / "decoded.yuv").string();
    const std::string sourceMessages = ffmpegDecode(in, " -vf hflip,vflip", turned);
    EXPECT_EQ(ffmpegDecode(out, "", decoded), sourceMessages);
    const double psnr = lumaPsnr(readBytes(decoded), readBytes(turned));
    RecordProperty("psnr_y", std::to_string(psnr));
    std::printf("%s: luma PSNR of the rotated stream against the turned source %.2f dB\n", c.name, psnr);
    EXPECT_GE(psnr, 40.0);

    // Our decoder: without field macroblocks nothing is requantised, so the
    // rotated frame decodes exactly to the turned source, and turning twice
    // gives the source's picture back.
    if (c.source != Source::OursField) {
        InitCodecTables();
        for (int f = 0; f < kFrames; ++f) {
            PictureBuffer expect, got;
            ASSERT_TRUE(decodeDifFrame(frameOf(source, info, f), c.code, expect, {.rotate = true}));
            ASSERT_TRUE(decodeDifFrame(frameOf(rotated, info, f), c.code, got));
            ASSERT_EQ(got.bytes, expect.bytes) << "frame " << f;
        }
        const std::string back = (dir / "back.dif").string();
        ASSERT_EQ(runVorn("codec rotate --format " + std::to_string(c.code) + " " + shellQuote(out) + " " +
                          shellQuote(back))
                      .exitCode,
                  0);
        const auto twice = readBytes(back);
        for (int f = 0; f < kFrames; ++f) {
            PictureBuffer expect, got;
            ASSERT_TRUE(decodeDifFrame(frameOf(source, info, f), c.code, expect));
            ASSERT_TRUE(decodeDifFrame(frameOf(twice, info, f), c.code, got));
            ASSERT_EQ(got.bytes, expect.bytes) << "frame " << f;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, RotateOracle,
                         ::testing::Values(RotateCase{2, "60000/1001", Source::Ffmpeg, "ffmpeg_720p60"},
                                           RotateCase{4, "50", Source::Ffmpeg, "ffmpeg_720p50"},
                                           RotateCase{2, "60000/1001", Source::Ours, "ours_720p60"},
                                           RotateCase{4, "50", Source::OursField, "ours_field_720p50"},
                                           RotateCase{2, "60000/1001", Source::OursField, "ours_field_720p60"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vorn::dv
