#include "engine/VideoFormat.h"

#include <cmath>

namespace vorn {
const char* displayName(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    return f ? f->displayName : "";
}

const char* codecName(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    return f ? f->codecName : "";
}

int32_t pictureWidth(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    return f ? f->pictureWidth : 0;
}

int32_t codedWidth(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    return f ? f->codedWidth : 0;
}

int32_t formatLines(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    return f ? f->lines : 0;
}

int32_t dvFrameBytes(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    return f ? f->dvFrameBytes : 0;
}

PlannerGroup plannerGroup(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    if (!f)
        return PlannerGroup::None;
    if (!f->progressive)
        return f->hz50 ? PlannerGroup::G50i : PlannerGroup::G60i;
    if (f->lines == 720)
        return f->hz50 ? PlannerGroup::G720p50 : PlannerGroup::G720p60;
    return PlannerGroup::None;
}

bool is50HzFamily(VideoFormat code)
{
    const auto* f = videoFormatInfo(code);
    return f && f->hz50;
}

int32_t roundRate(float rate)
{
    const double r = static_cast<double>(rate) + 0.5;
    if (!(r > -2147483648.0 && r < 2147483647.0))
        return 0;
    return static_cast<int32_t>(r);
}

RateFraction nominalFrameRate(VideoFormat code, float editRate)
{
    const int32_t rounded = roundRate(editRate);
    if (is50HzFamily(code))
        return {rounded, 1};
    return {static_cast<int32_t>(static_cast<int64_t>(rounded) * 1000), 1001};
}

} // namespace vorn
