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
    int size;       // N of the N x N block
    bool dcOnly;    // only coef[0] may be set
    BlockAddFn TransformKernels::*fn;
};

const BlockKernel kBlockKernels[] = {
    {"idct4x4Add", 4, false, &TransformKernels::idct4x4Add},
    {"idct8x8Add", 8, false, &TransformKernels::idct8x8Add},
    {"dc4x4Add", 4, true, &TransformKernels::dc4x4Add},
    {"dc8x8Add", 8, true, &TransformKernels::dc8x8Add},
};

// Coefficients as the parser leaves them: a few small levels, a dense block, or values at the
// clamp limit; sometimes only the DC.
std::vector<int32_t> randomCoefficients(std::mt19937& rng, int n, bool dcOnly, int shape)
{
    std::vector<int32_t> c(size_t(n) * size_t(n), 0);
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
                std::vector<uint16_t> pic(size_t(stride) * size_t(k.size) + 16);
                for (auto& s : pic) s = uint16_t(rng() % uint32_t(maxValue + 1));
                std::vector<uint16_t> expected = pic;
                std::vector<int32_t> coef = randomCoefficients(rng, k.size, k.dcOnly, shape);
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
            std::vector<int32_t> c1 = randomCoefficients(rng, n, true, trial % 3), c2 = c1;
            (n == 4 ? plain.dc4x4Add : plain.dc8x8Add)(a.data(), stride, c1.data(), 1023);
            (n == 4 ? plain.idct4x4Add : plain.idct8x8Add)(b.data(), stride, c2.data(), 1023);
            ASSERT_EQ(a, b) << n << "x" << n << " trial " << trial;
        }
    }
}

} // namespace
