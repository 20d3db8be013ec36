#include "engine/PictureSteps.h"

#include "avci/AvcDecoder.h"
#include "dv/DvDecoder.h"
#include "dv/DifRotation.h"
#include "dv/DvEncoder.h"
#include "dv/PictureProcessing.h"
#include "foundation/Notifier.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorn::pictureSteps {

namespace {

constexpr size_t kHeaderBytes = 512;

} // namespace

void showFailure(const Status& status, const char* title)
{
    if (!status.ok() && status.systemError() == ENOMEM)
        notify(title, status.message());
}

const char* missingOperation(const ConversionPlan& plan)
{
    if (!plan.reencode)
        return nullptr;
    if (!dv::isEncodableFormat(plan.targetFormat))
        return "encoding into this format";
    return nullptr;
}

size_t pictureCapacity(VideoFormat source, VideoFormat target)
{
    return std::max(dv::pictureRaster(source).bytes(), dv::pictureRaster(target).bytes());
}

void fitRaster(dv::PictureBuffer& picture, VideoFormat code, size_t capacity)
{
    const dv::PictureRaster raster = dv::pictureRaster(code);
    picture.width = raster.width;
    picture.height = raster.height;
    const size_t need = std::max(capacity, raster.bytes());
    if (picture.bytes.size() < need)
        picture.bytes.resize(need);
}

bool rotateDifFrame(dv::DifRotator& rotator, uint8_t* frame, size_t size, VideoFormat code)
{
    if (!frame)
        return false;
    const Status status = rotator.rotate(std::span<uint8_t>(frame, size), code, true);
    if (rotator.undecodableSegments())
        notify(dv::kRotationMessageTitle, dv::kRotationSegmentBufferMessage);
    showFailure(status, dv::kRotationMessageTitle);
    return status.ok();
}

bool decodeDv(const uint8_t* frame, size_t size, VideoFormat code, bool rotate, dv::PictureBuffer& picture,
              size_t capacity)
{
    dv::DecodeOptions options;
    options.rotate = rotate;
    const bool ok = dv::decodeDifFrame(std::span<const uint8_t>(frame, size), code, picture, options);
    fitRaster(picture, code, capacity);
    return ok;
}

bool decodeAvcIntra(avci::AvcDecoder& decoder, const uint8_t* frame, size_t size, VideoFormat code, bool first,
                    bool rotate, std::vector<uint16_t>& planar, dv::PictureBuffer& picture, size_t capacity)
{
    const dv::PictureRaster raster = dv::pictureRaster(code);
    if (raster.width <= 0 || !frame)
        return false;
    const size_t skip = first ? kHeaderBytes : 0;
    if (size <= skip)
        return false;
    // Planes of 16-bit samples: luma and two chroma planes of at most half its size each.
    const size_t samples = static_cast<size_t>(raster.width) * static_cast<size_t>(raster.height) * 2;
    if (planar.size() < samples)
        planar.resize(samples);
    if (const Status s = decoder.decode(frame + skip, size - skip, code, reinterpret_cast<uint8_t*>(planar.data()),
                                        planar.size() * sizeof(uint16_t));
        !s.ok()) {
        if (!avci::failureAlreadyShown(s))
            notify(avci::kAvcDecoderTitle, s.message());
        return false;
    }
    const avci::AvcFrameInfo& info = decoder.lastFrame();
    if (info.width != raster.width || info.height != raster.height || info.bitDepth <= 8)
        return false;
    fitRaster(picture, code, capacity);
    return dv::ConvertPlanarPicture(planar.data(), picture.data(), raster.width, raster.height, rotate, code);
}

bool reduceNoise(dv::NoiseFilter& filter, const dv::PictureBuffer& in, dv::PictureBuffer& out, VideoFormat code,
                 int64_t index, size_t capacity)
{
    fitRaster(out, code, capacity);
    const Status status = filter.apply(out.data(), in.data(), code, index, true);
    showFailure(status, dv::kNoiseMessageTitle);
    return status.ok();
}

bool changeFormatLines(dv::FormatChanger& changer, dv::PictureBuffer& out, VideoFormat to, const dv::PictureBuffer& in,
                       VideoFormat from, bool crop, dv::LineSources lines, size_t capacity)
{
    const dv::PictureRaster source = dv::pictureRaster(from);
    if (in.bytes.size() < source.bytes())
        return false;
    if (&out != &in)
        fitRaster(out, to, capacity);
    else if (out.bytes.size() < std::max(source.bytes(), dv::pictureRaster(to).bytes()))
        return false;
    if (!changer.change(out.data(), to, in.data(), from, crop, lines).ok())
        return false;
    const dv::PictureRaster raster = dv::pictureRaster(to);
    out.width = raster.width;
    out.height = raster.height;
    return true;
}

void removePulldown32(std::array<dv::PictureBuffer, 5>& pictures, dv::PictureBuffer& saved, int64_t stepFirst,
                      VideoFormat code, bool rotate, const std::array<uint32_t, 5>& mixedFlags,
                      std::array<int, 4>& kept)
{
    uint8_t* slots[5];
    int flags[5];
    for (size_t i = 0; i < 5; ++i) {
        slots[i] = pictures[i].data();
        flags[i] = static_cast<int>(mixedFlags[i] == 1 ? 1 : 0);
    }
    fitRaster(saved, code, pictures[0].bytes.size());
    int keptSlots[4] = {0, 1, 2, 3};
    dv::RemovePulldown32(saved.data(), stepFirst, slots, code, rotate, flags, keptSlots);
    for (size_t j = 0; j < 4; ++j)
        kept[j] = std::clamp(keptSlots[j], 0, 4);
}

void addPulldown(std::array<dv::PictureBuffer, 5>& pictures, VideoFormat code, bool add32, size_t capacity)
{
    uint8_t* slots[5];
    for (size_t i = 0; i < 5; ++i) {
        fitRaster(pictures[i], code, capacity);
        slots[i] = pictures[i].data();
    }
    if (add32)
        dv::AddPulldown23(slots, code);
    else
        dv::AddPulldown2332(slots, code);
}

} // namespace vorn::pictureSteps
