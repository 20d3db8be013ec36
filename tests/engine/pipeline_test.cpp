// The frame pipeline's decisions end to end: clips that end early, frames
// that cannot be decoded, 720-line sources without binary group, AVC-Intra
// first frames and their repeats, time code at 59.94p, 24p <-> 25p with audio
// speed change and the 720p60 to 720p50 move, write failures.
#include "engine/BGinfo.h"
#include "engine/ExportResult.h"
#include "engine/VideoFormat.h"
#include "engine/helpers/ExportHarness.h"
#include "mxf/ExportMxf.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;
using vorn::ClipOutcome;

fs::path outVideo(const fs::path& out, const std::string& name = "0001AB")
{
    return out / "Card1" / "CONTENTS" / "VIDEO" / (name + ".MXF");
}

std::vector<std::vector<uint8_t>> framesOf(const fs::path& video)
{
    CMxfFile file(video.string().c_str());
    std::vector<std::vector<uint8_t>> out;
    if (file.ReadHeaders() != 1)
        return out;
    std::vector<uint8_t> buffer(static_cast<size_t>(vorn::kMaxFrameBufferBytes));
    for (int64_t i = 0; i < file.FrameCount(); ++i) {
        const int got = file.ReadFrame(buffer, i);
        out.emplace_back(buffer.begin(), buffer.begin() + std::max(got, 0));
    }
    return out;
}

// Real DV frames of a format made by FFmpeg from its test picture.
std::vector<std::vector<uint8_t>> ffmpegDvFrames(int32_t format, int count)
{
    struct Kind {
        int32_t format;
        const char* size;
        const char* rate;
        const char* pix;
    };
    static const Kind kinds[] = {{2, "960x720", "60000/1001", "yuv422p"},
                                 {9, "720x576", "25", "yuv411p"},
                                 {8, "720x480", "30000/1001", "yuv422p"}};
    const Kind* k = nullptr;
    for (const auto& kind : kinds)
        if (kind.format == format)
            k = &kind;
    EXPECT_NE(k, nullptr);
    if (!k)
        return {};
    const fs::path file = scratchDir("ffmpeg_dv_" + std::to_string(format)) / "frames.dv";
    std::ostringstream cmd;
    cmd << "ffmpeg -v error -y -f lavfi -i testsrc2=s=" << k->size << ":r=" << k->rate << " -frames:v " << count
        << " -pix_fmt " << k->pix << " -c:v dvvideo -f dv " << shellQuote(file.string());
    const auto r = runCommand(cmd.str());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto bytes = readBytes(file);
    const size_t frameBytes = static_cast<size_t>(vorn::dvFrameBytes(format));
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes)
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
    return frames;
}

std::vector<int16_t> channelSamples(const fs::path& video);

// Cadence bits of a DV fixture frame.
void setDvCadence(std::vector<uint8_t>& frame, uint8_t bits)
{
    frame[119] = static_cast<uint8_t>((frame[119] & ~3u) | bits);
    frame[122] = binaryGroupCheck(frame[119], frame[120], frame[121]);
}

// The time code frames digit pair of the first 0x13 pack of a DV frame.
int dvTimecodeFrames(const std::vector<uint8_t>& frame)
{
    for (size_t block : {size_t{86}, size_t{166}})
        for (size_t i = 0; i < 6; ++i) {
            const size_t at = block + 8 * i;
            if (at + 5 <= frame.size() && frame[at] == 0x13)
                return (frame[at + 1] >> 4 & 3) * 10 + (frame[at + 1] & 15);
        }
    return -1;
}

TEST(ExportPipeline, ClipsThatEndEarlyTellTheTruth)
{
    // 720p59.94 24p with removal: a cadence that gives one frame where two
    // were planned, and a source without binary group (each frame whole).
    struct Row {
        const char* name;
        bool binaryGroup;
        std::vector<uint8_t> cadence;
        int64_t frames;
        const char* logLine;
    };
    const Row rows[] = {
        {"fewer frames than planned", true, {1, 0, 0, 0, 0}, 1,
         "The source gave 1 of the 4 planned frames; the clip is written again to that length\r\n"},
        {"no binary group: every frame is whole", false, {0}, 10, "Vorn will take 720/60P and output 720/24P\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = scratchDir(std::string("pipeline_short_") + (row.binaryGroup ? "bg" : "nobg"));
        P2Clip clip = p2Clip(2, 10);
        if (row.binaryGroup) {
            setBinaryGroup(clip, 24, 8);
            clip.frameHook = [&row](int64_t index, std::vector<uint8_t>& frame) {
                setDvCadence(frame, row.cadence[static_cast<size_t>(index) % row.cadence.size()]);
            };
        } else {
            clip.writeBinaryGroup = false;
        }
        const auto files = writeP2Card(dir / "SRC", {clip});
        const ExportRun run =
            exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) { s.removePulldown = true; });
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Complete) << run.log;
        EXPECT_EQ(run.results[0].framesWritten, row.frames);
        EXPECT_NE(run.log.find(row.logLine), std::string::npos) << run.log;
        CMxfFile out(outVideo(dir / "OUT").string().c_str());
        ASSERT_EQ(out.ReadHeaders(), 1);
        EXPECT_EQ(out.FrameCount(), row.frames);
        const std::string xml = readText(dir / "OUT" / "Card1" / "CONTENTS" / "CLIP" / "0001AB.XML");
        EXPECT_NE(xml.find("<Duration>" + std::to_string(row.frames) + "</Duration>"), std::string::npos);
    }
}

TEST(ExportPipeline, UndecodableFrameTakesThePreviousPicture)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const fs::path dir = scratchDir("pipeline_undecodable");
    P2Clip clip = p2Clip(9, 4);
    clip.frameData = ffmpegDvFrames(9, 4);
    ASSERT_EQ(clip.frameData.size(), 4u);
    setBinaryGroup(clip, 25, 0);
    const auto files = writeP2Card(dir / "SRC", {clip});
    // Cut the file inside frame 3: the reader gives a short frame.
    auto bytes = readBytes(files[0].video);
    const size_t key = findKey(bytes, kFixtureDvElementKey);
    const size_t essence = key + 17 + (bytes[key + 16] & 0x7Fu);
    bytes.resize(essence + 3 * 144000 + 5000);
    writeBytes(files[0].video, bytes);

    const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) {
        s.desiredRate = 25.0f;
        s.options.emplace("ReduceNoise", "1");
    });
    EXPECT_EQ(run.verdict, "\r\n*** Export completed with errors ***\r\n");
    EXPECT_NE(run.log.find("Frame 3 could not be decoded; the previous picture was used instead\r\n"),
              std::string::npos)
        << run.log;
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].undecodableFrames, 1);
    const auto frames = framesOf(outVideo(dir / "OUT"));
    ASSERT_EQ(frames.size(), 4u);
    // The stand-in is frame 2's picture encoded again: the same video data.
    auto video = [](const std::vector<uint8_t>& f) {
        std::vector<uint8_t> v;
        for (size_t seq = 0; seq + 12000 <= f.size(); seq += 12000)
            v.insert(v.end(), f.begin() + static_cast<std::ptrdiff_t>(seq + 7 * 80), f.begin() + static_cast<std::ptrdiff_t>(seq + 12000));
        return v;
    };
    EXPECT_EQ(video(frames[3]).size(), video(frames[2]).size());
}

TEST(ExportPipeline, AvcIntraFirstFrameAndItsRepeats)
{
    struct Row {
        const char* name;
        bool remove, add;
        std::vector<uint8_t> cadence;
        std::vector<int64_t> markers;
        std::vector<int> timecodeFrames;   // 59.94p counts every second frame, 23.976p every frame
    };
    const Row rows[] = {
        // 2:3 addition into 720p: frame 0 twice, frame 1 three times, ...
        {"repeats of frame 0", false, true, {2}, {0, 0, 1, 1, 1, 2, 2, 3, 3, 3}, {0, 1, 1, 2, 2, 3, 3, 4, 4, 5}},
        // Removal drops frame 0: the first output frame gets its header bytes.
        {"frame 0 dropped", true, false, {1, 1, 1, 0, 1}, {1, 4, 6, 9}, {0, 1, 2, 3}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = scratchDir(std::string("pipeline_avc_") + (row.add ? "add" : "drop"));
        P2Clip clip = p2Clip(42, row.add ? 4 : 10);
        if (row.add) {
            // Pulldown is added to 24p pictures: a clip recorded at 23.976.
            clip.rateNum = 24000;
            clip.rateDen = 1001;
        }
        setBinaryGroup(clip, 24, 8);
        clip.frameHook = [&row, clip](int64_t index, std::vector<uint8_t>& frame) {
            const size_t at = (index == 0 ? 512 : 0) + 66 + 2;
            frame[at] = static_cast<uint8_t>((frame[at] & ~3u) | row.cadence[static_cast<size_t>(index) % row.cadence.size()]);
            frame[at + 4] = binaryGroupCheck(frame[at], frame[at + 1], frame[at + 3]);
        };
        const auto files = writeP2Card(dir / "SRC", {clip});
        const auto source = framesOf(files[0].video);
        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [&](ExportSettings& s) {
            s.removePulldown = row.remove;
            s.addPulldown = row.add;
        });
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Complete) << run.log;
        const auto frames = framesOf(outVideo(dir / "OUT"));
        ASSERT_EQ(frames.size(), row.markers.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& f = frames[i];
            EXPECT_EQ(f.size(), i == 0 ? static_cast<size_t>(firstFrameSize(clip)) : static_cast<size_t>(laterFrameSize(clip)));
            EXPECT_EQ(frameMarker(f.data(), f.size()), row.markers[i]);
            // Only the first carries the clip's header bytes.
            const bool header = std::equal(source[0].begin(), source[0].begin() + 512, f.begin());
            EXPECT_EQ(header, i == 0);
            // Each frame is stamped with its own index: a binary group whose
            // check byte holds, and the running time code.
            const size_t base = (i == 0 ? 512 : 0) + 6;
            EXPECT_EQ(f[base + 28], 0x13);
            EXPECT_EQ(f[base + 60], 0x64);
            EXPECT_EQ(f[base + 66], binaryGroupCheck(f[base + 62], f[base + 63], f[base + 65]));
            EXPECT_EQ(f[base + 30], row.timecodeFrames[i]);
        }
    }
}

// The record a camera shooting 24 fps writes into frame `index` of a 60i or
// 720p59.94 clip: progressive mode (2:3:3:2 with `advanced`), camera rate
// 24, the frame's cadence flags and its place in the five-frame cadence.
std::array<uint8_t, 4> cameraRecord(bool advanced, int64_t index)
{
    static constexpr uint8_t k32[5] = {2, 2, 1, 1, 0}, k2332[5] = {2, 2, 1, 0, 2};
    const auto at = static_cast<size_t>(index % 5);
    const uint8_t m = static_cast<uint8_t>((advanced ? 0xC0 : 0x80) | (advanced ? k2332[at] : k32[at]));
    const uint8_t x = static_cast<uint8_t>(at);
    return {m, 0x24, x, binaryGroupCheck(m, 0x24, x)};
}

// The record of a frame as our reader finds it.
std::array<uint8_t, 4> recordOf(const std::vector<uint8_t>& frame, int32_t format, bool first)
{
    BGinfo bg;
    if (vorn::isAvcIntra(format))
        bg.ReadAvcBinaryGroup(frame.data(), frame.size(), first);
    else
        bg.ReadDvBinaryGroup(frame.data(), frame.size());
    EXPECT_TRUE(bg.valid);
    return {bg.mode, bg.rate, bg.third, bg.check};
}

// A copy with no option set changes no frame's cadence: every output frame
// carries its source frame's record (cadence flags, shooting mode, camera
// rate), whether it is copied or re-encoded one for one.
TEST(ExportPipeline, CopyKeepsEveryFramesBinaryGroup)
{
    VORN_REQUIRE_TOOL("ffmpeg");   // real frames for the re-encoded row
    struct Row {
        const char* name;
        int32_t format;
        bool advanced;
        bool reencode;   // noise reduction: decoded and encoded again
    };
    const Row rows[] = {
        {"1080i59.94 3:2", 1, false, false},
        {"DVCPRO50 NTSC 2:3:3:2", 8, true, false},
        {"720p59.94 24 fps 2:3", 2, false, false},
        {"AVC-Intra 100 1080i59.94 3:2", 38, false, false},
        {"DVCPRO50 NTSC 2:3:3:2, noise reduced", 8, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = scratchDir("pipeline_keep_" + std::to_string(&row - rows));
        P2Clip clip = p2Clip(row.format, 10);
        if (row.reencode)
            clip.frameData = ffmpegDvFrames(row.format, 10);
        setBinaryGroup(clip, 24, row.advanced ? 12 : 8);
        clip.frameHook = [&row](int64_t index, std::vector<uint8_t>& frame) {
            const auto r = cameraRecord(row.advanced, index);
            if (vorn::isAvcIntra(row.format)) {
                const size_t at = (index == 0 ? 512 : 0) + 66;
                frame[at + 2] = r[0];
                frame[at + 3] = r[1];
                frame[at + 5] = r[2];
                frame[at + 6] = r[3];
            } else {
                std::copy(r.begin(), r.end(), frame.begin() + 119);
            }
        };
        const auto files = writeP2Card(dir / "SRC", {clip});
        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [&row](ExportSettings& s) {
            if (row.reencode)
                s.options.emplace("ReduceNoise", "1");
        });
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Complete) << run.log;
        EXPECT_EQ(run.results[0].reencode, row.reencode);
        const auto frames = framesOf(outVideo(dir / "OUT"));
        ASSERT_EQ(frames.size(), 10u);
        for (size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(recordOf(frames[i], row.format, i == 0), cameraRecord(row.advanced, static_cast<int64_t>(i)));
        }
    }
}

// Pulldown addition and the speed change need 24p or 25p progressive
// pictures. On other material the step is skipped: the clip keeps its frame
// count, rate and format, and its sound its length.
TEST(ExportPipeline, SkippedAdditionOrSpeedChangeKeepsFramesAndSound)
{
    struct Row {
        const char* name;
        int32_t format;
        int cam, mode, lowBits;
        bool add;
        float desired;
        const char* line;
    };
    const Row rows[] = {
        {"2:3 addition to 60i carrying 3:2", 1, 24, 8, 2, true, 23.976f,
         "Vorn will not add pulldown: the video already carries 3:2 pulldown\r\n"},
        {"25p to 24p on interlaced 1080i50", 3, 25, 0, 3, false, 23.976f,
         "Vorn will not convert 25p to 24p: the video is interlaced\r\n"},
        {"24p to 25p on 60i carrying 3:2", 1, 24, 8, 2, false, 25.0f,
         "Vorn will not convert 24p to 25p: the video already carries 3:2 pulldown\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = scratchDir("pipeline_skip_" + std::to_string(&row - rows));
        P2Clip clip = p2Clip(row.format, 20);
        clip.audioChannels = 1;
        setBinaryGroup(clip, row.cam, row.mode, row.lowBits);
        const auto files = writeP2Card(dir / "SRC", {clip});
        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [&row](ExportSettings& s) {
            s.addPulldown = row.add;
            s.desiredRate = row.desired;
        });
        ASSERT_EQ(run.results.size(), 1u);
        const auto& r = run.results[0];
        EXPECT_EQ(run.verdict, "\r\n*** Export is complete ***\r\n") << run.log;
        EXPECT_NE(run.log.find(row.line), std::string::npos) << run.log;
        EXPECT_EQ(r.addition, "none");
        EXPECT_EQ(r.speedChange, "none");
        EXPECT_EQ(r.targetFormat, row.format);
        EXPECT_EQ(r.framesWritten, 20);
        int32_t num = 0, den = 0;
        formatRate(row.format, num, den);
        EXPECT_EQ(r.rateNum, num);
        EXPECT_EQ(r.rateDen, den);
        EXPECT_EQ(static_cast<int64_t>(channelSamples(outVideo(dir / "OUT")).size()), audioSamples(clip));
    }
}

TEST(ExportPipeline, TimecodeAt5994pChangesEverySecondFrame)
{
    const fs::path dir = scratchDir("pipeline_tc5994");
    P2Clip clip = p2Clip(2, 8);
    setBinaryGroup(clip, 60, 8, 3);
    const auto files = writeP2Card(dir / "SRC", {clip});
    const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) { s.desiredRate = 59.94f; });
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].rateNum, 60000);
    const auto frames = framesOf(outVideo(dir / "OUT"));
    ASSERT_EQ(frames.size(), 8u);
    std::vector<int> tc;
    for (const auto& f : frames)
        tc.push_back(dvTimecodeFrames(f));
    EXPECT_EQ(tc, (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3}));
}

// Replaces the PCM of an audio channel file by a tone.
void writeTone(const fs::path& file, double hz)
{
    auto bytes = readBytes(file);
    const size_t key = findKey(bytes, kFixtureSoundElementKey);
    ASSERT_NE(key, std::string::npos);
    // BER length: 0x80 + n, then n bytes.
    const size_t n = bytes[key + 16] & 0x7Fu;
    size_t length = 0;
    for (size_t i = 0; i < n; ++i)
        length = (length << 8) | bytes[key + 17 + i];
    const size_t start = key + 17 + n;
    for (size_t s = 0; 2 * s + 1 < length && start + 2 * s + 1 < bytes.size(); ++s) {
        const auto v = static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * M_PI * hz * static_cast<double>(s) / 48000.0)));
        bytes[start + 2 * s] = static_cast<uint8_t>(v & 0xFF);
        bytes[start + 2 * s + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
    writeBytes(file, bytes);
}

// Samples of channel 0 of a written clip.
std::vector<int16_t> channelSamples(const fs::path& video)
{
    CMxfFile file(video.string().c_str());
    std::vector<int16_t> out;
    if (file.ReadHeaders() != 1 || file.ReadAllAudioHeaders() < 1)
        return out;
    std::vector<uint8_t> buffer(48000);
    for (int got; (got = file.ReadAudio(buffer.data(), static_cast<int>(buffer.size()), 0)) > 0;)
        for (int i = 0; i + 1 < got; i += 2)
            out.push_back(static_cast<int16_t>(buffer[static_cast<size_t>(i)] | (buffer[static_cast<size_t>(i) + 1] << 8)));
    return out;
}

TEST(ExportPipeline, SpeedChangeResamplesTheAudio)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    struct Row {
        const char* name;
        int32_t format;
        int32_t rateNum, rateDen;   // edit rate of the source
        int cam;
        float desired;
        int32_t target;
        double factor;   // output frequency / input frequency
    };
    const Row rows[] = {
        {"25p to 24p (DV25 PAL to DVCPRO50 NTSC)", 9, 25, 1, 25, 23.976f, 8, 960.0 / 1001.0},
        {"24p to 25p (720p 24pN to 720p50, copied)", 2, 24000, 1001, 24, 25.0f, 4, 1001.0 / 960.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = scratchDir("pipeline_speed_" + std::to_string(row.format));
        const int frames = 12;
        P2Clip clip = p2Clip(row.format, frames);
        clip.rateNum = row.rateNum;
        clip.rateDen = row.rateDen;
        clip.frameData = ffmpegDvFrames(row.format, frames);
        ASSERT_EQ(clip.frameData.size(), static_cast<size_t>(frames));
        clip.audioChannels = 1;
        setBinaryGroup(clip, row.cam, 8);
        const auto files = writeP2Card(dir / "SRC", {clip});
        const double tone = 1000.0;
        writeTone(files[0].audio[0], tone);
        const int64_t sourceSamples = audioSamples(clip);
        const auto before = treeSnapshot(dir / "SRC");

        const ExportRun run =
            exportPaths({files[0].video.string()}, dir / "OUT", [&](ExportSettings& s) { s.desiredRate = row.desired; });
        ASSERT_EQ(run.results.size(), 1u);
        const auto& r = run.results[0];
        EXPECT_EQ(r.outcome, ClipOutcome::Complete) << run.log;
        EXPECT_EQ(r.targetFormat, row.target);
        EXPECT_EQ(r.speedChange, row.factor < 1 ? "25p to 24p" : "24p to 25p");
        EXPECT_EQ(treeSnapshot(dir / "SRC"), before);

        // The converted sound is the source's length over the factor, then silence.
        const auto samples = channelSamples(outVideo(dir / "OUT"));
        size_t sounding = samples.size();
        while (sounding > 0 && samples[sounding - 1] == 0)
            --sounding;
        const double expected = static_cast<double>(sourceSamples) / row.factor;
        EXPECT_NEAR(static_cast<double>(sounding), expected, 3.0);
        int crossings = 0;
        for (size_t i = 1; i < sounding; ++i)
            crossings += samples[i - 1] < 0 && samples[i] >= 0;
        const double hz = crossings * 48000.0 / static_cast<double>(sounding);

        EXPECT_NEAR(hz / tone, row.factor, 0.005);

        // The output decodes in FFmpeg without a message.
        const fs::path dv = dir / "out.dv";
        std::vector<uint8_t> stream;
        for (const auto& f : framesOf(outVideo(dir / "OUT"))) {
            stream.insert(stream.end(), f.begin(), f.end());
            // 720p50 frames made from 720p59.94 ones: the two sequences of
            // each half without picture are sequences 10 and 11 of their own.
            if (row.target == 4) {
                for (size_t half : {size_t{0}, size_t{144000}})
                    for (size_t q : {size_t{10}, size_t{11}}) {
                        EXPECT_EQ(f[half + q * 12000 + 1] >> 4, static_cast<int>(q));
                    }
            }
        }
        writeBytes(dv, stream);
        const auto dec = runCommand("ffmpeg -v error -y -f dv -i " + shellQuote(dv.string()) + " -f null -");
        EXPECT_EQ(dec.exitCode, 0);
        EXPECT_EQ(dec.err, "");
    }
}

// An exporter whose writes fail from a chosen point on.
class FailingExporter : public vorn::mxf::CExportMxf {
public:
    FailingExporter(const std::string& source, const std::string& dest, int failVideoAt, int failAudioChannel)
        : CExportMxf(source, dest), m_failVideoAt(failVideoAt), m_failAudioChannel(failAudioChannel)
    {
    }
    vorn::Status WriteVideo(uint8_t* buffer, size_t size) override
    {
        if (m_failVideoAt >= 0 && m_videoFrames++ >= m_failVideoAt)
            return vorn::Status::failure("");
        return CExportMxf::WriteVideo(buffer, size);
    }
    vorn::Status WriteAudio(const uint8_t* buffer, size_t size, int channel) override
    {
        if (channel == m_failAudioChannel)
            return vorn::Status::failure("");
        return CExportMxf::WriteAudio(buffer, size, channel);
    }

private:
    int m_failVideoAt;
    int m_failAudioChannel;
    int m_videoFrames = 0;
};

TEST(ExportPipeline, FailedWritesLeaveNoPartialClip)
{
    struct Row {
        const char* name;
        int failVideoAt;
        int failAudioChannel;
    };
    const Row rows[] = {{"video frame 3", 3, -1}, {"audio channel 2", -1, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = scratchDir(std::string("pipeline_fail_") + std::to_string(row.failAudioChannel + 1));
        auto first = p2Clip(9, 6, "0001AB");
        auto second = p2Clip(9, 6, "0002AB");
        setBinaryGroup(first, 25, 0);
        setBinaryGroup(second, 25, 0);
        const auto files = writeP2Card(dir / "SRC", {first, second});
        const auto before = treeSnapshot(dir / "SRC");
        // The first clip is written normally; the second fails.
        const ExportRun run = exportPaths(
            {files[0].video.string(), files[1].video.string()}, dir / "OUT",
            [](ExportSettings& s) { s.desiredRate = 25.0f; },
            [&row](CVorn& engine, RecordingCaller&) {
                engine.SetExporterFactory([&row](const std::string& source, const std::string& dest)
                                              -> std::unique_ptr<vorn::mxf::CExportBase> {
                    if (source.find("0002AB") == std::string::npos)
                        return std::make_unique<vorn::mxf::CExportMxf>(source, dest);
                    return std::make_unique<FailingExporter>(source, dest, row.failVideoAt, row.failAudioChannel);
                });
            });
        EXPECT_EQ(run.verdict, "\r\n*** Export completed with errors ***\r\n") << run.log;
        ASSERT_EQ(run.results.size(), 2u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Complete);
        EXPECT_EQ(run.results[1].outcome, ClipOutcome::Error);
        // Only the first clip's files are on the card.
        for (const auto& [path, what] : treeSnapshot(dir / "OUT"))
            EXPECT_EQ(path.find("0002AB"), std::string::npos) << path;
        EXPECT_EQ(run.results[0].outputFiles,
                  (std::vector<std::string>{"Card1/CONTENTS/VIDEO/0001AB.MXF", "Card1/CONTENTS/AUDIO/0001AB00.MXF",
                                            "Card1/CONTENTS/AUDIO/0001AB01.MXF", "Card1/CONTENTS/CLIP/0001AB.XML",
                                            "Card1/CONTENTS/ICON/0001AB.BMP"}));
        EXPECT_EQ(treeSnapshot(dir / "SRC"), before);
    }
}

} // namespace
