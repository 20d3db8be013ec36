// Damaged frames of every format through the clip icon (run under
// AddressSanitizer and UndefinedBehaviorSanitizer by scripts/test.sh): an icon
// of exactly 14,454 bytes or none, never a read or write outside the buffers.
#include "dv/CodecTables.h"
#include "dv/DvFormat.h"
#include "foundation/Notifier.h"
#include "mxf/ClipIcon.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vorn::mxf {
namespace {

TEST(FuzzIcon, DamagedFramesGiveAWholeIconOrNone)
{
    dv::InitCodecTables();
    auto previous = setNotifyHandler([](const std::string&, const std::string&) {});
    std::mt19937 rng(99);
    std::vector<uint8_t> bmp;
    IconMaker maker;   // its work areas are kept from frame to frame
    for (int code : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 32, 37, 38, 43}) {
        for (int it = 0; it < 3; ++it) {
            size_t size = code & 32 ? 4096 + rng() % 60000
                                    : static_cast<size_t>(dv::dvFormatInfo(code)->bytesPerFrame) - (it == 2 ? 1000 : 0);
            std::vector<uint8_t> frame(size);
            for (auto& b : frame)
                b = static_cast<uint8_t>(rng());
            if (code & 32) {
                // Start codes with parameter-set and slice NAL headers among the noise.
                for (size_t at = 0; at + 5 < frame.size(); at += 1 + rng() % 3000) {
                    frame[at] = 0;
                    frame[at + 1] = 0;
                    frame[at + 2] = 1;
                    static const uint8_t kNal[] = {0x67, 0x68, 0x65, 0x09, 0x06};
                    frame[at + 3] = kNal[rng() % 5];
                }
            }
            const bool made = maker.make(frame.data(), frame.size(), code, it == 1, bmp);
            ASSERT_EQ(bmp.size(), made ? kIconFileBytes : 0u) << "code " << code;
            if (code < 32) {
                ASSERT_TRUE(made) << "a DV frame always gives a picture";
            }
        }
    }
    setNotifyHandler(previous);
}

} // namespace
} // namespace vorn::mxf
