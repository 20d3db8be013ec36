// A sample P2 card made by our own DV encoder and clip writer, so that the
// converter can be tried without a camera: short clips of a moving synthetic
// picture (colour bars, a frequency sweep, moving shapes, a frame counter) and
// one tone per audio channel, each clip recorded as a camera would record its
// shooting mode (field order, pulldown cadence and the binary group of every
// frame).
#pragma once

#include "dv/DvFormat.h"
#include "engine/VideoFormat.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vorn {

// How the camera laid its pictures into the recorded frames.
enum class SampleCadence {
    Interlaced,    // two fields a frame, taken one field period apart
    Progressive,   // one picture a frame (both fields of one instant)
    Pulldown32,    // 24p pictures in 60i frames, fields 2,3,2,3 (mixed frames at positions 2 and 3)
    Pulldown2332,  // 24p pictures in 60i frames, fields 2,3,3,2 (mixed frame at position 2)
    Repeat23,      // 24p pictures in 720p60 frames, each repeated 2,3,2,3 times
};

struct SampleClipKind {
    const char* name;          // clip name (NAME.MXF, NAMEcc.MXF, NAME.XML)
    VideoFormat format;        // video format code
    int32_t rateNum, rateDen;  // edit rate
    int32_t cameraRate;        // camera frames per second (binary group)
    SampleCadence cadence;
    bool topFieldFirst;        // the temporal order of the fields in an interlaced frame
    bool wide;                 // 16:9 picture, else 4:3
    int audioChannels;
    const char* pulldown;      // the clip XML's pulldown text ("" for none)
    const char* description;   // one line for people
};

// The clips of the sample card, in card order.
const std::vector<SampleClipKind>& sampleClipKinds();

// Frames of a clip of `seconds` seconds (whole cadence groups of five for
// the 24p-in-60 kinds).
int64_t sampleFrameCount(const SampleClipKind& kind, int seconds);

// The packed binary group (mode, rate, third and check byte, high byte first)
// that the camera writes into frame `index` of the clip.
uint32_t sampleBinaryGroup(const SampleClipKind& kind, int64_t index);

// The camera picture shown in each of the two fields of frame `index`, in
// their temporal order (first field, second field); for progressive and
// repeated frames both are the same picture. Interlaced kinds number fields.
struct SampleFieldPictures {
    int64_t first = 0, second = 0;
};
SampleFieldPictures sampleFieldPictures(const SampleClipKind& kind, int64_t index);

// Position of the frame counter in a picture, as fractions of its width and
// height from the top-left corner: `digits` digits of seven segments, each
// digit digitWidth x digitHeight with segments `thickness` thick (fractions of
// the picture height), digits `pitch` apart, white on black.
struct SampleCounterLayout {
    double left = 0.0, top = 0.0;
    double pitch = 0.0, digitWidth = 0.0;   // fractions of the width
    double digitHeight = 0.0, thickness = 0.0;   // fractions of the height
    int digits = 4;
};
SampleCounterLayout sampleCounterLayout();

// Draws picture `number` of a clip at `time` seconds into `picture`
// (width x height, packed 4:2:2, rows bottom-up). `displayWidth` is the
// width the picture is shown at (shapes are round at that width); bt709
// selects the HD colour matrix for the bars.
void drawSamplePicture(dv::PictureBuffer& picture, int width, int height, int displayWidth, bool bt709,
                       int64_t number, double time);

// The 16-bit sample of channel `channel`'s tone at sample `index` (48 kHz).
int16_t sampleToneValue(int channel, int64_t index);
// The tone frequency of a channel in Hz.
int sampleToneFrequency(int channel);

struct SampleCardOptions {
    int seconds = 2;   // length of each clip
    // Called before each clip is written (index from 0, count of clips).
    std::function<void(int index, int count, const SampleClipKind& kind)> onClip;
};

struct SampleCardResult {
    bool ok = false;
    std::string error;                           // why the card was not written
    std::vector<std::filesystem::path> videoFiles;   // the clips' video files, in card order
};

// Writes DIR/CONTENTS/... and DIR/LASTCLIP.TXT. DIR is created when missing;
// a DIR that already holds a CONTENTS folder is refused. The clips are written
// into a staging folder inside DIR and moved into place when all are done, so
// a failure leaves DIR as it was.
SampleCardResult writeSampleCard(const std::filesystem::path& dir, const SampleCardOptions& options);

} // namespace vorn
