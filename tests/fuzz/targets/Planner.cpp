// The conversion planner on the clip a video file describes: two control
// bytes (the export's options: pulldown removal and addition, rotation,
// noise reduction, desired rate and frame size), then the video MXF file.
// The clip is opened and planned as an export does up to its first frame;
// the plan must be one the frame loop can carry out.
#include "FuzzTargets.h"

#include "dv/DvEncoder.h"
#include "dv/DvFormat.h"
#include "engine/ExportPlan.h"
#include "engine/Vorn.h"
#include "foundation/Options.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"

#include <cmath>

namespace vorn::fuzz {

namespace {

class QuietCaller : public CCaller {
public:
    void ExportDone() override {}
};

} // namespace

void runPlanner(const uint8_t* data, size_t size)
{
    ControlBytes control(data, size);
    const uint8_t flags = control.next();
    const uint8_t choice = control.next();
    static constexpr float kRates[] = {23.976f, 24.0f, 25.0f, 29.97f, 30.0f, 50.0f, 59.94f, 60.0f, 12.5f, 999.0f};
    static constexpr const char* kSizes[] = {
        FrameSizeText::NoConversion, FrameSizeText::To1080,  FrameSizeText::To720,  FrameSizeText::ToNtsc50,
        FrameSizeText::ToPal50,      FrameSizeText::ToNtsc25, FrameSizeText::ToPal25, "1280 and 1920"};
    ExportOptions options;
    options.removePulldown = flags & 1;
    options.addPulldown = flags & 2;
    options.rotate = flags & 4;
    options.remove32 = flags & 8;
    options.removeAdvanced = flags & 16;
    options.add32 = flags & 32;
    options.addAdvanced = flags & 64;
    options.reduceNoise = flags & 128;
    options.desiredRate = kRates[(choice & 15) % std::size(kRates)];
    options.desiredFrameSize = kSizes[(choice >> 4) & 7];

    ScratchFolder scratch;
    const auto video = scratch.write(std::filesystem::path("CONTENTS") / "VIDEO" / "0001AB.MXF", std::span(data, size));
    const int openBefore = mxfio::openCount();
    {
        QuietCaller caller;
        CVorn engine;
        applyExportOptions(engine, options);
        ClipExport clip;
        const ClipStart start = startClipExport(caller, engine, video.c_str(), options, clip);
        if (start == ClipStart::Planned && reportSourceAndDest(caller, clip)) {
            const ConversionPlan& plan = clip.plan;
            FUZZ_CHECK(clip.clip->FrameCount() >= 0);
            FUZZ_CHECK(plan.frameCount >= 0);
            FUZZ_CHECK(std::isfinite(plan.frameRatio) && plan.frameRatio > 0.0f && plan.frameRatio <= 5.0f);
            FUZZ_CHECK(plan.rateDen == 1 || plan.rateDen == 1001);
            // There is no AVC-Intra encoder: what is re-encoded becomes a format the DV encoder writes.
            if (plan.reencode)
                FUZZ_CHECK(dv::isEncodableFormat(plan.targetFormat));
            (void)audioChunkBytes(plan);
        }
    }
    FUZZ_CHECK(mxfio::openCount() == openBefore);
}

std::vector<Bytes> plannerSeeds()
{
    using namespace vorn::test;
    struct Seed {
        int32_t format;
        int cam, mode;
        uint8_t flags, choice;
        bool wide;
    };
    // The planner's main paths: 3:2, advanced and VFR removal, 25p to 24p,
    // pulldown addition, format changes with cropping, AVC-Intra sources.
    const Seed table[] = {
        {2, 24, 8, 0x01, 0x00, true},  {38, 24, 8, 0x01, 0x00, true}, {38, 24, 12, 0x01, 0x00, true},
        {9, 25, 0, 0x00, 0x12, false}, {4, 50, 8, 0x01, 0x00, true},  {35, 25, 8, 0x00, 0x02, true},
        {2, 48, 9, 0x01, 0x00, true},  {6, 25, 8, 0x00, 0x00, true},  {1, 30, 8, 0x22, 0x43, true},
        {8, 24, 8, 0x42, 0x60, false}, {3, 25, 0, 0x84, 0x25, true},  {5, 24, 12, 0x11, 0x50, true},
    };
    std::vector<Bytes> seeds;
    for (const Seed& s : table) {
        P2Clip clip = p2Clip(s.format, 12);
        clip.frameSize = s.format >= 32 ? 200 : 1000;
        clip.wide = s.wide;
        clip.audioChannels = 0;
        setBinaryGroup(clip, s.cam, s.mode);
        Bytes seed{s.flags, s.choice};
        const Bytes file = p2VideoFile(clip);
        seed.insert(seed.end(), file.begin(), file.end());
        seeds.push_back(std::move(seed));
    }
    return seeds;
}

} // namespace vorn::fuzz
