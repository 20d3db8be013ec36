// Op-atom files written by another writer (FFmpeg) are read with the right
// format, frame count, rate and frame bytes, and described sensibly.
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <cmath>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

void run(const std::string& command)
{
    const auto r = runCommand(command);
    ASSERT_EQ(r.exitCode, 0) << command << "\n" << r.err;
}

struct DvCase {
    const char* size;
    const char* pixFmt;
    const char* rate;
    int32_t code;
    int32_t frameBytes;
    const char* displayName;
};

TEST(ReaderOracle, FfmpegDvOpAtomFiles)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const DvCase cases[] = {
        {"720x480", "yuv411p", "30000/1001", 10, 120000, "DV25 NTSC      "},
        {"720x576", "yuv422p", "25", 7, 288000, "DV50 PAL       "},
        {"960x720", "yuv422p", "60000/1001", 2, 240000, "HD 720p60      "},
    };
    const auto dir = scratchDir("dv");
    const int frames = 4;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto dif = dir / (std::to_string(c.code) + ".dif");
        const auto mxf = dir / ("DV" + std::to_string(c.code) + ".MXF");
        ASSERT_NO_FATAL_FAILURE(run("ffmpeg -v error -y -f lavfi -i testsrc2=s=" + std::string(c.size) + ":r=" + c.rate +
                                    " -frames:v " + std::to_string(frames) + " -pix_fmt " + c.pixFmt +
                                    " -c:v dvvideo -f rawvideo " + shellQuote(dif.string())));
        ASSERT_NO_FATAL_FAILURE(run("ffmpeg -v error -y -f dv -i " + shellQuote(dif.string()) +
                                    " -c copy -f mxf_opatom " + shellQuote(mxf.string())));

        CMxfFile f(mxf.c_str());
        ASSERT_EQ(f.ReadHeaders(), 1);
        EXPECT_EQ(f.VideoFormat(), c.code);
        EXPECT_EQ(f.FrameCount(), frames);
        EXPECT_EQ(f.FrameSize(), c.frameBytes);
        int num = 0, den = 1;
        std::sscanf(c.rate, "%d/%d", &num, &den);
        EXPECT_NEAR(f.EditRate(), static_cast<double>(num) / den, 1e-3);

        const auto stream = readBytes(dif);
        ASSERT_EQ(stream.size(), static_cast<size_t>(frames) * c.frameBytes);
        std::vector<uint8_t> buffer(static_cast<size_t>(c.frameBytes));
        for (int n = 0; n < frames; ++n) {
            ASSERT_EQ(f.ReadFrame(buffer, n), c.frameBytes);
            EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(n) * c.frameBytes)) << n;
        }
        EXPECT_EQ(f.ReadFrame(buffer, frames), 0);
        f.Close();

        const auto d = runVorn("describe " + shellQuote(mxf.string()));
        EXPECT_EQ(d.exitCode, 0);
        EXPECT_NE(d.out.find("\nDV" + std::to_string(c.code) + ",\t" + c.displayName + "\t0 min 0 sec,\t"), std::string::npos) << d.out;
    }
}

TEST(ReaderOracle, FfmpegAvcIntraOpAtomFile)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("x264");
    const auto dir = scratchDir("avc");
    const auto y4m = dir / "src.y4m";
    const auto h264 = dir / "c100.264";
    const auto mxf = dir / "AVCI.MXF";
    const int frames = 3;
    ASSERT_NO_FATAL_FAILURE(run("ffmpeg -v error -y -f lavfi -i testsrc2=s=1280x720:r=60000/1001 -frames:v " +
                                std::to_string(frames) + " -pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe " + shellQuote(y4m.string())));
    ASSERT_NO_FATAL_FAILURE(run("x264 --quiet --avcintra-class 100 --output-csp i422 --output-depth 10 --fps 60000/1001 -o " +
                                shellQuote(h264.string()) + " " + shellQuote(y4m.string())));
    ASSERT_NO_FATAL_FAILURE(run("ffmpeg -v error -y -framerate 60000/1001 -i " + shellQuote(h264.string()) +
                                " -c copy -f mxf_opatom " + shellQuote(mxf.string())));

    CMxfFile f(mxf.c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    EXPECT_EQ(f.VideoFormat(), 42);  // AVC-Intra 100 720p60
    EXPECT_EQ(f.Height(), 720);
    EXPECT_EQ(f.FrameCount(), frames);
    EXPECT_NEAR(f.EditRate(), 60000.0 / 1001.0, 1e-3);
    const auto stream = readBytes(h264);
    ASSERT_EQ(stream.size() % frames, 0u);
    const int frameBytes = static_cast<int>(stream.size() / frames);
    EXPECT_EQ(f.FrameSize(), frameBytes);
    EXPECT_EQ(f.LaterFrameSize(), frameBytes);
    std::vector<uint8_t> buffer(static_cast<size_t>(frameBytes));
    std::vector<uint8_t> all;
    for (int n = 0; n < frames; ++n) {
        ASSERT_EQ(f.ReadFrame(buffer, n), frameBytes);
        all.insert(all.end(), buffer.begin(), buffer.end());
    }
    EXPECT_EQ(all, stream);
    EXPECT_EQ(f.ReadFrame(buffer, frames), 0);
    f.Close();

    const auto d = runVorn("describe " + shellQuote(mxf.string()));
    EXPECT_EQ(d.exitCode, 0);
    EXPECT_NE(d.out.find("\nAVCI,\tAVCI 100 720p60 \t0 min 0 sec,\t"), std::string::npos) << d.out;
}

// The test clip writer's files are MXF that an independent reader takes as such.
TEST(ReaderOracle, FixtureFilesReadByFfprobe)
{
    VORN_REQUIRE_TOOL("ffprobe");
    P2Clip dv = p2Clip(2, 12, "0001DV");
    P2Clip avc = p2Clip(39, 5, "0002AV");
    avc.audioChannels = 0;
    const auto files = writeP2Card(scratchDir("card"), {dv, avc});
    auto probe = [](const fs::path& file) {
        const auto r = runCommand("ffprobe -v quiet -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,duration_ts -of compact=nk=0 " +
                                  shellQuote(file.string()));
        EXPECT_EQ(r.exitCode, 0) << file;
        return r.out;
    };
    EXPECT_EQ(probe(files[0].video), "stream|codec_name=dvvideo|width=1280|height=720|r_frame_rate=60000/1001|duration_ts=12\n");
    EXPECT_EQ(probe(files[1].video), "stream|codec_name=h264|width=1920|height=1080|r_frame_rate=25/1|duration_ts=5\n");
    EXPECT_EQ(probe(files[0].audio[1]), "stream|codec_name=pcm_s16le|sample_rate=48000|r_frame_rate=0/0|duration_ts=" +
                                            std::to_string(audioSamples(dv)) + "\n");
}

} // namespace
