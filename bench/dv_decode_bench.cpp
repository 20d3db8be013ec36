// Kernels of the DV decoder: the inverse DCTs, the stretch of one HD row, and
// whole-frame decodes (1 and 2 workers). The frames are read from
// $VORN_BENCH_DIF_<code> (a raw DIF file, e.g. made by bench/dv_decode.sh) when
// set, otherwise they are pseudo-random frames, which exercise the code reader
// with damaged data.
#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "dv/DvDecoderCore.h"
#include "dv/Stretch.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vorn::dv;

std::vector<uint8_t> benchFrame(VideoFormat code)
{
    const DvFormatInfo& info = *dvFormatInfo(code);
    std::vector<uint8_t> frame(static_cast<size_t>(info.bytesPerFrame));
    const std::string var = "VORN_BENCH_DIF_" + std::to_string(code);
    if (const char* path = std::getenv(var.c_str())) {
        std::ifstream in(path, std::ios::binary);
        in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        if (in.gcount() == static_cast<std::streamsize>(frame.size()))
            return frame;
    }
    std::mt19937 rng(static_cast<unsigned>(code));
    for (auto& b : frame)
        b = static_cast<uint8_t>(rng());
    frame[1] |= 0x04;
    return frame;
}

// A block stored by column, as the decoder's transforms take it.
void coefficients(std::vector<float>& coef, unsigned& mask, unsigned& colMask, int nonZero)
{
    std::mt19937 rng(1);
    coef.assign(64, 0.0f);
    mask = 1;
    colMask = 1;
    coef[0] = 400.0f;
    for (int i = 0; i < nonZero; ++i) {
        const int idx = kZigzag88[1 + static_cast<int>(rng() % 20)];
        coef[static_cast<size_t>((idx & 7) * 8 + (idx >> 3))] = static_cast<float>(static_cast<int>(rng() % 41) - 20);
        mask |= 1u << (idx >> 3);
        colMask |= 1u << (idx & 7);
    }
}

void BM_Idct88(benchmark::State& state)
{
    InitCodecTables();
    detail::initDecoderTables();
    std::vector<float> coef;
    unsigned mask = 0, colMask = 0;
    coefficients(coef, mask, colMask, static_cast<int>(state.range(0)));
    uint8_t out[64];
    std::vector<float> work(64);
    const detail::DecoderKernels& k = detail::decoderKernels();
    for (auto _ : state) {
        work = coef; // the transform clears its input
        k.idct88(work.data(), mask, colMask, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Idct88)->Arg(0)->Arg(6)->Arg(20);

void BM_Idct248(benchmark::State& state)
{
    InitCodecTables();
    detail::initDecoderTables();
    std::vector<float> coef;
    unsigned mask = 0, colMask = 0;
    coefficients(coef, mask, colMask, 10);
    mask = 0xff;
    uint8_t out[64];
    std::vector<float> work(64);
    const detail::DecoderKernels& k = detail::decoderKernels();
    for (auto _ : state) {
        work = coef;
        k.idct248(work.data(), mask, colMask, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Idct248);

void BM_StretchRow1080(benchmark::State& state)
{
    std::vector<uint8_t> src(2 * 1440, 77), dst(2 * 1920), line(2 * 1920);
    StretchJob job;
    job.code = static_cast<VideoFormat>(state.range(0));
    job.stretch = true;
    for (auto _ : state) {
        stretchRow(job, dst.data(), src.data(), line.data());
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(state.iterations() * 2 * 1920);
}
BENCHMARK(BM_StretchRow1080)->Arg(1)->Arg(3);

void BM_DecodeFrame(benchmark::State& state)
{
    InitCodecTables();
    const VideoFormat code = static_cast<VideoFormat>(state.range(0));
    DvDecoder decoder(DvDecoderSettings{static_cast<int>(state.range(1))});
    const auto frame = benchFrame(code);
    PictureBuffer picture;
    for (auto _ : state) {
        (void)decoder.decode(frame, code, picture);
        benchmark::DoNotOptimize(picture.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeFrame)->Args({10, 1})->Args({10, 2})->Args({8, 1})->Args({1, 1})->Args({1, 2})->Args({2, 1})
    ->Unit(benchmark::kMillisecond);

} // namespace
