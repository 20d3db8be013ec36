// Shared by the per-instruction-set files of the picture kernels: the
// reference arithmetic for the ends of rows that do not fill a vector, and
// the byte shuffles of the stretch patterns. Everything has internal linkage
// and is constant-initialised, so each file's copy is compiled with that
// file's flags and nothing runs before main (see foundation/Simd.h).
#pragma once

#include "dv/PictureKernels.h"

#include <cstdint>

namespace vorn::dv::detail {
namespace {

inline int minInt(int a, int b) { return a < b ? a : b; }
inline int absInt(int a) { return a < 0 ? -a : a; }

inline uint8_t avg(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

inline void mirrorTail(uint8_t* dst, const uint8_t* src, int pairs, int from)
{
    for (int i = from; i < pairs; ++i) {
        const uint8_t* s = src + 4 * i;
        uint8_t* d = dst + 4 * (pairs - 1 - i);
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        d[3] = s[3];
    }
}

inline uint8_t to8(uint16_t v)
{
    const uint32_t r = (static_cast<uint32_t>(v) + 2) >> 2;
    return static_cast<uint8_t>(r < 255u ? r : 255u);
}

inline void packTail(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width, int fromPair)
{
    for (int p = fromPair; p < width / 2; ++p) {
        dst[4 * p] = to8(y[2 * p]);
        dst[4 * p + 1] = to8(cb[p]);
        dst[4 * p + 2] = to8(y[2 * p + 1]);
        dst[4 * p + 3] = to8(cr[p]);
    }
}

inline void lerpTail(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int from, int bytes)
{
    const int32_t w = static_cast<int32_t>(f);
    for (int i = from; i < bytes; ++i)
        dst[i] = static_cast<uint8_t>(a[i] + (((b[i] - a[i]) * w) >> 16));
}

inline void noiseTail(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int from, int to)
{
    const uint8_t *u = cur[0], *m = cur[1], *l = cur[2];
    const uint8_t *hu = hist[0], *hm = hist[1], *hl = hist[2];
    for (int x = from; x < to; ++x) {
        const int xl = 2 * (x - 1), xc = 2 * x, xr = 2 * (x + 1);
        int a = absInt(l[xl] - l[xr]) + absInt(u[xr] - l[xr]) + absInt(u[xl] - l[xr]) + absInt(u[xc] - l[xc]) +
                absInt(u[xr] - l[xl]) + absInt(u[xl] - l[xl]) + absInt(u[xl] - u[xr]) + absInt(m[xl] - m[xr]);
        a = minInt(4 * a, 256);
        const int mc = (u[xl] + u[xc] + u[xr] + m[xl] + m[xc] + m[xr] + l[xl] + l[xc] + l[xr]) / 9;
        const int mh = (hu[xl] + hu[xc] + hu[xr] + hm[xl] + hm[xc] + hm[xr] + hl[xl] + hl[xc] + hl[xr]) / 9;
        const int t = minInt(64 * absInt(mc - mh), 256);
        const int cs = (mc * (256 - a) + a * m[xc] + 128) / 256;
        const int hs = (mh * (256 - a) + a * hm[xc] + 128) / 256;
        dst[xc] = static_cast<uint8_t>((((hs + cs + 1) / 2) * (256 - t) + t * cs + 128) / 256);
    }
}

inline void resampleTail(uint8_t* dst, const uint8_t* src, const ResampleSteps& s, int fromLuma, int fromPair)
{
    const int lastLuma = s.sourceWidth - 1, lastPair = s.sourceWidth / 2 - 1;
    for (int k = fromLuma; k < s.lumaCount; ++k) {
        const int i = s.lumaIndex[k], n = minInt(i + 1, lastLuma);
        dst[2 * k] = static_cast<uint8_t>(src[2 * i] + (((src[2 * n] - src[2 * i]) * s.lumaFrac[k]) >> 16));
    }
    for (int j = fromPair; j < s.chromaCount; ++j) {
        const int i = s.chromaIndex[j], n = minInt(i + 1, lastPair);
        const int32_t f = s.chromaFrac[j];
        dst[4 * j + 1] = static_cast<uint8_t>(src[4 * i + 1] + (((src[4 * n + 1] - src[4 * i + 1]) * f) >> 16));
        dst[4 * j + 3] = static_cast<uint8_t>(src[4 * i + 3] + (((src[4 * n + 3] - src[4 * i + 3]) * f) >> 16));
    }
}

// ---- shuffle masks of the stretch patterns ---------------------------------

// Source of one output byte of a stretch group: a copied input byte, or the
// rounding average of input bytes idx and idx + 2 (luma neighbours) or idx
// and idx + 4 (chroma neighbours).
enum Kind : uint8_t { Copy, Avg2, Avg4 };
struct Tap {
    Kind kind;
    uint8_t idx;
};
// Code 1: 8 input bytes -> 12 output bytes.
constexpr Tap kPattern2to3[12] = {{Copy, 0}, {Copy, 1}, {Avg2, 0}, {Copy, 3}, {Copy, 2}, {Copy, 1},
                                  {Copy, 4}, {Copy, 7}, {Avg2, 4}, {Copy, 5}, {Copy, 6}, {Copy, 7}};
// Codes 2-4: 12 input bytes -> 16 output bytes.
constexpr Tap kPattern3to4[16] = {{Copy, 0}, {Copy, 1}, {Avg2, 0}, {Copy, 3}, {Avg2, 2}, {Avg4, 1},
                                  {Copy, 4}, {Avg4, 3}, {Copy, 6}, {Avg4, 5}, {Avg2, 6}, {Avg4, 7},
                                  {Avg2, 8}, {Copy, 9}, {Copy, 10}, {Copy, 11}};

struct alignas(16) Mask {
    int8_t b[16];
};

// Masks for one 16-byte output block of 3to4: one per source kind.
struct Masks3to4 {
    Mask kind[3];
};
constexpr Masks3to4 makeMasks3to4()
{
    Masks3to4 k{};
    for (auto& m : k.kind)
        for (auto& b : m.b)
            b = -128;
    for (int o = 0; o < 16; ++o)
        k.kind[kPattern3to4[o].kind].b[o] = static_cast<int8_t>(kPattern3to4[o].idx);
    return k;
}
constexpr Masks3to4 kMasks3to4 = makeMasks3to4();

// Masks of 2to3 over four groups (32 input bytes in two vectors, 48 output
// bytes in three blocks): [block][input vector][copy or average].
struct Masks2to3 {
    Mask m[3][2][2];
};
constexpr Masks2to3 makeMasks2to3()
{
    Masks2to3 k{};
    for (auto& block : k.m)
        for (auto& vec : block)
            for (auto& mk : vec)
                for (auto& b : mk.b)
                    b = -128;
    for (int out = 0; out < 48; ++out) {
        const int group = out / 12;
        const Tap tap = kPattern2to3[out % 12];
        const int in = group * 8 + tap.idx;
        k.m[out / 16][in / 16][tap.kind == Copy ? 0 : 1].b[out % 16] = static_cast<int8_t>(in % 16);
    }
    return k;
}
constexpr Masks2to3 kMasks2to3 = makeMasks2to3();

inline void stretch3to4Tail(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 12, d += 16)
        for (int o = 0; o < 16; ++o) {
            const Tap t = kPattern3to4[o];
            d[o] = t.kind == Copy ? s[t.idx] : avg(s[t.idx], s[t.idx + (t.kind == Avg2 ? 2 : 4)]);
        }
}

} // namespace
} // namespace vorn::dv::detail
