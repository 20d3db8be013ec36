// The per-clip record of the conversion planner's inputs and decisions.
//
// The export driver fills the inputs (source sizes, counts, rates, option
// flags), FrameProcesser::PlanConversion writes its decisions, and the frame
// pipeline and the exporter configuration read the result.
#pragma once

#include <cstdint>

namespace vorn {

// Pulldown labels handed to the exporter; "unchanged" keeps the source's.
inline constexpr const char* kPulldownUnchanged = "unchanged";
inline constexpr const char* kPulldown22 = "2:2";
inline constexpr const char* kPulldown23 = "2:3";
inline constexpr const char* kPulldown2332 = "2:3:3:2";

// How a format change treats the two fields of an interlaced frame.
enum class FieldHandling : uint8_t {
    Frames,             // each picture scaled whole (progressive pictures)
    FieldByField,       // interlaced to interlaced: each field scaled on its own, first field to first field
    FieldsToFrames,     // interlaced to 720p: one frame of each field, at the field rate
    FramePairsToFields, // 720p at the field rate to interlaced: two frames woven into the fields of one
};

struct ConversionPlan {
    int32_t sourceFrameSize = 0;     // compressed size of a source frame
    int32_t outFrameSize = 0;        // compressed size of an output frame (frame 0)
    int32_t outFrameSizeLater = 0;   // ... of the frames after the first (AVC-Intra)
    int32_t rateNum = 0;             // output frame rate numerator
    int32_t rateDen = 1;             // output frame rate denominator (1 or 1001)
    int64_t frameCount = 0;          // output frames; starts as the source frame count
    uint32_t bgWord = 0;             // packed output binary group of frame 0

    // Option flags; remove32/removeAdvanced are rewritten to the chosen removal.
    int32_t rotate = 0;
    int32_t remove32 = 0;
    int32_t removeAdvanced = 0;
    int32_t add32 = 0;
    int32_t addAdvanced = 0;
    int32_t reduceNoise = 0;

    int32_t reencode = 0;            // frames must be decoded and re-encoded
    uint8_t progressive = 0;         // source frames are whole progressive pictures
    uint8_t cropTo169 = 0;           // crop a 4:3 picture to 16:9
    uint8_t widescreen = 0;          // output is 16:9 (starts from the source aspect)
    uint8_t keepBinaryGroup = 0;     // output frames are the source's one for one: each keeps its (valid) binary group

    int32_t addPulldown = 0;         // the engine's add-pulldown setting
    int32_t removePulldown = 0;      // the engine's remove-pulldown setting
    float desiredRate = 23.976f;     // "DesiredFrameRate"
    int32_t cameraRate = 0;          // camera frames per second
    int32_t targetFormat = 0;        // video format code of the output
    int32_t convert2425 = 0;         // 24p <-> 25p speed change
    int32_t sourceRate = 0;          // source edit rate rounded
    int32_t desiredRateRounded = 0;  // desiredRate rounded
    float frameRatio = 1.0f;         // output frames per source frame
    int32_t sourceFormat = 0;        // video format code of the source
    int32_t frameSizeChoice = 0;     // 0..6 from "DesiredFrameSize"
    const char* pulldownLabel = kPulldownUnchanged;  // null, "2:2", "2:3", "2:3:3:2"
    FieldHandling fieldHandling = FieldHandling::Frames;  // of the format change
};

} // namespace vorn
