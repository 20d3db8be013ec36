// The conversion planner on its inputs: every row of the source decision, the
// speed changes, format conversion, pulldown addition, rotation, noise
// reduction and the output binary group, with the exact log lines.
#include "engine/BGinfo.h"
#include "engine/ConversionPlan.h"
#include "engine/ExportPlan.h"
#include "engine/FrameProcesser.h"
#include "engine/VideoFormat.h"
#include "foundation/Options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using vorn::ConversionPlan;
using vorn::PlannerBinaryGroup;

constexpr const char* kNull = "(null)";
constexpr const char* kCouldNot = "Vorn could not determine an appropriate pulldown removal for this file\r\n";
constexpr const char* kDefault1080 = "Vorn by default will change the video format to 1080-line DVCPROHD\r\n";
constexpr const char* kDefault720 = "Vorn by default will change the video format to 720-line DVCPROHD\r\n";

std::string camLine(int cam, const char* mode)
{
    return "\r\nCamera frame rate = " + std::to_string(cam) + " fps, shooting mode = " + mode + "\r\n";
}

// The usual rounded edit rate of a format.
int32_t usualRate(int32_t format)
{
    switch (format) {
    case 2: case 36: case 42: return 60;
    case 4: case 37: case 43: return 50;
    case 3: case 6: case 7: case 9: case 33: case 35: case 39: case 41: return 25;
    default: return 30;
    }
}

struct PlanSetup {
    int32_t format = 9;
    int64_t frames = 1000;
    int32_t sourceRate = 0;       // 0: the format's usual rate
    bool valid = true;
    int32_t cam = 25;
    int32_t mode = 8;             // shooting mode
    bool remove = false;
    bool add = false;
    bool add32 = false;
    bool addAdvanced = false;
    bool rotate = false;
    bool noise = false;
    bool remove32 = false;
    bool removeAdvanced = false;
    float desired = 23.976f;
    const char* frameSize = "no conversion";
    bool wide = true;
};

struct Expect {
    Expect(std::vector<std::string> lines_, int32_t rateNum_, int32_t rateDen_, int64_t frames_, float ratio_,
           int32_t target_, int32_t reencode_, const char* label_ = "unchanged", int32_t outSize_ = 0,
           std::function<void(const ConversionPlan&)> more_ = {})
        : lines(std::move(lines_)), rateNum(rateNum_), rateDen(rateDen_), frames(frames_), ratio(ratio_),
          target(target_), reencode(reencode_), label(label_), outSize(outSize_), more(std::move(more_))
    {
    }
    std::vector<std::string> lines;
    int32_t rateNum;
    int32_t rateDen;
    int64_t frames;
    float ratio;
    int32_t target;
    int32_t reencode;
    const char* label;
    int32_t outSize;              // 0: not checked
    std::function<void(const ConversionPlan&)> more;
};

struct Case {
    const char* name;
    PlanSetup in;
    Expect out;
};

ConversionPlan makePlan(const PlanSetup& s)
{
    ConversionPlan p;
    p.sourceFormat = p.targetFormat = s.format;
    p.frameCount = s.frames;
    p.sourceRate = s.sourceRate ? s.sourceRate : usualRate(s.format);
    p.sourceFrameSize = vorn::isAvcIntra(s.format) ? 5000 : vorn::dvFrameBytes(s.format);
    p.outFrameSize = p.outFrameSizeLater = p.sourceFrameSize;
    p.desiredRate = s.desired;
    p.desiredRateRounded = vorn::roundRate(s.desired);
    p.removePulldown = s.remove;
    p.addPulldown = s.add;
    p.add32 = s.add32;
    p.addAdvanced = s.addAdvanced;
    p.rotate = s.rotate;
    p.reduceNoise = s.noise;
    p.remove32 = s.remove32;
    p.removeAdvanced = s.removeAdvanced;
    p.widescreen = s.wide;
    p.frameSizeChoice = vorn::frameSizeChoiceOf(s.frameSize);
    return p;
}

std::vector<std::string> runPlanner(ConversionPlan& plan, const PlanSetup& s)
{
    PlannerBinaryGroup bg;
    bg.valid = s.valid;
    bg.cameraRate = s.cam;
    bg.shootingMode = s.mode;
    std::vector<std::string> lines;
    vorn::planConversion(plan, bg, [&](const std::string& text) { lines.push_back(text); });
    return lines;
}

std::string labelText(const char* label) { return label ? label : kNull; }

const Case kCases[] = {
    // ---- 720p60 source ----
    {"720p60 rate not 60000", {.format = 2, .sourceRate = 30, .cam = 24, .remove = true},
     {{camLine(24, "3:2 pulldown"), kCouldNot}, 30000, 1001, 1000, 1.0f, 2, 0, "unchanged", 0,
      [](const ConversionPlan& p) { EXPECT_EQ(p.removePulldown, 0); }}},
    {"720p60 cam 24", {.format = 2, .cam = 24, .remove = true},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\r\n"},
      24000, 1001, 400, 0.4f, 2, 0, kNull, 240000}},
    {"720p60 cam 30", {.format = 2, .frames = 1001, .cam = 30, .remove = true},
     {{camLine(30, "2:2 pulldown"), "Vorn will remove 2:2 pulldown from 720/60P and output 720/24P\r\n"},
      24000, 1001, 500, 0.5f, 2, 0, kNull, 240000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.progressive, 1); }}},
    {"720p60 cam 30 to 25p sets the 720p50 target and its frame size",
     {.format = 2, .cam = 30, .remove = true, .desired = 25.0f},
     {{camLine(30, "2:2 pulldown"), "Vorn will remove 2:2 pulldown from 720/60P and output 720/25P\r\n"},
      25, 1, 500, 0.5f, 4, 0, kNull, 288000}},
    {"720p60 cam 60", {.format = 2, .cam = 60, .remove = true},
     {{camLine(60, "no pulldown"), "Vorn will take 720/60P and output 720/24P\r\n"},
      24000, 1001, 1000, 1.0f, 2, 0, kNull}},
    {"720p60 cam 25 (AVC-Intra 100, 29.97)",
     {.format = 42, .cam = 25, .remove = true, .desired = 29.97f},
     {{camLine(25, "Progressive"), "Vorn will remove Progressive from 720/60P and output 720/30P\r\n"},
      30000, 1001, 415, 0.41666666f, 42, 0, kNull}},
    {"720p60 cam 25 to 25p: AVC-Intra 100 720p50", {.format = 42, .cam = 25, .remove = true, .desired = 25.0f},
     {{camLine(25, "Progressive"), "Vorn will remove Progressive from 720/60P and output 720/25P\r\n"},
      25, 1, 415, 0.41666666f, 43, 0, kNull}},
    {"720p60 cam 25 to 25p: AVC-Intra 50 720p50", {.format = 36, .cam = 25, .remove = true, .desired = 25.0f},
     {{camLine(25, "Progressive"), "Vorn will remove Progressive from 720/60P and output 720/25P\r\n"},
      25, 1, 415, 0.41666666f, 37, 0, kNull}},
    {"720p60 VFR at 48 fps", {.format = 2, .cam = 48, .mode = 9, .remove = true},
     {{camLine(48, "VFR pulldown"), "Vorn will remove VFR pulldown from 720/60P and output 720/24P\r\n"},
      24000, 1001, 800, 0.8f, 2, 0, kNull}},
    {"720p60 other camera rate", {.format = 2, .cam = 50, .remove = true},
     {{camLine(50, "no pulldown"), kCouldNot}, 60000, 1001, 1000, 1.0f, 2, 0, "unchanged", 0,
      [](const ConversionPlan& p) { EXPECT_EQ(p.removePulldown, 0); }}},
    {"720p60 without removal", {.format = 2, .cam = 24},
     {{camLine(24, "3:2 pulldown")}, 60000, 1001, 1000, 1.0f, 2, 0, "unchanged"}},

    // ---- 720p50 source ----
    {"720p50 cam 25", {.format = 4, .frames = 1001, .cam = 25, .remove = true, .desired = 25.0f},
     {{camLine(25, "2:2 pulldown"), "Vorn will remove 2:2 pulldown from 720/50P and output 720/25P\r\n"},
      25, 1, 500, 0.5f, 4, 0, kNull}},
    {"720p50 cam 50", {.format = 4, .cam = 50, .remove = true},
     {{camLine(50, "no pulldown"), kCouldNot}, 50, 1, 1000, 1.0f, 4, 0, "unchanged", 0,
      [](const ConversionPlan& p) { EXPECT_EQ(p.removePulldown, 0); }}},
    {"720p50 without removal", {.format = 4, .cam = 50},
     {{camLine(50, "no pulldown")}, 50, 1, 1000, 1.0f, 4, 0, "unchanged"}},

    // ---- 60i source ----
    {"60i rate not 30000", {.format = 1, .sourceRate = 24, .cam = 24, .remove = true, .remove32 = true, .removeAdvanced = true},
     {{camLine(24, "Progressive"), kCouldNot}, 24000, 1001, 1000, 1.0f, 1, 0, "unchanged", 0,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.remove32, 0);
          EXPECT_EQ(p.removeAdvanced, 0);
          EXPECT_EQ(p.removePulldown, 1);
      }}},
    {"60i advanced removal", {.format = 38, .frames = 1003, .cam = 24, .mode = 12, .remove = true, .remove32 = true},
     {{camLine(24, "2:3:3:2 pulldown"), "Vorn will remove advanced pulldown to make 24p\r\n"},
      24000, 1001, 800, 0.8f, 38, 0, kNull, 5000,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.removeAdvanced, 1);
          EXPECT_EQ(p.remove32, 0);   // no field-repairing removal on frames that are copied
      }}},
    {"60i 3:2 removal from AVC-Intra without a format choice", {.format = 38, .frames = 1003, .cam = 24, .remove = true},
     {{camLine(24, "3:2 pulldown"),
       "Vorn will remove 60i 3:2 pulldown but it cannot recompress to AVC-Intra format\r\n"
       "Vorn requests you please select a Format Conversion\r\n",
       kDefault1080},
      24000, 1001, 800, 0.8f, 1, 1, kNull, 480000,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.remove32, 1);
          EXPECT_EQ(p.removeAdvanced, 0);
      }}},
    {"60i 3:2 removal from DVCPRO HD", {.format = 1, .cam = 24, .remove = true, .removeAdvanced = true},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 60i 3:2 pulldown\r\n"}, 24000, 1001, 800, 0.8f, 1, 1, kNull, 480000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.removeAdvanced, 0); }}},
    {"60i 3:2 removal from AVC-Intra with a format choice",
     {.format = 32, .cam = 24, .remove = true, .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 60i 3:2 pulldown\r\n",
       "Vorn will change the video format to 720-line DVCPROHD\r\n"},
      24000, 1001, 800, 0.8f, 2, 1, kNull, 240000}},
    {"60i progressive 30", {.format = 5, .cam = 30, .remove = true, .remove32 = true, .removeAdvanced = true},
     {{camLine(30, "Progressive")}, 30000, 1001, 1000, 1.0f, 5, 0, "2:2", 0,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.remove32, 0);
          EXPECT_EQ(p.removeAdvanced, 0);
          EXPECT_EQ(p.progressive, 1);
      }}},
    {"60i progressive 30 to 720 with crop",
     {.format = 5, .cam = 30, .frameSize = "Convert all to 1280 x 720 DVCPROHD", .wide = false},
     {{camLine(30, "Progressive"), "Vorn will change the video format to 720-line DVCPROHD\r\n",
       "Vorn will crop 4:3 to 16:9 to fit the widescreen format\r\n"},
      30000, 1001, 1000, 1.0f, 2, 1, kNull, 240000,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.cropTo169, 1);
          EXPECT_EQ(p.widescreen, 1);
      }}},
    {"60i interlaced with removal", {.format = 10, .cam = 30, .mode = 0, .remove = true, .remove32 = true},
     {{camLine(30, "Interlaced"), kCouldNot}, 30000, 1001, 1000, 1.0f, 10, 0, "unchanged", 0,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.progressive, 0);
          EXPECT_EQ(p.remove32, 0);
          EXPECT_EQ(p.removePulldown, 1);
      }}},
    {"60i invalid binary group", {.format = 1, .valid = false, .cam = 24, .mode = 0, .remove = true},
     {{"\r\nVorn: Invalid binary group info, camera rate, mode, and pulldown flags not readable\r\n"},
      30000, 1001, 1000, 1.0f, 1, 0, "2:2", 0,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.cameraRate, 30);
          EXPECT_EQ(p.progressive, 1);
      }}},

    // ---- 50i source ----
    {"50i 25p removal", {.format = 9, .cam = 25, .remove = true, .remove32 = true, .removeAdvanced = true, .desired = 25.0f},
     {{camLine(25, "Progressive")}, 25, 1, 1000, 1.0f, 9, 0, "2:2", 0,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.remove32, 0);
          EXPECT_EQ(p.removeAdvanced, 0);
          EXPECT_EQ(p.progressive, 1);
      }}},
    {"50i removal not possible", {.format = 3, .cam = 30, .remove = true, .removeAdvanced = true},
     {{camLine(30, "Progressive"), "Vorn could not determine an appropriate conversion for this file\r\n"},
      25, 1, 1000, 1.0f, 3, 0, "unchanged", 0,
      [](const ConversionPlan& p) { EXPECT_EQ(p.removeAdvanced, 0); }}},
    {"50i without removal", {.format = 7, .cam = 50, .mode = 0, .removeAdvanced = true},
     {{camLine(50, "no pulldown")}, 25, 1, 1000, 1.0f, 7, 0, "unchanged", 0,
      [](const ConversionPlan& p) { EXPECT_EQ(p.removeAdvanced, 0); }}},

    // ---- formats of no group ----
    {"1080p25 AVC-Intra", {.format = 35, .cam = 25, .desired = 25.0f},
     {{camLine(25, "Progressive"), "Vorn could not determine the format of this file\r\n"},
      25, 1, 1000, 1.0f, 35, 0, "unchanged"}},
    {"unrecognised format", {.format = 0, .valid = false},
     {{"\r\nVorn: Invalid binary group info, camera rate, mode, and pulldown flags not readable\r\n",
       "Vorn could not determine the format of this file\r\n"},
      30000, 1001, 1000, 1.0f, 0, 0, "unchanged"}},

    // ---- 25p to 24p ----
    {"25p to 24p from 576 lines", {.format = 9, .cam = 25},
     {{camLine(25, "Progressive"), "Vorn\twill convert 25p to 24p\r\n",
       "Vorn by default will change the video format to 480-line DVCPRO50\r\n"},
      24000, 1001, 1000, 1.0f, 8, 1, "unchanged", 240000,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.cameraRate, 24);
          EXPECT_EQ(p.convert2425, 1);
      }}},
    {"25p to 24p from 720p50 DVCPRO HD after removal", {.format = 4, .cam = 25, .remove = true},
     {{camLine(25, "2:2 pulldown"), "Vorn will remove 2:2 pulldown from 720/50P and output 720/25P\r\n",
       "Vorn\twill convert 25p to 24p\r\n"},
      24000, 1001, 500, 0.5f, 2, 0, kNull, 240000}},
    {"25p to 24p from 1080 lines", {.format = 3, .cam = 25},
     {{camLine(25, "Progressive"), "Vorn\twill convert 25p to 24p\r\n", kDefault1080},
      24000, 1001, 1000, 1.0f, 1, 1, "unchanged", 480000}},
    {"25p to 24p from AVC-Intra 720p50 after removal", {.format = 37, .cam = 25, .remove = true},
     {{camLine(25, "2:2 pulldown"), "Vorn will remove 2:2 pulldown from 720/50P and output 720/25P\r\n",
       "Vorn\twill convert 25p to 24p\r\n", kDefault720},
      24000, 1001, 500, 0.5f, 2, 1, kNull, 240000}},
    {"25p to 24p with a PAL format choice: the choice is skipped", {.format = 9, .cam = 25, .frameSize = "Convert all to PAL DVCPRO25"},
     {{camLine(25, "Progressive"), "Vorn\twill convert 25p to 24p\r\n",
       "Vorn will not change the video format: PAL DVCPRO cannot be written at 23.98 fps\r\n"},
      24000, 1001, 1000, 1.0f, 9, 0, "unchanged", 144000}},
    {"25p to 24p with an NTSC format choice", {.format = 9, .cam = 25, .frameSize = "Convert all to NTSC DV/DVCPRO25"},
     {{camLine(25, "Progressive"), "Vorn\twill convert 25p to 24p\r\n", "Vorn will change the video format to NTSC DVCPRO\r\n"},
      24000, 1001, 1000, 1.0f, 10, 1, "unchanged", 120000}},

    // ---- 24p to 25p ----
    {"24p to 25p from 720p60 DVCPRO HD after removal", {.format = 2, .cam = 24, .remove = true, .desired = 25.0f},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\r\n",
       "Vorn\twill convert 24p to 25p\r\n"},
      25, 1, 400, 0.4f, 4, 0, kNull, 288000, [](const ConversionPlan& p) { EXPECT_EQ(p.cameraRate, 25); }}},
    {"24p to 25p from 720p 24pN", {.format = 2, .sourceRate = 24, .cam = 24, .desired = 25.0f},
     {{camLine(24, "Progressive"), "Vorn\twill convert 24p to 25p\r\n"}, 25, 1, 1000, 1.0f, 4, 0, "unchanged", 288000}},
    {"24p to 25p from 1080 lines after removal", {.format = 1, .cam = 24, .remove = true, .desired = 25.0f},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 60i 3:2 pulldown\r\n", "Vorn\twill convert 24p to 25p\r\n",
       kDefault1080},
      25, 1, 800, 0.8f, 3, 1, "2:2", 576000}},
    {"24p to 25p from 480 lines after removal", {.format = 8, .cam = 24, .remove = true, .desired = 25.0f},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 60i 3:2 pulldown\r\n", "Vorn\twill convert 24p to 25p\r\n",
       "Vorn by default will change the video format to 576-line DVCPRO50\r\n"},
      25, 1, 800, 0.8f, 7, 1, kNull, 288000}},
    {"24p to 25p from AVC-Intra 720p60 after removal", {.format = 42, .cam = 24, .remove = true, .desired = 25.0f},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\r\n",
       "Vorn\twill convert 24p to 25p\r\n", kDefault720},
      25, 1, 400, 0.4f, 4, 1, kNull, 288000}},

    // ---- format conversion ----
    {"1920 on 4:3 PAL DV", {.format = 9, .cam = 25, .mode = 0, .desired = 25.0f,
                            .frameSize = "Convert all to 1920 x 1080 DVCPROHD", .wide = false},
     {{camLine(25, "Interlaced"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will crop 4:3 to 16:9 to fit the widescreen format\r\n"},
      25, 1, 1000, 1.0f, 3, 1, "2:2", 576000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.cropTo169, 1); }}},
    {"1920 on 4:3 NTSC DV", {.format = 10, .cam = 30, .mode = 0, .frameSize = "Convert all to 1920 x 1080 DVCPROHD", .wide = false},
     {{camLine(30, "Interlaced"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will crop 4:3 to 16:9 to fit the widescreen format\r\n"},
      30000, 1001, 1000, 1.0f, 1, 1, "unchanged", 480000}},
    {"1920 on 16:9 NTSC DV", {.format = 10, .cam = 30, .mode = 0, .frameSize = "Convert all to 1920 x 1080 DVCPROHD"},
     {{camLine(30, "Interlaced"), "Vorn will change the video format to 1080-line DVCPROHD\r\n"},
      30000, 1001, 1000, 1.0f, 1, 1, "unchanged", 480000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.cropTo169, 0); }}},
    {"1280 on 720p50 keeps the 50 Hz format", {.format = 4, .cam = 50, .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(50, "no pulldown"), "Vorn will change the video format to 720-line DVCPROHD\r\n"},
      50, 1, 1000, 1.0f, 4, 1, "unchanged", 288000}},
    // An interlaced target at its field rate weaves frame pairs into the
    // two fields of one frame: half the frames at the frame rate. Pictures
    // shot at the field rate become interlaced ones.
    {"1920 on 720p50 weaves frame pairs", {.format = 4, .cam = 50, .frameSize = "Convert all to 1920 x 1080 DVCPROHD"},
     {{camLine(50, "no pulldown"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will weave each pair of frames into the two fields of one frame\r\n"},
      25, 1, 500, 0.5f, 3, 1, "unchanged", 576000,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::FramePairsToFields);
          EXPECT_EQ(p.cameraRate, 25);
          EXPECT_EQ(p.progressive, 0);
      }}},
    {"1920 on 720p59.94 weaves frame pairs, noise reduction stands",
     {.format = 2, .frames = 1001, .cam = 60, .noise = true, .frameSize = "Convert all to 1920 x 1080 DVCPROHD"},
     {{camLine(60, "no pulldown"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will weave each pair of frames into the two fields of one frame\r\n",
       "Vorn will apply noise reduction\r\n"},
      30000, 1001, 500, 0.5f, 1, 1, "unchanged", 480000,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::FramePairsToFields);
          EXPECT_EQ(p.cameraRate, 30);
          EXPECT_EQ(p.progressive, 0);
      }}},
    {"NTSC DVCPRO50 on AVC-Intra 720p59.94 weaves frame pairs",
     {.format = 42, .cam = 60, .frameSize = "Convert all to NTSC DVCPRO50"},
     {{camLine(60, "no pulldown"), "Vorn will change the video format to NTSC DVCPRO50\r\n",
       "Vorn will weave each pair of frames into the two fields of one frame\r\n"},
      30000, 1001, 500, 0.5f, 8, 1, "unchanged", 240000, [](const ConversionPlan& p) { EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::FramePairsToFields); }}},
    {"720p59.94 of 30p pictures woven to 1080i is 2:2", {.format = 2, .cam = 30, .frameSize = "Convert all to 1920 x 1080 DVCPROHD"},
     {{camLine(30, "2:2 pulldown"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will weave each pair of frames into the two fields of one frame\r\n"},
      30000, 1001, 500, 0.5f, 1, 1, "2:2", 480000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.cameraRate, 30); EXPECT_EQ(p.progressive, 1); }}},
    {"720p59.94 of 24p pictures woven to 1080i keeps the camera's pictures",
     {.format = 2, .cam = 24, .frameSize = "Convert all to 1920 x 1080 DVCPROHD"},
     {{camLine(24, "3:2 pulldown"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will weave each pair of frames into the two fields of one frame\r\n"},
      30000, 1001, 500, 0.5f, 1, 1, "unchanged", 480000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.cameraRate, 24); EXPECT_EQ(p.progressive, 1); }}},
    {"weaving adds no pulldown", {.format = 2, .cam = 60, .add = true, .frameSize = "Convert all to 1920 x 1080 DVCPROHD"},
     {{camLine(60, "no pulldown"), "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will weave each pair of frames into the two fields of one frame\r\n",
       "Vorn will not add pulldown: the output already has one picture per field\r\n"},
      30000, 1001, 500, 0.5f, 1, 1, "unchanged", 480000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    // Interlaced to 720p: one frame of each field, twice the frames at the
    // field rate; 3:2 material keeps its 24 fps pictures (repeated 2, 3).
    {"1080i to 720p makes a frame of each field", {.format = 1, .frames = 1001, .cam = 30, .mode = 0,
                                                   .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(30, "Interlaced"), "Vorn will change the video format to 720-line DVCPROHD\r\n",
       "Vorn will make a frame of each field and output 720/60P\r\n"},
      60000, 1001, 2002, 2.0f, 2, 1, "unchanged", 240000,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::FieldsToFrames);
          EXPECT_EQ(p.cameraRate, 60);
          EXPECT_EQ(p.progressive, 1);
      }}},
    {"1080i of 3:2 material to 720p", {.format = 38, .cam = 24, .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(24, "3:2 pulldown"), "Vorn will change the video format to 720-line DVCPROHD\r\n",
       "Vorn will make a frame of each field and output 720/60P\r\n"},
      60000, 1001, 2000, 2.0f, 2, 1, "unchanged", 240000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.cameraRate, 24); EXPECT_EQ(p.progressive, 1); }}},
    {"576i to 720p50", {.format = 7, .cam = 25, .mode = 0, .desired = 25.0f, .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(25, "Interlaced"), "Vorn will change the video format to 720-line DVCPROHD\r\n",
       "Vorn will make a frame of each field and output 720/50P\r\n"},
      50, 1, 2000, 2.0f, 4, 1, "unchanged", 288000, [](const ConversionPlan& p) { EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::FieldsToFrames); }}},
    {"1080i with an unreadable binary group is taken as fields", {.format = 1, .valid = false,
                                                                 .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{"\r\nVorn: Invalid binary group info, camera rate, mode, and pulldown flags not readable\r\n",
       "Vorn will change the video format to 720-line DVCPROHD\r\n",
       "Vorn will make a frame of each field and output 720/60P\r\n"},
      60000, 1001, 2000, 2.0f, 2, 1, kNull, 240000, [](const ConversionPlan& p) { EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::FieldsToFrames); }}},
    {"making frames of fields adds no pulldown", {.format = 1, .cam = 24, .add = true, .add32 = true,
                                                  .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(24, "3:2 pulldown"), "Vorn will change the video format to 720-line DVCPROHD\r\n",
       "Vorn will make a frame of each field and output 720/60P\r\n",
       "Vorn will not add pulldown: the output already has one picture per field\r\n"},
      60000, 1001, 2000, 2.0f, 2, 1, "unchanged", 240000}},
    // One progressive picture per frame (shot progressively at the frame
    // rate, or left by pulldown removal) is scaled whole.
    {"1080i of 30p pictures to 720p stays one frame each", {.format = 1, .cam = 30, .mode = 8,
                                                            .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(30, "Progressive"), "Vorn will change the video format to 720-line DVCPROHD\r\n"},
      30000, 1001, 1000, 1.0f, 2, 1, kNull, 240000, [](const ConversionPlan& p) { EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::Frames); }}},
    {"1080i after 3:2 removal to 720p stays one frame each",
     {.format = 1, .cam = 24, .mode = 8, .remove = true, .remove32 = true, .frameSize = "Convert all to 1280 x 720 DVCPROHD"},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 60i 3:2 pulldown\r\n",
       "Vorn will change the video format to 720-line DVCPROHD\r\n"},
      24000, 1001, 800, 0.8f, 2, 1, kNull, 240000, [](const ConversionPlan& p) { EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::Frames); }}},
    // Between interlaced formats the fields are scaled one by one.
    {"1080i to NTSC DVCPRO50 by fields", {.format = 1, .cam = 30, .mode = 0, .frameSize = "Convert all to NTSC DVCPRO50"},
     {{camLine(30, "Interlaced"), "Vorn will change the video format to NTSC DVCPRO50\r\n"},
      30000, 1001, 1000, 1.0f, 8, 1, "unchanged", 240000, [](const ConversionPlan& p) { EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::FieldByField); }}},
    {"576i shot interlaced keeps its rate, so no 480-line default", {.format = 7, .cam = 25, .mode = 0},
     {{camLine(25, "Interlaced"), "Vorn will not convert 25p to 24p: the video is interlaced\r\n"},
      25, 1, 1000, 1.0f, 7, 0, "unchanged", 288000}},
    {"PAL DVCPRO50 on 1080i59.94 is skipped, noise reduction stands",
     {.format = 1, .cam = 30, .mode = 0, .noise = true, .frameSize = "Convert all to PAL DVCPRO50"},
     {{camLine(30, "Interlaced"),
       "Vorn will not change the video format: PAL DVCPRO50 cannot be written at 29.97 fps\r\n",
       "Vorn will apply noise reduction\r\n"},
      30000, 1001, 1000, 1.0f, 1, 1, "unchanged", 480000, [](const ConversionPlan& p) { EXPECT_EQ(p.fieldHandling, vorn::FieldHandling::Frames); }}},
    {"1920 on 720p59.94 after removal to 24p is made", {.format = 2, .cam = 24, .remove = true,
                                                        .frameSize = "Convert all to 1920 x 1080 DVCPROHD"},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\r\n",
       "Vorn will change the video format to 1080-line DVCPROHD\r\n"},
      24000, 1001, 400, 0.4f, 1, 1, "2:2", 480000}},
    {"NTSC DVCPRO50 from PAL is skipped", {.format = 9, .cam = 25, .mode = 0, .desired = 25.0f, .frameSize = "Convert all to NTSC DVCPRO50"},
     {{camLine(25, "Interlaced"), "Vorn will not change the video format: NTSC DVCPRO50 cannot be written at 25.00 fps\r\n"},
      25, 1, 1000, 1.0f, 9, 0, "unchanged", 144000}},
    {"PAL DVCPRO50 from PAL", {.format = 9, .cam = 25, .mode = 0, .desired = 25.0f, .frameSize = "Convert all to PAL DVCPRO50"},
     {{camLine(25, "Interlaced"), "Vorn will change the video format to PAL DVCPRO50\r\n"},
      25, 1, 1000, 1.0f, 7, 1, "2:2", 288000}},
    {"PAL DVCPRO50 from NTSC is skipped", {.format = 8, .cam = 30, .mode = 0, .frameSize = "Convert all to PAL DVCPRO50"},
     {{camLine(30, "Interlaced"), "Vorn will not change the video format: PAL DVCPRO50 cannot be written at 29.97 fps\r\n"},
      30000, 1001, 1000, 1.0f, 8, 0, "unchanged", 240000}},
    {"NTSC DV/DVCPRO25", {.format = 1, .cam = 30, .mode = 0, .frameSize = "Convert all to NTSC DV/DVCPRO25"},
     {{camLine(30, "Interlaced"), "Vorn will change the video format to NTSC DVCPRO\r\n"},
      30000, 1001, 1000, 1.0f, 10, 1, "unchanged", 120000}},
    {"PAL DVCPRO25", {.format = 6, .cam = 25, .mode = 0, .desired = 25.0f, .frameSize = "Convert all to PAL DVCPRO25"},
     {{camLine(25, "Interlaced"), "Vorn will change the video format to PAL DVCPRO\r\n"},
      25, 1, 1000, 1.0f, 9, 1, "2:2", 144000}},

    // ---- pulldown addition ----
    {"add 2:3 into 60i from 1080 24pN", {.format = 1, .frames = 1003, .sourceRate = 24, .cam = 24, .add = true, .add32 = true},
     {{camLine(24, "Progressive"), "Vorn will add 2:3 pulldown\r\n"}, 30000, 1001, 1250, 1.25f, 1, 1, "2:3"}},
    {"remove 3:2 then add 2:3:3:2 into 60i", {.format = 1, .cam = 24, .remove = true, .add = true},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 60i 3:2 pulldown\r\n", "Vorn will add 2:3:3:2 pulldown\r\n"},
      30000, 1001, 1000, 1.0f, 1, 1, "2:3:3:2"}},
    {"add 2:3 into 720p60 from 720p 24pN", {.format = 2, .frames = 1001, .sourceRate = 24, .cam = 24, .add = true},
     {{camLine(24, "Progressive"), "Vorn will add 2:3 pulldown\r\n"}, 60000, 1001, 2500, 2.5f, 2, 0, "2:3"}},
    {"add 2:2 into 720p60 from 720p 30pN", {.format = 42, .sourceRate = 30, .cam = 30, .add = true},
     {{camLine(30, "Progressive"), "Vorn will add 2:2 pulldown\r\n"}, 60000, 1001, 2000, 2.0f, 42, 0, "2:2"}},
    {"add into 720p60 at 60 fps", {.format = 2, .cam = 60, .add = true},
     {{camLine(60, "no pulldown"), "Vorn could not determine type add pulldown required\r\n"},
      60000, 1001, 1000, 1.0f, 2, 0, "unchanged"}},
    {"remove 3:2 then add 2:3 into 720p60", {.format = 2, .cam = 24, .remove = true, .add = true},
     {{camLine(24, "3:2 pulldown"), "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\r\n",
       "Vorn will add 2:3 pulldown\r\n"},
      60000, 1001, 1000, 1.0f, 2, 0, "2:3"}},
    {"add 2:2 into 50i", {.format = 9, .cam = 25, .add = true, .desired = 25.0f},
     {{camLine(25, "Progressive"), "Vorn will add 2:2 pulldown\r\n"}, 25, 1, 1000, 1.0f, 9, 0, "2:2"}},
    {"remove 2:2 then add 2:2 into 720p50", {.format = 4, .cam = 25, .remove = true, .add = true, .desired = 25.0f},
     {{camLine(25, "2:2 pulldown"), "Vorn will remove 2:2 pulldown from 720/50P and output 720/25P\r\n",
       "Vorn will add 2:2 pulldown\r\n"},
      50, 1, 1000, 1.0f, 4, 0, "2:2"}},
    {"add with a PAL choice on an interlaced 60 Hz source: both are skipped",
     {.format = 10, .cam = 30, .mode = 0, .add = true, .frameSize = "Convert all to PAL DVCPRO50"},
     {{camLine(30, "Interlaced"),
       "Vorn will not change the video format: PAL DVCPRO50 cannot be written at 29.97 fps\r\n",
       "Vorn will not add pulldown: the video is interlaced\r\n"},
      30000, 1001, 1000, 1.0f, 10, 0, "unchanged", 120000,
      [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add into a format of no group", {.format = 41, .cam = 25, .add = true, .desired = 25.0f},
     {{camLine(25, "Progressive"), "Vorn could not determine the format of this file\r\n",
       "Vorn cannot add pulldown to this format\r\n"},
      25, 1, 1000, 1.0f, 41, 0, "unchanged"}},

    // ---- addition and speed change only on whole progressive pictures ----
    // Material that is interlaced, or whose frames already repeat fields or
    // pictures, keeps its frames and rate: the step is skipped with its line
    // and the rest of the plan stands.
    {"add to 60i carrying 3:2", {.format = 1, .cam = 24, .add = true, .add32 = true, .noise = true},
     {{camLine(24, "3:2 pulldown"), "Vorn will not add pulldown: the video already carries 3:2 pulldown\r\n",
       "Vorn will apply noise reduction\r\n"},
      30000, 1001, 1000, 1.0f, 1, 1, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to 60i carrying 2:3:3:2", {.format = 38, .cam = 24, .mode = 12, .add = true},
     {{camLine(24, "2:3:3:2 pulldown"), "Vorn will not add pulldown: the video already carries 2:3:3:2 pulldown\r\n"},
      30000, 1001, 1000, 1.0f, 38, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to interlaced 60i", {.format = 5, .cam = 30, .mode = 0, .add = true},
     {{camLine(30, "Interlaced"), "Vorn will not add pulldown: the video is interlaced\r\n"},
      30000, 1001, 1000, 1.0f, 5, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to 30p in 60i", {.format = 8, .cam = 30, .add = true},
     {{camLine(30, "Progressive"), "Vorn will not add pulldown: the video is 30p, not 24p\r\n"},
      30000, 1001, 1000, 1.0f, 8, 0, "2:2", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to 60i without a readable binary group", {.format = 1, .valid = false, .add = true},
     {{"\r\nVorn: Invalid binary group info, camera rate, mode, and pulldown flags not readable\r\n",
       "Vorn will not add pulldown: the shooting mode is not readable\r\n"},
      30000, 1001, 1000, 1.0f, 1, 0, "2:2", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to 720p60 carrying 3:2", {.format = 2, .cam = 24, .add = true},
     {{camLine(24, "3:2 pulldown"), "Vorn will not add pulldown: the video already carries 3:2 pulldown\r\n"},
      60000, 1001, 1000, 1.0f, 2, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to 720p60 carrying 2:2", {.format = 42, .cam = 30, .add = true},
     {{camLine(30, "2:2 pulldown"), "Vorn will not add pulldown: the video already carries 2:2 pulldown\r\n"},
      60000, 1001, 1000, 1.0f, 42, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to 720p60 VFR at 48 fps after removal: no type", {.format = 2, .cam = 48, .mode = 9, .remove = true, .add = true},
     {{camLine(48, "VFR pulldown"), "Vorn will remove VFR pulldown from 720/60P and output 720/24P\r\n",
       "Vorn could not determine type add pulldown required\r\n"},
      24000, 1001, 800, 0.8f, 2, 0, kNull, 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to 720p50 carrying 2:2", {.format = 4, .cam = 25, .add = true, .desired = 25.0f},
     {{camLine(25, "2:2 pulldown"), "Vorn will not add pulldown: the video already carries 2:2 pulldown\r\n"},
      50, 1, 1000, 1.0f, 4, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add to interlaced 50i", {.format = 3, .cam = 25, .mode = 0, .add = true, .desired = 25.0f},
     {{camLine(25, "Interlaced"), "Vorn will not add pulldown: the video is interlaced\r\n"},
      25, 1, 1000, 1.0f, 3, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.addPulldown, 0); }}},
    {"add into 60i to the 24p made from 25p", {.format = 7, .cam = 25, .add = true},
     {{camLine(25, "Progressive"), "Vorn\twill convert 25p to 24p\r\n",
       "Vorn by default will change the video format to 480-line DVCPRO50\r\n", "Vorn will add 2:3:3:2 pulldown\r\n"},
      30000, 1001, 1250, 1.25f, 8, 1, "2:3:3:2", 240000}},
    {"24p to 25p on 60i carrying 3:2", {.format = 1, .cam = 24, .desired = 25.0f},
     {{camLine(24, "3:2 pulldown"), "Vorn will not convert 24p to 25p: the video already carries 3:2 pulldown\r\n"},
      30000, 1001, 1000, 1.0f, 1, 0, "unchanged", 0,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.convert2425, 0);
          EXPECT_EQ(p.cameraRate, 24);
      }}},
    {"24p to 25p on 720p60 carrying 3:2", {.format = 42, .cam = 24, .desired = 25.0f},
     {{camLine(24, "3:2 pulldown"), "Vorn will not convert 24p to 25p: the video already carries 3:2 pulldown\r\n"},
      60000, 1001, 1000, 1.0f, 42, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.convert2425, 0); }}},
    {"25p to 24p on interlaced 1080i50", {.format = 3, .cam = 25, .mode = 0},
     {{camLine(25, "Interlaced"), "Vorn will not convert 25p to 24p: the video is interlaced\r\n"},
      25, 1, 1000, 1.0f, 3, 0, "unchanged", 0,
      [](const ConversionPlan& p) {
          EXPECT_EQ(p.convert2425, 0);
          EXPECT_EQ(p.cameraRate, 25);
      }}},
    {"25p to 24p on interlaced 50i with removal on", {.format = 9, .cam = 25, .mode = 0, .remove = true},
     {{camLine(25, "Interlaced"), "Vorn will not convert 25p to 24p: the video is interlaced\r\n"},
      25, 1, 1000, 1.0f, 9, 0, "2:2", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.convert2425, 0); }}},
    {"25p to 24p on 720p50 carrying 2:2", {.format = 4, .cam = 25},
     {{camLine(25, "2:2 pulldown"), "Vorn will not convert 25p to 24p: the video already carries 2:2 pulldown\r\n"},
      50, 1, 1000, 1.0f, 4, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.convert2425, 0); }}},
    {"25p to 24p on 50i without a readable binary group", {.format = 9, .valid = false},
     {{"\r\nVorn: Invalid binary group info, camera rate, mode, and pulldown flags not readable\r\n",
       "Vorn will not convert 25p to 24p: the shooting mode is not readable\r\n"},
      25, 1, 1000, 1.0f, 9, 0, "unchanged", 0, [](const ConversionPlan& p) { EXPECT_EQ(p.convert2425, 0); }}},
    {"25p to 24p on 25p in 720p59.94 after removal", {.format = 2, .cam = 25, .remove = true},
     {{camLine(25, "Progressive"), "Vorn will remove Progressive from 720/60P and output 720/24P\r\n",
       "Vorn\twill convert 25p to 24p\r\n", kDefault720},
      24000, 1001, 415, 0.41666666f, 2, 1, kNull, 240000, [](const ConversionPlan& p) { EXPECT_EQ(p.convert2425, 1); }}},

    // ---- rotation and noise reduction ----
    {"rotate 720p60 DVCPRO HD", {.format = 2, .cam = 60, .rotate = true},
     {{camLine(60, "no pulldown"), "Vorn will rotate image if possible\r\n"}, 60000, 1001, 1000, 1.0f, 2, 0, "unchanged"}},
    {"rotate PAL DV", {.format = 9, .cam = 25, .mode = 0, .rotate = true, .desired = 25.0f},
     {{camLine(25, "Interlaced"), "Vorn will rotate image if possible\r\n"}, 25, 1, 1000, 1.0f, 9, 1, "unchanged", 144000}},
    {"rotate AVC-Intra 1080i60", {.format = 38, .cam = 24, .rotate = true, .desired = 29.97f},
     {{camLine(24, "3:2 pulldown"), "Vorn will rotate image if possible\r\n", kDefault1080},
      30000, 1001, 1000, 1.0f, 1, 1, "2:2", 480000}},
    {"rotate AVC-Intra 1080i50 interlaced", {.format = 33, .cam = 25, .mode = 0, .rotate = true, .desired = 25.0f},
     {{camLine(25, "Interlaced"), "Vorn will rotate image if possible\r\n", kDefault1080},
      25, 1, 1000, 1.0f, 3, 1, "unchanged", 576000}},
    {"rotate AVC-Intra 720p60", {.format = 36, .cam = 60, .rotate = true},
     {{camLine(60, "no pulldown"), "Vorn will rotate image if possible\r\n", kDefault720},
      60000, 1001, 1000, 1.0f, 2, 1, "unchanged", 240000}},
    {"rotate AVC-Intra 720p50 keeps the 50 Hz format", {.format = 43, .cam = 50, .rotate = true},
     {{camLine(50, "no pulldown"), "Vorn will rotate image if possible\r\n", kDefault720},
      50, 1, 1000, 1.0f, 4, 1, "unchanged", 288000}},
    {"noise reduction", {.format = 7, .cam = 50, .mode = 0, .noise = true},
     {{camLine(50, "no pulldown"), "Vorn will apply noise reduction\r\n"}, 25, 1, 1000, 1.0f, 7, 1, "unchanged"}},

    // ---- every step at once, in order ----
    {"all decisions in order", {.format = 9, .cam = 25, .add = true, .rotate = true, .noise = true,
                                .frameSize = "Convert all to 1920 x 1080 DVCPROHD", .wide = false},
     {{camLine(25, "Progressive"), "Vorn\twill convert 25p to 24p\r\n",
       "Vorn will change the video format to 1080-line DVCPROHD\r\n",
       "Vorn will crop 4:3 to 16:9 to fit the widescreen format\r\n", "Vorn will add 2:3:3:2 pulldown\r\n",
       "Vorn will rotate image if possible\r\n", "Vorn will apply noise reduction\r\n"},
      30000, 1001, 1250, 1.25f, 1, 1, "2:3:3:2", 480000}},
};

class PlannerCases : public ::testing::TestWithParam<Case> {};

TEST_P(PlannerCases, LinesAndDecisions)
{
    const Case& c = GetParam();
    ConversionPlan plan = makePlan(c.in);
    const std::vector<std::string> lines = runPlanner(plan, c.in);
    EXPECT_EQ(lines, c.out.lines);
    EXPECT_EQ(plan.rateNum, c.out.rateNum);
    EXPECT_EQ(plan.rateDen, c.out.rateDen);
    EXPECT_EQ(plan.frameCount, c.out.frames);
    EXPECT_FLOAT_EQ(plan.frameRatio, c.out.ratio);
    EXPECT_EQ(plan.targetFormat, c.out.target);
    EXPECT_EQ(plan.reencode, c.out.reencode);
    EXPECT_EQ(labelText(plan.pulldownLabel), c.out.label);
    if (c.out.outSize) {
        EXPECT_EQ(plan.outFrameSize, c.out.outSize);
        EXPECT_EQ(plan.outFrameSizeLater, c.out.outSize);
    }
    if (c.out.more)
        c.out.more(plan);
}

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (const char* s = info.param.name; *s; ++s)
        name.push_back(std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_');
    return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Planner, PlannerCases, ::testing::ValuesIn(kCases), caseName);

// A standard-definition target writes its own family's rates only: a PAL
// raster at an NTSC rate (or the other way round) would play its pictures at
// the wrong speed against the sound, so the change is skipped for the clip
// with one line, and the rate and frame count stay.
TEST(PlannerFormatChoice, SdTargetsAtTheOtherFamilysRateAreSkipped)
{
    struct Row {
        int32_t format;
        int32_t cam, mode;
        bool remove;
        float desired;
        const char* choice;
        const char* skipped;   // the rate the skip line names, or null when the change is made
        int32_t target;        // when made
    };
    const Row rows[] = {
        {1, 30, 0, false, 23.976f, "Convert all to PAL DVCPRO50", "29.97", 0},
        {1, 30, 0, false, 23.976f, "Convert all to PAL DVCPRO25", "29.97", 0},
        {1, 30, 0, false, 23.976f, "Convert all to NTSC DVCPRO50", nullptr, 8},
        {1, 24, 8, true, 23.976f, "Convert all to PAL DVCPRO50", "23.98", 0},
        {1, 24, 8, true, 23.976f, "Convert all to NTSC DV/DVCPRO25", nullptr, 10},
        {3, 25, 0, false, 25.0f, "Convert all to NTSC DVCPRO50", "25.00", 0},
        {3, 25, 0, false, 25.0f, "Convert all to NTSC DV/DVCPRO25", "25.00", 0},
        {3, 25, 0, false, 25.0f, "Convert all to PAL DVCPRO25", nullptr, 9},
        {2, 60, 8, false, 23.976f, "Convert all to PAL DVCPRO50", "59.94", 0},
        {4, 50, 8, false, 25.0f, "Convert all to NTSC DVCPRO50", "50.00", 0},
        {4, 50, 8, false, 25.0f, "Convert all to PAL DVCPRO50", nullptr, 7},
        {33, 25, 0, false, 25.0f, "Convert all to PAL DVCPRO50", nullptr, 7},
        {32, 30, 0, false, 23.976f, "Convert all to PAL DVCPRO25", "29.97", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "format " << r.format << ", " << r.choice);
        PlanSetup setup{.format = r.format, .cam = r.cam, .mode = r.mode, .remove = r.remove, .remove32 = r.remove,
                        .desired = r.desired, .frameSize = r.choice};
        ConversionPlan before = makePlan(setup);
        ConversionPlan plan = makePlan(setup);
        setup.frameSize = "no conversion";
        runPlanner(before, setup);   // the same clip without the choice
        setup.frameSize = r.choice;
        const std::vector<std::string> lines = runPlanner(plan, setup);
        const std::string name = std::string(r.choice).find("50") != std::string::npos
                                     ? (std::string(r.choice).find("PAL") != std::string::npos ? "PAL DVCPRO50" : "NTSC DVCPRO50")
                                     : (std::string(r.choice).find("PAL") != std::string::npos ? "PAL DVCPRO" : "NTSC DVCPRO");
        const std::string skip =
            "Vorn will not change the video format: " + name + " cannot be written at " + (r.skipped ? r.skipped : "") + " fps\r\n";
        const std::string change = "Vorn will change the video format to " + name + "\r\n";
        const bool saysSkip = std::find(lines.begin(), lines.end(), skip) != lines.end();
        const bool saysChange = std::find(lines.begin(), lines.end(), change) != lines.end();
        if (r.skipped) {
            EXPECT_TRUE(saysSkip && !saysChange) << testing::PrintToString(lines);
            EXPECT_EQ(plan.targetFormat, before.targetFormat);
            EXPECT_EQ(plan.reencode, before.reencode);
            EXPECT_EQ(lines.size(), 2u + (r.remove ? 1u : 0u));
        } else {
            EXPECT_TRUE(saysChange && !saysSkip) << testing::PrintToString(lines);
            EXPECT_EQ(plan.targetFormat, r.target);
            EXPECT_EQ(plan.reencode, 1);
        }
        // Pictures and sound keep one length: the frames per second of
        // output match the target's family.
        const double seconds = static_cast<double>(plan.frameCount) * plan.rateDen / plan.rateNum;
        EXPECT_NEAR(seconds, static_cast<double>(before.frameCount) * before.rateDen / before.rateNum, 0.05);
        EXPECT_EQ(vorn::is50HzFamily(plan.targetFormat), plan.rateDen == 1);
    }
}

// The packed binary group decodes back as a valid record of the same camera
// rate, with the documented shooting mode nibble and cadence bits.
TEST(PlannerBinaryGroup, PackedWordDecodesAsValidRecord)
{
    struct Row {
        int32_t rate, progressive, add, advanced;
        int64_t index;
        uint32_t nibble, lowBits, third;
    };
    const Row rows[] = {
        {30, 1, 0, 0, 0, 8, 2, 15},    // progressive 60 Hz
        {25, 1, 0, 0, 0, 10, 2, 15},   // progressive 50 Hz
        {50, 1, 0, 0, 3, 10, 2, 15},
        {30, 0, 0, 0, 0, 0, 3, 15},    // interlaced 60 Hz
        {25, 0, 0, 0, 0, 2, 3, 15},    // interlaced 50 Hz
        {30, 0, 0, 1, 0, 4, 3, 15},    // interlaced with the advanced flag
        {24, 1, 1, 1, 0, 12, 2, 0},    // 2:3:3:2 cadence positions 0..4: 2 2 1 0 2
        {24, 1, 1, 1, 3, 12, 0, 3},
        {24, 1, 1, 1, 4, 12, 2, 4},
        {24, 1, 1, 0, 2, 8, 1, 2},     // 3:2 cadence positions 0..4: 2 2 1 1 0
        {24, 1, 1, 0, 4, 8, 0, 4},
        {24, 1, 1, 0, 7, 8, 1, 2},     // index 7 is position 2
        {24, 1, 0, 0, 4, 8, 2, 15},    // no cadence without pulldown addition
    };
    for (const Row& r : rows) {
        const uint32_t word = vorn::packedBinaryGroup(r.rate, r.progressive, r.add, r.advanced, r.index);
        BGinfo bg;
        bg.decode(static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 8),
                  static_cast<uint8_t>(word));
        SCOPED_TRACE(testing::Message() << "rate " << r.rate << " p " << r.progressive << " add " << r.add << " a "
                                        << r.advanced << " index " << r.index);
        EXPECT_TRUE(bg.valid);
        EXPECT_EQ(bg.cameraRate, r.rate);
        EXPECT_EQ(bg.shootingMode, r.nibble);
        EXPECT_EQ(bg.modeLowBits, r.lowBits);
        EXPECT_EQ(bg.third, r.third);
    }
}

TEST(PlannerBinaryGroup, PlanCarriesWordOfFrameZero)
{
    // 25p to 24p: the output group is that of a progressive 24 fps camera.
    PlanSetup s{.format = 9, .cam = 25};
    ConversionPlan plan = makePlan(s);
    runPlanner(plan, s);
    EXPECT_EQ(plan.bgWord, 0x82240FE0u);   // M 0x82, R 0x24, X 15, K (0x0F+0x24+0x82)^0x55
}

// Frames that come out one for one at the source's rate keep their source's
// binary group (the clip XML's start group is frame 0's); frames that a
// removal, addition or speed change makes get the group of the output.
TEST(PlannerBinaryGroup, KeptOnlyWhereFramesPassOneForOne)
{
    struct Row {
        const char* name;
        PlanSetup in;
        bool keep;
    };
    const Row rows[] = {
        {"copy of 60i 3:2", {.format = 1, .cam = 24}, true},
        {"copy of AVC-Intra 60i 3:2", {.format = 38, .cam = 24}, true},
        {"copy of 720p 24 fps in 59.94", {.format = 2, .cam = 24}, true},
        {"noise reduction", {.format = 8, .cam = 24, .mode = 12, .noise = true}, true},
        {"rotation in the coefficient domain", {.format = 2, .cam = 24, .rotate = true}, true},
        {"removal that finds nothing to do", {.format = 10, .cam = 30, .mode = 0, .remove = true}, true},
        {"skipped addition", {.format = 1, .cam = 24, .add = true}, true},
        {"skipped speed change", {.format = 3, .cam = 25, .mode = 0}, true},
        {"60i 3:2 removal", {.format = 1, .cam = 24, .remove = true}, false},
        {"2:3:3:2 removal", {.format = 8, .cam = 24, .mode = 12, .remove = true}, false},
        {"720p frame selection", {.format = 2, .cam = 24, .remove = true}, false},
        {"720p 60p to 23.976", {.format = 2, .cam = 60, .remove = true}, false},
        {"addition", {.format = 1, .sourceRate = 24, .cam = 24, .add = true}, false},
        {"25p to 24p", {.format = 9, .cam = 25}, false},
    };
    const uint32_t word = 0x8A24039Cu;   // any record: it is handed on as found
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ConversionPlan plan = makePlan(r.in);
        PlannerBinaryGroup bg;
        bg.valid = r.in.valid;
        bg.cameraRate = r.in.cam;
        bg.shootingMode = r.in.mode;
        bg.word = word;
        vorn::planConversion(plan, bg, {});
        EXPECT_EQ(plan.keepBinaryGroup, r.keep ? 1 : 0);
        if (r.keep)
            EXPECT_EQ(plan.bgWord, word);
        else
            EXPECT_EQ(plan.bgWord, vorn::packedBinaryGroup(plan.cameraRate, plan.progressive, plan.addPulldown,
                                                           plan.addAdvanced, 0));
    }
}

TEST(PlannerRobustness, HugeCountsSaturateAndOddRatesStayDefined)
{
    PlanSetup s{.format = 2, .frames = std::numeric_limits<int64_t>::max() - 1, .sourceRate = 24, .cam = 24, .add = true};
    ConversionPlan plan = makePlan(s);
    runPlanner(plan, s);
    EXPECT_EQ(plan.frameCount, std::numeric_limits<int64_t>::max());

    // A VFR camera rate of 99 on a huge clip: n * 99 / 60 without overflow.
    PlanSetup v{.format = 2, .frames = int64_t{1} << 60, .cam = 99, .mode = 9, .remove = true};
    plan = makePlan(v);
    runPlanner(plan, v);
    EXPECT_EQ(plan.frameCount, (int64_t{1} << 60) / 60 * 99 + ((int64_t{1} << 60) % 60) * 99 / 60);

    // A source rate far out of range does not overflow the x/1001 rate.
    PlanSetup r{.format = 1, .sourceRate = std::numeric_limits<int32_t>::max(), .valid = false};
    plan = makePlan(r);
    runPlanner(plan, r);
    EXPECT_GT(plan.rateNum, 0);
}

// Random inputs, including codes outside the table, invalid groups, odd rates
// and extreme counts: the decisions stay consistent.
TEST(PlannerRobustness, RandomInputsKeepDecisionsConsistent)
{
    std::mt19937 rng(12345);
    const int32_t formats[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, -1};
    const char* sizes[] = {"no conversion", "Convert all to 1920 x 1080 DVCPROHD", "Convert all to 1280 x 720 DVCPROHD",
                           "Convert all to NTSC DVCPRO50", "Convert all to PAL DVCPRO50",
                           "Convert all to NTSC DV/DVCPRO25", "Convert all to PAL DVCPRO25"};
    const float rates[] = {23.976f, 25.0f, 29.97f, 24.0f, 60.0f};
    const int64_t counts[] = {0, 1, 4, 1003, -7, std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()};
    for (int i = 0; i < 3000; ++i) {
        PlanSetup s;
        s.format = formats[rng() % std::size(formats)];
        s.frames = counts[rng() % std::size(counts)];
        s.sourceRate = static_cast<int32_t>(rng() % 4 == 0 ? rng() : rng() % 70);
        s.valid = rng() % 2;
        s.cam = static_cast<int32_t>(rng() % 166);
        s.mode = static_cast<int32_t>(rng() % 16);
        s.remove = rng() % 2;
        s.add = rng() % 2;
        s.add32 = rng() % 2;
        s.addAdvanced = rng() % 2;
        s.rotate = rng() % 2;
        s.noise = rng() % 2;
        s.remove32 = rng() % 2;
        s.removeAdvanced = rng() % 2;
        s.desired = rates[rng() % std::size(rates)];
        s.frameSize = sizes[rng() % std::size(sizes)];
        s.wide = rng() % 2;
        ConversionPlan plan = makePlan(s);
        const std::vector<std::string> lines = runPlanner(plan, s);
        SCOPED_TRACE(testing::Message() << "case " << i << " format " << s.format << " cam " << s.cam);
        EXPECT_TRUE(plan.rateDen == 1 || plan.rateDen == 1001);
        if (plan.targetFormat != s.format) {
            EXPECT_NE(vorn::videoFormatInfo(plan.targetFormat), nullptr);
            EXPECT_EQ(plan.outFrameSize, vorn::dvFrameBytes(plan.targetFormat));
        }
        EXPECT_TRUE(plan.frameRatio >= 0.0f && plan.frameRatio <= 10.0f);
        if (s.frames >= 0) {
            EXPECT_GE(plan.frameCount, 0);
        }
        for (const auto& line : lines)
            EXPECT_TRUE(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) << line;
        // A format change the output rate cannot carry is skipped, with its line.
        bool changeSkipped = false;
        for (const auto& line : lines)
            changeSkipped = changeSkipped || line.find("will not change the video format") != std::string::npos;
        if (plan.reduceNoise || (plan.rotate && s.format != 2 && s.format != 4) ||
            (plan.frameSizeChoice && !changeSkipped)) {
            EXPECT_EQ(plan.reencode, 1);
        }
    }
}

TEST(PlannerInputs, FrameSizeChoiceOfText)
{
    const std::pair<const char*, int32_t> rows[] = {
        {"no conversion", 0},
        {"Convert all to 1920 x 1080 DVCPROHD", 1},
        {"Convert all to 1280 x 720 DVCPROHD", 2},
        {"Convert all to NTSC DVCPRO50", 3},
        {"Convert all to PAL DVCPRO50", 4},
        {"Convert all to NTSC DV/DVCPRO25", 5},
        {"Convert all to PAL DVCPRO25", 6},
        {"1920 or PAL DVCPRO25", 6},   // the last test that matches wins
        {"pal dvcpro25", 0},           // case-sensitive
        {"", 0},
    };
    for (const auto& [text, choice] : rows)
        EXPECT_EQ(vorn::frameSizeChoiceOf(text), choice) << text;
}

TEST(PlannerInputs, ExportOptionsFromStore)
{
    COptions options;
    vorn::ExportOptions o = vorn::exportOptionsFrom(options);
    EXPECT_FALSE(o.removePulldown || o.addPulldown || o.rotate || o.reduceNoise || o.remove32 || o.add32);
    EXPECT_FLOAT_EQ(o.desiredRate, 23.976f);
    EXPECT_EQ(o.desiredFrameSize, "no conversion");
    EXPECT_FALSE(o.showFrames);
    EXPECT_EQ(o.frameScale, "Half size");
    EXPECT_EQ(o.cardSizeGB, 16);

    const COptions untouched;
    options.update(OptionKey::RemovePulldown, "1");
    options.update(OptionKey::AddAdvanced, "1");
    options.update(OptionKey::DesiredFrameRate, "25");
    options.update(OptionKey::DesiredFrameSize, "Convert all to PAL DVCPRO50");
    options.update(OptionKey::ShowFrames, "1");
    options.update(OptionKey::FrameScale, "Quarter scale");
    options.update(OptionKey::CardSize, "64 GB");
    o = vorn::exportOptionsFrom(options);
    EXPECT_TRUE(o.removePulldown);
    EXPECT_TRUE(o.addAdvanced);
    EXPECT_FALSE(o.addPulldown);
    EXPECT_FLOAT_EQ(o.desiredRate, 25.0f);
    EXPECT_EQ(vorn::frameSizeChoiceOf(o.desiredFrameSize), 4);
    EXPECT_TRUE(o.showFrames);
    EXPECT_EQ(o.frameScale, "Quarter scale");
    EXPECT_EQ(o.cardSizeGB, 64);

    // Another options value in the process keeps its own settings.
    const vorn::ExportOptions fresh = vorn::exportOptionsFrom(untouched);
    EXPECT_FALSE(fresh.removePulldown || fresh.showFrames);
    EXPECT_EQ(fresh.cardSizeGB, 16);
    EXPECT_EQ(fresh.desiredFrameSize, "no conversion");

    // Rates that give no usable output rate read as the default.
    for (const char* bad : {"-25", "0.2", "5000", "1e30"}) {
        options.update(OptionKey::DesiredFrameRate, bad);
        EXPECT_FLOAT_EQ(vorn::exportOptionsFrom(options).desiredRate, 23.976f) << bad;
    }
}

} // namespace
