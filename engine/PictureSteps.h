// The picture operations of the frame pipeline, in the form the pipeline
// calls them: one place that binds the codecs' and picture processing's
// entry points to the pipeline's PictureBuffers.
//
// Every picture of a clip is kept in a buffer of `capacity` bytes, enough for
// the larger of the source and target rasters, so that a format change can
// work in place; width and height say the raster it holds now.
#pragma once

#include "avci/AvcDecoder.h"
#include "dv/DifRotation.h"
#include "dv/DvEncoder.h"
#include "dv/DvFormat.h"
#include "dv/PictureProcessing.h"
#include "engine/ConversionPlan.h"
#include "engine/VideoFormat.h"
#include "foundation/Status.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

// The picture codecs and filters the engine's exports use, kept from clip to
// clip as their output needs: the DV encoder (its 720-line frames alternate
// channel pairs across all the frames it encodes, and each segment's
// quantiser search starts from its result in the previous frame), the noise
// filter's history, and the work areas of the rotation and the format change.
struct PictureCodecs {
    dv::DvEncoder encoder;
    dv::NoiseFilter noise;
    dv::DifRotator rotator;
    dv::FormatChanger formatChanger;
};

} // namespace vorn

namespace vorn::pictureSteps {

// Shows the message box a failed picture operation calls for: a failed
// allocation (system error ENOMEM) is shown with its message under `title`.
// Other failures are not shown here: they have no message, or the worker
// pool has shown theirs.
void showFailure(const Status& status, const char* title);

// The first operation a plan needs that this build cannot do, or null when
// it can do them all.
const char* missingOperation(const ConversionPlan& plan);

// Bytes a picture buffer of the clip needs (the larger raster of the two codes).
size_t pictureCapacity(VideoFormat source, VideoFormat target);

// Gives a picture the raster of `code`, its buffer at least `capacity` bytes.
void fitRaster(dv::PictureBuffer& picture, VideoFormat code, size_t capacity);

// Turns a 720-line DVCPRO HD frame by 180 degrees in the coefficient domain,
// showing the rotation's messages.
bool rotateDifFrame(dv::DifRotator& rotator, uint8_t* frame, size_t size, VideoFormat code);

// Decodes a DV-family frame into a picture of the code's raster.
bool decodeDv(const uint8_t* frame, size_t size, VideoFormat code, bool rotate, dv::PictureBuffer& picture,
              size_t capacity);

// Decodes an AVC-Intra frame (with the clip's 512 header bytes in front when
// `first`) with the clip's decoder into a packed 4:2:2 picture, turned by 180
// degrees when asked; a decoding failure is shown to the user. `planar` is the
// decoder's work buffer.
bool decodeAvcIntra(avci::AvcDecoder& decoder, const uint8_t* frame, size_t size, VideoFormat code, bool first,
                    bool rotate, std::vector<uint16_t>& planar, dv::PictureBuffer& picture, size_t capacity);

// Noise reduction of picture `index` of the clip into `out`, showing the
// filter's message when its history cannot be allocated.
bool reduceNoise(dv::NoiseFilter& filter, const dv::PictureBuffer& in, dv::PictureBuffer& out, VideoFormat code,
                 int64_t index, size_t capacity);

// Rescales `in` (raster of `from`) into `out` (raster of `to`), each output
// parity from the lines `lines` names; `out` may be `in`. `out` takes the
// target raster, its buffer at least `capacity` bytes.
bool changeFormatLines(dv::FormatChanger& changer, dv::PictureBuffer& out, VideoFormat to, const dv::PictureBuffer& in,
                       VideoFormat from, bool crop, dv::LineSources lines, size_t capacity);

// 3:2 removal on a step of five decoded pictures of format `code`: repairs
// the picture after the first pair of mixed-field frames and names the four
// kept slots in order. `saved` carries the last picture of the previous group.
void removePulldown32(std::array<dv::PictureBuffer, 5>& pictures, dv::PictureBuffer& saved, int64_t stepFirst,
                      VideoFormat code, bool rotate, const std::array<uint32_t, 5>& mixedFlags,
                      std::array<int, 4>& kept);

// Four progressive pictures (slots 0-3, of format `code`) become five
// interlaced ones with 2:3 (add32) or 2:3:3:2 pulldown.
void addPulldown(std::array<dv::PictureBuffer, 5>& pictures, VideoFormat code, bool add32, size_t capacity);

} // namespace vorn::pictureSteps
