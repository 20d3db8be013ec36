// Processor facts the codecs need.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace vorn {

// Number of set bits among the low 16 bits of the process affinity mask (at least 1).
int affinityProcessorCount();

// True when the processor has MMX, SSE and SSE2 (always true off x86).
bool processorHasSse2();

// Instruction-set extensions SIMD kernels may use (x86).
enum class CpuFeature : uint32_t { Sse2 = 1u << 0, Ssse3 = 1u << 1, Sse41 = 1u << 2, Avx2 = 1u << 3 };
inline constexpr CpuFeature kCpuFeatures[] = {CpuFeature::Sse2, CpuFeature::Ssse3, CpuFeature::Sse41, CpuFeature::Avx2};

// A set of CpuFeature.
class CpuFeatures {
public:
    constexpr CpuFeatures() = default;
    constexpr CpuFeatures(std::initializer_list<CpuFeature> features)
    {
        for (CpuFeature f : features)
            bits_ |= static_cast<uint32_t>(f);
    }

    constexpr bool has(CpuFeature f) const { return (bits_ & static_cast<uint32_t>(f)) != 0; }
    constexpr bool hasAll(CpuFeatures other) const { return (bits_ & other.bits_) == other.bits_; }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr CpuFeatures without(CpuFeature f) const { return fromBits(bits_ & ~static_cast<uint32_t>(f)); }
    constexpr CpuFeatures operator&(CpuFeatures other) const { return fromBits(bits_ & other.bits_); }
    constexpr CpuFeatures operator|(CpuFeatures other) const { return fromBits(bits_ | other.bits_); }
    constexpr bool operator==(const CpuFeatures&) const = default;

private:
    static constexpr CpuFeatures fromBits(uint32_t bits)
    {
        CpuFeatures f;
        f.bits_ = bits;
        return f;
    }
    uint32_t bits_ = 0;
};

// "sse2", "ssse3", "sse4.1" or "avx2".
const char* cpuFeatureName(CpuFeature f);

// The extensions this processor has and its operating system enables (AVX2
// needs the system to save the 256-bit registers); none off x86.
CpuFeatures processorFeatures();

} // namespace vorn
