// The video format codes of the system and the engine's views of the video
// format table (dv/VideoFormats.h).
#pragma once

#include "dv/VideoFormats.h"

#include <cstdint>

using VideoFormat = int32_t;

namespace vorn {

constexpr int32_t kMaxFrameBufferBytes = 16588800;   // one frame/picture buffer

// Formats that the conversion planner handles alike.
enum class PlannerGroup { None, G60i, G50i, G720p60, G720p50 };

// Per-code values; 0 / "" / PlannerGroup::None for a code not in the table.
const char* displayName(VideoFormat code);
const char* codecName(VideoFormat code);
int32_t pictureWidth(VideoFormat code);
int32_t codedWidth(VideoFormat code);
int32_t formatLines(VideoFormat code);
int32_t dvFrameBytes(VideoFormat code);
// From the table: interlaced 60 or 50 Hz, 720-line progressive 60 or 50 Hz;
// None for 1080-line progressive and codes not in the table.
PlannerGroup plannerGroup(VideoFormat code);

// The 25/50 Hz family: codes 3, 4, 6, 7, 9, 33, 35, 37, 39, 41, 43.
bool is50HzFamily(VideoFormat code);

// Truncation of rate + 0.5.
int32_t roundRate(float rate);

// The nominal frame rate of a format as a fraction: rounded edit rate / 1 for
// the 50 Hz family, else 1000 * rounded edit rate / 1001.
struct RateFraction {
    int32_t num = 0;
    int32_t den = 1;
};
RateFraction nominalFrameRate(VideoFormat code, float editRate);

} // namespace vorn
