// The processing raster of a code and the line copies of pulldown addition and removal.
#include "dv/PictureProcessing.h"

#include <cstring>

namespace vorn::dv {

PictureRaster pictureRaster(VideoFormat code)
{
    if (const DvFormatInfo* info = dvFormatInfo(code))
        return {info->codedWidth, info->height};
    // AVC-Intra: 50 stores 1440 / 960 wide 4:2:0 pictures, 100 the full 1920 / 1280 in 4:2:2.
    if (code >= 32 && code <= 43) {
        const bool lines720 = (code - 32) % 6 >= 4;
        const bool class100 = code >= 38;
        if (lines720)
            return {class100 ? 1280 : 960, 720};
        return {class100 ? 1920 : 1440, 1080};
    }
    return {};
}

namespace {

// DVCPRO HD and AVC-Intra codes.
bool hdParity(VideoFormat code) { return code < 5 || (code & 32) != 0; }

// Replaces the lines of parity p of `dst` by those of `src`.
void copyField(uint8_t* dst, const uint8_t* src, const PictureRaster& r, int parity)
{
    const size_t pitch = static_cast<size_t>(2) * static_cast<size_t>(r.width);
    for (int line = parity; line < r.height; line += 2)
        std::memcpy(dst + line * pitch, src + line * pitch, pitch);
}

} // namespace

int firstFieldParity(VideoFormat code) { return hdParity(code) ? 1 : 0; }

void AddPulldown23(uint8_t* const slots[5], VideoFormat code)
{
    const PictureRaster r = pictureRaster(code);
    if (r.width == 0)
        return;
    const int p = hdParity(code) ? 1 : 0;
    // Slot 3 takes its field from slot 2 before slot 2 changes, so no copy of slot 2 is needed.
    std::memcpy(slots[4], slots[3], r.bytes());
    copyField(slots[3], slots[2], r, p);
    copyField(slots[2], slots[1], r, p);
}

void AddPulldown2332(uint8_t* const slots[5], VideoFormat code)
{
    const PictureRaster r = pictureRaster(code);
    if (r.width == 0)
        return;
    const int p = code == 1 ? 1 : 0;
    std::memcpy(slots[4], slots[3], r.bytes());
    std::memcpy(slots[3], slots[2], r.bytes());
    copyField(slots[2], slots[1], r, p);
}

int RemovePulldown32(uint8_t* saved, int64_t firstFrameIndex, uint8_t* const slots[5], VideoFormat code,
                     bool rotate, const int mixedFlags[5], int kept[4])
{
    int k = 0;
    for (int s = 0; s < 5; ++s) {
        if (mixedFlags[s] == 1 && mixedFlags[(s + 1) % 5] == 1) {
            k = s;
            break;
        }
    }
    for (int s = 0, n = 0; s < 5; ++s)
        if (s != k)
            kept[n++] = s;

    const PictureRaster r = pictureRaster(code);
    if (r.width == 0)
        return k;
    const int base = hdParity(code) ? 1 : 0;
    const int parity = rotate ? base : 1 - base;
    const size_t pitch = static_cast<size_t>(2) * static_cast<size_t>(r.width);
    if (k < 4) {
        std::memcpy(saved, slots[4], r.bytes());
        copyField(slots[k + 1], slots[k], r, parity);
        return k;
    }
    if (firstFrameIndex != 0) {
        copyField(slots[0], saved, r, parity);
    } else {
        // No previous group: rebuild the field from its neighbouring lines.
        uint8_t* pic = slots[0];
        if (parity == 1) {
            for (int line = 1; line < r.height; line += 2)
                std::memcpy(pic + line * pitch, pic + (line - 1) * pitch, pitch);
        } else {
            for (int line = 0; line + 1 < r.height; line += 2)
                std::memcpy(pic + line * pitch, pic + (line + 1) * pitch, pitch);
        }
    }
    std::memcpy(saved, slots[4], r.bytes());
    return k;
}

} // namespace vorn::dv
