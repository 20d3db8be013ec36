// Re-encoding paths of the export checked through FFmpeg: 3:2 pulldown
// removal from real telecined material (FFmpeg's telecine filter over
// progressive pictures) must give back the progressive pictures.
#include "avci/AvcDecoder.h"
#include "engine/ExportResult.h"
#include "engine/FramePreview.h"
#include "engine/VideoFormat.h"
#include "engine/helpers/ExportHarness.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;

// Splits a raw DV stream into frames of `frameBytes`.
std::vector<std::vector<uint8_t>> splitFrames(const std::vector<uint8_t>& stream, size_t frameBytes)
{
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + frameBytes <= stream.size(); at += frameBytes)
        frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                            stream.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
    return frames;
}

// The video frames of a written clip, concatenated.
std::vector<uint8_t> clipVideoStream(const fs::path& video)
{
    CMxfFile file(video.string().c_str());
    std::vector<uint8_t> out;
    if (file.ReadHeaders() != 1)
        return out;
    std::vector<uint8_t> buffer(static_cast<size_t>(vorn::kMaxFrameBufferBytes));
    for (int64_t i = 0; i < file.FrameCount(); ++i) {
        const int got = file.ReadFrame(buffer, i);
        out.insert(out.end(), buffer.begin(), buffer.begin() + std::max(got, 0));
    }
    return out;
}

// Luma PSNR of two planar 4:2:2 frames of w x h.
double lumaPsnr(const uint8_t* a, const uint8_t* b, int w, int h)
{
    double sum = 0;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    for (size_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(n);
    return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

struct TelecineCase {
    const char* name;
    int32_t format;
    int width, height;
    const char* firstField;   // telecine's first field
    const char* fieldOrder;   // setfield value
};

TEST(ExportReencode, Removal32GivesBackTheProgressivePictures)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const TelecineCase cases[] = {
        {"DVCPRO HD 1080i59.94", 1, 1280, 1080, "top", "tff"},
        {"DVCPRO50 NTSC", 8, 720, 480, "bottom", "bff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir(std::string("reencode_32_") + std::to_string(c.format));
        std::ostringstream sizeText;
        sizeText << c.width << "x" << c.height;
        const std::string size = sizeText.str();
        const fs::path orig = dir / "orig.yuv", tele = dir / "tele.dv";
        // Eight progressive pictures whose every line changes from picture to
        // picture, so that a field from the wrong picture shows.
        std::ostringstream make, telecine;
        make << "ffmpeg -v error -y -f lavfi -i \"nullsrc=s=" << size
             << ":r=24000/1001,format=yuv422p,geq=lum='mod(X/2+Y/3+N*40\\,220)+16':cb=128:cr=128\" "
             << "-frames:v 8 -f rawvideo " << shellQuote(orig.string());
        auto r = runCommand(make.str());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        telecine << "ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s " << size << " -r 24000/1001 -i "
                 << shellQuote(orig.string()) << " -vf telecine=first_field=" << c.firstField
                 << ":pattern=23,setfield=" << c.fieldOrder << " -c:v dvvideo -flags +ilme+ildct -f dv "
                 << shellQuote(tele.string());
        r = runCommand(telecine.str());
        ASSERT_EQ(r.exitCode, 0) << r.err;

        P2Clip clip = p2Clip(c.format, 10);
        clip.frameData = splitFrames(readBytes(tele), static_cast<size_t>(vorn::dvFrameBytes(c.format)));
        ASSERT_EQ(clip.frameData.size(), 10u);
        setBinaryGroup(clip, 24, 8);
        // Telecine pattern 23 gives A/A, B/B, B/C, C/D, D/D: frames 2 and 3 mix fields.
        const uint8_t cadence[5] = {2, 2, 1, 1, 0};
        clip.frameHook = [&cadence](int64_t index, std::vector<uint8_t>& frame) {
            frame[119] = static_cast<uint8_t>((frame[119] & ~3u) | cadence[index % 5]);
            frame[122] = binaryGroupCheck(frame[119], frame[120], frame[121]);
        };
        const auto files = writeP2Card(dir / "SRC", {clip});
        const auto before = treeSnapshot(dir / "SRC");

        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) {
            s.removePulldown = true;
            s.options.emplace("Remove32", "1");
        });
        ASSERT_EQ(run.results.size(), 1u);
        const auto& res = run.results[0];
        EXPECT_EQ(res.outcome, vorn::ClipOutcome::Complete) << run.log;
        EXPECT_EQ(res.removal, "3:2");
        EXPECT_EQ(res.framesWritten, 8);
        EXPECT_EQ(res.rateNum, 24000);
        EXPECT_EQ(treeSnapshot(dir / "SRC"), before);

        const fs::path outDv = dir / "out.dv", outYuv = dir / "out.yuv";
        writeBytes(outDv, clipVideoStream(dir / "OUT" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF"));
        std::ostringstream decode;
        decode << "ffmpeg -v error -y -f dv -i " << shellQuote(outDv.string()) << " -f rawvideo -pix_fmt yuv422p "
               << shellQuote(outYuv.string());
        r = runCommand(decode.str());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const auto want = readBytes(orig), got = readBytes(outYuv);
        const size_t frameBytes = static_cast<size_t>(c.width) * static_cast<size_t>(c.height) * 2;
        ASSERT_EQ(got.size(), 8 * frameBytes);
        for (size_t i = 0; i < 8; ++i) {
            const double psnr = lumaPsnr(want.data() + i * frameBytes, got.data() + i * frameBytes, c.width, c.height);
            EXPECT_GT(psnr, 32.0) << "picture " << i;
        }
    }
}

} // namespace

namespace {

// Keeps what the pipeline showed.
class RecordingPreview : public vorn::FramePreview {
public:
    struct Shown {
        int format, width, height, scale, window;
    };
    void ShowFrame(const vorn::dv::PictureBuffer& picture, VideoFormat format, int scale, int window) override
    {
        shown.push_back({format, picture.width, picture.height, scale, window});
    }
    std::vector<Shown> shown;
};

// An AVC-Intra 100 720p50 clip re-encoded (noise reduction) cannot stay
// AVC-Intra: it becomes 720p50 DVCPRO HD, says so, and shows its pictures.
TEST(ExportReencode, AvcIntraReencodedBecomesDvcproHd)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("x264");
    const fs::path dir = scratchDir("reencode_avci");
    auto sh = [&dir](const std::string& cmd) {
        const auto r = runCommand("cd " + shellQuote(dir.string()) + " && " + cmd);
        EXPECT_EQ(r.exitCode, 0) << cmd << "\n" << r.err;
    };
    sh("ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=1280x720:r=50 -frames:v 3 -pix_fmt yuv422p10le -strict -1 "
       "-f yuv4mpegpipe a.y4m");
    sh("x264 --quiet --threads 1 --avcintra-class 100 --output-csp i422 --output-depth 10 --fps 50 -o a.264 a.y4m "
       "2>/dev/null");
    sh("ffmpeg -loglevel error -y -i a.264 -vf scale=960:720 -f rawvideo -pix_fmt yuv422p ref.yuv");
    const auto stream = readBytes(dir / "a.264");
    P2Clip clip = p2Clip(43, 3);
    for (const auto& [offset, size] : vorn::avci::splitAccessUnits(stream.data(), stream.size()))
        clip.frameData.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                                    stream.begin() + static_cast<std::ptrdiff_t>(offset + size));
    ASSERT_EQ(clip.frameData.size(), 3u);
    clip.writeBinaryGroup = false;   // P2's record would land inside x264's parameter sets
    const auto files = writeP2Card(dir / "SRC", {clip});
    const auto before = treeSnapshot(dir / "SRC");

    RecordingPreview preview;
    const ExportRun run = exportPaths(
        {files[0].video.string()}, dir / "OUT",
        [](ExportSettings& s) {
            s.desiredRate = 50.0f;
            s.options.emplace("ReduceNoise", "1");
            s.options.emplace("ShowFrames", "1");
            s.options.emplace("FrameScale", "Quarter scale");
        },
        [&preview](CVorn& engine, RecordingCaller&) { engine.SetPreview(&preview); });
    ASSERT_EQ(run.results.size(), 1u);
    const auto& r = run.results[0];
    EXPECT_EQ(r.outcome, vorn::ClipOutcome::Complete) << run.log;
    EXPECT_EQ(r.targetFormat, 4);
    EXPECT_EQ(r.framesWritten, 3);
    const size_t redirect =
        run.log.find("Vorn cannot encode AVC-Intra; the frames will be written as 720-line DVCPROHD\r\n");
    EXPECT_NE(redirect, std::string::npos) << run.log;
    EXPECT_LT(redirect, run.log.find("Dest:"));
    EXPECT_EQ(treeSnapshot(dir / "SRC"), before);

    // Decoded pictures at the AVC-Intra raster, processed ones at DVCPRO HD's.
    ASSERT_EQ(preview.shown.size(), 6u);
    for (size_t i = 0; i < preview.shown.size(); ++i) {
        const auto& s = preview.shown[i];
        const bool decoded = i % 2 == 0;
        EXPECT_EQ(s.window, decoded ? vorn::FramePreview::kDecoded : vorn::FramePreview::kProcessed);
        EXPECT_EQ(s.format, decoded ? 43 : 4);
        EXPECT_EQ(s.width, decoded ? 1280 : 960);
        EXPECT_EQ(s.height, 720);
        EXPECT_EQ(s.scale, 4);
    }

    // FFmpeg's decode of the output is FFmpeg's decode of the source, scaled.
    std::vector<uint8_t> dv;
    {
        CMxfFile out((dir / "OUT" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF").string().c_str());
        ASSERT_EQ(out.ReadHeaders(), 1);
        EXPECT_EQ(out.VideoFormat(), 4);
        std::vector<uint8_t> frame(288000);
        for (int64_t i = 0; i < out.FrameCount(); ++i) {
            const int got = out.ReadFrame(frame, i);
            dv.insert(dv.end(), frame.begin(), frame.begin() + std::max(got, 0));
        }
    }
    writeBytes(dir / "out.dv", dv);
    sh("ffmpeg -v error -y -f dv -i out.dv -f rawvideo -pix_fmt yuv422p out.yuv");
    const auto want = readBytes(dir / "ref.yuv"), got = readBytes(dir / "out.yuv");
    const size_t frameBytes = 960 * 720 * 2;
    ASSERT_EQ(got.size(), 3 * frameBytes);
    ASSERT_EQ(want.size(), 3 * frameBytes);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_GT(lumaPsnr(want.data() + i * frameBytes, got.data() + i * frameBytes, 960, 720), 28.0) << i;
}

} // namespace
