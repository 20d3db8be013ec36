// CABAC arithmetic decoding engine (binary decisions, bypass and terminate bins) over a
// BitReader, with the context variables of one slice.
//
// A context variable is one byte, pStateIdx * 2 + valMPS, so that a decision needs one
// table for the LPS range and one for the next state. The offset is kept together with the
// bits read ahead of it: value = codIOffset * 2^bits + (the next `bits` bits), so that
// renormalisation only lowers `bits`; 48 bits are read at a time.
#pragma once

#include "avci/AvcTables.h"
#include "avci/Bitstream.h"
#include "foundation/ByteOrder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorn::avci {

// Tables of the engine, indexed by the context byte.
struct CabacTables {
    uint8_t lpsRange[128][8]; // rangeTabLPS[pStateIdx][qCodIRangeIdx] at [byte][codIRange >> 6]
    uint8_t next[256];        // next context byte: [context byte + 128 * (bin was the LPS)]
    uint8_t normShift[512];   // renormalisation shift of a codIRange below 512
    uint8_t nextOnZero[128];  // next context byte after a bin of 0 (the LPS when the MPS is 1)
    uint32_t next32[256];     // next, a word an entry (the operand of a conditional move)
    // The LPS range renormalised, with its shift above bit 16: [byte][(codIRange >> 6) - 4].
    uint32_t lpsRenorm[128][4];
};
extern const CabacTables kCabacTables;

// The arithmetic decoder's registers. Copied into a local variable around long runs of bins
// so that the compiler keeps them in registers.
struct CabacEngine {
    // The next byte to read is end[left]: left counts up from -(payload bytes) and is
    // negative while payload remains, so that a refill needs two registers (end, left).
    const uint8_t* end = nullptr;
    ptrdiff_t left = 0;
    size_t size = 0;   // bytes of payload
    uint64_t value = 0;
    int bits = 0;      // bits read ahead of the offset (7..54 between bins)
    uint32_t range = 510;

    // Six more bytes of the payload (zeros past its end). Refilled below 7 bits (a bin
    // shifts out at most 6), bits stays below 7 + 48 and value below 2^(9 + 54).
    static constexpr int kMinBits = 7;
    __attribute__((always_inline)) void refill()
    {
        // The payload carries zero padding, so the bytes after the first may lie past its end.
        uint64_t v = 0;
        if (left < 0) {
            v = loadBigEndian64(end + left) >> 16;
        }
        left += 6;
        value = (value << 48) | v;
        bits += 48;
    }

    __attribute__((always_inline)) int decision(uint8_t& state)
    {
        uint32_t next;
        const int bin = decision(state, next);
        state = uint8_t(next);
        return bin;
    }
    // A decision on the context byte s, giving its next value in next (for loops that keep
    // context bytes in registers).
    __attribute__((always_inline)) int decision(uint32_t s, uint32_t& nextState)
    {
        const uint32_t lps = kCabacTables.lpsRange[s][range >> 6]; // codIRange is 256..510
        uint32_t mpsRange = range - lps;
        const uint64_t scaled = uint64_t(mpsRange) << bits;
        // No branch on the outcome: it is as unpredictable as the data.
        uint32_t isLps;
#if defined(__x86_64__) && defined(__GNUC__)
        // Conditional moves (the compiler makes masks of several instructions, or a branch).
        // The next state after either symbol is loaded before the comparison picks one.
        uint32_t next = kCabacTables.next[s];
        const uint64_t lpsValue = value - scaled;
        bool lpsTaken;
        asm("cmpq %[scaled], %[v]\n\t"
            "cmovaeq %[lpsValue], %[v]\n\t"
            "cmovael %[lps], %[r]\n\t"
            "cmovael %[lpsNext], %[next]"
            : [v] "+r"(value), [r] "+r"(mpsRange), [next] "+r"(next), "=@ccae"(lpsTaken)
            : [scaled] "r"(scaled), [lpsValue] "r"(lpsValue), [lps] "r"(lps),
              [lpsNext] "r"(uint32_t(kCabacTables.next[128 + s]))
            : "cc");
        range = mpsRange; // the LPS range when the bin was the LPS
        nextState = next;
        isLps = lpsTaken ? 1u : 0u;
#else
        isLps = value >= scaled ? 1u : 0u;
        const uint64_t mask = uint64_t(0) - isLps;
        value -= scaled & mask;
        range = mpsRange ^ ((mpsRange ^ lps) & uint32_t(mask));
        nextState = kCabacTables.next[s + (isLps << 7)];
#endif
        const int shift = kCabacTables.normShift[range];
        range <<= shift;
        bits -= shift;
        if (bits < kMinBits) refill();
        return int((s & 1) ^ isLps);
    }
    // decision(s, nextState) that also picks what follows by the outcome: on return (pick,
    // pickState) hold what they held when the bin was the MPS, (onLps, onLpsState) when it was
    // the LPS. The pick, the next state and both renormalisations (the LPS range's from a
    // table, the MPS range of 128..508 by at most one place) are conditional moves on the
    // comparison itself, so that the next bin's lookups wait on nothing else.
    template <class T>
    __attribute__((always_inline)) int decisionPick(uint32_t s, uint32_t& nextState, T& pick, uint32_t& pickState,
                                                    T onLps, uint32_t onLpsState)
    {
        static_assert(sizeof(T) == 8, "a pointer or another 64-bit value");
        const uint32_t q = range >> 6; // codIRange is 256..510
        const uint32_t lps = kCabacTables.lpsRange[s][q];
        const uint32_t mpsRange = range - lps;
        const uint64_t scaled = uint64_t(mpsRange) << bits;
        const uint32_t mpsShift = mpsRange < 256 ? 1u : 0u;
#if defined(__x86_64__) && defined(__GNUC__)
        uint32_t renorm = (mpsRange << mpsShift) | (mpsShift << 16);
        uint32_t next = kCabacTables.next32[s];
        uint64_t lpsValue;
        bool lpsTaken;
        asm("movq %[v], %[lpsValue]\n\t"
            "subq %[scaled], %[lpsValue]\n\t"
            "cmovaeq %[lpsValue], %[v]\n\t"
            "cmovael %[lpsRenorm], %[renorm]\n\t"
            "cmovaeq %[onLps], %[pick]\n\t"
            "cmovael %[onLpsState], %[pickState]\n\t"
            "cmovael %[lpsNext], %[next]"
            : [v] "+r"(value), [renorm] "+r"(renorm), [pick] "+r"(pick), [pickState] "+r"(pickState),
              [next] "+r"(next), [lpsValue] "=&r"(lpsValue), "=@ccae"(lpsTaken)
            : [scaled] "r"(scaled), [lpsRenorm] "m"(kCabacTables.lpsRenorm[s][q - 4]), [onLps] "rm"(onLps),
              [onLpsState] "rm"(onLpsState), [lpsNext] "m"(kCabacTables.next32[128 + s])
            : "cc");
        range = renorm & 0xFFFF;
        bits -= int(renorm >> 16);
        nextState = next;
        const uint32_t isLps = lpsTaken ? 1u : 0u;
#else
        const uint32_t isLps = value >= scaled ? 1u : 0u;
        nextState = kCabacTables.next[s + (isLps << 7)];
        const uint32_t renorm = isLps ? kCabacTables.lpsRenorm[s][q - 4] : (mpsRange << mpsShift) | (mpsShift << 16);
        if (isLps) {
            value -= scaled;
            pick = onLps;
            pickState = onLpsState;
        }
        range = renorm & 0xFFFF;
        bits -= int(renorm >> 16);
#endif
        if (bits < kMinBits) refill();
        return int((s & 1) ^ isLps);
    }
    __attribute__((always_inline)) int bypass()
    {
        --bits;
        const uint64_t scaled = uint64_t(range) << bits;
#if defined(__x86_64__) && defined(__GNUC__)
        uint64_t v = value;
        bool one;
        asm("cmpq %[scaled], %[v]\n\t"
            "cmovaeq %[lower], %[v]"
            : [v] "+r"(v), "=@ccae"(one)
            : [scaled] "r"(scaled), [lower] "r"(value - scaled)
            : "cc");
        value = v;
#else
        const int one = value >= scaled ? 1 : 0;
        value -= scaled & (uint64_t(0) - uint64_t(one));
#endif
        if (bits < kMinBits) refill();
        return one ? 1 : 0;
    }
    int terminate()
    {
        range -= 2;
        const uint64_t scaled = uint64_t(range) << bits;
        if (value >= scaled) return 1;
        const int shift = kCabacTables.normShift[range];
        range <<= shift;
        bits -= shift;
        if (bits < kMinBits) refill();
        return 0;
    }
    // Bit position in the slice data of the next bit not yet taken into the offset.
    size_t position() const { return (size + size_t(left)) * 8 - size_t(bits); }
};

class CabacDecoder {
public:
    // Initialises the context variables of an I slice for SliceQPY (ctxIdx 0..459).
    void initContexts(int sliceQpY)
    {
        for (int i = 0; i < kNumContexts; ++i) {
            uint8_t state, mps;
            cabacInitContext(kCabacInitI[i][0], kCabacInitI[i][1], sliceQpY, state, mps);
            ctx_[i] = uint8_t(state * 2 + mps);
        }
        ctx_[kCabacEndOfSliceCtx] = 63 * 2;
    }
    // Starts the arithmetic decoder at the reader's (byte-aligned) position.
    void start(BitReader* br)
    {
        br_ = br;
        e_.size = br->sizeBits() >> 3;
        e_.end = br->data() + e_.size;
        e_.left = ptrdiff_t(br->position() >> 3) - ptrdiff_t(e_.size);
        e_.value = 0;
        e_.bits = -9; // the first 9 bits are the offset
        e_.range = 510;
        while (e_.bits < CabacEngine::kMinBits) e_.refill();
        if ((e_.value >> e_.bits) >= 510) avcFail("Invalid CABAC data.");
    }
    int decision(int ctxIdx) { return e_.decision(ctx_[ctxIdx]); }
    int bypass() { return e_.bypass(); }
    int terminate() { return e_.terminate(); }
    size_t position() const { return e_.position(); }
    // True when decoding has read beyond the end of the slice data.
    bool overrun() const { return position() > br_->sizeBits(); }

    // The context variables and the engine, for loops that run the engine from a local copy.
    uint8_t* contexts() { return ctx_; }
    CabacEngine& engine() { return e_; }

    static constexpr int kNumContexts = 460;

private:
    uint8_t ctx_[kNumContexts];
    CabacEngine e_;
    BitReader* br_ = nullptr;
};

} // namespace vorn::avci
