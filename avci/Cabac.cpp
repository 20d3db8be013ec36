#include "avci/Cabac.h"

namespace vorn::avci {

namespace {

CabacTables makeCabacTables()
{
    CabacTables t{};
    for (int s = 0; s < 128; ++s) {
        const int state = s >> 1, mps = s & 1;
        for (int q = 0; q < 4; ++q) {
            const int lps = kCabacRangeTabLps[state][q];
            int shift = 0;
            while ((lps << shift) < 256) ++shift;
            t.lpsRange[s][4 + q] = uint8_t(lps);
            t.lpsRenorm[s][q] = uint32_t(lps << shift) | uint32_t(shift) << 16;
        }
        t.next[s] = uint8_t(cabacTransIdxMps(uint8_t(state)) * 2 + mps);
        // After an LPS in state 0 the most probable symbol changes.
        const int lpsMps = state == 0 ? 1 - mps : mps;
        t.next[128 + s] = uint8_t(kCabacTransIdxLps[state] * 2 + lpsMps);
    }
    // A bin of 0 is the LPS when the MPS is 1.
    for (int s = 0; s < 128; ++s) t.nextOnZero[s] = t.next[s + 128 * (s & 1)];
    for (int s = 0; s < 256; ++s) t.next32[s] = t.next[s];
    for (int r = 0; r < 512; ++r) {
        int shift = 0;
        while (r != 0 && (r << shift) < 256) ++shift;
        t.normShift[r] = uint8_t(shift);
    }
    return t;
}

} // namespace

const CabacTables kCabacTables = makeCabacTables();

} // namespace vorn::avci
