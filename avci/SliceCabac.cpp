// The residual blocks of CABAC slices.
#include "avci/SliceResidual.h"

#include <algorithm>

namespace vorn::avci {

// coded_block_flag of an unavailable neighbour counts as set in intra macroblocks.
int SliceDecoder::cbfIncLuma(int blkX, int blkY) const
{
    const int i = (blkY + 1) * 5 + blkX + 1;
    return (nzY_[i - 1] != 0 ? 1 : 0) + (nzY_[i - 5] != 0 ? 2 : 0);
}

int SliceDecoder::cbfIncChroma(int comp, int blkX, int blkY) const
{
    const int i = (blkY + 1) * 3 + blkX + 1;
    return (nzC_[comp][i - 1] != 0 ? 1 : 0) + (nzC_[comp][i - 3] != 0 ? 2 : 0);
}

int SliceDecoder::cbfIncDc(int bit) const
{
    const Neighbour a = neighbourLuma(-1, 0);
    const Neighbour b = neighbourLuma(0, -1);
    const std::vector<MbInfo>& mbs = pic_->mbs;
    const int cA = a.mb < 0 ? 1 : ((mbs[size_t(a.mb)].cbfDc >> bit) & 1);
    const int cB = b.mb < 0 ? 1 : ((mbs[size_t(b.mb)].cbfDc >> bit) & 1);
    return cA + 2 * cB;
}

namespace {

// ctxIdxInc of significant_coeff_flag and last_significant_coeff_flag of chroma DC by scan
// position: the position over the number of 4:2:0 DC blocks in the component, at most 2.
constexpr uint8_t kIncChromaDc420[4] = {0, 1, 2, 2};
constexpr uint8_t kIncChromaDc422[8] = {0, 0, 1, 1, 2, 2, 2, 2};


} // namespace

template <int Cat>
__attribute__((noinline)) int SliceDecoder::cabacBlock(int32_t* coef, int maxNumCoeff, const uint8_t* scan,
                                                       int cbfCtxInc, const Dequant* dq, int& lastIdx)
{
    constexpr bool k8x8 = Cat == 5;        // no coded_block_flag (4:2:0 and 4:2:2)
    constexpr bool kDequant = Cat != 0 && Cat != 3;
    if constexpr (Cat == 0 || Cat == 1 || Cat == 2 || Cat == 4) maxNumCoeff = Cat == 2 ? 16 : 15 + (Cat == 0);
    if constexpr (Cat == 5) maxNumCoeff = 64;
    // The engine runs from a local copy so that its registers stay in registers.
    uint8_t* const ctx = cabac_.contexts();
    CabacEngine e = cabac_.engine();
    if (!k8x8 && !e.decision(ctx[kCtxBaseCodedBlockFlag[Cat] + cbfCtxInc])) {
        cabac_.engine() = e;
        return 0;
    }
    const int fld = field_ ? 1 : 0;
    uint8_t* const sigCtx = ctx + kCtxBaseSignificant[fld][Cat];
    uint8_t* const lastCtx = ctx + kCtxBaseLast[fld][Cat];
    const uint8_t* sigInc = nullptr;
    const uint8_t* lastInc = nullptr;
    if constexpr (Cat == 5) {
        sigInc = kSignificant8x8CtxInc[fld];
        lastInc = kLast8x8CtxInc;
    } else if constexpr (Cat == 3) {
        sigInc = lastInc = pic_->chromaArrayType == 2 ? kIncChromaDc422 : kIncChromaDc420;
    }
    // In the other categories the position is its own ctxIdxInc.
    constexpr bool kIdentity = Cat != 3 && Cat != 5;
    uint8_t sig[64];
    int numSig = 0;
    const int end = maxNumCoeff - 1;
    int i = 0;
    if constexpr (k8x8) {
        // One bin per step, without a branch on its value: the step after a significance flag
        // is its last flag when it was set, the next position's significance flag when not.
        // Both candidates' context bytes are loaded before the bin is decoded, ordered by the
        // context's MPS, and the next one picked by a conditional move on the bin's own
        // comparison, so that a flag as unpredictable as the data costs no branch and the
        // next bin waits on nothing but the arithmetic.
        // The context bytes by position come from the decoder's own table of pointers, walked
        // by one pointer: the position is bits 4..9 of its address (the table is 1024-aligned).
        uint8_t* const* p = sigLastAt_[fld][0];
        uint8_t* const* const pEnd = sigLastAt_[fld][end];
        uint8_t* at = p[0];
        uint32_t s = *at;
        uint32_t isLast = 0; // the step decodes last_significant_coeff_flag
        // This step's candidates: the last flag of its position, the next position's
        // significance flag. The pointers of the step after an advance are loaded a step ahead,
        // so that the next step's are a conditional move away from the bin.
        uint8_t* lastAt = p[1];
        uint8_t* sigAt = p[2];
        for (;;) {
            uint8_t* const lastAtNext = p[3];
            uint8_t* const sigAtNext = p[4];
            uint32_t sigS = *sigAt;
            // When the next flag has this step's context, it follows a bin of 0, which is the
            // LPS exactly when the MPS is 1: its context byte is known before the bin.
            const uint32_t sameS = kCabacTables.nextOnZero[s];
            const uint32_t lastS = *lastAt;
            // What follows by symbol: a bin of 0 leads to the next significance flag, a bin of
            // 1 to the last flag (after a last flag it ends the loop: the pick is unused).
            uint8_t* pickAt;
            uint8_t* lpsAt;
            uint32_t pickS, lpsS;
#if defined(__x86_64__) && defined(__GNUC__)
            // Conditional moves: the compiler makes branches of these, as unpredictable as the bins.
            asm("cmpq %[sigAt], %[at]\n\t"
                "cmovel %[sameS], %[sigS]"
                : [sigS] "+r"(sigS)
                : [sigAt] "r"(sigAt), [at] "r"(at), [sameS] "r"(sameS)
                : "cc");
            asm("movq %[sigAt], %[pickAt]\n\t"
                "movl %[sigS], %[pickS]\n\t"
                "movq %[lastAt], %[lpsAt]\n\t"
                "movl %[lastS], %[lpsS]\n\t"
                "testl $1, %[s]\n\t"
                "cmovneq %[lastAt], %[pickAt]\n\t"
                "cmovnel %[lastS], %[pickS]\n\t"
                "cmovneq %[sigAt], %[lpsAt]\n\t"
                "cmovnel %[sigS], %[lpsS]"
                : [pickAt] "=&r"(pickAt), [pickS] "=&r"(pickS), [lpsAt] "=&r"(lpsAt), [lpsS] "=&r"(lpsS)
                : [s] "r"(s), [lastAt] "r"(lastAt), [lastS] "r"(lastS), [sigAt] "r"(sigAt), [sigS] "r"(sigS)
                : "cc");
#else
            if (sigAt == at) sigS = sameS;
            const bool mps = (s & 1) != 0;
            pickAt = mps ? lastAt : sigAt;
            pickS = mps ? lastS : sigS;
            lpsAt = mps ? sigAt : lastAt;
            lpsS = mps ? sigS : lastS;
#endif
            uint32_t ns;
            const uint32_t bin = uint32_t(e.decisionPick(s, ns, pickAt, pickS, lpsAt, lpsS));
            *at = uint8_t(ns);
            sig[numSig] = uint8_t((reinterpret_cast<uintptr_t>(p) >> 4) & 63);
            const uint32_t toLast = bin & (isLast ^ 1);
            numSig += int(toLast);
            if (bin & isLast) break;
            const uint32_t advance = toLast ^ 1;
            p += 2 * advance;
            if (p == pEnd) break;
            isLast = toLast;
            at = pickAt;
            s = pickS;
#if defined(__x86_64__) && defined(__GNUC__)
            asm("testl %[c], %[c]\n\t"
                "cmovneq %[lastAtNext], %[lastAt]\n\t"
                "cmovneq %[sigAtNext], %[sigAt]"
                : [lastAt] "+r"(lastAt), [sigAt] "+r"(sigAt)
                : [c] "r"(advance), [lastAtNext] "r"(lastAtNext), [sigAtNext] "r"(sigAtNext)
                : "cc");
#else
            if (advance) {
                lastAt = lastAtNext;
                sigAt = sigAtNext;
            }
#endif
        }
        if (p == pEnd) i = end;
    } else {
        for (; i < end; ++i) {
            if (e.decision(sigCtx[kIdentity ? i : sigInc[i]])) {
                sig[numSig++] = uint8_t(i);
                if (e.decision(lastCtx[kIdentity ? i : lastInc[i]])) break;
            }
        }
    }
    if (i == end) sig[numSig++] = uint8_t(i);
    lastIdx = sig[numSig - 1];
    // Dequantisation constants in registers: the coefficient stores could alias *dq.
    const int32_t* scale = nullptr;
    int64_t round = 0;
    int shift = 0;
    if constexpr (kDequant) {
        scale = dq->scale;
        round = dq->round;
        shift = dq->shift;
    }
    uint8_t* const absCtx = ctx + kCtxBaseAbsLevel[Cat];
    int numGt1 = 0, numEq1 = 0;
    constexpr int gtLimit = Cat == 3 ? 3 : 4;
    for (int k = numSig - 1; k >= 0; --k) {
        const int inc0 = numGt1 != 0 ? 0 : std::min(4, 1 + numEq1);
        int v = 0;
        if (e.decision(absCtx[inc0])) {
            v = 1;
            uint8_t& greater = absCtx[5 + std::min(gtLimit, numGt1)];
            while (v < 14 && e.decision(greater)) ++v;
            if (v == 14) {
                int kk = 0;
                int suffix = 0;
                while (e.bypass()) {
                    suffix += 1 << kk;
                    ++kk;
                    if (kk > 24) avcFail("Coefficient level out of range.");
                }
                while (kk-- > 0) suffix += e.bypass() << kk;
                v += suffix;
            }
            ++numGt1;
        } else {
            ++numEq1;
        }
        const int absLevel = v + 1;
        const int level = e.bypass() ? -absLevel : absLevel;
        const int pos = scan[sig[k]];
        if constexpr (kDequant) coef[pos] = Dequant::clampLevel((int64_t(level) * scale[pos] + round) >> shift);
        else coef[pos] = level;
    }
    cabac_.engine() = e;
    return numSig;
}

template void SliceDecoder::readResidualWith<true>();

} // namespace vorn::avci
