// The pre-frame steps of a clip's export on written P2 clips: the path line,
// the "not recognized" warning, the planner's lines read from the clip's
// frame 0, and the source and destination lines.
#include "support/P2Fixture.h"
#include "support/TestSupport.h"
#include "engine/Caller.h"
#include "engine/ExportPlan.h"
#include "engine/Vorn.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;

struct Sent {
    std::string text;
    int replaceLog;
    int flag;
};

class RecordingCaller : public CCaller {
public:
    void ExportDone() override {}
    void MessageString(const QelString& text, int replaceLog, int flag) override
    {
        sent.push_back({text.str(), replaceLog, flag});
    }
    void Message(const char* text, int replaceLog, int flag) override
    {
        sent.push_back({text ? text : "", replaceLog, flag});
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& s : sent)
            out.push_back(s.text);
        return out;
    }
    std::vector<Sent> sent;
};

std::string camLine(int cam, const char* mode)
{
    return "\r\nCamera frame rate = " + std::to_string(cam) + " fps, shooting mode = " + mode + "\r\n";
}

struct ClipCase {
    const char* name;
    std::function<P2Clip()> clip;
    std::function<void(vorn::ExportOptions&)> options;
    std::vector<std::string> planLines;   // between the path line and the source line
    std::string source;                   // "" when the clip ends before the source line
    std::string dest;
    bool goesOn;
};

P2Clip smallDv(int32_t format, int64_t frames, int cam, int mode)
{
    P2Clip c = p2Clip(format, frames);
    c.frameSize = 1000;   // small frames: the planner reads only frame 0's binary group
    setBinaryGroup(c, cam, mode);
    return c;
}

const ClipCase kClipCases[] = {
    {"720p60 shot at 24 with removal",
     [] { return smallDv(2, 1000, 24, 8); },
     [](vorn::ExportOptions& o) { o.removePulldown = true; },
     {camLine(24, "3:2 pulldown"), "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\r\n"},
     "\r\nSource:\t59.940 fps, 1000 frames, 1280W x 720H, aspect ratio = 16:9\r\n",
     "Dest:\t23.976 fps, 400 frames, 1280W x 720H, aspect ratio = 16:9\r\n", true},
    {"AVC-Intra 100 1080i60 in 3:2 mode with removal",
     [] {
         P2Clip c = p2Clip(38, 1003);
         c.frameSize = 200;
         setBinaryGroup(c, 24, 8);
         return c;
     },
     [](vorn::ExportOptions& o) { o.removePulldown = true; },
     {camLine(24, "3:2 pulldown"),
      "Vorn will remove 60i 3:2 pulldown but it cannot recompress to AVC-Intra format\r\n"
      "Vorn requests you please select a Format Conversion\r\n",
      "Vorn by default will change the video format to 1080-line DVCPROHD\r\n"},
     "\r\nSource:\t29.970 fps, 1003 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
     "Dest:\t23.976 fps, 800 frames, 1920W x 1080H, aspect ratio = 16:9\r\n", true},
    {"AVC-Intra 100 1080i60 in 2:3:3:2 mode with removal",
     [] {
         P2Clip c = p2Clip(38, 1003);
         c.frameSize = 200;
         setBinaryGroup(c, 24, 12);
         return c;
     },
     [](vorn::ExportOptions& o) { o.removePulldown = true; },
     {camLine(24, "2:3:3:2 pulldown"), "Vorn will remove advanced pulldown to make 24p\r\n"},
     "\r\nSource:\t29.970 fps, 1003 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
     "Dest:\t23.976 fps, 800 frames, 1920W x 1080H, aspect ratio = 16:9\r\n", true},
    {"4:3 PAL DV to 1920",
     [] {
         P2Clip c = smallDv(9, 12, 25, 0);
         c.wide = false;
         return c;
     },
     [](vorn::ExportOptions& o) {
         o.desiredFrameSize = "Convert all to 1920 x 1080 DVCPROHD";
         o.desiredRate = 25.0f;
     },
     {camLine(25, "Interlaced"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
      "Vorn will crop 4:3 to 16:9 to fit the widescreen format\r\n"},
     "\r\nSource:\t25.000 fps, 12 frames, 720W x 576H, aspect ratio = 4:3\r\n",
     "Dest:\t25.000 fps, 12 frames, 1920W x 1080H, aspect ratio = 16:9\r\n", true},
    {"1080i to 720p: a frame of each field",
     [] { return smallDv(1, 11, 30, 0); },
     [](vorn::ExportOptions& o) { o.desiredFrameSize = "Convert all to 1280 x 720 DVCPROHD"; },
     {camLine(30, "Interlaced"), "Vorn will change the video format to 720-line DVCPROHD\r\n",
      "Vorn will make a frame of each field and output 720/60P\r\n"},
     "\r\nSource:\t29.970 fps, 11 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
     "Dest:\t59.940 fps, 22 frames, 1280W x 720H, aspect ratio = 16:9\r\n", true},
    {"720p50 to 1080i50: frame pairs woven",
     [] { return smallDv(4, 20, 50, 8); },
     [](vorn::ExportOptions& o) { o.desiredFrameSize = "Convert all to 1920 x 1080 DVCPROHD"; },
     {camLine(50, "no pulldown"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
      "Vorn will weave each pair of frames into the two fields of one frame\r\n"},
     "\r\nSource:\t50.000 fps, 20 frames, 1280W x 720H, aspect ratio = 16:9\r\n",
     "Dest:\t25.000 fps, 10 frames, 1920W x 1080H, aspect ratio = 16:9\r\n", true},
    {"PAL DVCPRO50 on 1080i59.94 is skipped",
     [] { return smallDv(1, 12, 30, 0); },
     [](vorn::ExportOptions& o) { o.desiredFrameSize = "Convert all to PAL DVCPRO50"; },
     {camLine(30, "Interlaced"),
      "Vorn will not change the video format: PAL DVCPRO50 cannot be written at 29.97 fps\r\n"},
     "\r\nSource:\t29.970 fps, 12 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
     "Dest:\t29.970 fps, 12 frames, 1920W x 1080H, aspect ratio = 16:9\r\n", true},
    {"720p50 at 50 fps with removal",
     [] { return smallDv(4, 20, 50, 8); },
     [](vorn::ExportOptions& o) { o.removePulldown = true; },
     {camLine(50, "no pulldown"), "Vorn could not determine an appropriate pulldown removal for this file\r\n"},
     "\r\nSource:\t50.000 fps, 20 frames, 1280W x 720H, aspect ratio = 16:9\r\n",
     "Dest:\t50.000 fps, 20 frames, 1280W x 720H, aspect ratio = 16:9\r\n", true},
    {"AVC-Intra 1080p25 with no option",
     [] {
         P2Clip c = p2Clip(35, 5);
         c.frameSize = 200;
         setBinaryGroup(c, 25, 8);
         return c;
     },
     [](vorn::ExportOptions& o) { o.desiredRate = 25.0f; },
     {camLine(25, "Progressive"), "Vorn could not determine the format of this file\r\n"},
     "\r\nSource:\t25.000 fps, 5 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
     "Dest:\t25.000 fps, 5 frames, 1920W x 1080H, aspect ratio = 16:9\r\n", true},
    {"720p60 VFR at 48 fps with removal",
     [] { return smallDv(2, 100, 48, 9); },
     [](vorn::ExportOptions& o) { o.removePulldown = true; },
     {camLine(48, "VFR pulldown"), "Vorn will remove VFR pulldown from 720/60P and output 720/24P\r\n"},
     "\r\nSource:\t59.940 fps, 100 frames, 1280W x 720H, aspect ratio = 16:9\r\n",
     "Dest:\t23.976 fps, 80 frames, 1280W x 720H, aspect ratio = 16:9\r\n", true},
    {"check byte mismatch",
     [] {
         P2Clip c = smallDv(1, 10, 24, 8);
         c.badCheck = true;
         return c;
     },
     [](vorn::ExportOptions& o) { o.removePulldown = true; },
     {"\r\nVorn: Invalid binary group info, camera rate, mode, and pulldown flags not readable\r\n"},
     "\r\nSource:\t29.970 fps, 10 frames, 1920W x 1080H, aspect ratio = 16:9\r\n",
     "Dest:\t29.970 fps, 10 frames, 1920W x 1080H, aspect ratio = 16:9\r\n", true},
    {"25p DV to 24p",
     [] { return smallDv(6, 10, 25, 8); },
     [](vorn::ExportOptions&) {},
     {camLine(25, "Progressive"), "Vorn\twill convert 25p to 24p\r\n",
      "Vorn by default will change the video format to 480-line DVCPRO50\r\n"},
     "\r\nSource:\t25.000 fps, 10 frames, 720W x 576H, aspect ratio = 16:9\r\n",
     "Dest:\t23.976 fps, 10 frames, 720W x 480H, aspect ratio = 16:9\r\n", true},
    {"unrecognised picture format",
     [] { return smallDv(0, 10, 24, 8); },
     [](vorn::ExportOptions&) {},
     {camLine(24, "3:2 pulldown"), "Vorn could not determine the format of this file\r\n",
      "This format is not supported.\r\n"},
     "", "", false},
};

class PlanClipCases : public ::testing::TestWithParam<ClipCase> {};

TEST_P(PlanClipCases, PrintsPathPlannerSourceAndDest)
{
    const ClipCase& c = GetParam();
    const fs::path dir = scratchDir("plan_clip");
    const auto files = writeP2Card(dir / "CARD", {c.clip()});
    const std::string path = files.at(0).video.string();

    vorn::ExportOptions options;
    c.options(options);
    CVorn engine;
    vorn::applyExportOptions(engine, options);
    RecordingCaller caller;
    const bool goesOn = vorn::planClip(caller, engine, path.c_str(), options);

    std::vector<std::string> expected = {"\r\n", path, "\r\n"};
    expected.insert(expected.end(), c.planLines.begin(), c.planLines.end());
    if (!c.source.empty()) {
        expected.push_back(c.source);
        expected.push_back(c.dest);
    }
    EXPECT_EQ(caller.texts(), expected);
    EXPECT_EQ(goesOn, c.goesOn);
    EXPECT_FALSE(caller.HadErrors());   // only an unrecognised file is an error
    for (const auto& s : caller.sent) {
        EXPECT_EQ(s.replaceLog, 0) << s.text;
        EXPECT_EQ(s.flag, 1) << s.text;
    }
}

std::string clipCaseName(const ::testing::TestParamInfo<ClipCase>& info)
{
    std::string name;
    for (const char* s = info.param.name; *s; ++s)
        name.push_back(std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(PlanClip, PlanClipCases, ::testing::ValuesIn(kClipCases), clipCaseName);

// Every file below a folder with its size and contents.
std::map<std::string, std::vector<uint8_t>> snapshot(const fs::path& root)
{
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out[e.path().string()] = e.is_regular_file() ? readBytes(e.path()) : std::vector<uint8_t>{};
    return out;
}

TEST(PlanClip, NotRecognizedFileIsWarnedAndMarkedAsError)
{
    const fs::path dir = scratchDir("plan_clip_audio");
    const auto files = writeP2Card(dir / "CARD", {smallDv(9, 5, 25, 8)});
    const std::string audio = files.at(0).audio.at(0).string();
    const std::string junk = (dir / "JUNK.MXF").string();
    writeText(junk, "not an mxf file at all");

    for (const std::string& path : {audio, junk}) {
        CVorn engine;
        RecordingCaller caller;
        EXPECT_FALSE(vorn::planClip(caller, engine, path.c_str(), vorn::ExportOptions{}));
        const std::vector<std::string> expected = {
            "\r\n", path, "\r\n",
            "\r\nWarning: The file " + CVorn::ClipName(path.c_str()) + " was not recognized as a video MXF file\r\n"};
        EXPECT_EQ(caller.texts(), expected);
        EXPECT_TRUE(caller.HadErrors());
    }
}

TEST(PlanClip, WritesNothingAndStoresTheDesiredRate)
{
    const fs::path dir = scratchDir("plan_clip_nowrite");
    P2Clip clip = smallDv(2, 50, 24, 8);
    writeP2Card(dir / "CARD", {clip});
    const auto before = snapshot(dir);

    CVorn engine;
    RecordingCaller importer;
    engine.Import(&importer, (dir / "CARD").string().c_str());
    ASSERT_EQ(engine.FileCount(), 1);
    vorn::ExportOptions options;
    options.removePulldown = true;
    options.addPulldown = true;
    options.rotate = true;
    options.reduceNoise = true;
    options.desiredRate = 29.97f;
    vorn::applyExportOptions(engine, options);
    RecordingCaller caller;
    EXPECT_TRUE(vorn::planClip(caller, engine, engine.File(0).c_str(), options));
    EXPECT_FLOAT_EQ(engine.m_desiredFrameRate, 29.97f);
    EXPECT_EQ(snapshot(dir), before);

    // Removal, addition, rotation and noise reduction are all decided, in order.
    const auto texts = caller.texts();
    ASSERT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts[4], "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\r\n");
    EXPECT_EQ(texts[5], "Vorn will add 2:3 pulldown\r\n");
    EXPECT_EQ(texts[6], "Vorn will rotate image if possible\r\n");
    EXPECT_EQ(texts[7], "Vorn will apply noise reduction\r\n");
    EXPECT_EQ(texts[9], "Dest:\t59.940 fps, 50 frames, 1280W x 720H, aspect ratio = 16:9\r\n");
}

TEST(PlanClip, PlanHoldsTheClipInputs)
{
    const fs::path dir = scratchDir("plan_clip_inputs");
    P2Clip clip = p2Clip(42, 7);
    clip.frameSize = 300;
    clip.wide = false;
    setBinaryGroup(clip, 60, 8);
    const auto files = writeP2Card(dir / "CARD", {clip});

    vorn::ExportOptions options;
    options.desiredFrameSize = "Convert all to 1280 x 720 DVCPROHD";
    options.add32 = true;
    options.removeAdvanced = true;
    CVorn engine;
    vorn::applyExportOptions(engine, options);
    RecordingCaller caller;
    vorn::ClipExport state;
    ASSERT_EQ(vorn::startClipExport(caller, engine, files[0].video.string().c_str(), options, state),
              vorn::ClipStart::Planned);
    const vorn::ConversionPlan& p = state.plan;
    EXPECT_EQ(p.sourceFormat, 42);
    EXPECT_EQ(p.sourceFrameSize, firstFrameSize(clip));
    EXPECT_EQ(p.sourceRate, 60);
    EXPECT_EQ(p.desiredRateRounded, 24);
    EXPECT_EQ(p.frameSizeChoice, 2);
    EXPECT_EQ(p.add32, 1);
    EXPECT_EQ(p.removeAdvanced, 1);
    EXPECT_EQ(p.widescreen, 0);
    EXPECT_EQ(p.cameraRate, 60);
    EXPECT_EQ(p.targetFormat, 2);
    EXPECT_EQ(p.outFrameSize, 240000);
    EXPECT_EQ(p.frameCount, 7);
    EXPECT_EQ(state.buffers.frame0Size, firstFrameSize(clip));
}

} // namespace
