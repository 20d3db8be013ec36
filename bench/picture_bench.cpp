// Picture operations on whole frames: format change (DV25 NTSC to 1920 x 1080
// and back, PAL with the 16:9 crop), noise reduction of a 1920 x 1080 picture,
// the stretch pass of DVCPRO HD rows (codes 1 and 3, with and without the
// mirror) and the planar-to-packed conversion. Items are frames, so items per
// second is frames per second. Run with VORN_SIMD=plain for the reference.
#include "dv/CodecTables.h"
#include "dv/PictureProcessing.h"
#include "dv/Stretch.h"
#include "foundation/WorkerPool.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

using namespace vorn::dv;

// A picture with some structure (gradients and noise) rather than constant bytes.
std::vector<uint8_t> testPicture(VideoFormat code, uint32_t seed, size_t capacity = 0)
{
    const PictureRaster r = pictureRaster(code);
    std::vector<uint8_t> p(std::max(capacity, r.bytes()));
    std::mt19937 rng(seed);
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < 2 * r.width; ++x)
            p[static_cast<size_t>(y) * 2 * r.width + x] = static_cast<uint8_t>((x / 4 + y / 2 + rng() % 12) & 0xff);
    return p;
}

void BM_ChangeFormat(benchmark::State& state)
{
    const VideoFormat source = static_cast<VideoFormat>(state.range(0));
    const VideoFormat target = static_cast<VideoFormat>(state.range(1));
    const bool crop = state.range(2) != 0;
    const auto original = testPicture(source, 1, kMaxPictureBytes);
    std::vector<uint8_t> picture(kMaxPictureBytes);
    FormatChanger changer;
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(original.begin(), original.end(), picture.begin());
        state.ResumeTiming();
        changer.change(picture.data(), target, picture.data(), source, crop, LineSources{}).ignore();
        benchmark::DoNotOptimize(picture.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChangeFormat)
    ->Args({10, 38, 0}) // 720 x 480 -> 1920 x 1080
    ->Args({38, 10, 0}) // and back
    ->Args({9, 3, 1})   // 720 x 576, 16:9 band -> 1440 x 1080
    ->Args({1, 10, 0})  // 1280 x 1080 -> 720 x 480
    ->Unit(benchmark::kMillisecond);

void BM_ReduceNoise(benchmark::State& state)
{
    const VideoFormat code = static_cast<VideoFormat>(state.range(0));
    const auto a = testPicture(code, 1), b = testPicture(code, 2);
    std::vector<uint8_t> out(a.size());
    NoiseFilter filter;
    filter.apply(out.data(), a.data(), code, 0, true).ignore();
    int64_t frame = 1;
    for (auto _ : state) {
        filter.apply(out.data(), (frame & 1) ? b.data() : a.data(), code, frame, true).ignore();
        ++frame;
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReduceNoise)->Arg(38)->Arg(10)->Unit(benchmark::kMillisecond);

// The stretch pass over a whole coded picture on 1 or 2 workers; CPU time is
// that of the whole process (the workers run on the pool's threads).
void BM_StretchPicture(benchmark::State& state)
{
    InitCodecTables();
    const VideoFormat code = static_cast<VideoFormat>(state.range(0));
    vorn::WorkerPool pool;
    const int workers = static_cast<int>(state.range(1));
    const bool rotate = state.range(2) != 0;
    const PictureRaster coded = pictureRaster(code);
    const auto src = testPicture(code, 3);
    std::vector<uint8_t> dst(static_cast<size_t>(2) * stretchFullWidth(code) * coded.height);
    StretchJob job;
    job.dest = dst.data();
    job.destPitch = 2 * stretchFullWidth(code);
    job.src = src.data();
    job.srcPitch = 2 * coded.width;
    job.height = coded.height;
    job.code = code;
    job.stretch = true;
    job.rotate = rotate;
    for (auto _ : state) {
        (void)StretchPicture(job, pool, workers);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StretchPicture)
    ->Args({1, 1, 0})
    ->Args({3, 1, 0})
    ->Args({1, 2, 0})
    ->Args({3, 2, 0})
    ->Args({3, 1, 1})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// One 1920 x 1080 4:2:2 (AVC-Intra 100) or 1440 x 1080 4:2:0 (AVC-Intra 50) picture.
void BM_ConvertPlanar(benchmark::State& state)
{
    const VideoFormat code = static_cast<VideoFormat>(state.range(0));
    const bool rotate = state.range(1) != 0;
    const PictureRaster r = pictureRaster(code);
    std::vector<uint16_t> planar(static_cast<size_t>(r.width) * r.height * 2);
    std::mt19937 rng(4);
    for (auto& v : planar)
        v = static_cast<uint16_t>(rng() % 1024);
    std::vector<uint8_t> out(r.bytes());
    for (auto _ : state) {
        ConvertPlanarPicture(planar.data(), out.data(), r.width, r.height, rotate, code);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConvertPlanar)->Args({38, 0})->Args({38, 1})->Args({32, 0})->Unit(benchmark::kMillisecond);

} // namespace
