#include "dv/EncoderTables.h"

#include "dv/CodecTables.h"

#include <array>
#include <algorithm>
#include <cmath>
#include <mutex>

namespace vorn::dv {

namespace enc {
namespace {

struct Tables {
    std::array<PairCode, (kMaxRun + 1) * 256> pairs{};
    std::array<uint8_t, (kMaxRun + 1) * 256> lengths{};
    std::array<uint64_t, (kMaxRun + 1) * 256> words{};
    std::array<uint16_t, 16 * 4 * 64> sdRecip{};
    std::array<uint16_t, 4 * 64> hdRecip{};
    alignas(16) std::array<uint16_t, 4 * 64> hdRecipNatural{};
    std::array<uint8_t, 16 * 4> sdCanonical{};
    std::array<int16_t, 64> sdClass3{};
};

Tables g_tables;
std::once_flag g_once;

// The run/amplitude code of IEC 61834-2: a canonical code, listed by length;
// within a length the codes are consecutive in the order given, and each
// length continues from the last code of the previous one. A symbol (r, a)
// stands for r zeros followed by the magnitude a (a sign bit follows when a
// is not 0); (r, 0) stands for r + 1 zeros.
struct Symbol {
    uint8_t run;
    uint8_t amp;
};
constexpr uint8_t kEobMark = 255;
struct LengthGroup {
    int length;
    int count;
    Symbol symbols[20];
};
constexpr LengthGroup kCodeGroups[] = {
    {2, 1, {{0, 1}}},
    {3, 1, {{0, 2}}},
    {4, 4, {{kEobMark, 0}, {1, 1}, {0, 3}, {0, 4}}},
    {5, 4, {{2, 1}, {1, 2}, {0, 5}, {0, 6}}},
    {6, 4, {{3, 1}, {4, 1}, {0, 7}, {0, 8}}},
    {7, 8, {{5, 1}, {6, 1}, {2, 2}, {1, 3}, {1, 4}, {0, 9}, {0, 10}, {0, 11}}},
    {8, 16, {{7, 1}, {8, 1}, {9, 1}, {10, 1}, {3, 2}, {4, 2}, {2, 3}, {1, 5},
             {1, 6}, {1, 7}, {0, 12}, {0, 13}, {0, 14}, {0, 15}, {0, 16}, {0, 17}}},
    {9, 16, {{11, 1}, {12, 1}, {13, 1}, {14, 1}, {5, 2}, {6, 2}, {3, 3}, {4, 3},
             {2, 4}, {2, 5}, {1, 8}, {0, 18}, {0, 19}, {0, 20}, {0, 21}, {0, 22}}},
    {10, 7, {{5, 3}, {3, 4}, {3, 5}, {2, 6}, {1, 9}, {1, 10}, {1, 11}}},
    {11, 8, {{0, 0}, {1, 0}, {6, 3}, {4, 4}, {3, 6}, {1, 12}, {1, 13}, {1, 14}}},
    {12, 20, {{2, 0}, {3, 0}, {4, 0}, {5, 0}, {7, 2}, {8, 2}, {9, 2}, {10, 2}, {7, 3}, {8, 3},
              {4, 5}, {3, 7}, {2, 7}, {2, 8}, {2, 9}, {2, 10}, {2, 11}, {1, 15}, {1, 16}, {1, 17}}},
};

// DVCPRO HD weighting matrices W, row-major (row = vertical frequency).
constexpr uint16_t kHdWeight[4][64] = {
    // 1080-line luma
    {128, 16, 17, 18, 18, 19, 42, 44,   16, 17, 18, 18, 19, 38, 43, 45,
     17, 18, 19, 19, 40, 41, 45, 48,    18, 18, 19, 40, 41, 42, 45, 49,
     18, 19, 40, 41, 42, 43, 48, 101,   19, 38, 41, 42, 43, 44, 98, 104,
     42, 43, 45, 46, 48, 98, 109, 116,  44, 45, 48, 49, 101, 104, 116, 123},
    // 1080-line chroma
    {128, 16, 17, 25, 26, 26, 42, 44,   16, 17, 25, 25, 26, 38, 43, 91,
     17, 25, 26, 27, 40, 41, 91, 96,    25, 25, 27, 40, 41, 84, 93, 197,
     26, 26, 40, 41, 84, 86, 191, 203,  26, 38, 41, 84, 86, 177, 197, 209,
     42, 43, 91, 93, 191, 197, 219, 232, 44, 91, 96, 197, 203, 209, 232, 246},
    // 720-line luma
    {128, 16, 17, 18, 18, 19, 42, 44,   16, 17, 18, 18, 19, 38, 43, 68,
     17, 18, 19, 19, 40, 41, 68, 96,    18, 18, 19, 40, 41, 63, 92, 98,
     18, 19, 40, 41, 63, 86, 96, 202,   19, 38, 41, 63, 86, 88, 196, 208,
     42, 43, 68, 92, 96, 196, 218, 232, 44, 68, 96, 98, 202, 208, 232, 246},
    // 720-line chroma
    {128, 24, 26, 36, 36, 38, 84, 88,   24, 26, 36, 36, 38, 76, 86, 182,
     26, 36, 38, 38, 80, 82, 182, 192,  36, 36, 38, 80, 82, 168, 186, 394,
     36, 38, 80, 82, 168, 192, 382, 406, 38, 76, 82, 168, 172, 354, 394, 418,
     84, 86, 182, 186, 382, 394, 438, 464, 88, 182, 192, 394, 406, 418, 464, 492},
};

void build()
{
    Tables& t = g_tables;

    // Table codes by (run, amp) and run codes (amp 0) by run.
    std::array<PairCode, (kMaxRun + 1) * 32> table{};
    std::array<PairCode, kMaxRun + 1> runCode{};
    uint32_t next = 0;
    int length = 0;
    for (const LengthGroup& g : kCodeGroups) {
        next <<= (g.length - length);
        length = g.length;
        for (int i = 0; i < g.count; ++i, ++next) {
            const Symbol& sym = g.symbols[i];
            if (sym.run == kEobMark)
                continue;
            const PairCode pc{next, static_cast<uint8_t>(g.length)};
            if (sym.amp == 0)
                runCode[sym.run] = pc;
            else
                table[static_cast<size_t>(sym.run * 32 + sym.amp)] = pc;
        }
    }
    // Longer runs of zeros: "1111110" and the 6-bit run.
    for (int r = 0; r <= kMaxRun; ++r)
        if (runCode[static_cast<size_t>(r)].length == 0)
            runCode[static_cast<size_t>(r)] = {static_cast<uint32_t>((0x7E << 6) | (r & 63)), 13};

    for (int run = 0; run <= kMaxRun; ++run) {
        for (int amp = 1; amp <= kMaxAmp; ++amp) {
            PairCode pc{};
            const PairCode* direct = amp < 32 ? &table[static_cast<size_t>(run * 32 + amp)] : nullptr;
            if (direct && direct->length) {
                pc = *direct;
            } else {
                // The run-0 amplitude code: a table code or "1111111" and 8 bits.
                PairCode ampCode = amp < 32 ? table[static_cast<size_t>(amp)] : PairCode{};
                if (ampCode.length == 0)
                    ampCode = {static_cast<uint32_t>((0x7F << 8) | amp), 15};
                if (run == 0) {
                    pc = ampCode;
                } else {
                    // `run` zeros as a run code, then the amplitude with run 0.
                    const PairCode& rc = runCode[static_cast<size_t>(run - 1)];
                    pc = {(rc.bits << ampCode.length) | ampCode.bits,
                          static_cast<uint8_t>(rc.length + ampCode.length)};
                }
            }
            t.pairs[static_cast<size_t>(run * 256 + amp)] = pc;
            t.lengths[static_cast<size_t>(run * 256 + amp)] = static_cast<uint8_t>(pc.length + 1);
            t.words[static_cast<size_t>(run * 256 + amp)] = (static_cast<uint64_t>(pc.bits) << 7) | (pc.length + 1u);
        }
    }

    // 25/50 Mb/s reciprocals of step / weight in scan order.
    for (int q = 0; q < 16; ++q)
        for (int cls = 0; cls < 4; ++cls) {
            uint16_t* r = &t.sdRecip[static_cast<size_t>((q * 4 + cls) * 64)];
            r[0] = 0;
            for (int pos = 1; pos < 64; ++pos) {
                const double w = sdWeight(false, kZigzag88[pos]);
                const double v = std::round(65536.0 * w / sdQuantStep(q, cls, acArea(pos)));
                r[pos] = static_cast<uint16_t>(std::min(v, 65535.0));
            }
        }

    for (int cls = 0; cls < 4; ++cls)
        for (int q = 0; q < 16; ++q) {
            int first = q;
            for (int p = 0; p < q; ++p)
                if (std::equal(&t.sdRecip[static_cast<size_t>((p * 4 + cls) * 64)],
                               &t.sdRecip[static_cast<size_t>((p * 4 + cls) * 64 + 64)],
                               &t.sdRecip[static_cast<size_t>((q * 4 + cls) * 64)])) {
                    first = p;
                    break;
                }
            t.sdCanonical[static_cast<size_t>(q * 4 + cls)] = static_cast<uint8_t>(first);
        }

    // (mag * R + 32768) >> 16 > 255 exactly when mag * R >= 255 * 65536 + 32768.
    const uint16_t* r15 = &t.sdRecip[static_cast<size_t>((15 * 4 + 2) * 64)];
    t.sdClass3[0] = 32767;
    for (int pos = 1; pos < 64; ++pos) {
        const uint32_t r = r15[pos];
        const uint32_t limit = 255u * 65536u + 32768u;
        t.sdClass3[static_cast<size_t>(pos)] = static_cast<int16_t>(r == 0 ? 32767 : std::min<uint32_t>((limit + r - 1) / r, 32767));
    }

    for (int m = 0; m < 4; ++m) {
        uint16_t* r = &t.hdRecip[static_cast<size_t>(m * 64)];
        r[0] = 0;
        for (int pos = 1; pos < 64; ++pos)
            r[pos] = static_cast<uint16_t>(65536 / kHdWeight[m][kZigzag88[pos]]);
        uint16_t* n = &t.hdRecipNatural[static_cast<size_t>(m * 64)];
        for (int i = 1; i < 64; ++i)
            n[i] = static_cast<uint16_t>(65536 / kHdWeight[m][i]);
        n[0] = 0;
    }
}

} // namespace

const PairCode& pairCode(int run, int amp) { return g_tables.pairs[static_cast<size_t>(run * 256 + amp)]; }
const uint64_t* pairWords() { return g_tables.words.data(); }
const uint8_t* pairLengths() { return g_tables.lengths.data(); }
const uint8_t* zigzag() { return kZigzag88; }

const uint16_t* sdReciprocals(int qno, int cls)
{
    return &g_tables.sdRecip[static_cast<size_t>((qno * 4 + cls) * 64)];
}

int sdCanonicalQno(int qno, int cls) { return g_tables.sdCanonical[static_cast<size_t>(qno * 4 + cls)]; }

const int16_t* sdClass3Thresholds() { return g_tables.sdClass3.data(); }

const uint16_t* hdReciprocals(bool chroma, bool lines1080)
{
    const int m = (lines1080 ? 0 : 2) + (chroma ? 1 : 0);
    return &g_tables.hdRecip[static_cast<size_t>(m * 64)];
}

const uint16_t* hdReciprocalsNatural(bool chroma, bool lines1080)
{
    const int m = (lines1080 ? 0 : 2) + (chroma ? 1 : 0);
    return &g_tables.hdRecipNatural[static_cast<size_t>(m * 64)];
}

const uint16_t* hdWeights(bool chroma, bool lines1080)
{
    return kHdWeight[(lines1080 ? 0 : 2) + (chroma ? 1 : 0)];
}

} // namespace enc

void InitSdEncoderTables()
{
    std::call_once(enc::g_once, enc::build);
    InitCodecTables(); // processor check and worker count
}

} // namespace vorn::dv
