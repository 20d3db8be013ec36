// The time code of converted clips: the DV subcode of every output frame, the
// MXF time-code component and the clip XML's StartTimecode name the same
// frames, for drop-frame and non-drop starts at 29.97 and 59.94 (also where
// drop-frame labels skip at a minute) and across a 24p/25p speed change.
#include "dv/DvSystemData.h"
#include "engine/BGinfo.h"
#include "engine/ExportResult.h"
#include "engine/VideoFormat.h"
#include "engine/helpers/ExportHarness.h"
#include "mxf/MxfFile.h"
#include "mxf/Timecode.h"
#include "mxf/XmlNode.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;

struct Label {
    int h = 0, m = 0, s = 0, f = 0;
    bool operator==(const Label&) const = default;
};

std::string text(const Label& l)
{
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d:%02d", l.h, l.m, l.s, l.f);
    return b;
}

// The next label when counting in `base`; drop-frame counting at 30 has no
// frames 0 and 1 at the start of a minute not divisible by ten.
Label next(Label l, int base, bool drop)
{
    if (++l.f < base)
        return l;
    l.f = 0;
    if (++l.s < 60)
        return l;
    l.s = 0;
    if (++l.m == 60) {
        l.m = 0;
        l.h = (l.h + 1) % 24;
    }
    if (drop && l.m % 10 != 0)
        l.f = 2;
    return l;
}

// Four numbers separated by single characters ("00:10:00;28").
bool parseLabel(const std::string& t, Label& l)
{
    char a = 0, b = 0, c = 0;
    return std::sscanf(t.c_str(), "%d%c%d%c%d%c%d", &l.h, &a, &l.m, &b, &l.s, &c, &l.f) == 7;
}

// Puts a time code pack (0x13, 00:00:00:00) into the first subcode block of
// every DIF sequence of a synthetic frame, where the writer stamps the running
// code.
void addTimecodePacks(std::vector<uint8_t>& frame)
{
    for (size_t q = 0; q + 12000 <= frame.size(); q += 12000) {
        uint8_t* pack = frame.data() + q + 80 + 3 + 3;
        const uint8_t bytes[5] = {0x13, 0x00, 0x00, 0x00, 0x00};
        std::copy(bytes, bytes + 5, pack);
    }
}

// Real DV frames made by FFmpeg (the re-encoding rows decode them).
std::vector<std::vector<uint8_t>> dvFramesFromFfmpeg(int32_t format, const char* size, const char* rate,
                                                      const char* pix, int count)
{
    const fs::path file = scratchDir("tc_ffmpeg_" + std::to_string(format)) / "frames.dv";
    std::ostringstream cmd;
    cmd << "ffmpeg -v error -y -f lavfi -i testsrc2=s=" << size << ":r=" << rate << " -frames:v " << count
        << " -pix_fmt " << pix << " -c:v dvvideo -f dv " << shellQuote(file.string());
    const auto r = runCommand(cmd.str());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto bytes = readBytes(file);
    const size_t n = static_cast<size_t>(vorn::dvFrameBytes(format));
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + n <= bytes.size(); at += n)
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
    return frames;
}

void writeClipXml(const fs::path& file, const std::string& startTimecode)
{
    writeText(file, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
                    "<P2Main xmlns=\"urn:schemas-Professional-Plug-in:P2:ClipMetadata:v3.1\">\n"
                    "<ClipContent><ClipName>0001AB</ClipName><EssenceList><Video>"
                    "<StartTimecode>" + startTimecode + "</StartTimecode>"
                    "</Video></EssenceList></ClipContent></P2Main>\n");
}

TEST(ExportTimecode, SubcodeMxfAndXmlAgreeOnEveryFrame)
{
    struct Row {
        const char* name;
        int32_t format;
        int64_t frames;
        Label start;            // the source's start label
        int tcBase;             // of the source's time code
        bool drop;
        const char* xml;        // the source clip XML's StartTimecode (nullptr: no clip XML)
        float desiredRate;
        int cameraRate;         // binary group (0: none)
        bool ffmpegFrames;      // real pictures (re-encoded rows)
        // Expected output.
        int32_t target;
        int base;               // counting base of the output time code
        bool outDrop;
        int picturesPerLabel;   // 2 at 59.94p (720p50 frames at 25 hold both pictures)
        Label outStart;
        bool removePulldown = false;   // the 24p pictures are taken out of their cadence first
    };
    const Row rows[] = {
        {"1080i drop frame, minute 10", 1, 6, {0, 10, 0, 28}, 30, true, nullptr, 29.97f, 0, false,
         1, 30, true, 1, {0, 10, 0, 28}},
        {"1080i drop frame across a minute", 1, 8, {0, 0, 59, 27}, 30, true, nullptr, 29.97f, 0, false,
         1, 30, true, 1, {0, 0, 59, 27}},
        {"1080i drop frame into minute 10 (no skip)", 1, 4, {0, 9, 59, 28}, 30, true, nullptr, 29.97f, 0, false,
         1, 30, true, 1, {0, 9, 59, 28}},
        {"1080i non-drop across a minute", 1, 5, {1, 0, 59, 28}, 30, false, nullptr, 29.97f, 0, false,
         1, 30, false, 1, {1, 0, 59, 28}},
        {"1080i drop frame from the clip XML", 1, 6, {0, 0, 0, 0}, 30, true, "01:02:59;28", 29.97f, 0, false,
         1, 30, true, 1, {1, 2, 59, 28}},
        {"DVCPRO50 drop frame across a minute", 8, 6, {0, 20, 59, 28}, 30, true, nullptr, 29.97f, 0, false,
         8, 30, true, 1, {0, 20, 59, 28}},
        {"720p59.94 drop frame across a minute", 2, 10, {0, 0, 59, 28}, 30, true, nullptr, 59.94f, 60, false,
         2, 30, true, 2, {0, 0, 59, 28}},
        // A drop-frame label tells the time of day: 10 min and 28/30 s,
        // which 25p counts as 00:10:00:23.
        {"720p59.94 drop frame 24p to 720p50", 2, 10, {0, 10, 0, 28}, 30, true, nullptr, 25.0f, 24, true,
         4, 25, false, 1, {0, 10, 0, 23}, true},
        // 13 of 25 frames is 0.52 s: frame 12 of 24.
        {"DV25 PAL 25p to 23.98p", 9, 10, {1, 0, 0, 13}, 25, false, nullptr, 23.976f, 25, true,
         8, 24, false, 1, {1, 0, 0, 12}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.ffmpegFrames && !haveTool("ffmpeg")) {
            VORN_REQUIRE_TOOL("ffmpeg");
            continue;
        }
        const fs::path dir = scratchDir(std::string("tc_") + std::to_string(&row - rows));
        P2Clip clip = p2Clip(row.format, row.frames);
        clip.tcBase = row.tcBase;
        clip.dropFrame = row.drop;
        clip.startTimecode = vorn::mxf::TimecodeLabelToFrames(row.start.h, row.start.m, row.start.s, row.start.f,
                                                              row.tcBase, row.drop);
        if (row.cameraRate)
            setBinaryGroup(clip, row.cameraRate, 8, row.cameraRate == 60 ? 3 : 0);
        else
            clip.writeBinaryGroup = false;
        if (row.ffmpegFrames) {
            clip.frameData = row.format == 2 ? dvFramesFromFfmpeg(2, "960x720", "60000/1001", "yuv422p", 10)
                                             : dvFramesFromFfmpeg(9, "720x576", "25", "yuv411p", 10);
            ASSERT_EQ(clip.frameData.size(), 10u);
            if (row.removePulldown)   // 720p59.94 shot at 24: the camera's 2:3 cadence flags
                clip.frameHook = [](int64_t index, std::vector<uint8_t>& f) {
                    static constexpr uint8_t kCadence[] = {2, 2, 1, 1, 0};
                    f[119] = static_cast<uint8_t>((f[119] & ~3u) | kCadence[index % 5]);
                    f[122] = binaryGroupCheck(f[119], f[120], f[121]);
                };
        } else {
            clip.frameHook = [](int64_t, std::vector<uint8_t>& f) { addTimecodePacks(f); };
        }
        const auto files = writeP2Card(dir / "SRC", {clip});
        if (row.xml)
            writeClipXml(dir / "SRC" / "CONTENTS" / "CLIP" / "0001AB.XML", row.xml);

        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT",
                                          [&](ExportSettings& s) {
                                              s.desiredRate = row.desiredRate;
                                              s.removePulldown = row.removePulldown;
                                          });
        ASSERT_EQ(run.results.size(), 1u);
        ASSERT_EQ(run.results[0].outcome, vorn::ClipOutcome::Complete) << run.log;
        EXPECT_EQ(run.results[0].targetFormat, row.target);
        const fs::path contents = dir / "OUT" / "Card1" / "CONTENTS";

        // The MXF time-code component.
        CMxfFile out((contents / "VIDEO" / "0001AB.MXF").string().c_str());
        ASSERT_EQ(out.ReadHeaders(), 1);
        EXPECT_EQ(out.TcBase(), row.base);
        EXPECT_EQ(out.DropFrame() != 0, row.outDrop);
        EXPECT_EQ(out.StartTimecode(), vorn::mxf::TimecodeLabelToFrames(row.outStart.h, row.outStart.m, row.outStart.s,
                                                                        row.outStart.f, row.base, row.outDrop));
        // The reader splits that count into the same label.
        EXPECT_EQ(text({out.TcHours(), out.TcMinutes(), out.TcSeconds(), out.TcFrames()}), text(row.outStart));

        // The clip XML.
        vorn::mxf::XmlDocument xml;
        ASSERT_EQ(xml.load(contents / "CLIP" / "0001AB.XML", "P2Main"), 0);
        const auto video = xml.topElement().child("ClipContent").child("EssenceList").child("Video");
        Label xmlStart;
        ASSERT_TRUE(parseLabel(video.child("StartTimecode").text(), xmlStart)) << video.child("StartTimecode").text();
        EXPECT_EQ(text(xmlStart), text(row.outStart));
        if (row.base == 30) {
            EXPECT_EQ(video.child("FrameRate").attribute("DropFrameFlag").value_or(""), row.outDrop ? "true" : "false");
        }

        // The subcode of every frame, counting on from the start.
        std::vector<uint8_t> buffer(static_cast<size_t>(vorn::kMaxFrameBufferBytes));
        Label want = row.outStart;
        ASSERT_GT(out.FrameCount(), 0);
        for (int64_t i = 0; i < out.FrameCount(); ++i) {
            SCOPED_TRACE(i);
            const int got = out.ReadFrame(buffer, i);
            ASSERT_GT(got, 0);
            vorn::dv::TimecodeCounter tc;
            ASSERT_TRUE(vorn::dv::ReadTimecode(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got)), tc));
            EXPECT_EQ(text({tc.hours(), tc.minutes(), tc.seconds(), tc.frames()}), text(want));
            EXPECT_EQ(tc.dropFrame, row.outDrop);
            if ((i + 1) % row.picturesPerLabel == 0)
                want = next(want, row.base, row.outDrop);
        }
    }
}

TEST(ExportTimecode, BinaryGroupStampingCountsDropFrame)
{
    // The time code stamped with the binary group (subcode 0x13/0x63 packs,
    // AVC-Intra headers) skips the drop-frame labels as the MXF time code does.
    struct Row { Label start; bool drop; int rate; std::vector<Label> then; };
    const Row rows[] = {
        {{0, 0, 59, 28}, true, 30, {{0, 0, 59, 29}, {0, 1, 0, 2}, {0, 1, 0, 3}}},
        {{0, 9, 59, 29}, true, 30, {{0, 10, 0, 0}, {0, 10, 0, 1}}},
        {{0, 0, 59, 29}, false, 30, {{0, 1, 0, 0}, {0, 1, 0, 1}}},
        {{0, 0, 59, 24}, true, 25, {{0, 1, 0, 0}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(text(row.start));
        BGinfo bg;
        bg.SetTimecode(row.start.h, row.start.m, row.start.s, row.start.f, row.drop);
        for (const Label& want : row.then) {
            bg.AdvanceTimecode(row.rate);
            EXPECT_EQ(text({bg.hours, bg.minutes, bg.seconds, bg.frames}), text(want));
        }
        // The pack carries the drop-frame flag.
        std::vector<uint8_t> frame(static_cast<size_t>(vorn::dvFrameBytes(10)), 0xFF);
        addTimecodePacks(frame);
        bg.StampDvSubcode(frame.data(), frame.size(), 30, row.rate, 10, 0, 0, 0, 0);
        vorn::dv::TimecodeCounter tc;
        ASSERT_TRUE(vorn::dv::ReadTimecode(frame, tc));
        EXPECT_EQ(tc.dropFrame, row.drop);
        EXPECT_EQ(text({tc.hours(), tc.minutes(), tc.seconds(), tc.frames()}), text(row.then.back()));
    }
}

} // namespace
