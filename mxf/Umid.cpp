#include "mxf/Umid.h"

#include <chrono>
#include <random>

namespace vorn::mxf {

Umid makeBaseUmid()
{
    Umid u{};
    // Basic UMID label, length 13h, instance number 0.
    static const uint8_t label[12] = {0x06, 0x0A, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x05, 0x01, 0x01, 0x0D, 0x20};
    for (int i = 0; i < 12; ++i) u[i] = label[i];
    u[12] = 0x13;
    std::random_device rd;
    std::mt19937_64 gen((uint64_t(rd()) << 32) ^ rd() ^
                        uint64_t(std::chrono::system_clock::now().time_since_epoch().count()));
    for (int i = 16; i < 32; i += 8) {
        uint64_t v = gen();
        for (int k = 0; k < 8; ++k) u[i + k] = uint8_t(v >> (8 * k));
    }
    return u;
}

Umid videoFileUmid(const Umid& base)
{
    Umid u = base;
    u[10] = 0x06;
    u[23] = uint8_t(((base[23] + 1) & 0xFF) | 0xC0);
    return u;
}

Umid audioFileUmid(const Umid& base, int channel)
{
    Umid u = base;
    u[10] = 0x08;
    u[23] = uint8_t((((base[23] + channel) & 0xFF) + 1) | 0xC0);
    return u;
}

std::string umidToHex(const Umid& umid)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(64);
    for (uint8_t b : umid) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

bool umidFromHex(const std::string& text, Umid& out)
{
    if (text.size() != 64) return false;
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < 32; ++i) {
        int h = nib(text[2 * i]), l = nib(text[2 * i + 1]);
        if (h < 0 || l < 0) return false;
        out[i] = uint8_t(h * 16 + l);
    }
    return true;
}

} // namespace vorn::mxf
