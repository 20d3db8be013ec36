// Re-encoding paths of the export checked through FFmpeg: 3:2 pulldown
// removal from real telecined material (FFmpeg's telecine filter over
// progressive pictures) must give back the progressive pictures.
#include "avci/AvcDecoder.h"
#include "engine/BGinfo.h"
#include "engine/ExportResult.h"
#include "engine/FramePreview.h"
#include "engine/VideoFormat.h"
#include "engine/helpers/ExportHarness.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "foundation/WorkerPool.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
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

struct Raster {
    int32_t format;
    int width, height;
    const char* firstField;   // telecine's first field
    const char* fieldOrder;   // setfield value
};

const Raster kHd1080{1, 1280, 1080, "top", "tff"};
const Raster kNtsc50{8, 720, 480, "bottom", "bff"};

// Twelve progressive pictures whose every line changes from picture to
// picture (so that a field from the wrong picture shows), the DV frames of
// their 3:2 telecine (15), and the pictures coded as DV frames one by one.
struct Media {
    std::vector<uint8_t> orig;                  // planar 4:2:2 pictures
    std::vector<std::vector<uint8_t>> telecined;
    std::vector<std::vector<uint8_t>> progressive;
};

const Media& media(const Raster& r)
{
    static std::map<int32_t, Media> made;
    if (made.count(r.format))
        return made[r.format];
    Media& m = made[r.format];
    const fs::path dir = scratchDir("reencode_media_" + std::to_string(r.format));
    std::ostringstream size;
    size << r.width << "x" << r.height;
    const fs::path orig = dir / "orig.yuv", tele = dir / "tele.dv", prog = dir / "prog.dv";
    std::ostringstream make, telecine, coded;
    make << "ffmpeg -v error -y -f lavfi -i \"nullsrc=s=" << size.str()
         << ":r=24000/1001,format=yuv422p,geq=lum='mod(X/2+Y/3+N*40\\,220)+16':cb=128:cr=128\" "
         << "-frames:v 12 -f rawvideo " << shellQuote(orig.string());
    telecine << "ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s " << size.str() << " -r 24000/1001 -i "
             << shellQuote(orig.string()) << " -vf telecine=first_field=" << r.firstField
             << ":pattern=23,setfield=" << r.fieldOrder << " -c:v dvvideo -flags +ilme+ildct -f dv "
             << shellQuote(tele.string());
    coded << "ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s " << size.str() << " -r 30000/1001 -i "
          << shellQuote(orig.string()) << " -c:v dvvideo -f dv " << shellQuote(prog.string());
    for (const auto& cmd : {make.str(), telecine.str(), coded.str()}) {
        const auto res = runCommand(cmd);
        EXPECT_EQ(res.exitCode, 0) << cmd << "\n" << res.err;
    }
    m.orig = readBytes(orig);
    m.telecined = splitFrames(readBytes(tele), static_cast<size_t>(vorn::dvFrameBytes(r.format)));
    m.progressive = splitFrames(readBytes(prog), static_cast<size_t>(vorn::dvFrameBytes(r.format)));
    return m;
}

// A 60i clip of `count` DV frames of `source` from `first` on, shot at 24 fps
// with a cadence pattern.
P2Clip cadenceClip(const Raster& r, const std::vector<std::vector<uint8_t>>& source, size_t first, size_t count,
                   std::vector<uint8_t> cadence)
{
    P2Clip clip = p2Clip(r.format, static_cast<int64_t>(count));
    clip.frameData.assign(source.begin() + static_cast<std::ptrdiff_t>(first),
                          source.begin() + static_cast<std::ptrdiff_t>(first + count));
    setBinaryGroup(clip, 24, 8);
    clip.frameHook = [cadence](int64_t index, std::vector<uint8_t>& frame) {
        frame[119] = static_cast<uint8_t>((frame[119] & ~3u) | cadence[static_cast<size_t>(index) % cadence.size()]);
        frame[122] = binaryGroupCheck(frame[119], frame[120], frame[121]);
    };
    return clip;
}

// FFmpeg's decode of a written clip's video as planar 4:2:2 pictures.
std::vector<uint8_t> ffmpegDecodeClip(const fs::path& dir)
{
    const fs::path outDv = dir / "out.dv", outYuv = dir / "out.yuv";
    writeBytes(outDv, clipVideoStream(dir / "OUT" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF"));
    std::ostringstream decode;
    decode << "ffmpeg -v error -y -f dv -i " << shellQuote(outDv.string()) << " -f rawvideo -pix_fmt yuv422p "
           << shellQuote(outYuv.string());
    const auto r = runCommand(decode.str());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return readBytes(outYuv);
}

// Luma PSNR of the lines of one parity (0: top field) of two pictures.
double fieldPsnr(const uint8_t* a, const uint8_t* b, int w, int h, int parity)
{
    double sum = 0;
    size_t n = 0;
    for (int y = parity; y < h; y += 2)
        for (int x = 0; x < w; ++x, ++n) {
            const double d = static_cast<double>(a[static_cast<size_t>(y) * w + x]) - b[static_cast<size_t>(y) * w + x];
            sum += d * d;
        }
    const double mse = sum / static_cast<double>(n);
    return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

TEST(ExportReencode, Removal32GivesBackTheProgressivePictures)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    struct Case {
        const char* name;
        Raster raster;
        size_t first, count;          // telecined frames taken
        std::vector<uint8_t> cadence;
        std::vector<int> pictures;    // original picture of each output frame (-1: not compared)
    };
    // Telecine gives A/A, B/B, B/C, C/D, D/D: frames 2 and 3 mix fields.
    const Case cases[] = {
        {"1080i: mixed pair inside the group; two trailing frames not read", kHd1080, 0, 12, {2, 2, 1, 1, 0},
         {0, 1, 2, 3, 4, 5, 6, 7}},
        // From C/D on, slots 4 and 0 hold the mixed pair: the first group's
        // slot 0 is rebuilt from one field, later groups take the field of
        // the previous group's last frame.
        {"1080i: mixed pair across groups", kHd1080, 3, 10, {1, 0, 2, 2, 1}, {-1, 3, 4, 5, 6, 7, 8, 9}},
        {"DVCPRO50 NTSC (bottom field first)", kNtsc50, 0, 10, {2, 2, 1, 1, 0}, {0, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Media& m = media(c.raster);
        ASSERT_EQ(m.telecined.size(), 15u);
        const fs::path dir = scratchDir("reencode_32_" + std::to_string(&c - cases));
        const auto files = writeP2Card(dir / "SRC", {cadenceClip(c.raster, m.telecined, c.first, c.count, c.cadence)});
        const auto before = treeSnapshot(dir / "SRC");

        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) {
            s.removePulldown = true;
            s.options.emplace("Remove32", "1");
        });
        ASSERT_EQ(run.results.size(), 1u);
        const auto& res = run.results[0];
        EXPECT_EQ(res.outcome, vorn::ClipOutcome::Complete) << run.log;
        EXPECT_EQ(res.removal, "3:2");
        EXPECT_EQ(res.framesWritten, static_cast<int64_t>(c.pictures.size()));
        EXPECT_EQ(res.rateNum, 24000);
        EXPECT_EQ(treeSnapshot(dir / "SRC"), before);

        // Re-encoded frames count one time code frame each.
        const auto stream = clipVideoStream(dir / "OUT" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF");
        const size_t dvBytes = static_cast<size_t>(vorn::dvFrameBytes(c.raster.format));
        for (size_t i = 0; i * dvBytes < stream.size(); ++i) {
            const uint8_t* pack = stream.data() + i * dvBytes + 80 + 3 + 3;   // first pack of subcode block 0
            int frames = -1;
            for (int k = 0; k < 6 && frames < 0; ++k)
                if (pack[8 * k] == 0x13)
                    frames = (pack[8 * k + 1] >> 4 & 3) * 10 + (pack[8 * k + 1] & 15);
            EXPECT_EQ(frames, static_cast<int>(i)) << "time code of output " << i;
        }

        const auto got = ffmpegDecodeClip(dir);
        const size_t frameBytes = static_cast<size_t>(c.raster.width) * static_cast<size_t>(c.raster.height) * 2;
        ASSERT_EQ(got.size(), c.pictures.size() * frameBytes);
        for (size_t i = 0; i < c.pictures.size(); ++i) {
            if (c.pictures[i] < 0)
                continue;
            const double psnr = lumaPsnr(m.orig.data() + static_cast<size_t>(c.pictures[i]) * frameBytes,
                                         got.data() + i * frameBytes, c.raster.width, c.raster.height);
            EXPECT_GT(psnr, 32.0) << "output " << i;
        }
    }
}

// 2:3 addition into 1080i: four progressive pictures become A, B, B/C, C/D,
// D (top field first), written as nothing for three source frames and five
// on the fourth.
TEST(ExportReencode, Addition23WeavesTheFieldsTopFirst)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const Media& m = media(kHd1080);
    ASSERT_GE(m.progressive.size(), 8u);
    const fs::path dir = scratchDir("reencode_add23");
    // 24p pictures recorded one a frame at 23.976, as pulldown addition takes them.
    P2Clip clip = cadenceClip(kHd1080, m.progressive, 0, 8, {2});
    clip.rateNum = 24000;
    clip.rateDen = 1001;
    const auto files = writeP2Card(dir / "SRC", {clip});
    const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) {
        s.addPulldown = true;
        s.desiredRate = 29.97f;
        s.options.emplace("Add32", "1");
    });
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].outcome, vorn::ClipOutcome::Complete) << run.log;
    EXPECT_EQ(run.results[0].addition, "2:3");
    EXPECT_EQ(run.results[0].framesWritten, 10);
    const auto got = ffmpegDecodeClip(dir);
    const int w = kHd1080.width, h = kHd1080.height;
    const size_t frameBytes = static_cast<size_t>(w) * static_cast<size_t>(h) * 2;
    ASSERT_EQ(got.size(), 10 * frameBytes);
    // Picture of the top and the bottom field of each output frame.
    const int top[10] = {0, 1, 1, 2, 3, 4, 5, 5, 6, 7};
    const int bottom[10] = {0, 1, 2, 3, 3, 4, 5, 6, 7, 7};
    for (size_t i = 0; i < 10; ++i) {
        const uint8_t* out = got.data() + i * frameBytes;
        EXPECT_GT(fieldPsnr(m.orig.data() + static_cast<size_t>(top[i]) * frameBytes, out, w, h, 0), 30.0) << i;
        EXPECT_GT(fieldPsnr(m.orig.data() + static_cast<size_t>(bottom[i]) * frameBytes, out, w, h, 1), 30.0) << i;
    }
}

// The frames of a group of five are decoded side by side when there are
// several workers; the written clip must not depend on how many there are,
// also when a frame of the group cannot be decoded and takes the picture of
// the frame before it.
TEST(ExportReencode, Removal32OutputDoesNotDependOnTheWorkerCount)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const Media& m = media(kNtsc50);
    ASSERT_EQ(m.telecined.size(), 15u);
    const fs::path dir = scratchDir("reencode_32_workers");
    const auto files = writeP2Card(dir / "SRC", {cadenceClip(kNtsc50, m.telecined, 0, 10, {2, 2, 1, 1, 0})});
    // Cut the file inside frame 9, the last of the second group: the reader
    // gives a short frame, whose binary group is still there.
    auto bytes = readBytes(files[0].video);
    const size_t key = findKey(bytes, kFixtureDvElementKey);
    ASSERT_NE(key, std::string::npos);
    const size_t essence = key + 17 + (bytes[key + 16] & 0x7Fu);
    bytes.resize(essence + 9 * 240000 + 100000);
    writeBytes(files[0].video, bytes);

    std::vector<uint8_t> first;
    for (int workers : {1, 2, 3}) {
        SCOPED_TRACE(workers);
        const fs::path out = dir / ("OUT" + std::to_string(workers));
        const ExportRun run = [&] {
            // The export runs on the default pool with its worker count.
            vorn::WorkerPool& pool = vorn::defaultWorkerPool();
            const int saved = pool.workers();
            pool.setWorkers(workers);
            ExportRun r = exportPaths({files[0].video.string()}, out, [](ExportSettings& s) {
                s.removePulldown = true;
                s.options.emplace("Remove32", "1");
            });
            pool.setWorkers(saved);
            return r;
        }();
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].undecodableFrames, 1) << run.log;
        EXPECT_NE(run.log.find("Frame 9 could not be decoded; the previous picture was used instead\r\n"),
                  std::string::npos)
            << run.log;
        const auto stream = clipVideoStream(out / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF");
        ASSERT_FALSE(stream.empty());
        if (workers == 1)
            first = stream;
        else
            EXPECT_TRUE(stream == first) << "output differs from that of one worker";
    }
}

// Interlaced frames whose every field is flat at its own level, coded as DV
// by FFmpeg: levels[2n] is the first field of frame n in time, levels[2n + 1]
// the second (top field first for DVCPRO HD, bottom first for SD). With
// `progressive` every frame is flat at levels[n] instead.
std::vector<std::vector<uint8_t>> fieldFrames(const fs::path& dir, int32_t format, const std::vector<int>& levels,
                                              bool progressive)
{
    struct Kind {
        int32_t format;
        int width, height;
        const char* rate;
        int top;   // 1: top field first
    };
    static const Kind kinds[] = {{1, 1280, 1080, "30000/1001", 1}, {2, 960, 720, "60000/1001", 1},
                                 {3, 1440, 1080, "25", 1}, {8, 720, 480, "30000/1001", 0}};
    const Kind* k = nullptr;
    for (const auto& kind : kinds)
        if (kind.format == format)
            k = &kind;
    if (!k)
        return {};
    const size_t count = progressive ? levels.size() : levels.size() / 2;
    std::vector<uint8_t> raw;
    for (size_t n = 0; n < count; ++n) {
        for (int y = 0; y < k->height; ++y) {
            // Display line y belongs to the first field when its parity is the first field's.
            const bool first = (y % 2 == 0) == (k->top == 1);
            const int level = progressive ? levels[n] : levels[2 * n + (first ? 0 : 1)];
            raw.insert(raw.end(), static_cast<size_t>(k->width), static_cast<uint8_t>(level));
        }
        raw.insert(raw.end(), static_cast<size_t>(k->width) * static_cast<size_t>(k->height), 128);
    }
    writeBytes(dir / "fields.yuv", raw);
    std::ostringstream cmd;
    cmd << "ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s " << k->width << "x" << k->height << " -r " << k->rate
        << " -i " << shellQuote((dir / "fields.yuv").string()) << " -top " << k->top
        << " -flags +ilme+ildct -c:v dvvideo -f rawvideo " << shellQuote((dir / "fields.dif").string());
    const auto r = runCommand(cmd.str());
    EXPECT_EQ(r.exitCode, 0) << cmd.str() << "\n" << r.err;
    return splitFrames(readBytes(dir / "fields.dif"), static_cast<size_t>(vorn::dvFrameBytes(format)));
}

// Samples of channel 0 of a written clip.
int64_t channelZeroSamples(const fs::path& video)
{
    CMxfFile file(video.string().c_str());
    if (file.ReadHeaders() != 1 || file.ReadAllAudioHeaders() < 1)
        return -1;
    std::vector<uint8_t> buffer(48000);
    int64_t bytes = 0;
    for (int got; (got = file.ReadAudio(buffer.data(), static_cast<int>(buffer.size()), 0)) > 0;)
        bytes += got;
    return bytes / 2;
}

// A format change takes an interlaced frame as two pictures: between
// interlaced formats each field is scaled on its own, first field to first
// field; to 720p each field becomes a frame at the field rate; 720p at the
// field rate is woven pair by pair into interlaced frames. FFmpeg's decode of
// the output shows which source field every output field came from: each
// must be flat at one source field's level (a blend of two fields is not).
TEST(ExportReencode, FormatChangeKeepsFieldsApart)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    struct Case {
        const char* name;
        int32_t source;
        int cam, mode;
        bool progressive;                 // source frames flat (720p)
        std::vector<int> levels;
        const char* choice;
        int width, height;                // FFmpeg's picture of the output
        const char* dest;                 // the planner's Dest: line
        // Level of each output frame's top and bottom field, in display order.
        std::vector<std::pair<int, int>> want;
    };
    const std::vector<int> fields = {40, 160, 55, 175, 70, 190, 85, 205};
    const Case cases[] = {
        {"1080i59.94 to 480i: the top field (first) becomes the bottom field (first)", 1, 30, 0, false, fields,
         "Convert all to NTSC DVCPRO50", 720, 480, "Dest:\t29.970 fps, 4 frames, 720W x 480H, aspect ratio = 16:9\r\n",
         {{160, 40}, {175, 55}, {190, 70}, {205, 85}}},
        {"480i to 1080i59.94", 8, 30, 0, false, fields, "Convert all to 1920 x 1080 DVCPROHD", 1280, 1080,
         "Dest:\t29.970 fps, 4 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
         {{40, 160}, {55, 175}, {70, 190}, {85, 205}}},
        {"1080i59.94 to 720p59.94: a frame of each field", 1, 30, 0, false, fields,
         "Convert all to 1280 x 720 DVCPROHD", 960, 720,
         "Dest:\t59.940 fps, 8 frames, 1280W x 720H, aspect ratio = 16:9\r\n",
         {{40, 40}, {160, 160}, {55, 55}, {175, 175}, {70, 70}, {190, 190}, {85, 85}, {205, 205}}},
        {"720p59.94 to 1080i59.94: frame pairs woven", 2, 60, 8, true, fields, "Convert all to 1920 x 1080 DVCPROHD",
         1280, 1080, "Dest:\t29.970 fps, 4 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
         {{40, 160}, {55, 175}, {70, 190}, {85, 205}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir("reencode_fields_" + std::to_string(&c - cases));
        P2Clip clip = p2Clip(c.source, static_cast<int64_t>(c.progressive ? c.levels.size() : c.levels.size() / 2));
        clip.frameData = fieldFrames(dir, c.source, c.levels, c.progressive);
        ASSERT_EQ(clip.frameData.size(), static_cast<size_t>(clip.frames));
        setBinaryGroup(clip, c.cam, c.mode);
        const auto files = writeP2Card(dir / "SRC", {clip});
        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [&](ExportSettings& s) {
            s.options.emplace("DesiredFrameSize", c.choice);
        });
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, vorn::ClipOutcome::Complete) << run.log;
        EXPECT_NE(run.log.find(c.dest), std::string::npos) << run.log;
        EXPECT_EQ(run.results[0].framesWritten, static_cast<int64_t>(c.want.size()));

        // The sound keeps its length.
        EXPECT_EQ(channelZeroSamples(dir / "OUT" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF"), audioSamples(clip));

        const auto got = ffmpegDecodeClip(dir);
        const size_t frameBytes = static_cast<size_t>(c.width) * static_cast<size_t>(c.height) * 2;
        ASSERT_EQ(got.size(), c.want.size() * frameBytes);
        for (size_t i = 0; i < c.want.size(); ++i) {
            const uint8_t* luma = got.data() + i * frameBytes;
            for (int parity = 0; parity < 2; ++parity) {
                const int level = parity == 0 ? c.want[i].first : c.want[i].second;
                // Every line of the field, away from the picture's top and bottom edge.
                int worst = 0;
                for (int y = 4 + parity; y < c.height - 4; y += 2)
                    for (int x = 8; x < c.width - 8; x += 16)
                        worst = std::max(worst, std::abs(luma[static_cast<size_t>(y) * c.width + x] - level));
                EXPECT_LE(worst, 4) << "output " << i << (parity == 0 ? " top" : " bottom") << " field, level " << level;
            }
        }
    }
}

// 3:2 material made 720p from its fields comes out as a 720p camera records
// 24 fps: the film pictures repeated 2, 3, 2, 3 at 59.94 frames a second.
TEST(ExportReencode, ThreeTwoMaterialTo720pRepeatsTheFilmPictures)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const Media& m = media(kHd1080);
    ASSERT_EQ(m.telecined.size(), 15u);
    const fs::path dir = scratchDir("reencode_32_to_720p");
    const auto files = writeP2Card(dir / "SRC", {cadenceClip(kHd1080, m.telecined, 0, 5, {2, 2, 1, 1, 0})});
    const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) {
        s.options.emplace("DesiredFrameSize", "Convert all to 1280 x 720 DVCPROHD");
    });
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].outcome, vorn::ClipOutcome::Complete) << run.log;
    EXPECT_EQ(run.results[0].rateNum, 60000);
    EXPECT_NE(run.log.find("Dest:\t59.940 fps, 10 frames, 1280W x 720H"), std::string::npos) << run.log;

    // The original pictures at 960 x 720, and which of them each output frame is.
    const fs::path orig = dir / "orig.yuv", ref = dir / "ref.yuv";
    writeBytes(orig, m.orig);
    std::ostringstream scale;
    scale << "ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s 1280x1080 -i " << shellQuote(orig.string())
          << " -vf scale=960:720:flags=bilinear -f rawvideo -pix_fmt yuv422p " << shellQuote(ref.string());
    const auto r = runCommand(scale.str());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto refs = readBytes(ref), got = ffmpegDecodeClip(dir);
    const size_t frameBytes = 960 * 720 * 2;
    ASSERT_EQ(got.size(), 10 * frameBytes);
    std::vector<int> pictures;
    for (size_t i = 0; i < 10; ++i) {
        int best = -1;
        double bestPsnr = 0;
        for (size_t k = 0; k < 4; ++k) {
            const double psnr = lumaPsnr(refs.data() + k * frameBytes, got.data() + i * frameBytes, 960, 720);
            if (psnr > bestPsnr) {
                bestPsnr = psnr;
                best = static_cast<int>(k);
            }
        }
        EXPECT_GT(bestPsnr, 25.0) << "output " << i;
        pictures.push_back(best);
    }
    EXPECT_EQ(pictures, (std::vector<int>{0, 0, 1, 1, 1, 2, 2, 3, 3, 3}));
}

// A card copied with no option set converts as its source does: removing
// pulldown from the copy gives, frame for frame, what removing it from the
// source gives.
TEST(ExportReencode, RemovalFromACopyEqualsRemovalFromTheSource)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    struct Case {
        const char* name;
        int32_t format;
        const std::vector<std::vector<uint8_t>>* frames;   // null: synthetic frames
        int shootingMode;
        std::vector<uint8_t> cadence;
        bool remove32;
        int64_t out;   // frames of 10 that the removal keeps
    };
    const Media& hd = media(kHd1080);
    const Media& ntsc = media(kNtsc50);
    const Case cases[] = {
        {"1080i59.94 3:2: fields repaired", kHd1080.format, &hd.telecined, 8, {2, 2, 1, 1, 0}, true, 8},
        {"DVCPRO50 NTSC 2:3:3:2: mixed frames dropped", kNtsc50.format, &ntsc.progressive, 12, {2, 2, 1, 0, 2}, false, 8},
        {"720p59.94 24 fps: frames selected", 2, nullptr, 8, {2, 2, 1, 1, 0}, false, 4},
        {"AVC-Intra 100 1080i59.94 2:3:3:2: mixed frames dropped", 38, nullptr, 12, {2, 2, 1, 0, 2}, false, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir("reencode_copy_" + std::to_string(&c - cases));
        P2Clip clip = p2Clip(c.format, 10);
        if (c.frames)
            clip.frameData.assign(c.frames->begin(), c.frames->begin() + 10);
        setBinaryGroup(clip, 24, c.shootingMode);
        const bool avc = vorn::isAvcIntra(c.format);
        clip.frameHook = [&c, avc](int64_t index, std::vector<uint8_t>& frame) {
            const size_t m = avc ? (index == 0 ? 512 : 0) + 68 : 119;
            frame[m] = static_cast<uint8_t>((frame[m] & ~3u) | c.cadence[static_cast<size_t>(index) % 5]);
            frame[m + (avc ? 4 : 3)] = binaryGroupCheck(frame[m], frame[m + 1], frame[m + (avc ? 3 : 2)]);
        };
        const auto files = writeP2Card(dir / "SRC", {clip});
        auto remove = [&c](ExportSettings& s) {
            s.removePulldown = true;
            if (c.remove32)
                s.options.emplace("Remove32", "1");
        };

        const ExportRun copy = exportPaths({files[0].video.string()}, dir / "COPY");
        ASSERT_EQ(copy.results.size(), 1u);
        ASSERT_EQ(copy.results[0].framesWritten, 10) << copy.log;
        const ExportRun direct = exportPaths({files[0].video.string()}, dir / "DIRECT", remove);
        const ExportRun second =
            exportPaths({(dir / "COPY" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF").string()}, dir / "SECOND", remove);
        ASSERT_EQ(direct.results.size(), 1u);
        ASSERT_EQ(second.results.size(), 1u);
        EXPECT_EQ(direct.results[0].framesWritten, c.out) << direct.log;
        EXPECT_EQ(second.results[0].framesWritten, c.out) << second.log;
        EXPECT_EQ(second.results[0].removal, direct.results[0].removal);
        EXPECT_NE(second.results[0].removal, "none") << second.log;
        EXPECT_EQ(second.verdict, "\r\n*** Export is complete ***\r\n") << second.log;
        auto want = clipVideoStream(dir / "DIRECT" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF");
        auto got = clipVideoStream(dir / "SECOND" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF");
        ASSERT_FALSE(want.empty());
        ASSERT_EQ(got.size(), want.size());
        if (!avc) {
            // DV frames: the same binary group as our reader finds it, and the
            // same bytes outside the subcode blocks (whose packs the synthetic
            // source frames do not all have, and the writer adds).
            const size_t frameBytes = static_cast<size_t>(vorn::dvFrameBytes(direct.results[0].targetFormat));
            for (size_t at = 0; at + frameBytes <= want.size(); at += frameBytes) {
                BGinfo a, b;
                a.ReadDvBinaryGroup(want.data() + at, frameBytes);
                b.ReadDvBinaryGroup(got.data() + at, frameBytes);
                EXPECT_TRUE(a.valid && b.valid) << "frame " << at / frameBytes;
                EXPECT_EQ(b.record(), a.record()) << "frame " << at / frameBytes;
            }
            for (size_t seq = 0; seq + 12000 <= want.size(); seq += 12000) {
                std::fill(want.begin() + static_cast<std::ptrdiff_t>(seq + 80),
                          want.begin() + static_cast<std::ptrdiff_t>(seq + 240), 0);
                std::fill(got.begin() + static_cast<std::ptrdiff_t>(seq + 80),
                          got.begin() + static_cast<std::ptrdiff_t>(seq + 240), 0);
            }
        }
        EXPECT_TRUE(got == want) << "the removal from the copy differs from the removal from the source";
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
