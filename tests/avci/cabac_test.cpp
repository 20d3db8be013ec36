// The CABAC engine (48-bit refills, packed context bytes, conditional moves, the decision
// that picks by its outcome) against the arithmetic decoding written out bit by bit: a 9-bit
// range and offset, renormalised one bit at a time, with the range and transition tables as
// transcribed.
#include "avci/Cabac.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace vorn::avci;

namespace {

struct ReferenceCabac {
    const std::vector<uint8_t>& data;
    size_t bitPos = 0;
    uint32_t range = 510;
    uint32_t offset = 0;

    explicit ReferenceCabac(const std::vector<uint8_t>& d) : data(d)
    {
        for (int i = 0; i < 9; ++i) offset = (offset << 1) | bit();
    }
    uint32_t bit()
    {
        const uint32_t b = bitPos / 8 < data.size() ? (data[bitPos / 8] >> (7 - bitPos % 8)) & 1u : 0u;
        ++bitPos;
        return b;
    }
    void renormalise()
    {
        while (range < 256) {
            range <<= 1;
            offset = (offset << 1) | bit();
        }
    }
    int decision(int& pState, int& mps)
    {
        const uint32_t lps = kCabacRangeTabLps[pState][(range >> 6) & 3];
        range -= lps;
        int bin;
        if (offset >= range) {
            bin = 1 - mps;
            offset -= range;
            range = lps;
            if (pState == 0) mps = 1 - mps;
            pState = kCabacTransIdxLps[pState];
        } else {
            bin = mps;
            pState = cabacTransIdxMps(uint8_t(pState));
        }
        renormalise();
        return bin;
    }
    int bypass()
    {
        offset = (offset << 1) | bit();
        if (offset >= range) {
            offset -= range;
            return 1;
        }
        return 0;
    }
    int terminate()
    {
        range -= 2;
        if (offset >= range) return 1;
        renormalise();
        return 0;
    }
};

} // namespace

// Random payloads and random runs of decisions (over a few contexts, so that states move far
// and both symbols turn up), bypass bins and terminate bins: every bin, every context state
// and the bit position agree with the reference.
TEST(AvcCabacEngine, BinsAndStatesMatchTheBitByBitDecoding)
{
    std::mt19937 rng(20260);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const size_t size = 64 + rng() % 512;
        std::vector<uint8_t> payload(size + kBitReaderPadding, 0);
        for (size_t i = 0; i < size; ++i) payload[i] = uint8_t(rng());
        payload[0] &= 0x7F; // the first 9 bits must stay below 510
        // Skewed payloads too, so that long runs of one symbol raise the states to the top.
        if (trial % 4 == 0)
            for (size_t i = 0; i < size; ++i) payload[i] &= uint8_t(rng() | rng());
        BitReader br(payload.data(), size);
        CabacDecoder engine;
        engine.start(&br);
        std::vector<uint8_t> data(payload.begin(), payload.begin() + long(size));
        ReferenceCabac ref(data);

        constexpr int kContexts = 4;
        int pState[kContexts], mps[kContexts];
        for (int c = 0; c < kContexts; ++c) {
            pState[c] = int(rng() % 63);
            mps[c] = int(rng() % 2);
            engine.contexts()[c] = uint8_t(pState[c] * 2 + mps[c]);
        }
        const size_t bins = size * 6;
        for (size_t n = 0; n < bins && ref.bitPos + 16 < size * 8; ++n) {
            const unsigned kind = rng() % 16;
            if (kind < 12) {
                const int c = int(kind % kContexts);
                const uint8_t before = engine.contexts()[c];
                const int expected = ref.decision(pState[c], mps[c]);
                if (kind < 6) {
                    ASSERT_EQ(engine.decision(c), expected) << "decision " << n;
                } else {
                    // The decision that also picks by its outcome (the 8x8 significance map's).
                    static const char kOnMps = 0, kOnLps = 0;
                    const char* pick = &kOnMps;
                    uint32_t pickState = 10, next = 0;
                    const int bin = engine.engine().decisionPick(uint32_t(before), next, pick, pickState, &kOnLps, 20u);
                    engine.contexts()[c] = uint8_t(next);
                    ASSERT_EQ(bin, expected) << "decision with a pick " << n;
                    const bool lps = bin != (before & 1);
                    ASSERT_EQ(pick, lps ? &kOnLps : &kOnMps) << "pick " << n;
                    ASSERT_EQ(pickState, lps ? 20u : 10u) << "pick " << n;
                }
                ASSERT_EQ(engine.contexts()[c], pState[c] * 2 + mps[c]) << "state after " << n;
            } else if (kind < 15) {
                ASSERT_EQ(engine.bypass(), ref.bypass()) << "bypass " << n;
            } else {
                const int expected = ref.terminate();
                ASSERT_EQ(engine.terminate(), expected) << "terminate " << n;
                if (expected) break; // the end of the slice data
            }
            // The engine has taken the same bits into its offset.
            ASSERT_EQ(engine.position(), ref.bitPos) << "position after " << n;
        }
    }
}
