// Every SIMD variant of the decoder's kernels against the plain reference, on random input,
// for every instruction-set level this processor runs: a table of kernels x random blocks.
#include "avci/Transform.h"

#include "foundation/Simd.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::avci;

namespace {

struct BlockKernel {
    const char* name;
    int width;      // of the area the kernel adds to
    int height;
    int coefs;      // coefficients it reads and clears
    bool dcOnly;    // only coef[0] may be set
    BlockAddFn TransformKernels::*fn;
};

const BlockKernel kBlockKernels[] = {
    {"idct4x4Add", 4, 4, 16, false, &TransformKernels::idct4x4Add},
    {"idct8x8Add", 8, 8, 64, false, &TransformKernels::idct8x8Add},
    {"dc4x4Add", 4, 4, 16, true, &TransformKernels::dc4x4Add},
    {"dc8x8Add", 8, 8, 64, true, &TransformKernels::dc8x8Add},
    {"idct4x4PairAdd", 8, 4, 32, false, &TransformKernels::idct4x4PairAdd},
};

// Coefficients as the parser leaves them: a few small levels, a dense block, or values at the
// clamp limit; sometimes only the DC.
std::vector<int32_t> randomCoefficients(std::mt19937& rng, int count, bool dcOnly, int shape)
{
    std::vector<int32_t> c(size_t(count), 0);
    auto value = [&](int32_t limit) { return int32_t(rng() % uint32_t(2 * limit + 1)) - limit; };
    const int32_t limit = shape == 0 ? 64 : (shape == 1 ? 4096 : kCoefLimit);
    if (dcOnly) {
        c[0] = value(limit);
        return c;
    }
    for (auto& v : c)
        if (shape != 0 || rng() % 4 == 0) v = value(limit);
    return c;
}

TEST(AvcKernels, EveryVariantMatchesThePlainReference)
{
    const TransformKernels& plain = transformKernels(SimdLevel::Plain);
    const int maxValues[] = {255, 1023, 16383};
    std::mt19937 rng(1234);
    for (SimdLevel level : supportedSimdLevels()) {
        const TransformKernels& variant = transformKernels(level);
        for (const BlockKernel& k : kBlockKernels) {
            SCOPED_TRACE(std::string(simdLevelName(level)) + " " + k.name);
            for (int trial = 0; trial < 600; ++trial) {
                const int maxValue = maxValues[trial % 3];
                const int shape = (trial / 3) % 3;
                // A picture row longer than the block, the block at an odd sample offset.
                const ptrdiff_t stride = 40;
                const int offset = 1 + trial % 7;
                std::vector<uint16_t> pic(size_t(stride) * size_t(k.height) + 16);
                for (auto& s : pic) s = uint16_t(rng() % uint32_t(maxValue + 1));
                std::vector<uint16_t> expected = pic;
                std::vector<int32_t> coef = randomCoefficients(rng, k.coefs, k.dcOnly, shape);
                std::vector<int32_t> coefRef = coef;
                (plain.*k.fn)(expected.data() + offset, stride, coefRef.data(), maxValue);
                (variant.*k.fn)(pic.data() + offset, stride, coef.data(), maxValue);
                ASSERT_EQ(pic, expected) << "trial " << trial;
                ASSERT_EQ(coef, std::vector<int32_t>(coef.size(), 0)) << "coefficients not cleared, trial " << trial;
            }
        }
    }
}

// The DC kernels are the full transforms of a block whose only coefficient is the DC.
TEST(AvcKernels, DcKernelsEqualTheFullTransformOfADcBlock)
{
    const TransformKernels& plain = transformKernels(SimdLevel::Plain);
    std::mt19937 rng(99);
    for (int n : {4, 8}) {
        for (int trial = 0; trial < 200; ++trial) {
            const ptrdiff_t stride = 16;
            std::vector<uint16_t> a(size_t(stride) * size_t(n));
            for (auto& s : a) s = uint16_t(rng() % 1024);
            std::vector<uint16_t> b = a;
            std::vector<int32_t> c1 = randomCoefficients(rng, n * n, true, trial % 3), c2 = c1;
            (n == 4 ? plain.dc4x4Add : plain.dc8x8Add)(a.data(), stride, c1.data(), 1023);
            (n == 4 ? plain.idct4x4Add : plain.idct8x8Add)(b.data(), stride, c2.data(), 1023);
            ASSERT_EQ(a, b) << n << "x" << n << " trial " << trial;
        }
    }
}

// The decoder runs the pair kernel over blocks without coefficients: in every variant such a
// block keeps its samples, whatever its neighbour holds.
TEST(AvcKernels, PairKernelLeavesAnEmptyBlockAlone)
{
    std::mt19937 rng(7);
    for (SimdLevel level : supportedSimdLevels()) {
        const TransformKernels& variant = transformKernels(level);
        for (int trial = 0; trial < 60; ++trial) {
            const ptrdiff_t stride = 12;
            std::vector<uint16_t> pic(size_t(stride) * 4);
            for (auto& s : pic) s = uint16_t(rng() % 1024);
            const std::vector<uint16_t> before = pic;
            std::vector<int32_t> coef = randomCoefficients(rng, 32, false, trial % 3);
            const bool leftEmpty = trial % 2 == 0;
            std::fill(coef.begin() + (leftEmpty ? 0 : 16), coef.begin() + (leftEmpty ? 16 : 32), 0);
            variant.idct4x4PairAdd(pic.data(), stride, coef.data(), 1023);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 4; ++x) {
                    const size_t i = size_t(y * stride + x + (leftEmpty ? 0 : 4));
                    ASSERT_EQ(pic[i], before[i]) << simdLevelName(level) << " trial " << trial;
                }
        }
    }
}

} // namespace
