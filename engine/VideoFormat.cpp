#include "engine/VideoFormat.h"

#include <cmath>

namespace vorn {
namespace {

using G = PlannerGroup;
constexpr int32_t kAvc = kAvcVariableFrameBytes;

constexpr VideoFormatInfo kFormats[] = {
    {1, "HD 1080i60     ", "DV100_1080/59.94i", 1920, 1280, 1080, 480000, G::G60i},
    {2, "HD 720p60      ", "DV100_720/59.94p", 1280, 960, 720, 240000, G::G720p60},
    {3, "HD 1080i50     ", "DV100_1080/50i", 1920, 1440, 1080, 576000, G::G50i},
    {4, "HD 720p50      ", "DV100_720/50p", 1280, 960, 720, 288000, G::G720p50},
    {5, "DV NTSC        ", "DV25_411", 720, 720, 480, 120000, G::G60i},
    {6, "DV PAL         ", "DV25_420", 720, 720, 576, 144000, G::G50i},
    {7, "DV50 PAL       ", "DV50_422", 720, 720, 576, 288000, G::G50i},
    {8, "DV50 NTSC      ", "DV50_422", 720, 720, 480, 240000, G::G60i},
    {9, "DV25 PAL       ", "DV25_411", 720, 720, 576, 144000, G::G50i},
    {10, "DV25 NTSC      ", "DV25_411", 720, 720, 480, 120000, G::G60i},
    {32, "AVCI 50 1080i60 ", "AVC-I_1080/59.94i", 1920, 1440, 1080, kAvc, G::G60i},
    {33, "AVCI 50 1080i50 ", "AVC-I_1080/50i", 1920, 1440, 1080, kAvc, G::G50i},
    {34, "AVCI 50 1080p30 ", "AVC-I_1080/29.97p", 1920, 1440, 1080, kAvc, G::None},
    {35, "AVCI 50 1080p25 ", "AVC-I_1080/25p", 1920, 1440, 1080, kAvc, G::None},
    {36, "AVCI 50 720p60  ", "AVC-I_720/59.94p", 1280, 960, 720, kAvc, G::G720p60},
    {37, "AVCI 50 720p50  ", "AVC-I_720/50p", 1280, 960, 720, kAvc, G::G720p50},
    {38, "AVCI 100 1080i60", "AVC-I_1080/59.94i", 1920, 1920, 1080, kAvc, G::G60i},
    {39, "AVCI 100 1080i50", "AVC-I_1080/50i", 1920, 1920, 1080, kAvc, G::G50i},
    {40, "AVCI 100 1080p30", "AVC-I_1080/29.97p", 1920, 1920, 1080, kAvc, G::None},
    {41, "AVCI 100 1080p25", "AVC-I_1080/25p", 1920, 1920, 1080, kAvc, G::None},
    {42, "AVCI 100 720p60 ", "AVC-I_720/59.94p", 1280, 1280, 720, kAvc, G::G720p60},
    {43, "AVCI 100 720p50 ", "AVC-I_720/50p", 1280, 1280, 720, kAvc, G::G720p50},
};

} // namespace

const VideoFormatInfo* videoFormatInfo(VideoFormat code)
{
    for (const auto& f : kFormats)
        if (f.code == code)
            return &f;
    return nullptr;
}

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
    return f ? f->group : PlannerGroup::None;
}

bool is50HzFamily(VideoFormat code)
{
    switch (code) {
    case 3: case 4: case 6: case 7: case 9: case 33: case 35: case 37: case 39: case 41: case 43:
        return true;
    default:
        return false;
    }
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
