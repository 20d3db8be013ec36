// Checks of the H.264 constant tables: properties that a mistyped entry breaks.
#include "avci/AvcTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace vorn::avci;

namespace {

struct Word {
    uint16_t code;
    int length;
    int symbol;
};

std::string bitsOf(const Word& w)
{
    std::string s;
    for (int i = w.length - 1; i >= 0; --i) s += ((w.code >> i) & 1) ? '1' : '0';
    return s;
}

struct NamedCode {
    std::string name;
    std::vector<Word> words;
    double expectedKraft; // sum of 2^-length over the code words
    const VlcLookup* lookup;
};

std::vector<Word> wordsOfRow(const VlcCode* row, int n)
{
    std::vector<Word> w;
    for (int i = 0; i < n; ++i)
        if (row[i].length) w.push_back({row[i].code, row[i].length, i});
    return w;
}

// All CAVLC code tables with the Kraft sum of the standard's code: complete codes sum to 1;
// the codes that leave a run of zeros unused (so that no code word is all zeros) fall short.
std::vector<NamedCode> allCodes()
{
    std::vector<NamedCode> codes;
    const char* ctNames[6] = {"coeff_token nC0-1", "coeff_token nC2-3", "coeff_token nC4-7",
                              "coeff_token nC8+", "coeff_token chromaDC420", "coeff_token chromaDC422"};
    const double ctKraft[6] = {1.0 - std::ldexp(1.0, -15), 1.0 - std::ldexp(1.0, -13),
                               1.0 - std::ldexp(1.0, -10), 62.0 / 64.0, 1.0, 8185.0 / 8192.0};
    for (int t = 0; t < 6; ++t) {
        NamedCode nc{ctNames[t], {}, ctKraft[t], &coeffTokenLookup(static_cast<CoeffTokenTable>(t))};
        for (int t1 = 0; t1 < 4; ++t1)
            for (int tc = 0; tc <= 16; ++tc) {
                const VlcCode& c = kCoeffToken[t][t1][tc];
                if (c.length) nc.words.push_back({c.code, c.length, tc * 4 + t1});
            }
        codes.push_back(nc);
    }
    for (int i = 1; i <= 15; ++i)
        codes.push_back({"total_zeros 4x4 tzVlcIndex " + std::to_string(i), wordsOfRow(kTotalZeros4x4[i - 1], 16),
                         i == 1 ? 1.0 - std::ldexp(1.0, -9) : 1.0, &totalZeros4x4Lookup(i)});
    for (int i = 1; i <= 3; ++i)
        codes.push_back({"total_zeros 2x2 tzVlcIndex " + std::to_string(i),
                         wordsOfRow(kTotalZerosChromaDc420[i - 1], 4), 1.0, &totalZerosChromaDcLookup(1, i)});
    for (int i = 1; i <= 7; ++i)
        codes.push_back({"total_zeros 2x4 tzVlcIndex " + std::to_string(i),
                         wordsOfRow(kTotalZerosChromaDc422[i - 1], 8), 1.0, &totalZerosChromaDcLookup(2, i)});
    for (int i = 1; i <= 7; ++i)
        codes.push_back({"run_before zerosLeft " + std::to_string(i), wordsOfRow(kRunBefore[i - 1], 15),
                         i == 7 ? 1.0 - std::ldexp(1.0, -11) : 1.0, &runBeforeLookup(i)});
    return codes;
}

} // namespace

TEST(AvcTablesCavlc, CodesArePrefixFreeWithTheStandardKraftSum)
{
    for (const NamedCode& nc : allCodes()) {
        SCOPED_TRACE(nc.name);
        double kraft = 0;
        for (const Word& w : nc.words) {
            ASSERT_GE(w.length, 1);
            ASSERT_LE(w.length, 16);
            ASSERT_LT(w.code, 1u << w.length) << "code wider than its length";
            kraft += std::ldexp(1.0, -w.length);
        }
        EXPECT_DOUBLE_EQ(kraft, nc.expectedKraft);
        for (const Word& a : nc.words)
            for (const Word& b : nc.words) {
                if (&a == &b) continue;
                const std::string sa = bitsOf(a), sb = bitsOf(b);
                EXPECT_NE(sb.rfind(sa, 0), 0u) << sa << " is a prefix of " << sb;
            }
    }
}

TEST(AvcTablesCavlc, SymbolSetsMatchTheSyntax)
{
    // coeff_token: TrailingOnes <= min(TotalCoeff, 3) and TotalCoeff <= the block's maximum.
    const int maxCoeff[6] = {16, 16, 16, 16, 4, 8};
    for (int t = 0; t < 6; ++t)
        for (int t1 = 0; t1 < 4; ++t1)
            for (int tc = 0; tc <= 16; ++tc) {
                const bool valid = t1 <= std::min(tc, 3) && tc <= maxCoeff[t];
                EXPECT_EQ(kCoeffToken[t][t1][tc].length != 0, valid) << t << " " << t1 << " " << tc;
            }
    // total_zeros: 0..maxNumCoeff - TotalCoeff.
    for (int i = 1; i <= 15; ++i)
        for (int z = 0; z < 16; ++z) EXPECT_EQ(kTotalZeros4x4[i - 1][z].length != 0, z <= 16 - i) << i << " " << z;
    for (int i = 1; i <= 3; ++i)
        for (int z = 0; z < 4; ++z) EXPECT_EQ(kTotalZerosChromaDc420[i - 1][z].length != 0, z <= 4 - i);
    for (int i = 1; i <= 7; ++i)
        for (int z = 0; z < 8; ++z) EXPECT_EQ(kTotalZerosChromaDc422[i - 1][z].length != 0, z <= 8 - i);
    // run_before: 0..zerosLeft (0..14 for the last table).
    for (int i = 1; i <= 7; ++i)
        for (int r = 0; r < 15; ++r) EXPECT_EQ(kRunBefore[i - 1][r].length != 0, r <= (i == 7 ? 14 : i));
    // The nC >= 8 code is the fixed 6-bit code: TotalCoeff - 1 in 4 bits, TrailingOnes in 2,
    // with 000011 for no coefficients.
    EXPECT_EQ(kCoeffToken[kCoeffTokenNc8up][0][0].code, 3);
    EXPECT_EQ(kCoeffToken[kCoeffTokenNc8up][2][9].code, (8 << 2) | 2);
}

TEST(AvcTablesCavlc, LookupDecodesEveryCodeWordWhateverFollows)
{
    const uint16_t tails[3] = {0x0000, 0xFFFF, 0x5A5A};
    for (const NamedCode& nc : allCodes()) {
        SCOPED_TRACE(nc.name);
        for (const Word& w : nc.words)
            for (uint16_t tail : tails) {
                const uint32_t window =
                    (static_cast<uint32_t>(w.code) << (16 - w.length)) | (tail >> w.length);
                const VlcLookup::Result r = nc.lookup->decode(window);
                EXPECT_EQ(r.length, w.length) << bitsOf(w);
                EXPECT_EQ(r.symbol, w.symbol) << bitsOf(w);
                // The short lookup decodes the same word when it fits, else refuses it.
                const VlcLookup::Result s = nc.lookup->decodeShort(uint64_t(window) << 48);
                if (w.length <= VlcLookup::kShortBits) {
                    EXPECT_EQ(s.length, w.length) << bitsOf(w);
                    EXPECT_EQ(s.symbol, w.symbol) << bitsOf(w);
                } else {
                    EXPECT_EQ(s.length, 0) << bitsOf(w);
                }
            }
    }
}

TEST(AvcTablesCavlc, LookupRejectsUnusedCodeWords)
{
    // The unused all-zero words of the longest length.
    EXPECT_EQ(coeffTokenLookup(kCoeffTokenNc0to1).decode(0x0000).length, 0);
    EXPECT_EQ(coeffTokenLookup(kCoeffTokenNc2to3).decode(0x0000).length, 0);
    EXPECT_EQ(coeffTokenLookup(kCoeffTokenNc4to7).decode(0x0000).length, 0);
    EXPECT_EQ(totalZeros4x4Lookup(1).decode(0x0000).length, 0);
    EXPECT_EQ(runBeforeLookup(9).decode(0x0000).length, 0);
    // The fixed-length code leaves 000010 (TotalCoeff 1, TrailingOnes 2) and 000111
    // (TotalCoeff 2, TrailingOnes 3) unused; 000011 means no coefficients, 000000 one coefficient.
    const VlcLookup& flc = coeffTokenLookup(kCoeffTokenNc8up);
    EXPECT_EQ(flc.decode(0b000010u << 10).length, 0);
    EXPECT_EQ(flc.decode(0b000111u << 10).length, 0);
    EXPECT_EQ(flc.decode(0b000011u << 10).symbol, 0);
    EXPECT_EQ(flc.decode(0b000000u << 10).symbol, 1 * 4 + 0);
    EXPECT_EQ(flc.decode(0b000000u << 10).length, 6);
}

TEST(AvcTablesCavlc, NcSelectsTheTable)
{
    const struct {
        int nC;
        CoeffTokenTable table;
    } cases[] = {{0, kCoeffTokenNc0to1}, {1, kCoeffTokenNc0to1}, {2, kCoeffTokenNc2to3}, {3, kCoeffTokenNc2to3},
                 {4, kCoeffTokenNc4to7}, {7, kCoeffTokenNc4to7}, {8, kCoeffTokenNc8up},  {16, kCoeffTokenNc8up},
                 {-1, kCoeffTokenChromaDc420}, {-2, kCoeffTokenChromaDc422}};
    for (const auto& c : cases) EXPECT_EQ(coeffTokenTableForNc(c.nC), c.table) << c.nC;
}

// The short level codes against the level decoding written out from the syntax: a prefix of
// zeros ended by a one, suffixLength bits of suffix, levelCode = (prefix << suffixLength) +
// suffix (+ 2 for the first level after fewer than three trailing ones), even codes positive,
// and suffixLength raised for the next level. Every slot and every bit pattern, so that a code
// that does not fit the window must be refused, not decoded wrongly.
TEST(AvcTablesCavlc, ShortLevelCodesDecodeAsTheSyntaxReadsThem)
{
    int decoded = 0;
    for (int slot = 0; slot < kCavlcLevelSlots; ++slot) {
        const int suffixLength = slot < 7 ? slot : slot - 7;
        const bool firstAfterFewOnes = slot >= 7;
        for (int bits = 0; bits < (1 << kCavlcLevelBits); ++bits) {
            SCOPED_TRACE("slot " + std::to_string(slot) + " bits " + std::to_string(bits));
            auto bit = [&](int k) { return (bits >> (kCavlcLevelBits - 1 - k)) & 1; };
            int pos = 0;
            while (pos < kCavlcLevelBits && bit(pos) == 0) ++pos;
            const int prefix = pos;
            const CavlcLevelCode& c = kCavlcLevelCodes[size_t((slot << kCavlcLevelBits) | bits)];
            if (prefix + 1 + suffixLength > kCavlcLevelBits) {
                EXPECT_EQ(c.length, 0);
                continue;
            }
            ++pos; // the one that ends the prefix
            int suffix = 0;
            for (int k = 0; k < suffixLength; ++k) suffix = suffix * 2 + bit(pos++);
            int levelCode = prefix * (1 << suffixLength) + suffix;
            if (firstAfterFewOnes) levelCode += 2;
            const int level = levelCode % 2 == 0 ? (levelCode + 2) / 2 : -(levelCode + 1) / 2;
            int next = suffixLength == 0 ? 1 : suffixLength;
            if (std::abs(level) > 3 * (1 << (next - 1)) && next < 6) ++next;
            EXPECT_EQ(c.length, pos);
            EXPECT_EQ(c.level, level);
            EXPECT_EQ(c.next, next);
            ++decoded;
        }
    }
    EXPECT_GT(decoded, 1000); // most patterns of the small suffix lengths are whole codes
}

TEST(AvcTablesCabac, RangeTableFollowsTheProbabilityModel)
{
    // rangeTabLPS[s][q] ~ p_s * (quantised range), p_s = 0.5 * a^s, a = (0.01875 / 0.5)^(1/63),
    // with the quantised ranges 288, 352, 416, 480 (the first column never exceeds 128).
    const double a = std::pow(0.01875 / 0.5, 1.0 / 63.0);
    const double mid[4] = {288, 352, 416, 480};
    for (int s = 0; s < 63; ++s) {
        const double p = 0.5 * std::pow(a, s);
        for (int q = 0; q < 4; ++q) {
            const double expected = q == 0 ? std::min(p * mid[q], 128.0) : p * mid[q];
            EXPECT_LE(std::abs(kCabacRangeTabLps[s][q] - expected), 1.5) << s << " " << q;
            if (s > 0) {
                EXPECT_LE(kCabacRangeTabLps[s][q], kCabacRangeTabLps[s - 1][q]);
            }
            if (q > 0) {
                EXPECT_GE(kCabacRangeTabLps[s][q], kCabacRangeTabLps[s][q - 1]);
            }
        }
    }
    for (int q = 0; q < 4; ++q) EXPECT_EQ(kCabacRangeTabLps[63][q], 2);
}

TEST(AvcTablesCabac, LpsTransitionFollowsTheProbabilityModel)
{
    // After an LPS the probability becomes a * p + (1 - a); the next state is the nearest one.
    const double a = std::pow(0.01875 / 0.5, 1.0 / 63.0);
    for (int s = 0; s < 63; ++s) {
        const double p = a * 0.5 * std::pow(a, s) + (1.0 - a);
        const double ideal = std::log(p / 0.5) / std::log(a);
        EXPECT_LE(std::abs(kCabacTransIdxLps[s] - std::max(0.0, ideal)), 1.0) << s;
        EXPECT_LE(kCabacTransIdxLps[s], s);
        if (s > 0) {
            EXPECT_GE(kCabacTransIdxLps[s], kCabacTransIdxLps[s - 1]);
        }
    }
    EXPECT_EQ(kCabacTransIdxLps[63], 63);
    EXPECT_EQ(cabacTransIdxMps(61), 62);
    EXPECT_EQ(cabacTransIdxMps(62), 62);
}

TEST(AvcTablesCabac, InitialStatesStayInRange)
{
    // Every intra context yields a valid state at every QP, and the unused P/B range is empty.
    for (int ctx = 0; ctx < kCabacIntraContextCount; ++ctx) {
        const int m = kCabacInitI[ctx][0], n = kCabacInitI[ctx][1];
        if ((ctx >= 11 && ctx <= 59) || ctx == kCabacEndOfSliceCtx) {
            EXPECT_EQ(m, 0) << ctx;
            EXPECT_EQ(n, 0) << ctx;
            continue;
        }
        EXPECT_GE(m, -46) << ctx;
        EXPECT_LE(m, 65) << ctx;
        EXPECT_GE(n, -45) << ctx;
        EXPECT_LE(n, 127) << ctx;
        EXPECT_FALSE(m == 0 && n == 0) << ctx;
    }
    // The SI prefix contexts share their values with the first I mb_type contexts.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kCabacInitI[i][0], kCabacInitI[3 + i][0]);
        EXPECT_EQ(kCabacInitI[i][1], kCabacInitI[3 + i][1]);
    }
    // Worked example: m = 20, n = -15 at QP 26 -> preCtxState 17 -> state 46, MPS 0.
    uint8_t state = 0, mps = 9;
    cabacInitContext(kCabacInitI[0][0], kCabacInitI[0][1], 26, state, mps);
    EXPECT_EQ(state, 46);
    EXPECT_EQ(mps, 0);
    cabacInitContext(0, 127, 51, state, mps); // clipped to 126
    EXPECT_EQ(state, 62);
    EXPECT_EQ(mps, 1);
}

TEST(AvcTablesCabac, ResidualContextRangesTileWithoutGaps)
{
    // Number of contexts per block category and element; the ranges of consecutive categories
    // must touch exactly, and each element must end where the next one starts.
    const int sigCount[14] = {15, 14, 15, 3, 14, 15, 15, 14, 15, 15, 15, 14, 15, 15};
    const int absCount[14] = {10, 10, 10, 9, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10};
    for (int cat = 0; cat < 14; ++cat) {
        EXPECT_EQ(kCtxBaseCodedBlockFlag[cat], kCtxIdxOffsetCodedBlockFlag[cat] + kCtxBlockCatOffset[0][cat]);
        for (int f = 0; f < 2; ++f) {
            EXPECT_EQ(kCtxBaseSignificant[f][cat], kCtxIdxOffsetSignificant[f][cat] + kCtxBlockCatOffset[1][cat]);
            EXPECT_EQ(kCtxBaseLast[f][cat], kCtxIdxOffsetLast[f][cat] + kCtxBlockCatOffset[1][cat]);
        }
        EXPECT_EQ(kCtxBaseAbsLevel[cat], kCtxIdxOffsetAbsLevel[cat] + kCtxBlockCatOffset[2][cat]);
    }
    // Categories 0..4 (one ctxIdxOffset shared) follow each other.
    for (int cat = 0; cat < 4; ++cat) {
        EXPECT_EQ(kCtxBaseCodedBlockFlag[cat + 1], kCtxBaseCodedBlockFlag[cat] + 4);
        for (int f = 0; f < 2; ++f) {
            EXPECT_EQ(kCtxBaseSignificant[f][cat + 1], kCtxBaseSignificant[f][cat] + sigCount[cat]);
            EXPECT_EQ(kCtxBaseLast[f][cat + 1], kCtxBaseLast[f][cat] + sigCount[cat]);
        }
        EXPECT_EQ(kCtxBaseAbsLevel[cat + 1], kCtxBaseAbsLevel[cat] + absCount[cat]);
    }
    EXPECT_EQ(kCtxBaseCodedBlockFlag[4] + 4, kCtxIdxOffsetSignificant[0][0]);
    EXPECT_EQ(kCtxBaseSignificant[0][4] + sigCount[4], kCtxIdxOffsetLast[0][0]);
    EXPECT_EQ(kCtxBaseLast[0][4] + sigCount[4], kCtxIdxOffsetAbsLevel[0]);
    EXPECT_EQ(kCtxBaseAbsLevel[4] + absCount[4], kCabacEndOfSliceCtx);
    EXPECT_EQ(kCtxBaseSignificant[1][4] + sigCount[4], kCtxIdxOffsetLast[1][0]);
    EXPECT_EQ(kCtxBaseLast[1][4] + sigCount[4], kCtxTransformSize8x8Flag);
    // 8x8 luma (category 5): transform_size_8x8_flag, then sig, last, abs (frame), sig, last (field).
    EXPECT_EQ(kCtxTransformSize8x8Flag + 3, kCtxBaseSignificant[0][5]);
    EXPECT_EQ(kCtxBaseSignificant[0][5] + 15, kCtxBaseLast[0][5]);
    EXPECT_EQ(kCtxBaseLast[0][5] + 9, kCtxBaseAbsLevel[5]);
    EXPECT_EQ(kCtxBaseAbsLevel[5] + 10, kCtxBaseSignificant[1][5]);
    EXPECT_EQ(kCtxBaseSignificant[1][5] + 15, kCtxBaseLast[1][5]);
    EXPECT_EQ(kCtxBaseLast[1][5] + 9, kCabacIntraContextCount);
    // The 8x8 maps use exactly the 15 significance and 9 last contexts, every one of them.
    for (int f = 0; f < 2; ++f) {
        std::vector<int> seen(15, 0);
        for (int i = 0; i < 63; ++i) {
            ASSERT_LT(kSignificant8x8CtxInc[f][i], 15);
            seen[kSignificant8x8CtxInc[f][i]] = 1;
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 15);
    }
    for (int i = 0; i < 63; ++i) {
        EXPECT_LT(kLast8x8CtxInc[i], 9);
        if (i) {
            EXPECT_GE(kLast8x8CtxInc[i], kLast8x8CtxInc[i - 1]);
        }
    }
    // Other fixed offsets of intra slices.
    EXPECT_EQ(kCtxMbQpDelta + 4, kCtxIntraChromaPredMode);
    EXPECT_EQ(kCtxIntraChromaPredMode + 4, kCtxPrevIntraPredModeFlag);
    EXPECT_EQ(kCtxMbFieldDecodingFlag + 3, kCtxCodedBlockPatternLuma);
    EXPECT_EQ(kCtxCodedBlockPatternChroma + 8, kCtxIdxOffsetCodedBlockFlag[0]);
}

namespace {
// Zigzag order generated by walking the anti-diagonals, alternating direction.
std::vector<int> zigzag(int n)
{
    std::vector<int> order;
    for (int d = 0; d < 2 * n - 1; ++d) {
        std::vector<int> diag;
        for (int y = 0; y < n; ++y) {
            const int x = d - y;
            if (x >= 0 && x < n) diag.push_back(y * n + x);
        }
        if (d % 2 == 0) std::reverse(diag.begin(), diag.end()); // even diagonals run up and right
        order.insert(order.end(), diag.begin(), diag.end());
    }
    return order;
}
} // namespace

TEST(AvcTablesScan, ScansArePermutationsAndZigzagWalksTheDiagonals)
{
    const std::vector<int> z4 = zigzag(4), z8 = zigzag(8);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(kZigzag4x4[i], z4[i]) << i;
    for (int i = 0; i < 64; ++i) EXPECT_EQ(kZigzag8x8[i], z8[i]) << i;
    const struct {
        const uint8_t* scan;
        int n;
    } scans[] = {{kZigzag4x4, 16}, {kFieldScan4x4, 16}, {kZigzag8x8, 64}, {kFieldScan8x8, 64}};
    for (const auto& s : scans) {
        std::vector<int> sorted(s.scan, s.scan + s.n);
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < s.n; ++i) EXPECT_EQ(sorted[i], i);
    }
    // Field scans favour the vertical direction: every position is reached no later than its
    // transposed position whenever it lies below the diagonal.
    auto indexIn = [](const uint8_t* scan, int n, int pos) { return std::find(scan, scan + n, pos) - scan; };
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < y; ++x)
            EXPECT_LT(indexIn(kFieldScan8x8, 64, y * 8 + x), indexIn(kFieldScan8x8, 64, x * 8 + y));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < y; ++x)
            EXPECT_LT(indexIn(kFieldScan4x4, 16, y * 4 + x), indexIn(kFieldScan4x4, 16, x * 4 + y));
}

TEST(AvcTablesScaling, DefaultListsAreSymmetricMatricesGrowingWithFrequency)
{
    const struct {
        const uint8_t* list;
        const uint8_t* scan;
        int n;
    } lists[] = {{kDefault4x4Intra, kZigzag4x4, 4}, {kDefault4x4Inter, kZigzag4x4, 4},
                 {kDefault8x8Intra, kZigzag8x8, 8}, {kDefault8x8Inter, kZigzag8x8, 8}};
    for (const auto& l : lists) {
        std::vector<int> m(l.n * l.n);
        for (int i = 0; i < l.n * l.n; ++i) m[l.scan[i]] = l.list[i];
        for (int y = 0; y < l.n; ++y)
            for (int x = 0; x < l.n; ++x) {
                EXPECT_EQ(m[y * l.n + x], m[x * l.n + y]) << "not symmetric at " << x << "," << y;
                if (x > 0) {
                    EXPECT_GE(m[y * l.n + x], m[y * l.n + x - 1]);
                }
                if (y > 0) {
                    EXPECT_GE(m[y * l.n + x], m[(y - 1) * l.n + x]);
                }
            }
    }
    EXPECT_EQ(kDefault4x4Intra[0], 6);
    EXPECT_EQ(kDefault8x8Inter[63], 35);
}

TEST(AvcTablesScaling, NormAdjustGrowsBySixthRootOfTwo)
{
    for (int m = 1; m < 6; ++m) {
        const double f = std::pow(2.0, m / 6.0);
        for (int k = 0; k < 3; ++k) EXPECT_LE(std::abs(kNormAdjust4x4V[m][k] - kNormAdjust4x4V[0][k] * f), 1.0);
        for (int k = 0; k < 6; ++k) EXPECT_LE(std::abs(kNormAdjust8x8V[m][k] - kNormAdjust8x8V[0][k] * f), 2.0);
    }
    // Position classes: counts of positions per class in a block.
    int count4[3] = {}, count8[6] = {};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 3; ++k) count4[k] += normAdjust4x4(0, i, j) == kNormAdjust4x4V[0][k];
    EXPECT_EQ(count4[0], 4);
    EXPECT_EQ(count4[1], 4);
    EXPECT_EQ(count4[2], 8);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            EXPECT_EQ(normAdjust8x8(0, i, j), normAdjust8x8(0, j, i));
            for (int k = 0; k < 6; ++k) count8[k] += normAdjust8x8(0, i, j) == kNormAdjust8x8V[0][k];
        }
    const int expected8[6] = {4, 16, 4, 16, 8, 16};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(count8[k], expected8[k]) << k;
    EXPECT_EQ(normAdjust8x8(3, 2, 6), kNormAdjust8x8V[3][2]);
    EXPECT_EQ(normAdjust8x8(3, 4, 1), kNormAdjust8x8V[3][3]);
    EXPECT_EQ(normAdjust8x8(3, 1, 2), kNormAdjust8x8V[3][5]);
}

TEST(AvcTablesQp, ChromaQpRisesByAtMostOne)
{
    for (int q = 0; q < 30; ++q) EXPECT_EQ(kChromaQpTable[q], q);
    for (int q = 30; q < 52; ++q) {
        EXPECT_LE(kChromaQpTable[q] - kChromaQpTable[q - 1], 1) << q;
        EXPECT_GE(kChromaQpTable[q] - kChromaQpTable[q - 1], 0) << q;
    }
    EXPECT_EQ(kChromaQpTable[30], 29);
    EXPECT_EQ(kChromaQpTable[51], 39);
    EXPECT_EQ(chromaQpFromIndex(-12), -12);
    EXPECT_EQ(chromaQpFromIndex(40), 36);
}

TEST(AvcTablesBlocks, BlockPositionsFollowTheNestedRasterScan)
{
    for (int idx = 0; idx < 16; ++idx) {
        // 8x8 quadrant in raster order, then the 4x4 block inside it in raster order.
        EXPECT_EQ(kBlk4x4X[idx], (idx / 4 % 2) * 8 + (idx % 4 % 2) * 4) << idx;
        EXPECT_EQ(kBlk4x4Y[idx], (idx / 4 / 2) * 8 + (idx % 4 / 2) * 4) << idx;
    }
    for (int idx = 0; idx < 4; ++idx) {
        EXPECT_EQ(kBlk8x8X[idx], (idx % 2) * 8);
        EXPECT_EQ(kBlk8x8Y[idx], (idx / 2) * 8);
    }
}

// The loop filter's thresholds, entry by entry: alpha' and beta' by indexA / indexB and tC0'
// by indexA and bS 1..3, as the H.264 standard tabulates them (all zero below index 16).
TEST(AvcTablesDeblock, ThresholdsAreTheStandardValues)
{
    constexpr int kFirst = 16;
    const int alpha[52 - kFirst] = {4,  4,  5,  6,  7,  8,  9,  10,  12,  13,  15,  17,  20,  22,  25,  28,  32,  36,
                                    40, 45, 50, 56, 63, 71, 80, 90, 101, 113, 127, 144, 162, 182, 203, 226, 255, 255};
    const int beta[52 - kFirst] = {2, 2, 2, 3,  3,  3,  3,  4,  4,  4,  6,  6,  7,  7,  8,  8,  9,  9,
                                   10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18};
    // tC0' for bS = 1, 2, 3 by indexA 16..51.
    const int tc0[52 - kFirst][3] = {
        {0, 0, 0},   {0, 0, 1},   {0, 0, 1},   {0, 0, 1},   {0, 0, 1},  {0, 1, 1},  {0, 1, 1},   {1, 1, 1},
        {1, 1, 1},   {1, 1, 1},   {1, 1, 1},   {1, 1, 2},   {1, 1, 2},  {1, 1, 2},  {1, 1, 2},   {1, 2, 3},
        {1, 2, 3},   {2, 2, 3},   {2, 2, 4},   {2, 3, 4},   {2, 3, 4},  {3, 3, 5},  {3, 4, 6},   {3, 4, 6},
        {4, 5, 7},   {4, 5, 8},   {4, 6, 9},   {5, 7, 10},  {6, 8, 11}, {6, 8, 13}, {7, 10, 14}, {8, 11, 16},
        {9, 12, 18}, {10, 13, 20}, {11, 15, 23}, {13, 17, 25},
    };
    for (int x = 0; x < 52; ++x) {
        SCOPED_TRACE(x);
        const bool zero = x < kFirst;
        EXPECT_EQ(kDeblockAlpha[x], zero ? 0 : alpha[x - kFirst]);
        EXPECT_EQ(kDeblockBeta[x], zero ? 0 : beta[x - kFirst]);
        for (int b = 0; b < 3; ++b) EXPECT_EQ(kDeblockTc0[x][b], zero ? 0 : tc0[x - kFirst][b]) << "bS " << b + 1;
    }
}
