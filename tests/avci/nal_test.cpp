// Removal of emulation prevention bytes from NAL unit payloads.
#include "avci/Bitstream.h"
#include "avci/Nal.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace vorn::avci;

namespace {

std::vector<uint8_t> unescaped(const std::vector<uint8_t>& in)
{
    std::vector<uint8_t> out;
    const size_t n = unescapeNal(in.data(), in.size(), out);
    EXPECT_GE(out.size(), n + kBitReaderPadding);
    for (size_t i = n; i < n + kBitReaderPadding; ++i) EXPECT_EQ(out[i], 0) << "padding byte " << i - n;
    return std::vector<uint8_t>(out.begin(), out.begin() + ptrdiff_t(n));
}

TEST(AvcNal, EmulationPreventionBytesAreRemoved)
{
    struct Case {
        std::vector<uint8_t> in, out;
    };
    const Case cases[] = {
        {{}, {}},
        {{3}, {3}},
        {{0, 3}, {0, 3}},
        {{0, 0, 3}, {0, 0}},
        {{0, 0, 3, 1}, {0, 0, 1}},
        {{0, 0, 0, 3, 1}, {0, 0, 0, 1}},
        // The zeros before a removed byte do not count again; a 3 right after one stays.
        {{0, 0, 3, 3}, {0, 0, 3}},
        {{0, 0, 3, 0, 3}, {0, 0, 0, 3}},
        {{0, 0, 3, 0, 0, 3, 2}, {0, 0, 0, 0, 2}},
        {{5, 0, 0, 3, 0, 0, 3}, {5, 0, 0, 0, 0}},
        {{0, 1, 0, 3, 0, 0, 2, 3}, {0, 1, 0, 3, 0, 0, 2, 3}},
    };
    for (const Case& c : cases) EXPECT_EQ(unescaped(c.in), c.out) << "input of " << c.in.size() << " bytes";
}

// Random payloads rich in zeros and threes against the rule stated byte by byte: a 3 is
// dropped when the last two bytes kept since the last dropped one are zeros.
TEST(AvcNal, RandomPayloadsFollowTheByteRule)
{
    std::mt19937 rng(5);
    for (int trial = 0; trial < 500; ++trial) {
        std::vector<uint8_t> in(size_t(rng() % 300));
        for (auto& b : in) {
            const uint32_t r = rng() % 8;
            b = r < 4 ? 0 : (r < 6 ? 3 : uint8_t(rng()));
        }
        std::vector<uint8_t> expected;
        int zeros = 0;
        for (uint8_t b : in) {
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            expected.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        ASSERT_EQ(unescaped(in), expected) << "trial " << trial;
    }
}

} // namespace
