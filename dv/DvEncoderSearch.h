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

// DVCPRO HD (QNO 1 is the finest step, 15 the coarsest). `qno` holds the
// carried state on entry (values up to 16; used limited to 15) and the result
// on exit. Below the budget, the macroblock with the most bits is made finer by
// two steps (one when it reaches 1); at or above the budget, macroblocks are
// made coarser two at a time in round-robin order from macroblock 0 until the
// total is at most the budget or all five are at 15. Returns the final total.
template <class BitsFn>
int searchHdQnos(BitsFn&& bits, int budget, int qno[5])
{
    auto used = [&](int m) { return std::clamp(qno[m], 1, 15); };
    int mbBits[5];
    int total = 0;
    for (int m = 0; m < 5; ++m) {
        qno[m] = std::clamp(qno[m], 1, 16);
        mbBits[m] = bits(m, used(m));
        total += mbBits[m];
    }
    auto recompute = [&](int m) {
        total -= mbBits[m];
        mbBits[m] = bits(m, used(m));
        total += mbBits[m];
    };
    // Phase A: spend unused bits on the busiest macroblock.
    while (total < budget) {
        int worst = 0;
        for (int m = 1; m < 5; ++m)
            if (mbBits[m] > mbBits[worst])
                worst = m;
        if (qno[worst] <= 1)
            return total;
        qno[worst] = std::min(qno[worst], 15) - 1;
        bool reachedFinest = qno[worst] <= 1;
        if (!reachedFinest)
            --qno[worst];
        recompute(worst);
        // A step that overshoots the budget is taken back by phase B below.
        if (reachedFinest && total < budget)
            return total;
    }
    // Phase B: coarser, two macroblocks at a time. Macroblocks already at the
    // coarsest step are passed over (stopping at the first of them would
    // leave the segment over its budget while others could still give way);
    // the search ends when all five are there.
    int next = 0;
    for (;;) {
        for (int k = 0; k < 2; ++k) {
            int tries = 0;
            while (qno[next] >= 15 && tries < 5) {
                next = (next + 1) % 5;
                ++tries;
            }
            if (tries == 5)
                return total;
            const int m = next;
            next = (next + 1) % 5;
            ++qno[m];
            recompute(m);
        }
        if (total <= budget)
            return total;
    }
}

} // namespace vorn::dv::enc
