// Kernels of the DV encoder: the forward DCT (SIMD and plain) and whole frames
// of DV25 and DVCPRO HD 1080i on one worker.
#include "dv/CodecTables.h"
#include "dv/DvEncoder.h"
#include "dv/DvEncoderCore.h"
#include "dv/DvFormat.h"
#include "foundation/WorkerPool.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

using namespace vorn::dv;

PictureBuffer busyPicture(VideoFormat code)
{
    const DvFormatInfo& f = *dvFormatInfo(code);
    PictureBuffer p(f.codedWidth, f.height);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < 2 * f.codedWidth; ++x) {
            const int v = 128 + static_cast<int>(70 * std::sin(x * 0.05) * std::cos(y * 0.04)) + noise(rng);
            p.memoryRow(y)[x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    return p;
}

void BM_ForwardDct(benchmark::State& state)
{
    int16_t in[64], out[64];
    for (int i = 0; i < 64; ++i)
        in[i] = static_cast<int16_t>((i * 37) % 255 - 128);
    for (auto _ : state) {
        if (state.range(0))
            enc::forwardDct(in, out);
        else
            enc::forwardDctPlain(in, out);
        benchmark::DoNotOptimize(out);
        in[0] = out[5];
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ForwardDct)->Arg(0)->Arg(1)->ArgNames({"simd"});

void BM_EncodeFrame(benchmark::State& state)
{
    const VideoFormat code = static_cast<VideoFormat>(state.range(0));
    InitCodecTables();
    vorn::WorkerPool& pool = vorn::defaultWorkerPool();
    const int saved = pool.workers();
    pool.setWorkers(1);
    const PictureBuffer pic = busyPicture(code);
    DifFrame frame(static_cast<size_t>(dvFormatInfo(code)->bytesPerFrame));
    DvEncoder encoder;
    for (auto _ : state) {
        encoder.encode(frame, pic, code).ignore();
        benchmark::DoNotOptimize(frame.bytes.data());
    }
    state.SetItemsProcessed(state.iterations());
    pool.setWorkers(saved);
}
BENCHMARK(BM_EncodeFrame)->Arg(10)->Arg(8)->Arg(1)->ArgNames({"code"})->Unit(benchmark::kMillisecond);

} // namespace
