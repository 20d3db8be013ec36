// Quantiser searches of the two DV encoder engines over the five macroblocks
// of a video segment. `bits(mb, qno)` returns the AC code bits (with the
// end-of-block codes) of macroblock mb at that QNO.
#pragma once

#include <algorithm>

namespace vorn::dv::enc {

// 25/50 Mb/s: all QNOs start at 15 (the finest). When the total reaches the
// budget, the QNO of the finest macroblock (among equals the one with the
// most bits, the first among equal counts) is lowered by one until the total
// is at most the budget or that macroblock is already at 0. Returns the final
// total.
template <class BitsFn>
int searchSdQnos(BitsFn&& bits, int budget, int qno[5])
{
    int mbBits[5];
    int total = 0;
    for (int m = 0; m < 5; ++m) {
        qno[m] = 15;
        mbBits[m] = bits(m, 15);
        total += mbBits[m];
    }
    if (total < budget)
        return total;
    for (;;) {
        // The finest macroblock first, so that the five end with equal steps
        // (least error for the bits); among equals the one with most bits.
        int worst = 0;
        for (int m = 1; m < 5; ++m)
            if (qno[m] > qno[worst] || (qno[m] == qno[worst] && mbBits[m] > mbBits[worst]))
                worst = m;
        if (qno[worst] == 0)
            return total;
        --qno[worst];
        total -= mbBits[worst];
        mbBits[worst] = bits(worst, qno[worst]);
        total += mbBits[worst];
        if (total <= budget)
            break;
    }
    return total;
}

// DVCPRO HD (QNO 1 is the finest step, 15 the coarsest). The search walks a
// ladder: rung k (0..70) is all five QNOs at 1 raised k times in round-robin
// order from macroblock 0 (macroblock m at min(15, 1 + (k + 4 - m) / 5)), so
// the five stay within one step of each other. The result is the first even
// rung whose total is at most the budget, or rung 70 (all at 15) when none
// is. `qno` holds a seed on entry, such as the previous frame's result for
// the same segment: the walk starts at the rung nearest below it and moves
// down while the rung below still fits, or up until one fits. As the bits
// fall when the QNOs rise, the result is the same from any seed, so every
// frame gets the quality of its own search; the seed only saves steps.
// Returns the final total; `qno` holds the result on exit.
inline constexpr int kHdLadderTop = 70;

inline int hdLadderQno(int rung, int mb) { return std::min(15, 1 + (rung + 4 - mb) / 5); }

template <class BitsFn>
int searchHdQnos(BitsFn&& bits, int budget, int qno[5])
{
    auto total = [&](int rung) {
        int sum = 0;
        for (int m = 0; m < 5; ++m)
            sum += bits(m, hdLadderQno(rung, m));
        return sum;
    };
    int seed = 0;
    for (int m = 0; m < 5; ++m)
        seed += std::clamp(qno[m], 1, 15) - 1;
    int rung = std::clamp(seed & ~1, 0, kHdLadderTop);
    int bitsAt = total(rung);
    if (bitsAt <= budget) {
        while (rung >= 2) {
            const int below = total(rung - 2);
            if (below > budget)
                break;
            rung -= 2;
            bitsAt = below;
        }
    } else {
        while (rung < kHdLadderTop && bitsAt > budget) {
            rung += 2;
            bitsAt = total(rung);
        }
    }
    for (int m = 0; m < 5; ++m)
        qno[m] = hdLadderQno(rung, m);
    return bitsAt;
}

} // namespace vorn::dv::enc
