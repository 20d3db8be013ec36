// Big-endian loads and stores of unaligned bytes, as the codecs' bit readers
// and writers use them: one move and, on little-endian hosts, one byte swap.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vorn {

inline uint64_t loadBigEndian64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

inline uint32_t loadBigEndian32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap32(v);
    return v;
}

inline void storeBigEndian64(uint8_t* p, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

} // namespace vorn
