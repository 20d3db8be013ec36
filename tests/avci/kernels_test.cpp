// The inverse transforms' own properties, in every variant this processor runs (every
// variant against the reference is in tests/foundation/kernel_registry_test.cpp).
#include "avci/Transform.h"

#include "foundation/Simd.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::avci;

namespace {

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
