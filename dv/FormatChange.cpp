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
    uint32_t step = 0;
    std::vector<int32_t> index; // left neighbour
    std::vector<int32_t> frac;  // 0..65535
    int safe = 0;               // leading outputs whose left neighbour is not the last sample

    void build(int sourceCount, int outputCount, uint32_t stepX)
    {
        if (sourceSamples == sourceCount && outputSamples == outputCount && step == stepX)
            return;
        sourceSamples = sourceCount;
        outputSamples = outputCount;
        step = stepX;
        index.resize(outputCount);
        frac.resize(outputCount);
        safe = 0;
        for (int k = 0; k < outputCount; ++k) {
            const uint32_t p = static_cast<uint32_t>(k) * stepX;
            index[k] = std::min(static_cast<int>(p >> 16), sourceCount - 1);
            frac[k] = static_cast<int32_t>(p & 0xffff);
            if (index[k] < sourceCount - 1)
                safe = k + 1;
        }
    }
};

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
    ResampleSteps steps;
    steps.lumaIndex = luma.index.data();
    steps.lumaFrac = luma.frac.data();
    steps.lumaCount = dst.width;
    steps.lumaSafe = luma.safe;
    steps.chromaIndex = chroma.index.data();
    steps.chromaFrac = chroma.frac.data();
    steps.chromaCount = dst.width / 2;
    steps.chromaSafe = chroma.safe;
    steps.sourceWidth = src.width;
    const PictureKernels& k = pictureKernels();
    const size_t srcPitch = 2 * static_cast<size_t>(src.width);
    const size_t dstPitch = 2 * static_cast<size_t>(dst.width);
    for (int l = 0; l < lines; ++l)
        k.resampleLine(work.data() + l * dstPitch, picture + (band.first + l) * srcPitch, steps);

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
