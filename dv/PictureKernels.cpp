// The reference kernels (plain C++) and the family's ladder.
#include "dv/PictureKernels.h"

#include <algorithm>
#include <cstdlib>

namespace vorn::dv {

namespace {

inline uint8_t avg(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

void mirrorPlain(uint8_t* dst, const uint8_t* src, int pairs)
{
    for (int i = 0; i < pairs; ++i) {
        const uint8_t* s = src + 4 * i;
        uint8_t* d = dst + 4 * (pairs - 1 - i);
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        d[3] = s[3];
    }
}

// Y0..Y3 with (Cb0, Cr0), (Cb1, Cr1) -> (Y0, Cb0, avg(Y0,Y1), Cr0), (Y1, Cb0, Y2, Cr1), (avg(Y2,Y3), Cb1, Y3, Cr1).
void stretch2to3Plain(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 8, d += 12) {
        const uint8_t y0 = s[0], cb0 = s[1], y1 = s[2], cr0 = s[3];
        const uint8_t y2 = s[4], cb1 = s[5], y3 = s[6], cr1 = s[7];
        d[0] = y0;
        d[1] = cb0;
        d[2] = avg(y0, y1);
        d[3] = cr0;
        d[4] = y1;
        d[5] = cb0;
        d[6] = y2;
        d[7] = cr1;
        d[8] = avg(y2, y3);
        d[9] = cb1;
        d[10] = y3;
        d[11] = cr1;
    }
}

// Y0..Y5 with three chroma pairs -> 8 pixels, the middle chroma pairs averaged.
void stretch3to4Plain(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 12, d += 16) {
        const uint8_t y0 = s[0], y1 = s[2], y2 = s[4], y3 = s[6], y4 = s[8], y5 = s[10];
        const uint8_t cb0 = s[1], cr0 = s[3], cb1 = s[5], cr1 = s[7], cb2 = s[9], cr2 = s[11];
        d[0] = y0;
        d[1] = cb0;
        d[2] = avg(y0, y1);
        d[3] = cr0;
        d[4] = avg(y1, y2);
        d[5] = avg(cb0, cb1);
        d[6] = y2;
        d[7] = avg(cr0, cr1);
        d[8] = y3;
        d[9] = avg(cb1, cb2);
        d[10] = avg(y3, y4);
        d[11] = avg(cr1, cr2);
        d[12] = avg(y4, y5);
        d[13] = cb2;
        d[14] = y5;
        d[15] = cr2;
    }
}

inline uint8_t to8(uint16_t v) { return static_cast<uint8_t>(std::min((static_cast<uint32_t>(v) + 2) >> 2, 255u)); }

void packPlanarRowPlain(uint8_t* dst, const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int width)
{
    for (int p = 0; p < width / 2; ++p) {
        dst[4 * p] = to8(y[2 * p]);
        dst[4 * p + 1] = to8(cb[p]);
        dst[4 * p + 2] = to8(y[2 * p + 1]);
        dst[4 * p + 3] = to8(cr[p]);
    }
}

void lerpRowsPlain(uint8_t* dst, const uint8_t* a, const uint8_t* b, uint32_t f, int bytes)
{
    const int32_t w = static_cast<int32_t>(f);
    for (int i = 0; i < bytes; ++i)
        dst[i] = static_cast<uint8_t>(a[i] + (((b[i] - a[i]) * w) >> 16));
}

inline uint8_t lerp(int a, int b, int32_t f) { return static_cast<uint8_t>(a + (((b - a) * f) >> 16)); }

void resampleLinePlain(uint8_t* dst, const uint8_t* src, const ResampleSteps& s)
{
    const int lastLuma = s.sourceWidth - 1, lastPair = s.sourceWidth / 2 - 1;
    for (int k = 0; k < s.lumaCount; ++k) {
        const int i = s.lumaIndex[k];
        dst[2 * k] = lerp(src[2 * i], src[2 * std::min(i + 1, lastLuma)], s.lumaFrac[k]);
    }
    for (int j = 0; j < s.chromaCount; ++j) {
        const int i = s.chromaIndex[j], n = std::min(i + 1, lastPair);
        dst[4 * j + 1] = lerp(src[4 * i + 1], src[4 * n + 1], s.chromaFrac[j]);
        dst[4 * j + 3] = lerp(src[4 * i + 3], src[4 * n + 3], s.chromaFrac[j]);
    }
}

void noiseRowPlain(uint8_t* dst, const uint8_t* const cur[3], const uint8_t* const hist[3], int width)
{
    const uint8_t* u = cur[0];
    const uint8_t* m = cur[1];
    const uint8_t* l = cur[2];
    for (int x = 1; x < width - 1; ++x) {
        const int xl = 2 * (x - 1), xc = 2 * x, xr = 2 * (x + 1);
        // Row 0 of the neighbourhood is y - 1 (u), row 2 is y + 1 (l).
        int a = std::abs(l[xl] - l[xr]) + std::abs(u[xr] - l[xr]) + std::abs(u[xl] - l[xr]) +
                std::abs(u[xc] - l[xc]) + std::abs(u[xr] - l[xl]) + std::abs(u[xl] - l[xl]) +
                std::abs(u[xl] - u[xr]) + std::abs(m[xl] - m[xr]);
        a = std::min(4 * a, 256);
        const int sc = u[xl] + u[xc] + u[xr] + m[xl] + m[xc] + m[xr] + l[xl] + l[xc] + l[xr];
        const uint8_t* hu = hist[0];
        const uint8_t* hm = hist[1];
        const uint8_t* hl = hist[2];
        const int sh = hu[xl] + hu[xc] + hu[xr] + hm[xl] + hm[xc] + hm[xr] + hl[xl] + hl[xc] + hl[xr];
        const int mc = sc / 9, mh = sh / 9;
        const int t = std::min(64 * std::abs(mc - mh), 256);
        const int cs = (mc * (256 - a) + a * m[xc] + 128) / 256;
        const int hs = (mh * (256 - a) + a * hm[xc] + 128) / 256;
        dst[xc] = static_cast<uint8_t>((((hs + cs + 1) / 2) * (256 - t) + t * cs + 128) / 256);
    }
}

const PictureKernels kPlain = {mirrorPlain,   stretch2to3Plain,  stretch3to4Plain, packPlanarRowPlain,
                               lerpRowsPlain, resampleLinePlain, noiseRowPlain};

#ifdef VORN_SIMD_X86
const SimdRung<PictureKernels>* const kRungs[] = {&detail::kPictureKernelsSse2, &detail::kPictureKernelsSse41,
                                                  &detail::kPictureKernelsAvx2};
#endif

const SimdTables<PictureKernels>& tables()
{
    static const SimdTables<PictureKernels> built(initPictureKernels, processorFeatures(), simdFeatures());
    return built;
}

} // namespace

std::span<const SimdRung<PictureKernels>* const> pictureKernelRungs()
{
#ifdef VORN_SIMD_X86
    return kRungs;
#else
    return {};
#endif
}

PictureKernels initPictureKernels(CpuFeatures features)
{
    return climbSimdLadder(kPlain, pictureKernelRungs(), kPictureKernelEntries, features);
}

const PictureKernels& pictureKernels(SimdLevel level) { return tables().level(level); }

const PictureKernels& pictureKernels() { return tables().run(); }

} // namespace vorn::dv
