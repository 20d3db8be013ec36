// Format change: bilinear rescale of a packed picture between two rasters in
// 16.16 fixed point, horizontally into a work area, then vertically back.
#include "dv/PictureKernels.h"
#include "dv/PictureProcessing.h"

#include <algorithm>
#include <new>
#include <vector>

namespace vorn::dv {

LineBand formatChangeBand(VideoFormat sourceCode, bool crop)
{
    const PictureRaster r = pictureRaster(sourceCode);
    if (crop && sourceCode >= 5 && sourceCode <= 10) {
        // The centred 16:9 band of a 4:3 picture.
        if (r.height == 480)
            return {56, 368};
        if (r.height == 576)
            return {67, 442};
    }
    return {0, r.height};
}

namespace {

// Source index and fraction of every output sample of a horizontal pass.
struct Steps {
    int sourceSamples = 0;
    int outputSamples = 0;
    std::vector<int> index;      // left neighbour
    std::vector<int> next;       // right neighbour (the last sample at the edge)
    std::vector<int32_t> frac;   // 0..65535

    void build(int sourceCount, int outputCount, uint32_t step)
    {
        if (sourceSamples == sourceCount && outputSamples == outputCount)
            return;
        sourceSamples = sourceCount;
        outputSamples = outputCount;
        index.resize(outputCount);
        next.resize(outputCount);
        frac.resize(outputCount);
        for (int k = 0; k < outputCount; ++k) {
            const uint32_t p = static_cast<uint32_t>(k) * step;
            const int i = std::min(static_cast<int>(p >> 16), sourceCount - 1);
            index[k] = i;
            next[k] = std::min(i + 1, sourceCount - 1);
            frac[k] = static_cast<int32_t>(p & 0xffff);
        }
    }
};

inline uint8_t lerp(int a, int b, int32_t f) { return static_cast<uint8_t>(a + (((b - a) * f) >> 16)); }

// One line: luma samples at even bytes, Cb at 4j + 1, Cr at 4j + 3.
void horizontalLine(uint8_t* dst, const uint8_t* src, const Steps& luma, const Steps& chroma)
{
    const int* li = luma.index.data();
    const int* ln = luma.next.data();
    const int32_t* lf = luma.frac.data();
    for (int k = 0; k < luma.outputSamples; ++k)
        dst[2 * k] = lerp(src[2 * li[k]], src[2 * ln[k]], lf[k]);
    const int* ci = chroma.index.data();
    const int* cn = chroma.next.data();
    const int32_t* cf = chroma.frac.data();
    for (int j = 0; j < chroma.outputSamples; ++j) {
        dst[4 * j + 1] = lerp(src[4 * ci[j] + 1], src[4 * cn[j] + 1], cf[j]);
        dst[4 * j + 3] = lerp(src[4 * ci[j] + 3], src[4 * cn[j] + 3], cf[j]);
    }
}

} // namespace

bool ChangeFormat(uint8_t* picture, VideoFormat targetCode, VideoFormat sourceCode, bool crop)
{
    const PictureRaster src = pictureRaster(sourceCode);
    const PictureRaster dst = pictureRaster(targetCode);
    if (!picture || src.width == 0 || dst.width == 0)
        return false;
    const LineBand band = formatChangeBand(sourceCode, crop);
    const int lines = band.count;

    // Work area for target width x source lines; sized once for the largest raster.
    static std::vector<uint8_t> work;
    static Steps luma, chroma;
    try {
        if (work.size() < kMaxPictureBytes)
            work.resize(kMaxPictureBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }

    const uint32_t stepX = static_cast<uint32_t>((static_cast<uint64_t>(src.width) << 16) / dst.width);
    luma.build(src.width, dst.width, stepX);
    chroma.build(src.width / 2, dst.width / 2, stepX);
    const size_t srcPitch = 2 * static_cast<size_t>(src.width);
    const size_t dstPitch = 2 * static_cast<size_t>(dst.width);
    for (int l = 0; l < lines; ++l)
        horizontalLine(work.data() + l * dstPitch, picture + (band.first + l) * srcPitch, luma, chroma);

    const PictureKernels& k = pictureKernels();
    const uint32_t stepY = static_cast<uint32_t>((static_cast<uint64_t>(lines) << 16) / dst.height);
    for (int y = 0; y < dst.height; ++y) {
        const uint32_t p = static_cast<uint32_t>(y) * stepY;
        const int i0 = std::min(static_cast<int>(p >> 16), lines - 1);
        const int i1 = std::min(i0 + 1, lines - 1);
        k.lerpRows(picture + y * dstPitch, work.data() + i0 * dstPitch, work.data() + i1 * dstPitch, p & 0xffff,
                   static_cast<int>(dstPitch));
    }
    return true;
}

} // namespace vorn::dv
