// Kernels of the DV encoder: samples, forward DCT, DVCPRO HD weighting,
// magnitudes, the two quantisers and run-0 code bits. The plain versions are the reference; the SSE2 versions do the
// same integer arithmetic and give identical results within the documented
// input ranges.
#include "dv/DvEncoderKernels.h"
#include "dv/CodecTables.h"
#include "dv/EncoderTables.h"

#include <algorithm>
#include <cmath>

namespace vorn::dv::enc {

namespace {

// kDct[u][x] = round(32768 * k(u) * cos((2x + 1) u pi / 16)) with k(0) =
// sqrt(1/8) and k(u) = 1/2 otherwise. The vertical pass keeps 4 fractional
// bits, the horizontal pass rounds to integers.
struct DctTable {
    int16_t c[8][8];
    DctTable()
    {
        const double pi = std::acos(-1.0);
        for (int u = 0; u < 8; ++u)
            for (int x = 0; x < 8; ++x) {
                const double k = u == 0 ? std::sqrt(0.125) : 0.5;
                c[u][x] = static_cast<int16_t>(std::lround(32768.0 * k * std::cos((2 * x + 1) * u * pi / 16.0)));
            }
    }
};
const DctTable kDct;

// ---------------------------------------------------------------------------
// Plain reference.

void weighHdPlain(const int16_t coef[64], const uint16_t r[64], int16_t w[64])
{
    for (int i = 0; i < 64; ++i)
        w[i] = static_cast<int16_t>((static_cast<int32_t>(coef[i]) * r[i]) >> 11);
}

void samplesPlain(const uint8_t* first, ptrdiff_t stride, int component, int16_t out[64])
{
    const int step = component == 0 ? 2 : 4, offset = component == 0 ? 0 : component == 1 ? 1 : 3;
    for (int j = 0; j < 8; ++j) {
        const uint8_t* p = first + j * stride + offset;
        for (int i = 0; i < 8; ++i)
            out[j * 8 + i] = static_cast<int16_t>(p[step * i] - 128);
    }
}

int scanMagnitudesPlain(const int16_t v[64], uint16_t mag[64], uint64_t* negative)
{
    uint64_t neg = 0;
    int largest = 0;
    mag[0] = 0;
    for (int pos = 1; pos < 64; ++pos) {
        const int x = v[kZigzag88[pos]];
        const int a = x < 0 ? -x : x;
        mag[pos] = static_cast<uint16_t>(a);
        neg |= static_cast<uint64_t>(x < 0) << pos;
        largest = std::max(largest, a);
    }
    *negative = neg;
    return largest;
}

uint64_t quantiseSdPlain(const uint16_t mag[64], const uint16_t r[64], uint8_t out[64])
{
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i) {
        out[i] = static_cast<uint8_t>(std::min(sdAmplitude(mag[i], r[i]), 255));
        if (i > 0 && out[i])
            m |= uint64_t(1) << i;
    }
    return m;
}

uint64_t quantiseHdPlain(const uint16_t mag[64], int k, uint8_t out[64])
{
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i) {
        out[i] = static_cast<uint8_t>(std::min(hdAmplitude(mag[i], static_cast<uint32_t>(k)), 255));
        if (i > 0 && out[i])
            m |= uint64_t(1) << i;
    }
    return m;
}

int run0CodeBitsPlain(const uint8_t amps[64])
{
    int bits = 0;
    for (int i = 1; i < 64; ++i)
        bits += kRun0Lengths[std::min<int>(amps[i], 31)];
    return bits;
}


} // namespace

void forwardDctPlain(const int16_t in[64], int16_t out[64])
{
    int16_t t[64];
    for (int v = 0; v < 8; ++v)
        for (int x = 0; x < 8; ++x) {
            int32_t acc = 0;
            for (int y = 0; y < 8; ++y)
                acc += kDct.c[v][y] * in[y * 8 + x];
            t[v * 8 + x] = static_cast<int16_t>((acc + (1 << (kPass1Shift - 1))) >> kPass1Shift);
        }
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
            int32_t acc = 0;
            for (int x = 0; x < 8; ++x)
                acc += kDct.c[u][x] * t[v * 8 + x];
            out[v * 8 + u] = static_cast<int16_t>((acc + (1 << (kPass2Shift - 1))) >> kPass2Shift);
        }
}

namespace {
void forwardDctPairPlain(const int16_t in0[64], const int16_t in1[64], int16_t out0[64], int16_t out1[64])
{
    forwardDctPlain(in0, out0);
    forwardDctPlain(in1, out1);
}
} // namespace

namespace {

const EncoderKernels kPlain{forwardDctPlain,     forwardDctPairPlain, samplesPlain,    weighHdPlain,
                            scanMagnitudesPlain, quantiseSdPlain,     quantiseHdPlain, run0CodeBitsPlain};

#ifdef VORN_SIMD_X86
const SimdRung<EncoderKernels>* const kRungs[] = {&kEncoderKernelsSse2, &kEncoderKernelsSse41, &kEncoderKernelsAvx2};
#endif

const SimdTables<EncoderKernels>& tables()
{
    static const SimdTables<EncoderKernels> built(initEncoderKernels, processorFeatures(), simdFeatures());
    return built;
}

} // namespace

DctPairs::DctPairs()
{
    for (int u = 0; u < 8; ++u)
        for (int k = 0; k < 2; ++k) {
            const uint32_t lo = static_cast<uint16_t>(kDct.c[u][2 * k]);
            const uint32_t hi = static_cast<uint16_t>(kDct.c[u][2 * k + 1]);
            for (int lane = 0; lane < 8; ++lane)
                p[u][k][lane] = static_cast<int32_t>(lo | (hi << 16));
        }
}
const DctPairs kDctPairs;

std::span<const SimdRung<EncoderKernels>* const> encoderKernelRungs()
{
#ifdef VORN_SIMD_X86
    return kRungs;
#else
    return {};
#endif
}

EncoderKernels initEncoderKernels(CpuFeatures features)
{
    return climbSimdLadder(kPlain, encoderKernelRungs(), kEncoderKernelEntries, features);
}

const EncoderKernels& encoderKernels(SimdLevel level) { return tables().level(level); }

const EncoderKernels& encoderKernels() { return tables().run(); }

void forwardDct(const int16_t in[64], int16_t out[64]) { encoderKernels().forwardDct(in, out); }

} // namespace vorn::dv::enc
