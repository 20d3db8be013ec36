// Coefficient-domain rotation of 720-line DVCPRO HD frames (frame-arranged
// macroblocks, and field-arranged ones that go through the pixel domain), the
// colour conversions to 24-bit bitmaps, and the clip icon.
#include "dv/CodecTables.h"
#include "dv/ColourConversion.h"
#include "dv/DifRotation.h"
#include "dv/DvEncoder.h"
#include "dv/DvFormat.h"
#include "foundation/WorkerPool.h"
#include "mxf/ClipIcon.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using namespace vorn::dv;

PictureBuffer busyPicture(int width, int height)
{
    PictureBuffer p(width, height);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 2 * width; ++x) {
            const int v = 128 + static_cast<int>(70 * std::sin(x * 0.05) * std::cos(y * 0.04)) + noise(rng);
            p.memoryRow(y)[x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    return p;
}

std::vector<uint8_t> encodedFrame(VideoFormat code, bool fieldMode)
{
    InitCodecTables();
    const DvFormatInfo& info = *dvFormatInfo(code);
    DifFrame frame;
    DvEncoder().encode(frame, busyPicture(info.codedWidth, info.height), code).ignore();
    if (fieldMode)
        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 10; ++s)
                for (int k = 0; k < kVideoBlocksPerSequence; ++k)
                    frame.bytes[static_cast<size_t>(c * info.channelBytes() + s * kDifSequenceBytes +
                                                    videoDifBlockIndex(k) * kDifBlockBytes + 5)] |= 0x40;
    return frame.bytes;
}

// Args: code, field arrangement, workers (0 = the processor count).
void BM_RotateDifFrame(benchmark::State& state)
{
    const VideoFormat code = static_cast<VideoFormat>(state.range(0));
    const auto source = encodedFrame(code, state.range(1) != 0);
    InitCodecTables();
    vorn::WorkerPool& pool = vorn::defaultWorkerPool();
    const int saved = pool.workers();
    if (state.range(2) > 0)
        pool.setWorkers(static_cast<int>(state.range(2)));
    std::vector<uint8_t> frame = source;
    DifRotator rotator;
    for (auto _ : state) {
        // A fresh copy each time (about 1% of the work): field-arranged input
        // comes out frame-arranged.
        std::copy(source.begin(), source.end(), frame.begin());
        rotator.rotate(frame, code).ignore();
        benchmark::DoNotOptimize(frame.data());
    }
    pool.setWorkers(saved);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RotateDifFrame)
    ->Args({2, 0, 1})
    ->Args({2, 0, 0})
    ->Args({2, 1, 1})
    ->Args({4, 0, 0})
    ->ArgNames({"code", "field", "workers"})
    ->Unit(benchmark::kMillisecond);

// Args: scale, SIMD level (0 plain .. 3 avx2) of a 1920 x 1080 picture.
void BM_PackedToBgr(benchmark::State& state)
{
    const int scale = static_cast<int>(state.range(0));
    const auto level = static_cast<vorn::SimdLevel>(state.range(1));
    if (level > vorn::supportedSimdLevels().back()) {
        state.SkipWithError("level not supported here");
        return;
    }
    const PictureBuffer pic = busyPicture(1920, 1080);
    const int w = 1920 / scale, h = 1080 / scale;
    std::vector<uint8_t> bmp(static_cast<size_t>(3 * w * h));
    for (auto _ : state) {
        packedToBgr(pic.bytes, 1920, 1080, scale, bmp, 3 * w, level);
        benchmark::DoNotOptimize(bmp.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PackedToBgr)->Args({1, 0})->Args({1, 2})->Args({2, 0})->Args({4, 0})->ArgNames({"scale", "level"});

void BM_PlanarToBgr(benchmark::State& state)
{
    const int scale = static_cast<int>(state.range(0));
    std::vector<uint16_t> planes(planarSamples(1920, 1080, true));
    std::mt19937 rng(3);
    for (auto& s : planes)
        s = static_cast<uint16_t>(rng() & 1023);
    const int w = 1920 / scale, h = 1080 / scale;
    std::vector<uint8_t> bmp(static_cast<size_t>(3 * w * h));
    for (auto _ : state) {
        planarToBgr(planes, 1920, 1080, true, scale, false, bmp, 3 * w);
        benchmark::DoNotOptimize(bmp.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlanarToBgr)->Arg(1)->Arg(2)->Arg(4)->ArgNames({"scale"});

void BM_ClipIcon(benchmark::State& state)
{
    const VideoFormat code = static_cast<VideoFormat>(state.range(0));
    const auto frame = encodedFrame(code, false);
    std::vector<uint8_t> bmp;
    vorn::mxf::IconMaker maker;
    for (auto _ : state) {
        maker.make(frame.data(), frame.size(), code, false, bmp);
        benchmark::DoNotOptimize(bmp.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClipIcon)->Arg(1)->Arg(2)->Arg(10)->ArgNames({"code"})->Unit(benchmark::kMillisecond);

} // namespace
