// Inverse DCTs of the DV decoder: the 8-8 transform and the 2-4-8 transform
// (8-point horizontally; vertically a 4-point transform of the sum and of the
// difference of the two fields, recombined into interleaved lines).
#include "dv/DvDecoderCore.h"

#include <cmath>
#include <mutex>

namespace vorn::dv::detail {

namespace {

float g_a8[8][8]; // g_a8[n][k] = C(k)/2 * cos(pi k (2n + 1) / 16)
float g_a4[4][4]; // g_a4[n][k] = C(k)/2 * cos(pi k (2n + 1) / 8)
std::once_flag g_once;

void buildBases()
{
    const double pi = std::acos(-1.0);
    for (int n = 0; n < 8; ++n)
        for (int k = 0; k < 8; ++k)
            g_a8[n][k] = static_cast<float>((k == 0 ? std::sqrt(0.5) : 1.0) / 2.0 * std::cos(pi * k * (2 * n + 1) / 16.0));
    for (int n = 0; n < 4; ++n)
        for (int k = 0; k < 4; ++k)
            g_a4[n][k] = static_cast<float>((k == 0 ? std::sqrt(0.5) : 1.0) / 2.0 * std::cos(pi * k * (2 * n + 1) / 8.0));
}

inline uint8_t toSample(float v)
{
    // Round half up after adding the 128 offset; the clamp keeps the conversion defined.
    v += 128.5f;
    if (v < 0.0f)
        v = 0.0f;
    if (v > 255.0f)
        v = 255.0f;
    return static_cast<uint8_t>(static_cast<int>(v));
}

// Horizontal 8-point inverse transform of the rows in rowMask.
inline void rowPass(const float* coef, unsigned rowMask, float* tmp)
{
    for (int v = 0; v < 8; ++v) {
        float* t = tmp + v * 8;
        if (!(rowMask & (1u << v))) {
            for (int x = 0; x < 8; ++x)
                t[x] = 0.0f;
            continue;
        }
        const float* c = coef + v * 8;
        for (int x = 0; x < 8; ++x) {
            float s = 0.0f;
            for (int h = 0; h < 8; ++h)
                s += c[h] * g_a8[x][h];
            t[x] = s;
        }
    }
}

} // namespace

void initIdct() { std::call_once(g_once, buildBases); }

void idct88(const float* coef, unsigned rowMask, uint8_t* out)
{
    if (rowMask == 1u) {
        // Only the first coefficient row: every output row is the same.
        float t[8];
        for (int x = 0; x < 8; ++x) {
            float s = 0.0f;
            for (int h = 0; h < 8; ++h)
                s += coef[h] * g_a8[x][h];
            t[x] = s * g_a8[0][0];
        }
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                out[y * 8 + x] = toSample(t[x]);
        return;
    }
    float tmp[64];
    rowPass(coef, rowMask, tmp);
    for (int y = 0; y < 8; ++y) {
        float acc[8] = {};
        for (int v = 0; v < 8; ++v) {
            const float a = g_a8[y][v];
            const float* t = tmp + v * 8;
            for (int x = 0; x < 8; ++x)
                acc[x] += t[x] * a;
        }
        for (int x = 0; x < 8; ++x)
            out[y * 8 + x] = toSample(acc[x]);
    }
}

void idct248(const float* coef, unsigned rowMask, uint8_t* out)
{
    float tmp[64];
    rowPass(coef, rowMask, tmp);
    for (int y = 0; y < 4; ++y) {
        float sum[8] = {}, diff[8] = {};
        for (int v = 0; v < 4; ++v) {
            const float a = g_a4[y][v];
            const float* ts = tmp + v * 8;
            const float* td = tmp + (v + 4) * 8;
            for (int x = 0; x < 8; ++x) {
                sum[x] += ts[x] * a;
                diff[x] += td[x] * a;
            }
        }
        for (int x = 0; x < 8; ++x) {
            out[(2 * y) * 8 + x] = toSample(sum[x] + diff[x]);
            out[(2 * y + 1) * 8 + x] = toSample(sum[x] - diff[x]);
        }
    }
}

} // namespace vorn::dv::detail
