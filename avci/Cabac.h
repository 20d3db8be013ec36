// CABAC arithmetic decoding engine (binary decisions, bypass and terminate bins) over a
// BitReader, with the context variables of one slice.
#pragma once

#include "avci/AvcTables.h"
#include "avci/Bitstream.h"

#include <cstdint>

namespace vorn::avci {

struct CabacContext {
    uint8_t state;
    uint8_t mps;
};

class CabacDecoder {
public:
    // Initialises the context variables of an I slice for SliceQPY (ctxIdx 0..459).
    void initContexts(int sliceQpY)
    {
        for (int i = 0; i < kNumContexts; ++i) {
            cabacInitContext(kCabacInitI[i][0], kCabacInitI[i][1], sliceQpY, ctx_[i].state, ctx_[i].mps);
        }
        ctx_[kCabacEndOfSliceCtx].state = 63;
        ctx_[kCabacEndOfSliceCtx].mps = 0;
    }
    // Starts the arithmetic decoder at the reader's (byte-aligned) position.
    void start(BitReader* br)
    {
        br_ = br;
        data_ = br->data();
        pos_ = br->position() >> 3;
        size_ = br->sizeBits() >> 3;
        cache_ = 0;
        bits_ = 0;
        range_ = 510;
        offset_ = read(9);
        if (offset_ >= 510) avcFail("Invalid CABAC data.");
    }
    int decision(int ctxIdx)
    {
        CabacContext& c = ctx_[ctxIdx];
        const uint32_t lps = kCabacRangeTabLps[c.state][(range_ >> 6) & 3];
        range_ -= lps;
        int bin;
        if (offset_ >= range_) {
            bin = !c.mps;
            offset_ -= range_;
            range_ = lps;
            if (c.state == 0) c.mps = uint8_t(1 - c.mps);
            c.state = kCabacTransIdxLps[c.state];
        } else {
            bin = c.mps;
            c.state = cabacTransIdxMps(c.state);
        }
        if (range_ < 256) {
            const int shift = __builtin_clz(range_) - 23;
            range_ <<= shift;
            offset_ = (offset_ << shift) | read(shift);
        }
        return bin;
    }
    int bypass()
    {
        offset_ = (offset_ << 1) | read(1);
        if (offset_ >= range_) {
            offset_ -= range_;
            return 1;
        }
        return 0;
    }
    int terminate()
    {
        range_ -= 2;
        if (offset_ >= range_) return 1;
        if (range_ < 256) {
            const int shift = __builtin_clz(range_) - 23;
            range_ <<= shift;
            offset_ = (offset_ << shift) | read(shift);
        }
        return 0;
    }
    // Bit position in the slice data of the next unread bit.
    size_t position() const { return pos_ * 8 - size_t(bits_); }
    // True when decoding has read beyond the end of the slice data.
    bool overrun() const { return position() > br_->sizeBits(); }

    static constexpr int kNumContexts = 460;

private:
    CabacContext ctx_[kNumContexts];
    // n = 1..9 bits, MSB first; zeros past the end of the data.
    uint32_t read(int n)
    {
        if (bits_ < n) {
            while (bits_ <= 56) {
                cache_ |= uint64_t(pos_ < size_ ? data_[pos_] : 0) << (56 - bits_);
                ++pos_;
                bits_ += 8;
            }
        }
        const uint32_t v = uint32_t(cache_ >> (64 - n));
        cache_ <<= n;
        bits_ -= n;
        return v;
    }

    BitReader* br_ = nullptr;
    const uint8_t* data_ = nullptr;
    size_t pos_ = 0;   // next byte to load into the cache
    size_t size_ = 0;
    uint64_t cache_ = 0;
    int bits_ = 0;
    uint32_t range_ = 510;
    uint32_t offset_ = 0;
};

} // namespace vorn::avci
