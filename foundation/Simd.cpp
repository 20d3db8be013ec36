#include "foundation/Simd.h"

#include <cstdlib>
#include <cstring>

namespace vorn {
namespace {

SimdLevel hardwareLevel()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return SimdLevel::Avx2;
    if (__builtin_cpu_supports("sse4.1"))
        return SimdLevel::Sse41;
    if (__builtin_cpu_supports("sse2"))
        return SimdLevel::Sse2;
#endif
    return SimdLevel::Plain;
}

SimdLevel levelFromEnvironment(SimdLevel hardware)
{
    const char* text = std::getenv("VORN_SIMD");
    if (!text || !*text)
        return hardware;
    for (int i = 0; i <= static_cast<int>(hardware); ++i) {
        auto level = static_cast<SimdLevel>(i);
        if (std::strcmp(text, simdLevelName(level)) == 0)
            return level;
    }
    return hardware;
}

} // namespace

SimdLevel simdLevel()
{
    static const SimdLevel level = levelFromEnvironment(hardwareLevel());
    return level;
}

std::vector<SimdLevel> supportedSimdLevels()
{
    std::vector<SimdLevel> levels;
    for (int i = 0; i <= static_cast<int>(hardwareLevel()); ++i)
        levels.push_back(static_cast<SimdLevel>(i));
    return levels;
}

const char* simdLevelName(SimdLevel level)
{
    switch (level) {
    case SimdLevel::Plain: return "plain";
    case SimdLevel::Sse2: return "sse2";
    case SimdLevel::Sse41: return "sse41";
    case SimdLevel::Avx2: return "avx2";
    }
    return "plain";
}

} // namespace vorn
