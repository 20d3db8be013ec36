// Mutated and random DIF frames of every DV-family code: the decoder must stay
// inside the frame and the picture (run under AddressSanitizer by scripts/test.sh)
// and decode every damaged block to something.
#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vorn::dv {
namespace {

// A plausible frame: random bytes in the video DIF blocks with typical headers.
std::vector<uint8_t> randomFrame(VideoFormat code, std::mt19937& rng)
{
    const DvFormatInfo& info = *dvFormatInfo(code);
    std::vector<uint8_t> frame(static_cast<size_t>(info.bytesPerFrame));
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : frame)
        b = static_cast<uint8_t>(byte(rng));
    frame[1] = static_cast<uint8_t>(frame[1] | 0x04);
    return frame;
}

void mutate(std::vector<uint8_t>& frame, std::mt19937& rng)
{
    std::uniform_int_distribution<size_t> pos(0, frame.size() - 1);
    std::uniform_int_distribution<int> kind(0, 3), byte(0, 255), count(1, 64);
    const int n = count(rng);
    for (int i = 0; i < n; ++i) {
        switch (kind(rng)) {
        case 0: frame[pos(rng)] = static_cast<uint8_t>(byte(rng)); break;
        case 1: frame[pos(rng)] ^= static_cast<uint8_t>(1u << (byte(rng) & 7)); break;
        case 2: frame[pos(rng)] = 0xff; break; // long escape-like codes
        default: {
            const size_t at = pos(rng);
            std::fill(frame.begin() + static_cast<ptrdiff_t>(at),
                      frame.begin() + static_cast<ptrdiff_t>(std::min(frame.size(), at + 80)), uint8_t{0});
            break;
        }
        }
    }
}

TEST(FuzzDecode, MutatedFramesOfEveryCodeStayInBounds)
{
    InitCodecTables();
    std::mt19937 rng(20261210);
    for (VideoFormat code = 1; code <= 10; ++code) {
        const DvFormatInfo& info = *dvFormatInfo(code);
        const int iterations = info.hd ? 12 : 150;
        const int width = info.hd ? info.fullWidth : info.codedWidth;
        const size_t pictureBytes = static_cast<size_t>(2) * width * info.height;
        // Guard bytes around the destination catch writes outside the picture.
        std::vector<uint8_t> dest(pictureBytes + 64, 0x5A);
        auto frame = randomFrame(code, rng);
        for (int it = 0; it < iterations; ++it) {
            mutate(frame, rng);
            std::vector<uint8_t> input = frame;
            if (it % 7 == 3)
                input.resize(static_cast<size_t>(std::uniform_int_distribution<int>(0, info.bytesPerFrame)(rng)));
            const bool rotate = it % 3 == 0;
            const bool full = info.hd && it % 2 == 0;
            const int w = full ? info.fullWidth : info.codedWidth;
            DecodeDifFrame(dest.data() + 32, pictureBytes, w, it % 5 == 0 ? -info.height : info.height, input, 1,
                           1, code, 16, 1, rotate);
            ASSERT_TRUE(std::all_of(dest.begin(), dest.begin() + 32, [](uint8_t b) { return b == 0x5A; }));
            ASSERT_TRUE(std::all_of(dest.end() - 32, dest.end(), [](uint8_t b) { return b == 0x5A; }));
        }
    }
}

TEST(FuzzDecode, ThumbnailOutputsOfGarbageStayInBounds)
{
    InitCodecTables();
    std::mt19937 rng(7);
    for (VideoFormat code : {1, 4, 6, 10}) {
        const DvFormatInfo& info = *dvFormatInfo(code);
        for (int scale : {1, 2, 8}) {
            const int w = info.codedWidth / scale, h = info.height / scale;
            const size_t bytes = static_cast<size_t>(3) * w * h;
            std::vector<uint8_t> dest(bytes + 32, 0x5A);
            auto frame = randomFrame(code, rng);
            DecodeDifFrame(dest.data(), bytes, w, h, frame, 1, 0, code, 24, scale, scale == 2);
            ASSERT_TRUE(std::all_of(dest.end() - 32, dest.end(), [](uint8_t b) { return b == 0x5A; }));
        }
    }
}

} // namespace
} // namespace vorn::dv
