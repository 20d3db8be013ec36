// The DV decoders (the 25/50 Mb/s engine and the DVCPRO HD engine): the first
// byte picks the format code (0 to 11, so codes that are not DV are tried
// too), the second and third the entry point and its options (output depth,
// scale, rotation, row order, full raster, destination size, workers); the
// rest is the compressed frame, of any length. The destination is exactly as
// large as the request needs, so any write outside it is caught.
#include "FuzzTargets.h"

#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "dv/DvEncoder.h"

#include <algorithm>
#include <random>

namespace vorn::fuzz {

using namespace vorn::dv;

namespace {

constexpr uint8_t kGuard = 0x5A;

bool untouched(const std::vector<uint8_t>& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kGuard; });
}

} // namespace

void runDvDecode(const uint8_t* data, size_t size)
{
    ControlBytes control(data, size);
    const VideoFormat code = control.next() % 12;
    const uint8_t how = control.next();
    const uint8_t more = control.next();
    const std::span<const uint8_t> frame(data, size);
    const DvFormatInfo* info = dvFormatInfo(code);
    DvDecoder decoder(DvDecoderSettings{1 + (more & 1)});

    if ((how & 3) == 0) {
        DecodeOptions options;
        options.fullRaster = how & 4;
        options.rotate = how & 8;
        options.topDown = how & 16;
        PictureBuffer picture;
        const bool ok = decoder.decode(frame, code, picture, options).ok();
        FUZZ_CHECK(ok == (info != nullptr));
        if (ok) {
            FUZZ_CHECK(picture.width == decodedWidth(code, options.fullRaster));
            FUZZ_CHECK(picture.height == info->height);
            FUZZ_CHECK(picture.size() == size_t(2) * size_t(picture.width) * size_t(picture.height));
        }
        return;
    }

    // The full form.
    const int bitsPerPixel = how & 4 ? 24 : 16;
    const int scale = 1 << ((how >> 3) & 3);
    const bool rotate = how & 32;
    const bool topDown = how & 64;
    const bool fullRaster = how & 128;
    const bool tooSmall = (how & 3) == 3 && (more & 2);
    const int rasterWidth = info ? (fullRaster ? info->fullWidth : info->codedWidth) : 720;
    const int width = rasterWidth / scale;
    const int height = (info ? info->height : 480) / scale;
    const size_t exact = size_t(bitsPerPixel / 8) * size_t(width) * size_t(height);
    std::vector<uint8_t> dest(tooSmall ? exact - 1 : exact, kGuard);
    const Status status =
        decoder.decodeInto(dest.data(), dest.size(), width, topDown ? -height : height, frame, code, bitsPerPixel,
                           scale, rotate);
    FUZZ_CHECK(status.ok() || status.message() == std::string(kDecodeRequestMessage));
    // Nothing is written for a destination too small or a code that is not DV.
    if (tooSmall || !info)
        FUZZ_CHECK(untouched(dest));
}

Bytes dvTestFrame(int code)
{
    InitCodecTables();
    const DvFormatInfo& info = *dvFormatInfo(code);
    // The 4:2:0 code is decoded but not encoded: its frame is that of the
    // encodable code with the same raster.
    VideoFormat encodeAs = code;
    if (!isEncodableFormat(code))
        for (VideoFormat other = 5; other <= 10; ++other)
            if (isEncodableFormat(other) && dvFormatInfo(other)->height == info.height &&
                dvFormatInfo(other)->bytesPerFrame == info.bytesPerFrame)
                encodeAs = other;
    std::mt19937 rng{uint32_t(code)};
    PictureBuffer picture(info.codedWidth, info.height);
    std::uniform_int_distribution<int> noise(-24, 24);
    for (size_t i = 0; i < picture.bytes.size(); ++i) {
        const int x = int(i / 2 % size_t(info.codedWidth)), y = int(i / size_t(2 * info.codedWidth));
        picture.bytes[i] = uint8_t(std::clamp((i % 2 ? x / 5 : (x + y) / 9) + 50 + noise(rng), 16, 235));
    }
    DifFrame encoded;
    FUZZ_CHECK(DvEncoder().encode(encoded, picture, encodeAs).ok());
    return encoded.bytes;
}

std::vector<Bytes> dvDecodeSeeds()
{
    std::vector<Bytes> seeds;
    for (VideoFormat code = 1; code <= 10; ++code) {
        // Options: the PictureBuffer form for SD; the full form for HD at
        // 16 bits, and for a few codes at 24 bits and reduced sizes.
        const uint8_t how = code <= 4 ? uint8_t(0x01 | (code == 2 ? 0x80 : 0)) : code == 7 ? 0x0D : code == 9 ? 0x22 : 0x00;
        Bytes seed{uint8_t(code), how, uint8_t(code & 1)};
        const Bytes frame = dvTestFrame(code);
        seed.insert(seed.end(), frame.begin(), frame.end());
        seeds.push_back(std::move(seed));
    }
    return seeds;
}

} // namespace vorn::fuzz
