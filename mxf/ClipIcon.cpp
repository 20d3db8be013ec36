#include "mxf/ClipIcon.h"

#include "avci/AvcDecoder.h"
#include "dv/ColourConversion.h"
#include "dv/DvDecoder.h"
#include "dv/DvFormat.h"
#include "foundation/Notifier.h"
#include "mxf/SafeOutput.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>

namespace vorn::mxf {

namespace {

void put16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

// The frame as a 24-bit picture in bitmap row order (bottom row first when
// upright); false when it cannot be decoded.
bool decodeToBgr(IconMaker::WorkAreas& buf, const uint8_t* frame, size_t size, int code, bool turn, int& width,
                 int& height)
{
    if (code & 32) {
        // AVC-Intra: the largest picture is 1920 x 1080 in 4:2:2.
        const size_t samples = dv::planarSamples(1920, 1080, true);
        buf.planar.resize(samples);
        if (!frame || size == 0)
            return false;
        // A decoder of its own: the icon's frame carries its parameter sets.
        avci::AvcDecoder decoder;
        if (const Status s = decoder.decode(frame, size, code, reinterpret_cast<uint8_t*>(buf.planar.data()),
                                            samples * sizeof(uint16_t));
            !s.ok()) {
            if (!avci::failureAlreadyShown(s))
                notify(avci::kAvcDecoderTitle, s.message());
            return false;
        }
        const avci::AvcFrameInfo info = decoder.lastFrame();
        // The layout follows the decoded stream (its sampling may differ from the code's).
        if (info.bitDepth <= 8 || (info.chromaFormat != 1 && info.chromaFormat != 2))
            return false;
        const bool c422 = info.chromaFormat == 2;
        width = info.width / 4;
        height = info.height / 4;
        if (width <= 0 || height <= 0)
            return false;
        buf.rgb.resize(static_cast<size_t>(3) * width * height);
        return dv::planarToBgr({buf.planar.data(), dv::planarSamples(info.width, info.height, c422)}, info.width,
                               info.height, c422, 4, turn, buf.rgb, 3 * width);
    }
    const dv::DvFormatInfo* info = dv::dvFormatInfo(code);
    if (!info || !frame)
        return false;
    width = info->codedWidth;
    height = info->height;
    buf.rgb.assign(static_cast<size_t>(3) * width * height, 0);
    // Positive height: rows bottom-up, the bitmap order; turning reverses
    // them and mirrors each row.
    dv::DecodeDifFrame(buf.rgb.data(), buf.rgb.size(), width, height, {frame, size}, 1, 0, code, 24, 1, turn);
    return true;
}

// scaleBgrLinear with the row-scaled intermediate in `rows`.
void scaleBgrLinearInto(std::vector<uint8_t>& rows, const uint8_t* src, int width, int height, uint8_t* dst,
                        int outWidth, int outHeight)
{
    rows.resize(static_cast<size_t>(3) * outWidth * height);
    const int64_t stepX = static_cast<int64_t>(width) * 65536 / outWidth;
    for (int y = 0; y < height; ++y) {
        const uint8_t* s = src + static_cast<size_t>(3) * width * y;
        uint8_t* d = rows.data() + static_cast<size_t>(3) * outWidth * y;
        for (int x = 0; x < outWidth; ++x) {
            const int64_t p = x * stepX;
            const int i = std::min(static_cast<int>(p >> 16), width - 1);
            const int j = std::min(i + 1, width - 1);
            const int f = static_cast<int>(p & 0xffff);
            for (int c = 0; c < 3; ++c) {
                const int a = s[3 * i + c], b = s[3 * j + c];
                d[3 * x + c] = static_cast<uint8_t>(a + (((b - a) * f) >> 16));
            }
        }
    }
    const int64_t stepY = static_cast<int64_t>(height) * 65536 / outHeight;
    const size_t pitch = static_cast<size_t>(3) * outWidth;
    for (int y = 0; y < outHeight; ++y) {
        const int64_t p = y * stepY;
        const int i = std::min(static_cast<int>(p >> 16), height - 1);
        const int j = std::min(i + 1, height - 1);
        const int f = static_cast<int>(p & 0xffff);
        const uint8_t* a = rows.data() + pitch * i;
        const uint8_t* b = rows.data() + pitch * j;
        uint8_t* d = dst + pitch * y;
        for (size_t k = 0; k < pitch; ++k)
            d[k] = static_cast<uint8_t>(a[k] + (((b[k] - a[k]) * f) >> 16));
    }
}

} // namespace

void scaleBgrLinear(const uint8_t* src, int width, int height, uint8_t* dst, int outWidth, int outHeight)
{
    std::vector<uint8_t> rows;
    scaleBgrLinearInto(rows, src, width, height, dst, outWidth, outHeight);
}

bool makeIconBitmap(const uint8_t* frame, size_t size, int formatCode, bool turn, std::vector<uint8_t>& bitmap)
{
    IconMaker maker;
    return maker.make(frame, size, formatCode, turn, bitmap);
}

bool IconMaker::make(const uint8_t* frame, size_t size, int formatCode, bool turn, std::vector<uint8_t>& bitmap)
{
    bitmap.clear();
    int width = 0, height = 0;
    if (!decodeToBgr(m_work, frame, size, formatCode, turn, width, height))
        return false;
    bitmap.assign(kIconFileBytes, 0);
    uint8_t* h = bitmap.data();
    h[0] = 'B';
    h[1] = 'M';
    put32(h + 2, static_cast<uint32_t>(kIconFileBytes));
    put32(h + 10, static_cast<uint32_t>(kIconHeaderBytes));
    put32(h + 14, 40);
    put32(h + 18, kIconWidth);
    put32(h + 22, kIconHeight); // positive: rows bottom-up
    put16(h + 26, 1);
    put16(h + 28, 24);
    put32(h + 34, 3 * kIconWidth * kIconHeight);
    // Black rows below and above the picture: (60 - 45) / 2 = 7 first, 8 last.
    const int below = (kIconHeight - kIconPictureHeight) / 2;
    uint8_t* picture = h + kIconHeaderBytes + static_cast<size_t>(3) * kIconWidth * below;
    scaleBgrLinearInto(m_work.rows, m_work.rgb.data(), width, height, picture, kIconWidth, kIconPictureHeight);
    return true;
}

int writeIconBitmap(const std::filesystem::path& path, const uint8_t* frame, size_t size, int formatCode, bool turn)
{
    std::vector<uint8_t> bitmap;
    if (!makeIconBitmap(frame, size, formatCode, turn, bitmap))
        return -2;
    std::error_code ec;
    std::string error;
    const std::filesystem::path temp = TemporaryPathFor(path);
    auto file = TempOutputFile::Create(temp, path, error);
    if (!file)
        return -1;
    file->stream().write(reinterpret_cast<const char*>(bitmap.data()), static_cast<std::streamsize>(bitmap.size()));
    const bool written = file->Finish();
    file.reset();
    if (!written || !RenameNoReplace(temp, path, ec)) {
        std::filesystem::remove(temp, ec);
        return -1;
    }
    return 0;
}

} // namespace vorn::mxf
