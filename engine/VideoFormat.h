// The video format codes of the system and their per-format properties.
//
// A code is a signed 32-bit integer: 1 to 4 DVCPRO HD, 5 to 10 the 25 and
// 50 Mb/s DV formats, 32 to 37 AVC-Intra 50, 38 to 43 AVC-Intra 100, 0 not
// recognised. Bit 5 (value 32) is set for every AVC-Intra code and no other.
#pragma once

#include <cstdint>

using VideoFormat = int32_t;

namespace vorn {

constexpr VideoFormat kAvcIntraBit = 32;
constexpr int32_t kAvcVariableFrameBytes = 999999;   // DV frame bytes of AVC-Intra codes
constexpr int32_t kMaxFrameBufferBytes = 16588800;   // one frame/picture buffer

inline bool isAvcIntra(VideoFormat code) { return (code & kAvcIntraBit) != 0; }

// Formats that the conversion planner handles alike.
enum class PlannerGroup { None, G60i, G50i, G720p60, G720p50 };

struct VideoFormatInfo {
    VideoFormat code;
    const char* displayName;   // padded with spaces to 15 (DV family) or 16 (AVC-Intra) characters
    const char* codecName;     // the name written into the clip XML
    int32_t pictureWidth;      // displayed width
    int32_t codedWidth;        // stored / decoded width
    int32_t lines;
    int32_t dvFrameBytes;      // 999999 for AVC-Intra (variable)
    PlannerGroup group;
};

// The table entry of a code, or nullptr when the code is not in the table.
const VideoFormatInfo* videoFormatInfo(VideoFormat code);

// Per-code values; 0 / "" / PlannerGroup::None for a code not in the table.
const char* displayName(VideoFormat code);
const char* codecName(VideoFormat code);
int32_t pictureWidth(VideoFormat code);
int32_t codedWidth(VideoFormat code);
int32_t formatLines(VideoFormat code);
int32_t dvFrameBytes(VideoFormat code);
PlannerGroup plannerGroup(VideoFormat code);

// Codes 3, 4, 6, 7, 9, 33, 35, 37, 39, 41, 43.
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
