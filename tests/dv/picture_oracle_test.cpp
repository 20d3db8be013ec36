// Picture processing against FFmpeg: `vorn codec process` format changes vs
// FFmpeg's bilinear scale (the arithmetic differs, the geometry must not: edge
// positions and PSNR), its rotation vs hflip,vflip, and AVC-Intra pictures
// converted to the packed layout vs FFmpeg's own 8-bit conversion.
#include "avci/AvcDecoder.h"
#include "dv/PictureProcessing.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vorn::dv {
namespace {

using namespace vorn::test;

void sh(const std::filesystem::path& dir, const std::string& cmd)
{
    const CommandResult r = runCommand("cd " + shellQuote(dir.string()) + " && " + cmd);
    ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.err;
}

double psnr(const uint8_t* a, const uint8_t* b, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += (a[i] - b[i]) * double(a[i] - b[i]);
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(n) / sum);
}

// Position (in samples, to a fraction) where a run of samples first crosses
// `level` going from `from` on; -1 when it never does.
double crossing(const std::vector<double>& v, size_t from, double level)
{
    for (size_t i = from + 1; i < v.size(); ++i) {
        const double a = v[i - 1] - level, b = v[i] - level;
        if ((a < 0) != (b < 0))
            return double(i - 1) + a / (a - b);
    }
    return -1;
}

struct ScaleCase {
    const char* name;
    VideoFormat source, target;
    bool crop;
};

const ScaleCase kScaleCases[] = {
    {"DV25 NTSC to 1080i60 HD", 10, 1, false},
    {"1080i60 HD to DV25 NTSC", 1, 10, false},
    {"DV25 PAL 16:9 band to 1080i50 HD", 9, 3, true},
    {"AVC-Intra 100 1080 to 720p HD", 38, 2, false},
    {"DV50 NTSC 16:9 band to 720p HD", 8, 2, true},
};

// FFmpeg's filter for a case: the crop band first, then the bilinear scale.
std::string ffmpegFilter(const ScaleCase& c)
{
    const PictureRaster s = pictureRaster(c.source), t = pictureRaster(c.target);
    std::string vf;
    if (c.crop) {
        const LineBand band = formatChangeBand(c.source, true);
        vf = "crop=" + std::to_string(s.width) + ":" + std::to_string(band.count) + ":0:" + std::to_string(band.first) + ",";
    }
    return vf + "scale=" + std::to_string(t.width) + ":" + std::to_string(t.height) + ":flags=bilinear";
}

std::string rawInput(const PictureRaster& r)
{
    return "-f rawvideo -pix_fmt yuv422p -s " + std::to_string(r.width) + "x" + std::to_string(r.height) + " -i ";
}

TEST(PictureOracle, FormatChangeHasFfmpegsGeometry)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const auto dir = scratchDir("picture_oracle_scale");
    for (const ScaleCase& c : kScaleCases) {
        SCOPED_TRACE(c.name);
        const PictureRaster s = pictureRaster(c.source), t = pictureRaster(c.target);
        const std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
        // Picture 0: a light box on a dark ground (edges to locate); picture 1: FFmpeg's test picture.
        const int bx0 = s.width / 4, bx1 = s.width * 3 / 4, by0 = s.height / 3, by1 = s.height * 2 / 3;
        sh(dir, "ffmpeg -loglevel error -y -f lavfi -i color=c=0x202020:s=" + size +
                    ":d=1,format=yuv422p -f lavfi -i color=c=0xe0e0e0:s=" + std::to_string(bx1 - bx0) + "x" +
                    std::to_string(by1 - by0) + ":d=1,format=yuv422p -filter_complex overlay=" + std::to_string(bx0) +
                    ":" + std::to_string(by0) + " -frames:v 1 -f rawvideo box.yuv");
        sh(dir, "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=" + size +
                    " -frames:v 1 -pix_fmt yuv422p -f rawvideo pattern.yuv && cat box.yuv pattern.yuv > in.yuv");
        const CommandResult r = runVorn("codec process --format " + std::to_string(c.source) + " --target " +
                                        std::to_string(c.target) + (c.crop ? " --crop" : "") + " " +
                                        shellQuote((dir / "in.yuv").string()) + " " + shellQuote((dir / "ours.yuv").string()));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        sh(dir, "ffmpeg -loglevel error -y " + rawInput(s) + "in.yuv -vf " + ffmpegFilter(c) +
                    " -f rawvideo -pix_fmt yuv422p ref.yuv");
        const auto ours = readBytes(dir / "ours.yuv"), ref = readBytes(dir / "ref.yuv");
        const size_t frame = t.bytes();
        ASSERT_EQ(ours.size(), 2 * frame);
        ASSERT_EQ(ref.size(), 2 * frame);

        // Box edges along the middle row and the middle column, in output samples.
        const size_t W = size_t(t.width), H = size_t(t.height);
        const double level = (0x20 + 0xe0) / 2.0 * 219 / 255 + 16; // about the middle luma of the two levels
        auto row = [&](const std::vector<uint8_t>& p) {
            std::vector<double> v(W);
            for (size_t x = 0; x < W; ++x) v[x] = p[H / 2 * W + x];
            return v;
        };
        auto column = [&](const std::vector<uint8_t>& p) {
            std::vector<double> v(H);
            for (size_t y = 0; y < H; ++y) v[y] = p[y * W + W / 2];
            return v;
        };
        const auto ro = row(ours), rr = row(ref), co = column(ours), cr = column(ref);
        const double edges[4][2] = {
            {crossing(ro, 0, level), crossing(rr, 0, level)},
            {crossing(ro, size_t(crossing(ro, 0, level)) + 1, level), crossing(rr, size_t(crossing(rr, 0, level)) + 1, level)},
            {crossing(co, 0, level), crossing(cr, 0, level)},
            {crossing(co, size_t(crossing(co, 0, level)) + 1, level), crossing(cr, size_t(crossing(cr, 0, level)) + 1, level)},
        };
        for (const auto& e : edges) {
            EXPECT_GT(e[1], 0);
            EXPECT_NEAR(e[0], e[1], 1.0) << "edge at " << e[1];
        }
        // The test picture: close to FFmpeg's scale (the sampling grids differ by under half a sample).
        const double lumaPsnr = psnr(ours.data() + frame, ref.data() + frame, W * H);
        const double chromaPsnr = psnr(ours.data() + frame + W * H, ref.data() + frame + W * H, W * H);
        EXPECT_GT(lumaPsnr, 34.0);
        EXPECT_GT(chromaPsnr, 25.0);
        std::printf("  %-36s edges %.2f/%.2f %.2f/%.2f %.2f/%.2f %.2f/%.2f  PSNR Y %.1f C %.1f dB\n", c.name,
                    edges[0][0], edges[0][1], edges[1][0], edges[1][1], edges[2][0], edges[2][1], edges[3][0],
                    edges[3][1], lumaPsnr, chromaPsnr);
    }
}

TEST(ProcessCli, UsageAndInputErrors)
{
    const auto dir = scratchDir("process_cli_errors");
    const std::string in = (dir / "in.yuv").string(), out = (dir / "out.yuv").string();
    writeBytes(in, std::vector<uint8_t>(720 * 480 * 2 + 100, 128));
    struct Case {
        std::string args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"--format 11", 2, "--format"},
        {"--format 10 --target 44", 2, "--target"},
        {"--format 7", 1, "no complete picture"},
        {"--format 10 --target 1", 0, "short"},
    };
    for (const Case& c : cases) {
        const CommandResult r = runVorn("codec process " + c.args + " " + shellQuote(in) + " " + shellQuote(out));
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    }
    EXPECT_EQ(readBytes(out).size(), pictureRaster(1).bytes());
    const CommandResult missing = runVorn("codec process --format 10 " + shellQuote(in + ".none") + " " + shellQuote(out));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

TEST(PictureOracle, RotationAndNoiseOffMatchFfmpeg)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const auto dir = scratchDir("picture_oracle_rotate");
    for (const VideoFormat code : {10, 1}) {
        const PictureRaster r = pictureRaster(code);
        const std::string size = std::to_string(r.width) + "x" + std::to_string(r.height);
        sh(dir, "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=" + size +
                    ":r=25 -vf noise=alls=8:allf=t -frames:v 2 -pix_fmt yuv422p -f rawvideo in.yuv");
        sh(dir, "ffmpeg -loglevel error -y " + rawInput(r) + "in.yuv -vf hflip,vflip -f rawvideo -pix_fmt yuv422p turned.yuv");
        const std::string io = " " + shellQuote((dir / "in.yuv").string()) + " " + shellQuote((dir / "out.yuv").string());
        CommandResult res = runVorn("codec process --format " + std::to_string(code) + " --rotate" + io);
        ASSERT_EQ(res.exitCode, 0) << res.err;
        EXPECT_EQ(readBytes(dir / "out.yuv"), readBytes(dir / "turned.yuv")) << code;
        res = runVorn("codec process --format " + std::to_string(code) + io);
        ASSERT_EQ(res.exitCode, 0) << res.err;
        EXPECT_EQ(readBytes(dir / "out.yuv"), readBytes(dir / "in.yuv")) << code;
        // With noise reduction the first picture passes unchanged, the second is filtered.
        res = runVorn("codec process --noise --format " + std::to_string(code) + io);
        ASSERT_EQ(res.exitCode, 0) << res.err;
        const auto in = readBytes(dir / "in.yuv"), out = readBytes(dir / "out.yuv");
        ASSERT_EQ(out.size(), in.size());
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + std::ptrdiff_t(r.bytes()), out.begin()));
        EXPECT_FALSE(std::equal(in.begin() + std::ptrdiff_t(r.bytes()), in.end(), out.begin() + std::ptrdiff_t(r.bytes())));
    }
}

TEST(PictureOracle, AvcIntraPicturesToPackedMatchFfmpegs8BitConversion)
{
    if (!haveTool("ffmpeg") || !haveTool("x264")) {
        VORN_REQUIRE_TOOL("ffmpeg");
        VORN_REQUIRE_TOOL("x264");
    }
    struct Case {
        const char* name;
        int avcClass, width, height;
        const char* fps;
        VideoFormat code;
    };
    const Case cases[] = {{"AVC-Intra 100 1080p25", 100, 1920, 1080, "25", 41},
                          {"AVC-Intra 50 720p50", 50, 960, 720, "50", 37}};
    const auto dir = scratchDir("picture_oracle_avci");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool is422 = c.avcClass == 100;
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        const std::string pix8 = is422 ? "yuv422p" : "yuv420p";
        sh(dir, "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=" + size +
                    ":r=25 -vf noise=alls=6:allf=t -frames:v 1 -pix_fmt " + (is422 ? "yuv422p10le" : "yuv420p10le") +
                    " -strict -1 -f yuv4mpegpipe src.y4m");
        sh(dir, "x264 --quiet --threads 1 --avcintra-class " + std::to_string(c.avcClass) + " --output-csp " +
                    (is422 ? "i422" : "i420") + " --output-depth 10 --fps " + c.fps + " -o a.264 src.y4m 2>/dev/null");
        sh(dir, "ffmpeg -loglevel error -y -i a.264 -f rawvideo -pix_fmt " + pix8 + " ref.yuv");
        sh(dir, "ffmpeg -loglevel error -y -i a.264 -vf hflip,vflip -f rawvideo -pix_fmt " + pix8 + " turned.yuv");
        const auto stream = readBytes(dir / "a.264");
        std::vector<uint8_t> decoded(size_t(1920) * 1088 * 4);
        avci::AvcDecoder decoder;
        ASSERT_TRUE(decoder.decode(stream.data(), stream.size(), c.code, decoded.data(), decoded.size()).ok());
        ASSERT_EQ(decoder.lastFrame().width, c.width);

        for (const bool rotate : {false, true}) {
            SCOPED_TRACE(rotate ? "rotated" : "upright");
            const auto ref = readBytes(dir / (rotate ? "turned.yuv" : "ref.yuv"));
            std::vector<uint8_t> packed(pictureRaster(c.code).bytes());
            ASSERT_EQ(pictureRaster(c.code).width, c.width);
            ASSERT_TRUE(ConvertPlanarPicture(reinterpret_cast<const uint16_t*>(decoded.data()), packed.data(), c.width,
                                             c.height, rotate, c.code));
            // Compare picture line y (bottom-up rows; top-down when rotated, as the turn's vertical half)
            // with FFmpeg's planes. FFmpeg dithers its 10-to-8-bit conversion: at most 1 apart, no bias.
            const size_t W = size_t(c.width), H = size_t(c.height);
            const uint8_t* y8 = ref.data();
            const uint8_t* cb8 = y8 + W * H;
            const size_t chromaRows = is422 ? H : H / 2;
            const uint8_t* cr8 = cb8 + W / 2 * chromaRows;
            ASSERT_EQ(ref.size(), W * H + W * chromaRows);
            long hist[3] = {0, 0, 0};
            long worse = 0;
            auto count = [&](int ours, int theirs) {
                const int d = ours - theirs;
                if (d < -1 || d > 1)
                    ++worse;
                else
                    ++hist[d + 1];
            };
            for (size_t line = 0; line < H; ++line) {
                // With rotation the picture is turned: its line `line` (from the top) is buffer row H - 1 - line.
                const uint8_t* row = packed.data() + 2 * W * (H - 1 - line);
                const uint8_t* cb = cb8 + (is422 ? line : line / 2) * (W / 2);
                const uint8_t* cr = cr8 + (is422 ? line : line / 2) * (W / 2);
                for (size_t x = 0; x < W; ++x) {
                    count(row[2 * x], y8[line * W + x]);
                    if (!is422 && (line & 1))
                        continue; // 4:2:0: the line pair shares one chroma row
                    count(row[2 * x + 1], (x & 1) ? cr[x / 2] : cb[x / 2]);
                }
            }
            EXPECT_EQ(worse, 0);
            const double total = double(hist[0] + hist[1] + hist[2]);
            EXPECT_GT(hist[1] / total, 0.6);
            EXPECT_LT(std::abs(double(hist[2] - hist[0])) / total, 0.2);
        }
    }
}

} // namespace
} // namespace vorn::dv
