// Damaged and random 720-line DVCPRO HD frames through the coefficient-domain
// rotation (run under AddressSanitizer and UndefinedBehaviorSanitizer by
// scripts/test.sh): every index taken from the frame stays bounded, the frame
// keeps its size, and the result still decodes.
#include "dv/CodecTables.h"
#include "dv/DifRotation.h"
#include "dv/DvDecoder.h"
#include "dv/DvEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vorn::dv {
namespace {

std::vector<uint8_t> encodedFrame(DvEncoder& encoder, VideoFormat code, std::mt19937& rng)
{
    PictureBuffer pic(960, 720);
    std::uniform_int_distribution<int> noise(-30, 30);
    for (size_t i = 0; i < pic.bytes.size(); ++i)
        pic.bytes[i] = static_cast<uint8_t>(std::clamp(int((i / 2) % 960 / 4) + 60 + noise(rng), 0, 255));
    DifFrame frame;
    EXPECT_TRUE(encoder.encode(frame, pic, code).ok());
    return frame.bytes;
}

void mutate(std::vector<uint8_t>& frame, std::mt19937& rng)
{
    std::uniform_int_distribution<size_t> pos(0, frame.size() - 1);
    std::uniform_int_distribution<int> kind(0, 4), byte(0, 255), count(1, 200);
    const int n = count(rng);
    for (int i = 0; i < n; ++i) {
        switch (kind(rng)) {
        case 0: frame[pos(rng)] = static_cast<uint8_t>(byte(rng)); break;
        case 1: frame[pos(rng)] ^= static_cast<uint8_t>(1u << (byte(rng) & 7)); break;
        case 2: frame[pos(rng)] = 0xff; break; // long escape codes, QNO 15, class 3
        case 3: frame[pos(rng)] |= 0x40; break; // DCT mode bits: field arrangement
        default: {
            const size_t at = pos(rng);
            std::fill(frame.begin() + static_cast<ptrdiff_t>(at),
                      frame.begin() + static_cast<ptrdiff_t>(std::min(frame.size(), at + 80)), uint8_t{0});
            break;
        }
        }
    }
}

TEST(FuzzRotate, DamagedAndRandomFramesStayInBoundsAndDecode)
{
    InitCodecTables();
    std::mt19937 rng(20261210);
    DvEncoder encoder; // one stream: the 720/60p frame on channels 0/1, the 720/50p one on 2/3
    DifRotator rotator;
    for (VideoFormat code : {2, 4}) {
        const size_t size = static_cast<size_t>(dvFormatInfo(code)->bytesPerFrame);
        auto frame = encodedFrame(encoder, code, rng);
        for (int it = 0; it < 16; ++it) {
            if (it == 8) {
                // Pure noise, with either channel pair.
                for (auto& b : frame)
                    b = static_cast<uint8_t>(rng());
            }
            mutate(frame, rng);
            // Exactly the frame's size, so any access past it is caught.
            std::vector<uint8_t> work(frame);
            ASSERT_TRUE(rotator.rotate(work, code).ok());
            ASSERT_EQ(work.size(), size);
            PictureBuffer pic;
            ASSERT_TRUE(decodeDifFrame(work, code, pic));
            if (it % 4 == 0)
                frame = work; // damage on top of rotated output too
        }
    }
}

} // namespace
} // namespace vorn::dv
