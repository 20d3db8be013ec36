// Test-only H.264 bit writing and reading.
#include "RbspWriter.h"

#include <utility>

namespace vorn::test {

void RbspWriter::bit(uint32_t b)
{
    if (pos_ % 8 == 0) bytes_.push_back(0);
    if (b & 1u) bytes_.back() |= uint8_t(0x80 >> (pos_ % 8));
    ++pos_;
}

void RbspWriter::u(int count, uint32_t value)
{
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1u);
}

void RbspWriter::ue(uint32_t value)
{
    const uint32_t x = value + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    u(len, 0);
    u(len + 1, x);
}

void RbspWriter::se(int32_t value) { ue(value > 0 ? uint32_t(2 * value - 1) : uint32_t(-2 * value)); }

void RbspWriter::align(uint32_t b)
{
    while (!aligned()) bit(b);
}

void RbspWriter::trailing()
{
    bit(1);
    align(0);
}

uint32_t RbspReader::u(int count)
{
    uint32_t v = 0;
    for (int i = 0; i < count; ++i, ++pos_) {
        const uint32_t b = pos_ / 8 < bytes_.size() ? (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u : 0;
        v = (v << 1) | b;
    }
    return v;
}

uint32_t RbspReader::ue()
{
    int zeros = 0;
    while (u(1) == 0 && zeros < 32) ++zeros;
    return (1u << zeros) - 1 + u(zeros);
}

void RbspReader::copyRest(RbspWriter& out)
{
    while (pos_ < sizeBits()) out.bit(u(1));
}

void appendNal(std::vector<uint8_t>& out, uint8_t header, const std::vector<uint8_t>& rbsp)
{
    out.insert(out.end(), {0, 0, 0, 1, header});
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
}

std::vector<uint8_t> rbspOf(const uint8_t* payload, size_t size)
{
    std::vector<uint8_t> out;
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && payload[i] == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(payload[i]);
        zeros = payload[i] == 0 ? zeros + 1 : 0;
    }
    return out;
}

} // namespace vorn::test
