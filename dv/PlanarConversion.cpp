// AVC-Intra pictures (16-bit planar, 10-bit range) into the packed 4:2:2 layout.
#include "dv/PictureKernels.h"
#include "dv/PictureProcessing.h"

#include <vector>

namespace vorn::dv {

namespace {

// chromaRowShift 0: 4:2:2 (a chroma row per line); 1: 4:2:0 (one per two lines).
void convertPlanar(const uint16_t* source, uint8_t* destination, int width, int height, bool rotate,
                   int chromaRowShift)
{
    if (!source || !destination || width < 2 || height < 1)
        return;
    const PictureKernels& k = pictureKernels();
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    const size_t cw = w / 2;
    const size_t ch = (h + chromaRowShift) >> chromaRowShift;
    const uint16_t* yPlane = source;
    const uint16_t* cbPlane = yPlane + w * h;
    const uint16_t* crPlane = cbPlane + cw * ch;
    const size_t pitch = 2 * w;
    // With `rotate` each row is packed here, then mirrored into place.
    std::vector<uint8_t> line(rotate ? pitch : 0);
    for (size_t y = 0; y < h; ++y) {
        const size_t c = y >> chromaRowShift;
        if (rotate) {
            // Top-down rows, each mirrored.
            k.packPlanarRow(line.data(), yPlane + y * w, cbPlane + c * cw, crPlane + c * cw, width);
            k.mirror(destination + y * pitch, line.data(), width / 2);
        } else {
            k.packPlanarRow(destination + (h - 1 - y) * pitch, yPlane + y * w, cbPlane + c * cw, crPlane + c * cw,
                            width);
        }
    }
}

} // namespace

void ConvertPlanarPicture422(const uint16_t* source, uint8_t* destination, int width, int height, bool rotate)
{
    convertPlanar(source, destination, width, height, rotate, 0);
}

void ConvertPlanarPicture420(const uint16_t* source, uint8_t* destination, int width, int height, bool rotate)
{
    convertPlanar(source, destination, width, height, rotate, 1);
}

bool ConvertPlanarPicture(const uint16_t* source, uint8_t* destination, int width, int height, bool rotate,
                          VideoFormat code)
{
    if (code >= 32 && code <= 37)
        ConvertPlanarPicture420(source, destination, width, height, rotate);
    else if (code >= 38 && code <= 43)
        ConvertPlanarPicture422(source, destination, width, height, rotate);
    else
        return false;
    return true;
}

} // namespace vorn::dv
