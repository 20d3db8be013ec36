// Test-only H.264 bit writing and reading: RBSP bits with Exp-Golomb codes, and NAL units
// with their start code and emulation prevention bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::test {

// Writes bits most significant first; the last byte is padded with zero bits.
class RbspWriter {
public:
    void bit(uint32_t b);
    void u(int count, uint32_t value); // the low `count` bits of value
    void ue(uint32_t value);
    void se(int32_t value);
    // Pads to the next byte boundary with copies of `b`.
    void align(uint32_t b);
    // rbsp_trailing_bits: the stop bit, then zero bits to the byte boundary.
    void trailing();
    bool aligned() const { return pos_ % 8 == 0; }
    size_t position() const { return pos_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

// Reads bits most significant first; past the end it reads zeros.
class RbspReader {
public:
    explicit RbspReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint32_t u(int count);
    uint32_t ue();
    size_t position() const { return pos_; }
    size_t sizeBits() const { return bytes_.size() * 8; }
    // Copies every bit left (the stop bit and the padding included) to `out`.
    void copyRest(RbspWriter& out);

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

// Appends a NAL unit: a 4-byte start code, the header byte, then the RBSP with an
// emulation prevention byte wherever two zero bytes would be followed by a byte below 4.
void appendNal(std::vector<uint8_t>& out, uint8_t header, const std::vector<uint8_t>& rbsp);

// The RBSP of a NAL unit payload (after its header byte): emulation prevention bytes removed.
std::vector<uint8_t> rbspOf(const uint8_t* payload, size_t size);

} // namespace vorn::test
