#include "dv/ColourConversion.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORN_COLOUR_X86 1
#endif

namespace vorn::dv {

namespace {

inline uint8_t clampByte(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// One pixel: luma and chroma offsets already applied to the chroma (cb, cr
// centred on 0); shift 6 for 8-bit samples, 8 for 10-bit.
template <int Shift>
inline void putBgr(uint8_t* d, int y, int cb, int cr)
{
    const int ly = 75 * y;
    d[0] = clampByte((ly + 129 * cb) >> Shift);
    d[1] = clampByte((ly - 25 * cb - 52 * cr) >> Shift);
    d[2] = clampByte((ly + 102 * cr) >> Shift);
}

// Plain reference of the packed conversion: one bitmap row from one picture row.
void packedRowPlain(const uint8_t* src, int outWidth, int scale, uint8_t* dst)
{
    switch (scale) {
    case 1:
        for (int x = 0; x < outWidth; x += 2) { // outWidth is even
            const uint8_t* p = src + 2 * x;
            const int cb = p[1] - 128, cr = p[3] - 128;
            putBgr<6>(dst + 3 * x, p[0], cb, cr);
            putBgr<6>(dst + 3 * x + 3, p[2], cb, cr);
        }
        break;
    default: {
        // Scale 2: the first pixel of every pair; scale 4: of every second pair.
        const int step = 2 * scale;
        for (int x = 0; x < outWidth; ++x) {
            const uint8_t* p = src + step * x;
            putBgr<6>(dst + 3 * x, p[0], p[1] - 128, p[3] - 128);
        }
        break;
    }
    }
}

#ifdef VORN_COLOUR_X86
// Scale 1, 16 pixels at a time. The three sums stay within 16 bits once a bias
// (a multiple of 64 that makes the smallest sum non-negative) is added:
// blue -16512..35508, green -9779..28981, red -13056..32079. Shifting the
// biased sum and subtracting bias / 64 with unsigned saturation gives
// max(0, sum >> 6); the final pack limits it to 255.
struct Interleave {
    alignas(16) uint8_t mask[3][3][16]; // [output vector][channel][byte]
    Interleave()
    {
        for (int j = 0; j < 3; ++j)
            for (int c = 0; c < 3; ++c)
                for (int b = 0; b < 16; ++b) {
                    const int k = 16 * j + b;
                    mask[j][c][b] = static_cast<uint8_t>(k % 3 == c ? k / 3 : 0x80);
                }
    }
};
const Interleave kInterleave;

__attribute__((target("sse4.1"))) void packedRowSse41(const uint8_t* src, int outWidth, uint8_t* dst)
{
    const __m128i lumaMask = _mm_set1_epi16(0x00ff);
    // Chroma of pixel i (16-bit lane i): byte 4 (i / 2) + 1 (Cb) or + 3 (Cr).
    const __m128i cbPick = _mm_setr_epi8(1, -128, 1, -128, 5, -128, 5, -128, 9, -128, 9, -128, 13, -128, 13, -128);
    const __m128i crPick = _mm_setr_epi8(3, -128, 3, -128, 7, -128, 7, -128, 11, -128, 11, -128, 15, -128, 15, -128);
    const __m128i c128 = _mm_set1_epi16(128);
    const __m128i k75 = _mm_set1_epi16(75), k129 = _mm_set1_epi16(129), k25 = _mm_set1_epi16(25),
                  k52 = _mm_set1_epi16(52), k102 = _mm_set1_epi16(102);
    const __m128i biasB = _mm_set1_epi16(16512), biasG = _mm_set1_epi16(9792), biasR = _mm_set1_epi16(13056);
    const __m128i offB = _mm_set1_epi16(258), offG = _mm_set1_epi16(153), offR = _mm_set1_epi16(204);
    const __m128i* m = reinterpret_cast<const __m128i*>(kInterleave.mask);
    int x = 0;
    for (; x + 16 <= outWidth; x += 16) {
        __m128i b8[2], g8[2], r8[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * x + 16 * h));
            const __m128i y = _mm_mullo_epi16(_mm_and_si128(in, lumaMask), k75);
            const __m128i cb = _mm_sub_epi16(_mm_shuffle_epi8(in, cbPick), c128);
            const __m128i cr = _mm_sub_epi16(_mm_shuffle_epi8(in, crPick), c128);
            __m128i b = _mm_add_epi16(_mm_add_epi16(y, _mm_mullo_epi16(cb, k129)), biasB);
            __m128i g = _mm_sub_epi16(_mm_add_epi16(y, biasG),
                                      _mm_add_epi16(_mm_mullo_epi16(cb, k25), _mm_mullo_epi16(cr, k52)));
            __m128i r = _mm_add_epi16(_mm_add_epi16(y, _mm_mullo_epi16(cr, k102)), biasR);
            b8[h] = _mm_subs_epu16(_mm_srli_epi16(b, 6), offB);
            g8[h] = _mm_subs_epu16(_mm_srli_epi16(g, 6), offG);
            r8[h] = _mm_subs_epu16(_mm_srli_epi16(r, 6), offR);
        }
        const __m128i B = _mm_packus_epi16(b8[0], b8[1]);
        const __m128i G = _mm_packus_epi16(g8[0], g8[1]);
        const __m128i R = _mm_packus_epi16(r8[0], r8[1]);
        for (int j = 0; j < 3; ++j) {
            const __m128i o = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(B, m[3 * j]), _mm_shuffle_epi8(G, m[3 * j + 1])),
                                           _mm_shuffle_epi8(R, m[3 * j + 2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x + 16 * j), o);
        }
    }
    if (x < outWidth)
        packedRowPlain(src + 2 * x, outWidth - x, 1, dst + 3 * x);
}
#endif

} // namespace

bool packedToBgr(std::span<const uint8_t> picture, int width, int height, int scale, std::span<uint8_t> bitmap,
                 ptrdiff_t dstPitch, SimdLevel level)
{
    if ((scale != 1 && scale != 2 && scale != 4) || width <= 0 || height <= 0 || (width & 1))
        return false;
    const int outWidth = width / scale, outHeight = height / scale;
    if (outWidth <= 0 || outHeight <= 0 || dstPitch < 3 * static_cast<ptrdiff_t>(outWidth))
        return false;
    const size_t pitch = 2 * static_cast<size_t>(width);
    if (picture.size() < pitch * static_cast<size_t>(height))
        return false;
    if (bitmap.size() < static_cast<size_t>(dstPitch) * static_cast<size_t>(outHeight - 1) + 3 * static_cast<size_t>(outWidth))
        return false;
#ifdef VORN_COLOUR_X86
    if (scale == 1 && level >= SimdLevel::Sse41) {
        for (int r = 0; r < outHeight; ++r)
            packedRowSse41(picture.data() + static_cast<size_t>(r) * pitch, outWidth,
                           bitmap.data() + static_cast<ptrdiff_t>(r) * dstPitch);
        return true;
    }
#else
    (void)level;
#endif
    for (int r = 0; r < outHeight; ++r)
        packedRowPlain(picture.data() + static_cast<size_t>(r) * static_cast<size_t>(scale) * pitch, outWidth, scale,
                       bitmap.data() + static_cast<ptrdiff_t>(r) * dstPitch);
    return true;
}

bool packedToBgr(std::span<const uint8_t> picture, int width, int height, int scale, std::span<uint8_t> bitmap,
                 ptrdiff_t dstPitch)
{
    return packedToBgr(picture, width, height, scale, bitmap, dstPitch, simdLevel());
}

size_t planarSamples(int width, int height, bool chroma422)
{
    if (width <= 0 || height <= 0)
        return 0;
    const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t chroma = static_cast<size_t>(width / 2) * static_cast<size_t>(chroma422 ? height : height / 2);
    return luma + 2 * chroma;
}

bool planarToBgr(std::span<const uint16_t> planes, int width, int height, bool chroma422, int scale, bool turn,
                 std::span<uint8_t> bitmap, ptrdiff_t dstPitch)
{
    if (width <= 0 || height <= 0 || (width & 1) || (!chroma422 && (height & 1)) || scale < 1)
        return false;
    const int outWidth = width / scale, outHeight = height / scale;
    if (outWidth <= 0 || outHeight <= 0 || dstPitch < 3 * static_cast<ptrdiff_t>(outWidth))
        return false;
    if (planes.size() < planarSamples(width, height, chroma422))
        return false;
    if (bitmap.size() < static_cast<size_t>(dstPitch) * static_cast<size_t>(outHeight - 1) + 3 * static_cast<size_t>(outWidth))
        return false;
    const size_t lumaSize = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t chromaWidth = static_cast<size_t>(width / 2);
    const size_t chromaSize = chromaWidth * static_cast<size_t>(chroma422 ? height : height / 2);
    const uint16_t* luma = planes.data();
    const uint16_t* cbPlane = luma + lumaSize;
    const uint16_t* crPlane = cbPlane + chromaSize;
    for (int r = 0; r < outHeight; ++r) {
        // Upright: bitmap row r (counted from the bottom) shows sampled row
        // outHeight - 1 - r from the top; turned: sampled row r, mirrored.
        const int sy = scale * (turn ? r : outHeight - 1 - r);
        const uint16_t* y = luma + static_cast<size_t>(sy) * static_cast<size_t>(width);
        const size_t chromaRow = static_cast<size_t>(chroma422 ? sy : sy / 2) * chromaWidth;
        const uint16_t* cb = cbPlane + chromaRow;
        const uint16_t* cr = crPlane + chromaRow;
        uint8_t* d = bitmap.data() + static_cast<ptrdiff_t>(r) * dstPitch;
        for (int x = 0; x < outWidth; ++x) {
            const int sx = scale * (turn ? outWidth - 1 - x : x);
            putBgr<8>(d + 3 * x, y[sx], cb[sx / 2] - 512, cr[sx / 2] - 512);
        }
    }
    return true;
}

} // namespace vorn::dv
