#include "foundation/Cpu.h"

#ifdef __linux__
#include <sched.h>
#endif
#include <thread>

namespace vorn {

int affinityProcessorCount()
{
    int count = 0;
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int i = 0; i < 16; ++i)
            if (CPU_ISSET(i, &set))
                ++count;
    }
#endif
    if (count == 0) {
        unsigned hw = std::thread::hardware_concurrency();
        count = hw == 0 ? 1 : static_cast<int>(hw > 16 ? 16 : hw);
    }
    return count;
}

bool processorHasSse2()
{
#if defined(__x86_64__) || defined(__i386__)
    // The compiler's run-time support reads CPUID once at start-up, so the
    // codecs can ask before every frame.
    __builtin_cpu_init();
    return __builtin_cpu_supports("mmx") && __builtin_cpu_supports("sse") && __builtin_cpu_supports("sse2");
#else
    return true;
#endif
}

const char* cpuFeatureName(CpuFeature f)
{
    switch (f) {
    case CpuFeature::Sse2: return "sse2";
    case CpuFeature::Ssse3: return "ssse3";
    case CpuFeature::Sse41: return "sse4.1";
    case CpuFeature::Avx2: return "avx2";
    }
    return "?";
}

CpuFeatures processorFeatures()
{
    CpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2"))
        features = features | CpuFeatures{CpuFeature::Sse2};
    if (__builtin_cpu_supports("ssse3"))
        features = features | CpuFeatures{CpuFeature::Ssse3};
    if (__builtin_cpu_supports("sse4.1"))
        features = features | CpuFeatures{CpuFeature::Sse41};
    // Reported only when the system saves the 256-bit registers.
    if (__builtin_cpu_supports("avx2"))
        features = features | CpuFeatures{CpuFeature::Avx2};
#endif
    return features;
}

} // namespace vorn
