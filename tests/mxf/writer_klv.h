// Test-side KLV walker for the op-atom files the writer produces.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorn::test::klv {

struct Packet {
    size_t offset = 0;       // of the key
    std::array<uint8_t, 16> key{};
    size_t lengthBytes = 0;  // bytes of the BER length field
    uint64_t length = 0;
    size_t valueOffset = 0;
};

inline uint64_t be(const uint8_t* p, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// Top-level packets; an essence element's value is skipped by its length.
inline std::vector<Packet> walk(const std::vector<uint8_t>& d)
{
    std::vector<Packet> out;
    size_t p = 0;
    while (p + 17 <= d.size()) {
        Packet k;
        k.offset = p;
        for (int i = 0; i < 16; ++i) k.key[i] = d[p + i];
        uint8_t b = d[p + 16];
        if (b < 0x80) {
            k.lengthBytes = 1;
            k.length = b;
        } else {
            size_t n = b & 0x7F;
            if (p + 17 + n > d.size()) break;
            k.lengthBytes = 1 + n;
            k.length = be(&d[p + 17], n);
        }
        k.valueOffset = p + 16 + k.lengthBytes;
        out.push_back(k);
        if (k.valueOffset + k.length > d.size()) break;
        p = size_t(k.valueOffset + k.length);
    }
    return out;
}

struct Item {
    uint16_t tag;
    std::vector<uint8_t> value;
};

// The local set items of a packet's value, in order.
inline std::vector<Item> items(const std::vector<uint8_t>& d, const Packet& k)
{
    std::vector<Item> out;
    size_t p = k.valueOffset, end = size_t(k.valueOffset + k.length);
    while (p + 4 <= end) {
        uint16_t tag = uint16_t(be(&d[p], 2));
        uint16_t len = uint16_t(be(&d[p + 2], 2));
        out.push_back({tag, std::vector<uint8_t>(d.begin() + std::ptrdiff_t(p + 4), d.begin() + std::ptrdiff_t(p + 4 + len))});
        p += 4 + len;
    }
    return out;
}

inline const Item* find(const std::vector<Item>& its, uint16_t tag)
{
    for (const auto& i : its)
        if (i.tag == tag) return &i;
    return nullptr;
}

inline uint64_t num(const std::vector<Item>& its, uint16_t tag)
{
    const Item* i = find(its, tag);
    return i ? be(i->value.data(), i->value.size()) : ~uint64_t(0);
}

inline std::vector<uint8_t> bytes(std::initializer_list<int> v)
{
    std::vector<uint8_t> out;
    for (int x : v) out.push_back(uint8_t(x));
    return out;
}

inline std::vector<uint8_t> setKey(uint8_t b14)
{
    return bytes({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, b14, 0x00});
}

inline bool keyIs(const Packet& k, const std::vector<uint8_t>& key)
{
    return std::vector<uint8_t>(k.key.begin(), k.key.end()) == key;
}

} // namespace vorn::test::klv
