// Bit reader over a NAL unit payload with emulation prevention already removed.
// The buffer must carry at least kBitReaderPadding zero bytes after the payload, so the
// reader may look ahead without a bounds check; reading past the end is detected by
// overrun() (the position runs beyond the payload) and reported by the callers.
#pragma once

#include "foundation/ByteOrder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vorn::avci {

// A CAVLC residual block reads at most 950 bits (token, signs, 16 levels of up to 48 bits,
// total_zeros, 14 runs); its reads go unchecked from a start inside the payload, so the
// padding covers that plus one 8-byte load.
constexpr size_t kMaxCavlcBlockBits = 950;
constexpr size_t kBitReaderPadding = 256;
static_assert(kBitReaderPadding >= kMaxCavlcBlockBits / 8 + 1 + 8);

// A decoding error: bad syntax, a value out of range, missing data. Thrown inside the
// decoder and turned into a message and a failed result at its interface.
struct AvcError {
    std::string message;
};

[[noreturn]] inline void avcFail(const std::string& message) { throw AvcError{message}; }

class BitReader {
public:
    BitReader() = default;
    BitReader(const uint8_t* data, size_t size) : data_(data), sizeBits_(size * 8) {}

    // The next 32 bits, MSB first, without consuming them.
    uint32_t peek32() const
    {
        const size_t byte = pos_ >> 3;
        if (byte >= (sizeBits_ >> 3) + 8) return 0;
        return uint32_t((loadBigEndian64(data_ + byte) << (pos_ & 7)) >> 32);
    }
    void skip(unsigned n) { pos_ += n; }
    // n = 0..32
    uint32_t u(unsigned n)
    {
        if (n == 0) return 0;
        const uint32_t v = peek32() >> (32 - n);
        pos_ += n;
        return v;
    }
    bool flag() { return u(1) != 0; }
    uint32_t ue()
    {
        const uint32_t p = peek32();
        if (p == 0) {
            // 32 or more leading zeros: longer than any legal code.
            avcFail("Exp-Golomb code too long.");
        }
        const int lz = __builtin_clz(p);
        if (lz < 16) {
            pos_ += 2 * lz + 1;
            return (p >> (31 - 2 * lz)) - 1;
        }
        pos_ += lz;
        const uint32_t v = u(lz + 1);
        return v - 1;
    }
    int32_t se()
    {
        const uint32_t k = ue();
        return (k & 1) ? int32_t((k + 1) >> 1) : -int32_t(k >> 1);
    }
    // ue(v) with a range check.
    uint32_t ueMax(uint32_t maxValue, const char* what)
    {
        const uint32_t v = ue();
        if (v > maxValue) avcFail(std::string("Value out of range: ") + what + ".");
        return v;
    }
    int32_t seRange(int32_t lo, int32_t hi, const char* what)
    {
        const int32_t v = se();
        if (v < lo || v > hi) avcFail(std::string("Value out of range: ") + what + ".");
        return v;
    }

    size_t position() const { return pos_; }
    size_t sizeBits() const { return sizeBits_; }
    bool byteAligned() const { return (pos_ & 7) == 0; }
    void alignByte() { pos_ = (pos_ + 7) & ~size_t(7); }
    bool overrun() const { return pos_ > sizeBits_; }
    const uint8_t* data() const { return data_; }
    void setPosition(size_t bits) { pos_ = bits; }

    // True when more RBSP data follows before the rbsp_trailing_bits.
    bool moreRbspData()
    {
        if (pos_ >= sizeBits_) return false;
        if (stopBit_ == kUnknown) {
            // The last set bit of the payload is the rbsp_stop_one_bit.
            size_t i = sizeBits_ >> 3;
            while (i > 0 && data_[i - 1] == 0) --i;
            stopBit_ = i == 0 ? 0 : (i - 1) * 8 + size_t(7 - __builtin_ctz(data_[i - 1]));
        }
        return pos_ < stopBit_;
    }

private:
    const uint8_t* data_ = nullptr;
    size_t sizeBits_ = 0;
    size_t pos_ = 0;
    static constexpr size_t kUnknown = ~size_t(0);
    size_t stopBit_ = kUnknown;
};

} // namespace vorn::avci
