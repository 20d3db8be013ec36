// Inverse DCTs of the DV decoder: the 8-8 transform and the 2-4-8 transform
// (8-point horizontally; vertically a 4-point transform of the sum and of the
// difference of the two fields, recombined into interleaved lines), and the
// writers of packed 4:2:2 rows from decoded blocks.
//
// Both 1-D passes use the symmetry of the cosine basis: output n and output
// N-1-n share the even-frequency sum E and the odd-frequency sum O (n gets
// E + O, N-1-n gets E - O). Every variant adds the same products in the same
// order for each sample, so all give identical samples; the plain one is the
// reference the others are tested against.
#include "dv/DvDecoderIdct.h"

#include <cmath>
#include <mutex>

namespace vorn::dv::detail {

alignas(32) float g_a8[8][8];
alignas(32) float g_a4[4][4];
alignas(32) float g_col8[8][4];
alignas(32) float g_col8x[8][8];
alignas(32) float g_rowSplat[4][8][8];
alignas(32) float g_colSplat[4][8][8];

namespace {

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
    for (int k = 0; k < 8; ++k)
        for (int n = 0; n < 4; ++n) {
            g_col8[k][n] = g_a8[n][k];
            g_col8x[k][n] = g_a8[n][k];
            g_col8x[k][7 - n] = g_a8[n][k];
            for (int i = 0; i < 8; ++i) {
                g_rowSplat[n][k][i] = g_col8[k][n];
                g_colSplat[n][k][i] = g_a8[n][k];
            }
        }
}

// ---------------------------------------------------------------------------
// Plain reference.

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

// Horizontal pass: tmp[v][0..7] for the coefficient rows in rowMask (others
// zero), of coefficients stored by column; the coefficients are cleared.
void rowPass(float* coefT, unsigned rowMask, float* tmp)
{
    for (int v = 0; v < 8; ++v) {
        float* t = tmp + v * 8;
        if (!(rowMask & (1u << v))) {
            for (int x = 0; x < 8; ++x)
                t[x] = 0.0f;
            continue;
        }
        const float* c = coefT + v; // column k at c[8 * k]
        for (int x = 0; x < 4; ++x) {
            float e = 0.0f, o = 0.0f;
            e = e + c[0] * g_col8[0][x];
            o = o + c[8] * g_col8[1][x];
            e = e + c[16] * g_col8[2][x];
            o = o + c[24] * g_col8[3][x];
            e = e + c[32] * g_col8[4][x];
            o = o + c[40] * g_col8[5][x];
            e = e + c[48] * g_col8[6][x];
            o = o + c[56] * g_col8[7][x];
            t[x] = e + o;
            t[7 - x] = e - o;
        }
    }
    for (int i = 0; i < 64; ++i)
        coefT[i] = 0.0f;
}

void idct88Plain(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
{
    float tmp[64];
    rowPass(coefT, rowMask, tmp);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) {
            float e = 0.0f, o = 0.0f;
            for (int v = 0; v < 8; v += 2) {
                if (rowMask & (1u << v))
                    e = e + tmp[v * 8 + x] * g_a8[y][v];
                if (rowMask & (2u << v))
                    o = o + tmp[(v + 1) * 8 + x] * g_a8[y][v + 1];
            }
            out[8 * y + x] = toSample(e + o);
            out[8 * (7 - y) + x] = toSample(e - o);
        }
}

void idct248Plain(float* coefT, unsigned rowMask, unsigned, uint8_t* out)
{
    float tmp[64];
    rowPass(coefT, rowMask, tmp);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x) {
            const float* t = tmp + x;
            const float se = t[0] * g_a4[y][0] + t[16] * g_a4[y][2];
            const float so = t[8] * g_a4[y][1] + t[24] * g_a4[y][3];
            const float de = t[32] * g_a4[y][0] + t[48] * g_a4[y][2];
            const float dd = t[40] * g_a4[y][1] + t[56] * g_a4[y][3];
            const float s0 = se + so, s1 = se - so, d0 = de + dd, d1 = de - dd;
            out[16 * y + x] = toSample(s0 + d0);
            out[16 * y + 8 + x] = toSample(s0 - d0);
            out[16 * (3 - y) + x] = toSample(s1 + d1);
            out[16 * (3 - y) + 8 + x] = toSample(s1 - d1);
        }
}

void row422Plain(uint8_t* d, const uint8_t* yl, const uint8_t* yr, const uint8_t* cb, const uint8_t* cr)
{
    for (int i = 0; i < 8; ++i) {
        const uint8_t* ys = i < 4 ? yl + 2 * i : yr + 2 * (i - 4);
        d[4 * i] = ys[0];
        d[4 * i + 1] = cb[i];
        d[4 * i + 2] = ys[1];
        d[4 * i + 3] = cr[i];
    }
}

void row411Plain(uint8_t* d, const uint8_t* y0, const uint8_t* y1, const uint8_t* y2, const uint8_t* y3,
                 const uint8_t* cb, const uint8_t* cr)
{
    const uint8_t* ys[4] = {y0, y1, y2, y3};
    for (int p = 0; p < 16; ++p) {
        const uint8_t* s = ys[p / 4] + 2 * (p % 4);
        d[4 * p] = s[0];
        d[4 * p + 1] = cb[p / 2];
        d[4 * p + 2] = s[1];
        d[4 * p + 3] = cr[p / 2];
    }
}

void mb411Plain(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64]) { mb411T<row411Plain>(d, step, px); }
void mb422Plain(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64], int layout)
{
    mb422T<row422Plain>(d, step, px, layout);
}

} // namespace

void initIdct() { std::call_once(g_once, buildBases); }

namespace {

const DecoderKernels kPlain{idct88Plain, idct248Plain, row422Plain, row411Plain, mb411Plain, mb422Plain};

#ifdef VORN_SIMD_X86
const SimdRung<DecoderKernels>* const kRungs[] = {&kDecoderKernelsSse2, &kDecoderKernelsAvx2};
#endif

const SimdTables<DecoderKernels>& tables()
{
    static const SimdTables<DecoderKernels> built(initDecoderKernels, processorFeatures(), simdFeatures());
    return built;
}

} // namespace

std::span<const SimdRung<DecoderKernels>* const> decoderKernelRungs()
{
#ifdef VORN_SIMD_X86
    return kRungs;
#else
    return {};
#endif
}

DecoderKernels initDecoderKernels(CpuFeatures features)
{
    return climbSimdLadder(kPlain, decoderKernelRungs(), kDecoderKernelEntries, features);
}

const DecoderKernels& decoderKernels(SimdLevel level) { return tables().level(level); }

const DecoderKernels& decoderKernels() { return tables().run(); }

namespace {
// A block of coefficients by row to one by column, clearing the source.
void transposeClear(float* coef, float* coefT)
{
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            coefT[8 * c + r] = coef[8 * r + c];
            coef[8 * r + c] = 0.0f;
        }
}
} // namespace

void idct88(float* coef, unsigned rowMask, uint8_t* out)
{
    alignas(32) float coefT[64];
    transposeClear(coef, coefT);
    decoderKernels().idct88(coefT, rowMask, 0xffu, out);
}
void idct248(float* coef, unsigned rowMask, uint8_t* out)
{
    alignas(32) float coefT[64];
    transposeClear(coef, coefT);
    decoderKernels().idct248(coefT, rowMask, 0xffu, out);
}

} // namespace vorn::dv::detail
