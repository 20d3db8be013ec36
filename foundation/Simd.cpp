#include "foundation/Simd.h"

#include <cstdlib>
#include <cstring>

namespace vorn {

CpuFeatures simdFeatures()
{
    const CpuFeatures processor = processorFeatures();
    const char* text = std::getenv("VORN_SIMD");
    if (!text || !*text)
        return processor;
    for (int i = 0; i < kSimdLevelCount; ++i) {
        const auto level = static_cast<SimdLevel>(i);
        if (std::strcmp(text, simdLevelName(level)) == 0)
            return processor & simdLevelFeatures(level);
    }
    return processor;
}

SimdLevel simdLevel() { return highestSimdLevel(simdFeatures()); }

std::vector<SimdLevel> supportedSimdLevels()
{
    std::vector<SimdLevel> levels;
    const int highest = static_cast<int>(highestSimdLevel(processorFeatures()));
    for (int i = 0; i <= highest; ++i)
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
