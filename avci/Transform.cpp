#include "avci/Transform.h"


namespace vorn::avci {

// ---------------------------------------------------------------------------------------
// Plain references
// ---------------------------------------------------------------------------------------

namespace {
inline uint16_t clip(int v, int maxValue)
{
    return uint16_t(v < 0 ? 0 : (v > maxValue ? maxValue : v));
}

template <int N>
void dcAdd(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    const int32_t r = (c[0] + 32) >> 6;
    for (int y = 0; y < N; ++y)
        for (int x = 0; x < N; ++x) dst[y * stride + x] = clip(dst[y * stride + x] + r, maxValue);
    c[0] = 0;
}
} // namespace

void idct4x4Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    int32_t t[16];
    for (int i = 0; i < 4; ++i) {
        const int32_t* d = c + i * 4;
        const int32_t e0 = d[0] + d[2];
        const int32_t e1 = d[0] - d[2];
        const int32_t e2 = (d[1] >> 1) - d[3];
        const int32_t e3 = d[1] + (d[3] >> 1);
        t[i * 4 + 0] = e0 + e3;
        t[i * 4 + 1] = e1 + e2;
        t[i * 4 + 2] = e1 - e2;
        t[i * 4 + 3] = e0 - e3;
    }
    for (int j = 0; j < 4; ++j) {
        const int32_t e0 = t[j] + t[8 + j];
        const int32_t e1 = t[j] - t[8 + j];
        const int32_t e2 = (t[4 + j] >> 1) - t[12 + j];
        const int32_t e3 = t[4 + j] + (t[12 + j] >> 1);
        dst[0 * stride + j] = clip(dst[0 * stride + j] + ((e0 + e3 + 32) >> 6), maxValue);
        dst[1 * stride + j] = clip(dst[1 * stride + j] + ((e1 + e2 + 32) >> 6), maxValue);
        dst[2 * stride + j] = clip(dst[2 * stride + j] + ((e1 - e2 + 32) >> 6), maxValue);
        dst[3 * stride + j] = clip(dst[3 * stride + j] + ((e0 - e3 + 32) >> 6), maxValue);
    }
    for (int i = 0; i < 16; ++i) c[i] = 0;
}

namespace {
inline void idct8(const int32_t* d, int step, int32_t* g, int gstep)
{
    const int32_t d0 = d[0], d1 = d[step], d2 = d[2 * step], d3 = d[3 * step];
    const int32_t d4 = d[4 * step], d5 = d[5 * step], d6 = d[6 * step], d7 = d[7 * step];
    const int32_t e0 = d0 + d4;
    const int32_t e1 = -d3 + d5 - d7 - (d7 >> 1);
    const int32_t e2 = d0 - d4;
    const int32_t e3 = d1 + d7 - d3 - (d3 >> 1);
    const int32_t e4 = (d2 >> 1) - d6;
    const int32_t e5 = -d1 + d7 + d5 + (d5 >> 1);
    const int32_t e6 = d2 + (d6 >> 1);
    const int32_t e7 = d3 + d5 + d1 + (d1 >> 1);
    const int32_t f0 = e0 + e6;
    const int32_t f1 = e1 + (e7 >> 2);
    const int32_t f2 = e2 + e4;
    const int32_t f3 = e3 + (e5 >> 2);
    const int32_t f4 = e2 - e4;
    const int32_t f5 = (e3 >> 2) - e5;
    const int32_t f6 = e0 - e6;
    const int32_t f7 = e7 - (e1 >> 2);
    g[0] = f0 + f7;
    g[gstep] = f2 + f5;
    g[2 * gstep] = f4 + f3;
    g[3 * gstep] = f6 + f1;
    g[4 * gstep] = f6 - f1;
    g[5 * gstep] = f4 - f3;
    g[6 * gstep] = f2 - f5;
    g[7 * gstep] = f0 - f7;
}
} // namespace

void idct8x8Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    int32_t t[64];
    int32_t r[64];
    for (int i = 0; i < 8; ++i) idct8(c + i * 8, 1, t + i * 8, 1);
    for (int j = 0; j < 8; ++j) idct8(t + j, 8, r + j, 8);
    for (int y = 0; y < 8; ++y) {
        uint16_t* row = dst + y * stride;
        for (int x = 0; x < 8; ++x) row[x] = clip(row[x] + ((r[y * 8 + x] + 32) >> 6), maxValue);
    }
    for (int i = 0; i < 64; ++i) c[i] = 0;
}

void idct4x4PairAdd(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue)
{
    idct4x4Add(dst, stride, c, maxValue);
    idct4x4Add(dst + 4, stride, c + 16, maxValue);
}

void dc4x4Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue) { dcAdd<4>(dst, stride, c, maxValue); }
void dc8x8Add(uint16_t* dst, ptrdiff_t stride, int32_t* c, int maxValue) { dcAdd<8>(dst, stride, c, maxValue); }

void hadamard4x4(int32_t* c)
{
    int32_t t[16];
    for (int i = 0; i < 4; ++i) {
        const int32_t* d = c + i * 4;
        const int32_t a = d[0] + d[1], b = d[0] - d[1], e = d[2] + d[3], f = d[2] - d[3];
        t[i * 4 + 0] = a + e;
        t[i * 4 + 1] = a - e;
        t[i * 4 + 2] = b - f;
        t[i * 4 + 3] = b + f;
    }
    for (int j = 0; j < 4; ++j) {
        const int32_t a = t[j] + t[4 + j], b = t[j] - t[4 + j], e = t[8 + j] + t[12 + j], f = t[8 + j] - t[12 + j];
        c[j] = a + e;
        c[4 + j] = a - e;
        c[8 + j] = b - f;
        c[12 + j] = b + f;
    }
}

namespace {

const TransformKernels kPlain{idct4x4Add, idct8x8Add, dc4x4Add, dc8x8Add, idct4x4PairAdd};

#ifdef VORN_SIMD_X86
const SimdRung<TransformKernels>* const kRungs[] = {&detail::kTransformKernelsSse2, &detail::kTransformKernelsAvx2};
#endif

const SimdTables<TransformKernels>& tables()
{
    static const SimdTables<TransformKernels> built(initTransformKernels, processorFeatures(), simdFeatures());
    return built;
}

} // namespace

std::span<const SimdRung<TransformKernels>* const> transformKernelRungs()
{
#ifdef VORN_SIMD_X86
    return kRungs;
#else
    return {};
#endif
}

TransformKernels initTransformKernels(CpuFeatures features)
{
    return climbSimdLadder(kPlain, transformKernelRungs(), kTransformKernelEntries, features);
}

const TransformKernels& transformKernels(SimdLevel level) { return tables().level(level); }

const TransformKernels& transformKernels() { return tables().run(); }

} // namespace vorn::avci
