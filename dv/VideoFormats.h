// The video format table: one row per video format code with the facts every
// layer uses (names, widths, lines, frame bytes, scanning, frame-rate family).
// The DV codec, the MXF reader and writer, the exporter and the engine all
// derive their per-format values from it.
//
// A code is a signed 32-bit integer: 1 to 4 DVCPRO HD, 5 to 10 the 25 and
// 50 Mb/s DV formats, 32 to 37 AVC-Intra 50, 38 to 43 AVC-Intra 100, 0 not
// recognised. Bit 5 (value 32) is set for every AVC-Intra code and no other.
#pragma once

#include <cstdint>

namespace vorn {

inline constexpr int32_t kAvcIntraBit = 32;
inline constexpr int32_t kAvcVariableFrameBytes = 999999;   // frame bytes of AVC-Intra codes (variable)

constexpr bool isAvcIntra(int32_t code) { return (code & kAvcIntraBit) != 0; }

struct VideoFormatInfo {
    int32_t code;
    const char* displayName;   // padded with spaces to 15 (DV family) or 16 (AVC-Intra) characters
    const char* codecName;     // the name written into the clip XML
    int32_t pictureWidth;      // displayed width (the MXF StoredWidth)
    int32_t codedWidth;        // stored / decoded width
    int32_t lines;
    int32_t dvFrameBytes;      // bytes of one frame; kAvcVariableFrameBytes for AVC-Intra
    bool progressive;          // frames, not fields
    bool hz50;                 // of the 25/50 Hz family
};

inline constexpr VideoFormatInfo kVideoFormats[] = {
    {1, "HD 1080i60     ", "DV100_1080/59.94i", 1920, 1280, 1080, 480000, false, false},
    {2, "HD 720p60      ", "DV100_720/59.94p", 1280, 960, 720, 240000, true, false},
    {3, "HD 1080i50     ", "DV100_1080/50i", 1920, 1440, 1080, 576000, false, true},
    {4, "HD 720p50      ", "DV100_720/50p", 1280, 960, 720, 288000, true, true},
    {5, "DV NTSC        ", "DV25_411", 720, 720, 480, 120000, false, false},
    {6, "DV PAL         ", "DV25_420", 720, 720, 576, 144000, false, true},
    {7, "DV50 PAL       ", "DV50_422", 720, 720, 576, 288000, false, true},
    {8, "DV50 NTSC      ", "DV50_422", 720, 720, 480, 240000, false, false},
    {9, "DV25 PAL       ", "DV25_411", 720, 720, 576, 144000, false, true},
    {10, "DV25 NTSC      ", "DV25_411", 720, 720, 480, 120000, false, false},
    {32, "AVCI 50 1080i60 ", "AVC-I_1080/59.94i", 1920, 1440, 1080, kAvcVariableFrameBytes, false, false},
    {33, "AVCI 50 1080i50 ", "AVC-I_1080/50i", 1920, 1440, 1080, kAvcVariableFrameBytes, false, true},
    {34, "AVCI 50 1080p30 ", "AVC-I_1080/29.97p", 1920, 1440, 1080, kAvcVariableFrameBytes, true, false},
    {35, "AVCI 50 1080p25 ", "AVC-I_1080/25p", 1920, 1440, 1080, kAvcVariableFrameBytes, true, true},
    {36, "AVCI 50 720p60  ", "AVC-I_720/59.94p", 1280, 960, 720, kAvcVariableFrameBytes, true, false},
    {37, "AVCI 50 720p50  ", "AVC-I_720/50p", 1280, 960, 720, kAvcVariableFrameBytes, true, true},
    {38, "AVCI 100 1080i60", "AVC-I_1080/59.94i", 1920, 1920, 1080, kAvcVariableFrameBytes, false, false},
    {39, "AVCI 100 1080i50", "AVC-I_1080/50i", 1920, 1920, 1080, kAvcVariableFrameBytes, false, true},
    {40, "AVCI 100 1080p30", "AVC-I_1080/29.97p", 1920, 1920, 1080, kAvcVariableFrameBytes, true, false},
    {41, "AVCI 100 1080p25", "AVC-I_1080/25p", 1920, 1920, 1080, kAvcVariableFrameBytes, true, true},
    {42, "AVCI 100 720p60 ", "AVC-I_720/59.94p", 1280, 1280, 720, kAvcVariableFrameBytes, true, false},
    {43, "AVCI 100 720p50 ", "AVC-I_720/50p", 1280, 1280, 720, kAvcVariableFrameBytes, true, true},
};

// The row of a code, or nullptr when the code is not in the table.
constexpr const VideoFormatInfo* videoFormatInfo(int32_t code)
{
    for (const auto& f : kVideoFormats)
        if (f.code == code)
            return &f;
    return nullptr;
}

// A DV-family code (1 to 10): one whose frames the DV codec reads and writes.
constexpr bool isDvFamily(int32_t code) { return code >= 1 && code <= 10; }

} // namespace vorn
