#include "foundation/Cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
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
    // Asked once: the codecs check before every frame, and CPUID is a slow
    // instruction under a hypervisor (several microseconds).
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d))
            return false;
        const unsigned mmx = 1u << 23, sse = 1u << 25, sse2 = 1u << 26;
        return (d & (mmx | sse | sse2)) == (mmx | sse | sse2);
    }();
    return has;
#else
    return true;
#endif
}

} // namespace vorn
