// The picture operations of the frame pipeline, in the form the pipeline
// calls them: one place that binds the codecs' and picture processing's
// entry points.
#pragma once

#include "dv/DvFormat.h"
#include "engine/ConversionPlan.h"
#include "engine/VideoFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn::pictureSteps {

// The first operation a plan needs that this build cannot do, or null when
// it can do them all.
const char* missingOperation(const ConversionPlan& plan);

// Turns a 720-line DVCPRO HD frame by 180 degrees in the coefficient domain.
bool rotateDifFrame(uint8_t* frame, size_t size, VideoFormat code);

// Decodes an AVC-Intra frame (with its 512 header bytes in front when first)
// into a packed 4:2:2 picture, rotated by 180 degrees when asked.
bool decodeAvcIntra(const uint8_t* frame, size_t size, VideoFormat code, bool first, bool rotate,
                    dv::PictureBuffer& picture);

// Noise reduction of picture `index` of the clip.
void reduceNoise(const dv::PictureBuffer& in, dv::PictureBuffer& out, int64_t index);

// Brings a picture of format `from` to the raster of `to`, cropping 4:3 to 16:9 when asked.
void changeFormat(const dv::PictureBuffer& in, VideoFormat from, VideoFormat to, bool crop, dv::PictureBuffer& out);

// 3:2 removal on a step of five decoded pictures: repairs the picture after
// the first pair of mixed-field frames and names the four kept slots in order.
void removePulldown32(std::array<dv::PictureBuffer, 5>& pictures, int64_t stepFirst, VideoFormat code, bool rotate,
                      const std::array<uint32_t, 5>& mixedFlags, std::array<int, 4>& kept);

// Four progressive pictures (slots 0-3) become five interlaced ones with
// 2:3 (add32) or 2:3:3:2 pulldown.
void addPulldown(std::array<dv::PictureBuffer, 5>& pictures, bool add32);

} // namespace vorn::pictureSteps
