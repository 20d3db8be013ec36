#include "engine/PictureSteps.h"

#include "avci/AvcDecoder.h"

namespace vorn::pictureSteps {

const char* missingOperation(const ConversionPlan& plan)
{
    const bool removal32 =
        plan.removePulldown && plan.remove32 && plannerGroup(plan.sourceFormat) == PlannerGroup::G60i;
    const bool addInto60i = plan.addPulldown && plannerGroup(plan.targetFormat) == PlannerGroup::G60i;
    if (!plan.reencode)
        return plan.rotate && (plan.sourceFormat == 2 || plan.sourceFormat == 4) ? "720-line frame rotation"
                                                                                 : nullptr;
    if (isAvcIntra(plan.sourceFormat))
        return "AVC-Intra picture conversion";
    if (plan.reduceNoise)
        return "noise reduction";
    if (plan.targetFormat != plan.sourceFormat)
        return "format change";
    if (removal32)
        return "3:2 pulldown removal";
    if (addInto60i)
        return "pulldown addition";
    return nullptr;
}

bool rotateDifFrame(uint8_t*, size_t, VideoFormat) { return false; }

bool decodeAvcIntra(const uint8_t*, size_t, VideoFormat, bool, bool, dv::PictureBuffer&) { return false; }

void reduceNoise(const dv::PictureBuffer& in, dv::PictureBuffer& out, int64_t) { out = in; }

void changeFormat(const dv::PictureBuffer& in, VideoFormat, VideoFormat, bool, dv::PictureBuffer& out) { out = in; }

void removePulldown32(std::array<dv::PictureBuffer, 5>&, int64_t, VideoFormat, bool, const std::array<uint32_t, 5>&,
                      std::array<int, 4>& kept)
{
    kept = {0, 1, 2, 3};
}

void addPulldown(std::array<dv::PictureBuffer, 5>&, bool) {}

} // namespace vorn::pictureSteps
