// In-process speed of the AVC-Intra decoder: whole access units of class 100 1080i (CAVLC,
// 4:2:2) and class 50 1080i (CABAC, 4:2:0), with 1 and 2 slice threads. The streams are read
// from $VORN_BENCH_AVCI100 and $VORN_BENCH_AVCI50 (H.264 byte streams, e.g. made with the x264
// commands of bench/avci_decode.sh); without them the benchmarks are skipped.
#include "avci/AvcDecoder.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, size_t>> units;
};

Stream load(const char* var)
{
    Stream s;
    if (const char* path = std::getenv(var)) {
        std::ifstream in(path, std::ios::binary);
        s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        s.units = vorn::avci::splitAccessUnits(s.bytes.data(), s.bytes.size());
    }
    return s;
}

void decodeFrames(benchmark::State& state, const char* var, int format)
{
    static const Stream c100 = load("VORN_BENCH_AVCI100");
    static const Stream c50 = load("VORN_BENCH_AVCI50");
    const Stream& s = std::string(var) == "VORN_BENCH_AVCI100" ? c100 : c50;
    if (s.units.empty()) {
        state.SkipWithError((std::string("set ") + var + " to an AVC-Intra byte stream").c_str());
        return;
    }
    vorn::avci::AvcDecoder decoder(vorn::avci::AvcDecoderSettings{int(state.range(0))});
    std::vector<uint8_t> out(size_t(1920) * 1088 * 2 * 2);
    size_t i = 0;
    for (auto _ : state) {
        const auto& [off, size] = s.units[i++ % s.units.size()];
        if (!decoder.decode(s.bytes.data() + off, size, format, out.data(), out.size()).ok()) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations())); // frames
}

void Class100Cavlc1080i(benchmark::State& state) { decodeFrames(state, "VORN_BENCH_AVCI100", 38); }
void Class50Cabac1080i(benchmark::State& state) { decodeFrames(state, "VORN_BENCH_AVCI50", 32); }

BENCHMARK(Class100Cavlc1080i)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Class50Cabac1080i)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
