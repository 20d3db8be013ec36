// Run-time choice of SIMD kernels, one way for every kernel family.
//
// A family is a table of function pointers (PictureKernels, DecoderKernels,
// ...). Its plain table holds the C++ reference of every entry. Faster
// variants live in one source file per instruction set, named after it
// (FooSse2.cpp, FooSse41.cpp, FooAvx2.cpp) and compiled with that set's flags
// on x86 only (CMakeLists.txt); each such file defines a SimdRung: its level
// and a table holding its own variants, every other entry null. The family's
// init function climbs the one ladder below from the plain table up, rung by
// rung, while the features allow, so no entry ever needs a feature the given
// set lacks. One binary runs everywhere, and tests compare every variant this
// processor runs with the reference.
//
// Rules for the per-instruction-set files: everything but the rung object has
// internal linkage, nothing there is initialised at run time (the rung and
// any tables are constant-initialised), and no inline function or template of
// a shared header is used (an out-of-line copy compiled for AVX2 could be the
// one the linker keeps for everyone).
#pragma once

#include "foundation/Cpu.h"

#include <array>
#include <cstddef>
#include <span>
#include <tuple>
#include <vector>

namespace vorn {

// The rungs of the ladder, lowest first; a rung's code may use the features
// of every rung below it.
enum class SimdLevel : int { Plain = 0, Sse2 = 1, Sse41 = 2, Avx2 = 3 };
inline constexpr int kSimdLevelCount = 4;

// The features the code of a rung is compiled for: Sse2 needs SSE2; Sse41
// needs SSSE3 and SSE4.1 too; Avx2 needs all of them and AVX2.
constexpr CpuFeatures simdLevelFeatures(SimdLevel level)
{
    switch (level) {
    case SimdLevel::Plain: return {};
    case SimdLevel::Sse2: return {CpuFeature::Sse2};
    case SimdLevel::Sse41: return {CpuFeature::Sse2, CpuFeature::Ssse3, CpuFeature::Sse41};
    case SimdLevel::Avx2: return {CpuFeature::Sse2, CpuFeature::Ssse3, CpuFeature::Sse41, CpuFeature::Avx2};
    }
    return {};
}

// The highest rung whose features are all in `features`.
constexpr SimdLevel highestSimdLevel(CpuFeatures features)
{
    SimdLevel best = SimdLevel::Plain;
    for (int i = 1; i < kSimdLevelCount; ++i) {
        if (!features.hasAll(simdLevelFeatures(static_cast<SimdLevel>(i))))
            break;
        best = static_cast<SimdLevel>(i);
    }
    return best;
}

constexpr CpuFeatures cpuFeaturesOf(bool sse2, bool ssse3, bool sse41, bool avx2)
{
    CpuFeatures f;
    f = sse2 ? f | CpuFeatures{CpuFeature::Sse2} : f;
    f = ssse3 ? f | CpuFeatures{CpuFeature::Ssse3} : f;
    f = sse41 ? f | CpuFeatures{CpuFeature::Sse41} : f;
    f = avx2 ? f | CpuFeatures{CpuFeature::Avx2} : f;
    return f;
}

// The features the compile flags of the file being compiled let the compiler
// use. A rung's file records it in its SimdRung, so tests can check that the
// flags match the rung.
#ifdef __SSE2__
#define VORN_SIMD_SSE2_ true
#else
#define VORN_SIMD_SSE2_ false
#endif
#ifdef __SSSE3__
#define VORN_SIMD_SSSE3_ true
#else
#define VORN_SIMD_SSSE3_ false
#endif
#ifdef __SSE4_1__
#define VORN_SIMD_SSE41_ true
#else
#define VORN_SIMD_SSE41_ false
#endif
#ifdef __AVX2__
#define VORN_SIMD_AVX2_ true
#else
#define VORN_SIMD_AVX2_ false
#endif
#define VORN_COMPILED_CPU_FEATURES                                                                                   \
    ::vorn::cpuFeaturesOf(VORN_SIMD_SSE2_, VORN_SIMD_SSSE3_, VORN_SIMD_SSE41_, VORN_SIMD_AVX2_)

// The features this run's kernels use: the processor's, lowered by the
// environment variable VORN_SIMD ("plain", "sse2", "sse41", "avx2") when it
// names a rung, so a run can be forced onto a slower path for comparisons.
CpuFeatures simdFeatures();

// highestSimdLevel(simdFeatures()).
SimdLevel simdLevel();

// The levels this processor can run, from Plain up to its highest (ignoring
// VORN_SIMD): the variants a test must compare.
std::vector<SimdLevel> supportedSimdLevels();

// "plain", "sse2", "sse41" or "avx2".
const char* simdLevelName(SimdLevel level);

// One rung of a kernel family: its level, the features its file was compiled
// for (VORN_COMPILED_CPU_FEATURES) and its own variants (other entries null).
template <class Table>
struct SimdRung {
    SimdLevel level;
    CpuFeatures compiledFor;
    Table variants;
};

// The family's table for `features`: `plain` with the variants of each rung
// laid over it in order, stopping at the first rung whose features are not
// all in `features`. `entries` is a tuple of the table's members.
template <class Table, class Entries>
Table climbSimdLadder(const Table& plain, std::span<const SimdRung<Table>* const> rungs, const Entries& entries,
                      CpuFeatures features)
{
    Table table = plain;
    for (const SimdRung<Table>* rung : rungs) {
        if (!features.hasAll(simdLevelFeatures(rung->level)))
            break;
        std::apply(
            [&](auto... member) {
                ((rung->variants.*member ? void(table.*member = rung->variants.*member) : void()), ...);
            },
            entries);
    }
    return table;
}

// A family's table of every level, limited to the features of the processor,
// and the one of this run, built once and never changed. The families pass
// processorFeatures() and simdFeatures(); tests pass others.
template <class Table>
class SimdTables {
public:
    SimdTables(Table (*init)(CpuFeatures), CpuFeatures processor, CpuFeatures run)
    {
        for (int i = 0; i < kSimdLevelCount; ++i)
            byLevel_[static_cast<size_t>(i)] = init(simdLevelFeatures(static_cast<SimdLevel>(i)) & processor);
        run_ = init(run & processor);
    }
    // A level above the processor's gives the processor's highest.
    const Table& level(SimdLevel level) const
    {
        int i = static_cast<int>(level);
        i = i < 0 ? 0 : (i >= kSimdLevelCount ? kSimdLevelCount - 1 : i);
        return byLevel_[static_cast<size_t>(i)];
    }
    const Table& run() const { return run_; }

private:
    std::array<Table, kSimdLevelCount> byLevel_{};
    Table run_{};
};

} // namespace vorn
