// Run-time choice of SIMD kernels. Every kernel family keeps a plain C++
// reference; faster variants are compiled with per-function target attributes
// and chosen from the processor's features when the program runs, so one
// binary runs everywhere and tests can compare every variant with the
// reference on this machine.
#pragma once

#include <vector>

namespace vorn {

// Instruction-set levels in increasing order; a level implies those below it.
enum class SimdLevel : int { Plain = 0, Sse2 = 1, Sse41 = 2, Avx2 = 3 };

// The highest level the processor supports (Plain off x86-64), lowered by the
// environment variable VORN_SIMD ("plain", "sse2", "sse41", "avx2") when set,
// so a run can be forced onto a slower path for comparisons. Read once.
SimdLevel simdLevel();

// The levels this processor can run, from Plain up to simdLevel()'s hardware
// maximum (ignoring VORN_SIMD): the variants a test must compare.
std::vector<SimdLevel> supportedSimdLevels();

// "plain", "sse2", "sse41" or "avx2".
const char* simdLevelName(SimdLevel level);

} // namespace vorn
