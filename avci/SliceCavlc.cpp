// The residual blocks of CAVLC slices.
#include "avci/SliceResidual.h"

#include "foundation/ByteOrder.h"

#include <algorithm>
#include <bit>

namespace vorn::avci {

// ---------------------------------------------------------------------------------------
// Residual data
// ---------------------------------------------------------------------------------------

namespace {
// nC from the counts of the blocks at the left (a) and above (b): their rounded mean when
// both are available, else the one that is, else 0.
inline int nCOf(int a, int b)
{
    const int sum = (a & 31) + (b & 31);
    return ((a | b) & SliceDecoder::kNzUnavailable) ? sum : (sum + 1) >> 1;
}
} // namespace

int SliceDecoder::nCLuma(int blkX, int blkY) const
{
    const int i = (blkY + 1) * 5 + blkX + 1;
    return nCOf(nzY_[i - 1], nzY_[i - 5]);
}

int SliceDecoder::nCChroma(int comp, int blkX, int blkY) const
{
    const int i = (blkY + 1) * 3 + blkX + 1;
    return nCOf(nzC_[comp][i - 1], nzC_[comp][i - 3]);
}

template <bool Scaled>
__attribute__((always_inline)) inline int SliceDecoder::cavlcBlock(size_t& position, int32_t* coef, int maxNumCoeff,
                                                                   int nC, const uint8_t* scan, const Dequant* dq,
                                                                   int& lastIdx)
{
    // The bits are read straight from the payload: a block starts inside it and reads at most
    // kMaxCavlcBlockBits, which the reader's zero padding covers, so no load needs a check.
    // They are held in a 64-bit cache (next bit in bit 63, `avail` of them valid) that is
    // shifted as codes are taken and reloaded from the payload only when it runs low.
    const BitReader& br = *br_;
    const uint8_t* const data = br.data();
    size_t pos = position;
    if (pos > br.sizeBits()) avcFail("Truncated slice data.");
    uint64_t w = 0;
    int avail = 0;
    auto reload = [&] {
        w = loadBigEndian64(data + (pos >> 3)) << (pos & 7);
        avail = 64 - int(pos & 7); // 57 or more
    };
    auto take = [&](int n) {
        w <<= n;
        avail -= n;
        pos += size_t(n);
    };
    reload();
    const VlcLookup& tokenCode = *coeffTokenForNc_[nC + 2];
    VlcLookup::Result tok = tokenCode.decodeShort(w);
    if (tok.length == 0) [[unlikely]] tok = tokenCode.decode64(w);
    if (tok.length == 0) avcFail("Invalid coeff_token.");
    const int total = tok.symbol >> 2;
    const int t1 = tok.symbol & 3;
    if (total > maxNumCoeff) avcFail("Invalid coeff_token.");
    if (total == 0) {
        position = pos + tok.length;
        return 0;
    }
    take(tok.length);
    // Trailing ones: one sign bit each, right after the token. Three are taken whatever
    // TrailingOnes is; the levels that follow overwrite the extra ones.
    int level[16];
    level[0] = 1 - 2 * int(w >> 63);
    level[1] = 1 - 2 * int((w >> 62) & 1);
    level[2] = 1 - 2 * int((w >> 61) & 1);
    take(t1);
    // Short level codes come from one lookup; the slot carries suffixLength and whether this
    // is the first level after fewer than three trailing ones (level_code 2 more).
    unsigned slot = ((total > 10 && t1 < 3) ? 1u : 0u) + (t1 < 3 ? 7u : 0u);
    const int levelLimit = 1 << (7 + pic_->bitDepth + 8);
    for (int i = t1; i < total; ++i) {
        // A level of prefix below 14 takes at most 20 bits; longer ones reload first.
        if (avail < 32) reload();
        const CavlcLevelCode code = kCavlcLevelCodes[(slot << kCavlcLevelBits) | unsigned(w >> (64 - kCavlcLevelBits))];
        if (code.length != 0) [[likely]] {
            level[i] = code.level;
            take(code.length);
            slot = code.next;
            continue;
        }
        int suffixLength = int(slot >= 7 ? slot - 7 : slot);
        int prefix = std::countl_zero(w | 1);
        int levelCode;
        int size;
        if (prefix < 14) {
            levelCode = prefix << suffixLength;
            size = suffixLength;
        } else {
            reload(); // a level takes at most 48 bits
            prefix = std::countl_zero(w | 1);
            if (prefix > 25) avcFail("Invalid level_prefix.");
            if (prefix == 14) {
                levelCode = 14 << suffixLength;
                size = suffixLength ? suffixLength : 4;
            } else {
                levelCode = (15 << suffixLength) + (suffixLength ? 0 : 15);
                size = prefix - 3;
                if (prefix >= 16) levelCode += (1 << (prefix - 3)) - 4096;
            }
        }
        take(prefix + 1);
        levelCode += int((w >> 1) >> (63 - size)); // size may be 0
        take(size);
        if (slot >= 7) levelCode += 2;
        // Even codes are positive levels, odd ones negative: magnitude (levelCode + 2) / 2
        // rounded down, sign from the low bit.
        const int odd = levelCode & 1;
        const int magnitude = (levelCode + 2 - odd) >> 1;
        if (magnitude > levelLimit) avcFail("Coefficient level out of range.");
        level[i] = (magnitude ^ -odd) + odd;
        slot = unsigned(nextLevelSuffixLength(suffixLength, magnitude));
    }
    // total_zeros (at most 9 bits) and all run_before codes of a valid block (at most 42
    // bits, see below) fit in one reload.
    reload();
    int totalZeros = 0;
    if (total < maxNumCoeff) {
        const int kind = Scaled ? 0 : (maxNumCoeff == 4 ? 1 : (maxNumCoeff == 8 ? 2 : 0));
        const VlcLookup& zerosCode = *totalZeros_[kind][total];
        VlcLookup::Result tz = zerosCode.decodeShort(w);
        if (tz.length == 0) [[unlikely]] tz = zerosCode.decode64(w);
        if (tz.length == 0) avcFail("Invalid total_zeros.");
        take(tz.length);
        totalZeros = tz.symbol;
        if (totalZeros + total > maxNumCoeff) avcFail("Invalid total_zeros.");
    }
    const int32_t* const scale = Scaled ? dq->scale : nullptr;
    const int shift = Scaled ? dq->shift : 0;
    const int64_t round = Scaled ? dq->round : 0;
    auto put = [&](int value, int p) {
        if constexpr (Scaled) coef[p] = Dequant::clampLevel((int64_t(value) * scale[p] + round) >> shift);
        else coef[p] = value;
    };
    // Coefficients from the highest frequency down: each run_before is the count of zeros
    // below the coefficient just placed. total - 1 codes are read, of at most 3 bits while
    // zerosLeft < 7; a longer one (run - 3 bits) needs total_zeros above 6, which leaves at
    // most 9 coefficients: the codes take at most 3 * 14 bits.
    int coeffNum = total - 1 + totalZeros;
    lastIdx = coeffNum;
    int zerosLeft = totalZeros;
    const int runs = total - 1;
    for (int i = 0; i < runs; ++i) {
        // Two short codes at a time: half the lookups on the chain from code to code.
        if (i + 1 < runs) {
            const RunPair rp = runPairs_[zerosLeft][w >> 58];
            if (rp.count == 2) [[likely]] {
                put(level[i], scan[coeffNum]);
                coeffNum -= rp.first + 1;
                put(level[i + 1], scan[coeffNum]);
                coeffNum -= rp.second + 1;
                zerosLeft -= rp.first + rp.second;
                take(rp.length);
                ++i;
                continue;
            }
        }
        put(level[i], scan[coeffNum]);
        const int z = zerosLeft < 7 ? zerosLeft : 7;
        const RunCode rb = runCodes_[z][w >> 61];
        int run = rb.run, len = rb.length;
        if (run == kLongRun) {
            // 000 followed by 1 to 8 more zeros and a one: run_before 4 + the zeros.
            const int lz = std::countl_zero(w | (uint64_t(1) << 52)); // at most 11
            if (lz > 10) avcFail("Invalid run_before.");
            run = lz + 4;
            len = lz + 1;
        }
        if (run > zerosLeft) avcFail("Invalid run_before.");
        take(len);
        zerosLeft -= run;
        coeffNum -= run + 1;
    }
    put(level[total - 1], scan[coeffNum]);
    position = pos;
    return total;
}

template void SliceDecoder::readResidualWith<false>();

} // namespace vorn::avci
