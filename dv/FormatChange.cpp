// Format change: bilinear rescale of a packed picture between two rasters in
// 16.16 fixed point, horizontally into a work area, then vertically back.
#include "dv/PictureKernels.h"
#include "dv/PictureProcessing.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
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

namespace {

// The band lines of one parity: the first such line and how many there are.
struct FieldLines {
    int first = 0;
    int count = 0;
};

FieldLines fieldLines(const LineBand& band, int parity)
{
    FieldLines f;
    f.first = ((parity - band.first) % 2 + 2) % 2;
    f.count = band.count > f.first ? (band.count - f.first + 1) / 2 : 0;
    return f;
}

} // namespace

struct FormatChanger::Work {
    std::vector<uint8_t> area;  // target width x source lines; sized once for the largest raster
    Steps luma, chroma;
};

FormatChanger::FormatChanger() : m_work(std::make_unique<Work>()) {}

FormatChanger::~FormatChanger() = default;

Status FormatChanger::change(uint8_t* destination, VideoFormat targetCode, const uint8_t* source,
                             VideoFormat sourceCode, bool crop, LineSources lineSources)
{
    const PictureRaster src = pictureRaster(sourceCode);
    const PictureRaster dst = pictureRaster(targetCode);
    if (!destination || !source || src.width == 0 || dst.width == 0)
        return Status::failure("no picture raster for format " + std::to_string(src.width == 0 ? sourceCode : targetCode));
    const LineBand band = formatChangeBand(sourceCode, crop);
    const int lines = band.count;
    int fromParity[2] = {lineSources.fromParity[0], lineSources.fromParity[1]};
    for (int q = 0; q < 2; ++q) {
        if (fromParity[q] != kAllLines && fromParity[q] != kNoLines && fromParity[q] != 0 && fromParity[q] != 1)
            return Status::failure("unknown line source " + std::to_string(fromParity[q]));
        // A band too short to hold lines of that parity is read as a whole picture.
        if (fromParity[q] >= 0 && fieldLines(band, fromParity[q]).count == 0)
            fromParity[q] = kAllLines;
    }

    std::vector<uint8_t>& work = m_work->area;
    try {
        if (work.size() < kMaxPictureBytes)
            work.resize(kMaxPictureBytes);
    } catch (const std::bad_alloc&) {
        return Status::failure("the format change work area could not be allocated", ENOMEM);
    }
    Steps& luma = m_work->luma;
    Steps& chroma = m_work->chroma;

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

    // Horizontal pass over the band lines some output line reads.
    const bool allLines = fromParity[0] == kAllLines || fromParity[1] == kAllLines;
    for (int l = 0; l < lines; ++l) {
        const int parity = (band.first + l) % 2;
        if (allLines || fromParity[0] == parity || fromParity[1] == parity)
            k.resampleLine(work.data() + l * dstPitch, source + (band.first + l) * srcPitch, steps);
    }

    // Vertical pass: output line y sits at y x L / Ht among the band lines.
    const uint32_t stepY = static_cast<uint32_t>((static_cast<uint64_t>(lines) << 16) / dst.height);
    for (int y = 0; y < dst.height; ++y) {
        const int fromLines = fromParity[y % 2];
        if (fromLines == kNoLines)
            continue;
        const uint32_t p = static_cast<uint32_t>(y) * stepY;
        int l0 = 0, l1 = 0;
        uint32_t frac = 0;
        if (fromLines == kAllLines) {
            l0 = std::min(static_cast<int>(p >> 16), lines - 1);
            l1 = std::min(l0 + 1, lines - 1);
            frac = p & 0xffff;
        } else {
            // The same position counted in lines of the field: (p - first) / 2.
            const FieldLines field = fieldLines(band, fromLines);
            const int64_t at = std::max<int64_t>(0, (static_cast<int64_t>(p) - (int64_t{field.first} << 16)) / 2);
            const int j0 = std::min(static_cast<int>(at >> 16), field.count - 1);
            const int j1 = std::min(j0 + 1, field.count - 1);
            l0 = field.first + 2 * j0;
            l1 = field.first + 2 * j1;
            frac = static_cast<uint32_t>(at & 0xffff);
        }
        k.lerpRows(destination + y * dstPitch, work.data() + l0 * dstPitch, work.data() + l1 * dstPitch, frac,
                   static_cast<int>(dstPitch));
    }
    return okStatus();
}

bool ChangeFormatLines(uint8_t* destination, VideoFormat targetCode, const uint8_t* source, VideoFormat sourceCode,
                       bool crop, LineSources lines)
{
    return FormatChanger().change(destination, targetCode, source, sourceCode, crop, lines).ok();
}

bool ChangeFormat(uint8_t* picture, VideoFormat targetCode, VideoFormat sourceCode, bool crop)
{
    return ChangeFormatLines(picture, targetCode, picture, sourceCode, crop, LineSources{});
}

} // namespace vorn::dv
