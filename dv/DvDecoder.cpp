// The two decoding engines (25/50 Mb/s and DVCPRO HD) and the output stages:
// orientation, stretch and mirror, RGB and reduced-scale output.
#include "dv/DvDecoder.h"

#include "dv/CodecTables.h"
#include "dv/CodecWorkers.h"
#include "dv/DvDecoderCore.h"
#include "dv/Stretch.h"
#include "foundation/Log.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vorn::dv {

namespace {

// Decodes the whole frame into `target` (coded raster) in one pass of the
// worker pool: every DIF sequence of every channel the frame carries is one
// unit, claimed by whichever worker is free. Units write disjoint parts of the
// picture, so the result does not depend on who decodes what. False when a
// worker could not be started.
bool decodeCoded(const DvFormatInfo& info, std::span<const uint8_t> frame, const detail::PackedTarget& target)
{
    const uint8_t* data = frame.data();
    thread_local std::vector<uint8_t> padded;
    if (frame.size() < static_cast<size_t>(info.bytesPerFrame)) {
        // A short frame decodes as if the missing bytes were zero.
        padded.assign(static_cast<size_t>(info.bytesPerFrame), 0);
        if (!frame.empty())
            std::memcpy(padded.data(), frame.data(), frame.size());
        data = padded.data();
    }
    // Shuffle channels carried by this frame and their DIF sequences.
    int firstChannel = 0, channels = info.channels, perChannel = info.videoSequencesPerChannel;
    if (info.hd && info.height == 720) {
        firstChannel = hdChannelPair(frame);
        channels = 2;
    } else if (info.hd) {
        channels = 4;
        perChannel = info.code == 3 ? 11 : info.videoSequencesPerChannel;
    }
    // Code 3: the twelfth DIF sequence, carried by channel 0 only, is the last unit.
    const bool extra = info.hd && info.code == 3;
    const int units = channels * perChannel + (extra ? 1 : 0);
    auto decodeUnit = [&](int, int unit) {
        if (extra && unit == units - 1)
            detail::decodeSequence(info, data, 0, 11, target);
        else
            detail::decodeSequence(info, data, firstChannel + unit / perChannel, unit % perChannel, target);
    };
    const int workers = processorCount();
    if (workers < 2) {
        for (int u = 0; u < units; ++u)
            decodeUnit(0, u);
        return true;
    }
    return forEachUnit(workers, units, decodeUnit, kDecodeThreadMessage);
}

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Packed 4:2:2 (top-down or bottom-up as stored) to RGB 24-bit with the integer
// BT.601 matrix, optionally reduced by `scale` with a box average. Row order is kept.
void convertOutput(uint8_t* dest, int outWidth, int outHeight, int bpp, int scale, const uint8_t* src, int srcWidth)
{
    const int srcPitch = 2 * srcWidth;
    const int outBpp = bpp / 8;
    for (int y = 0; y < outHeight; ++y) {
        uint8_t* d = dest + static_cast<ptrdiff_t>(y) * outWidth * outBpp;
        for (int x = 0; x < outWidth; ++x) {
            int sy = 0, scb = 0, scr = 0;
            for (int j = 0; j < scale; ++j) {
                const uint8_t* row = src + static_cast<ptrdiff_t>(y * scale + j) * srcPitch;
                for (int i = 0; i < scale; ++i) {
                    const int px = x * scale + i;
                    const uint8_t* pair = row + 4 * (px / 2);
                    sy += row[2 * px];
                    scb += pair[1];
                    scr += pair[3];
                }
            }
            const int n = scale * scale;
            const int Y = (sy + n / 2) / n, Cb = (scb + n / 2) / n, Cr = (scr + n / 2) / n;
            if (outBpp == 3) {
                const int yy = 74 * (Y - 16), u = Cb - 128, v = Cr - 128;
                // Bytes in B, G, R order as in a device-independent bitmap.
                d[3 * x + 0] = clamp255((yy + 129 * u + 32) >> 6);
                d[3 * x + 1] = clamp255((yy - 25 * u - 52 * v + 32) >> 6);
                d[3 * x + 2] = clamp255((yy + 102 * v + 32) >> 6);
            } else {
                d[2 * x] = static_cast<uint8_t>(Y);
                d[2 * x + 1] = static_cast<uint8_t>((x & 1) ? Cr : Cb);
            }
        }
    }
}

} // namespace

int decodedWidth(VideoFormat code, bool fullRaster)
{
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info)
        return 0;
    return (fullRaster && info->hd) ? info->fullWidth : info->codedWidth;
}

namespace {

bool decodeImpl(uint8_t* dest, size_t destBytes, int width, int height, std::span<const uint8_t> frame,
                VideoFormat code, int bitsPerPixel, int scale, bool rotate)
{
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info || !dest || (bitsPerPixel != 16 && bitsPerPixel != 24) ||
        (scale != 1 && scale != 2 && scale != 4 && scale != 8) || width <= 0 || height == 0)
        return false;
    detail::initDecoderTables();
    const int outHeight = height < 0 ? -height : height;
    const int fullWidth = width * scale;
    if (outHeight * scale != info->height)
        return false;
    const bool stretch = info->hd && fullWidth == info->fullWidth && info->fullWidth != info->codedWidth;
    if (!stretch && fullWidth != info->codedWidth)
        return false;
    if (destBytes < static_cast<size_t>(width) * static_cast<size_t>(outHeight) * static_cast<size_t>(bitsPerPixel / 8))
        return false;
    const bool topDown = (height < 0) != rotate;

    const bool direct = bitsPerPixel == 16 && scale == 1 && !stretch;
    thread_local std::vector<uint8_t> scratch;
    thread_local std::vector<uint8_t> full;
    detail::PackedTarget target;
    target.width = info->codedWidth;
    target.height = info->height;
    target.bottomUp = !topDown;
    if (direct) {
        target.base = dest;
    } else {
        scratch.resize(static_cast<size_t>(info->pictureBytes()));
        target.base = scratch.data();
    }
    if (!decodeCoded(*info, frame, target))
        return false;

    StretchJob job;
    job.code = code;
    job.height = info->height;
    job.up = true;
    job.stretch = stretch;
    job.rotate = rotate;
    job.srcPairs = info->codedWidth / 2;
    job.src = target.base;
    job.srcPitch = 2 * info->codedWidth;
    if (direct) {
        if (rotate) {
            job.dest = dest;
            job.destPitch = job.srcPitch;
            return StretchPicture(job);
        }
        return true;
    }
    const int rasterWidth = stretch ? info->fullWidth : info->codedWidth;
    uint8_t* raster = target.base;
    if (stretch || rotate) {
        uint8_t* out = nullptr;
        if (bitsPerPixel == 16 && scale == 1) {
            out = dest;
        } else {
            full.resize(static_cast<size_t>(2) * rasterWidth * info->height);
            out = full.data();
        }
        job.dest = out;
        job.destPitch = 2 * rasterWidth;
        if (!StretchPicture(job))
            return false;
        raster = out;
        if (out == dest)
            return true;
    }
    convertOutput(dest, width, outHeight, bitsPerPixel, scale, raster, rasterWidth);
    return true;
}

} // namespace

void DecodeDifFrame(uint8_t* dest, size_t destBytes, int width, int height, std::span<const uint8_t> frame,
                    int modeFlag, int stretchMode, VideoFormat code, int bitsPerPixel, int scale, bool rotate)
{
    // Both mode flags mean the full-quality decode here.
    (void)modeFlag;
    (void)stretchMode;
    decodeImpl(dest, destBytes, width, height, frame, code, bitsPerPixel, scale, rotate);
}

bool decodeDifFrame(std::span<const uint8_t> frame, VideoFormat code, PictureBuffer& picture,
                    const DecodeOptions& options)
{
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info)
        return false;
    const int w = decodedWidth(code, options.fullRaster);
    picture.resize(w, info->height);
    return decodeImpl(picture.data(), picture.size(), w, options.topDown ? -info->height : info->height, frame, code,
                      16, 1, options.rotate);
}

} // namespace vorn::dv
