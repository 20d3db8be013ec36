#include "dv/ColourConversion.h"

#include <algorithm>

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

} // namespace

// Plain reference of the packed conversion: one bitmap row from one picture row.
void detail::packedRowPlain(const uint8_t* src, int outWidth, int scale, uint8_t* dst)
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

namespace {

void packedRowScale1Plain(const uint8_t* src, int outWidth, uint8_t* dst) { detail::packedRowPlain(src, outWidth, 1, dst); }

constexpr ColourKernels kPlain{packedRowScale1Plain};

#ifdef VORN_SIMD_X86
const SimdRung<ColourKernels>* const kRungs[] = {&detail::kColourKernelsSse41};
#endif

const SimdTables<ColourKernels>& tables()
{
    static const SimdTables<ColourKernels> built(initColourKernels, processorFeatures(), simdFeatures());
    return built;
}

bool packedToBgr(std::span<const uint8_t> picture, int width, int height, int scale, std::span<uint8_t> bitmap,
                 ptrdiff_t dstPitch, const ColourKernels& kernels)
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
    for (int r = 0; r < outHeight; ++r) {
        const uint8_t* src = picture.data() + static_cast<size_t>(r) * static_cast<size_t>(scale) * pitch;
        uint8_t* dst = bitmap.data() + static_cast<ptrdiff_t>(r) * dstPitch;
        if (scale == 1)
            kernels.packedRow(src, outWidth, dst);
        else
            detail::packedRowPlain(src, outWidth, scale, dst);
    }
    return true;
}

} // namespace

std::span<const SimdRung<ColourKernels>* const> colourKernelRungs()
{
#ifdef VORN_SIMD_X86
    return kRungs;
#else
    return {};
#endif
}

ColourKernels initColourKernels(CpuFeatures features)
{
    return climbSimdLadder(kPlain, colourKernelRungs(), kColourKernelEntries, features);
}

const ColourKernels& colourKernels(SimdLevel level) { return tables().level(level); }

bool packedToBgr(std::span<const uint8_t> picture, int width, int height, int scale, std::span<uint8_t> bitmap,
                 ptrdiff_t dstPitch, SimdLevel level)
{
    return packedToBgr(picture, width, height, scale, bitmap, dstPitch, colourKernels(level));
}

bool packedToBgr(std::span<const uint8_t> picture, int width, int height, int scale, std::span<uint8_t> bitmap,
                 ptrdiff_t dstPitch)
{
    return packedToBgr(picture, width, height, scale, bitmap, dstPitch, tables().run());
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
