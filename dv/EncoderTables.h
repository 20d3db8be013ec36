// Encoder-only tables of the DV encoder: variable-length codes by run and
// amplitude, quantiser reciprocals of the 25/50 Mb/s formats and the
// DVCPRO HD weighting reciprocals and quantisation steps.
//
// InitSdEncoderTables() builds them once (later calls only redo the processor
// check and the worker count, as InitCodecTables() does).
#pragma once

#include <cstdint>

namespace vorn::dv {

void InitSdEncoderTables();

namespace enc {

// Largest run and amplitude the code tables are indexed by.
inline constexpr int kMaxRun = 63;
inline constexpr int kMaxAmp = 255;

// The code of a run of `run` zeros followed by a coefficient of magnitude
// `amp` (1..255), sign bit not included: either one table code or a run code
// followed by the run-0 amplitude code. bits right-aligned, length in bits.
struct PairCode {
    uint32_t bits;
    uint8_t length;
};
const PairCode& pairCode(int run, int amp);
// The same codes ready to be written, indexed [run * 256 + amp]: bits 0-5 the
// length with the sign bit, bits 6 up the code followed by a 0 sign bit.
const uint64_t* pairWords();

// Code length including the sign bit, indexed [run * 256 + amp] (amp 1..255).
const uint8_t* pairLengths();

inline constexpr uint32_t kEobBits = 0x6; // "0110"
inline constexpr int kEobLength = 4;

// The quantisers round at 3/8 of a step rather than 1/2: magnitudes just past
// the half step cost a code each while adding little; rounding them down buys
// finer steps for the rest of the segment (about 0.5 dB on busy pictures).
// 25/50 Mb/s: amplitude of magnitude `mag` with reciprocal r (1/65536 units).
inline constexpr uint32_t kSdRounding = 24576;
constexpr int sdAmplitude(uint32_t mag, uint32_t r) { return static_cast<int>((mag * r + kSdRounding) >> 16); }
// DVCPRO HD: amplitude of weighted magnitude `mag` with k = 128 / step.
inline constexpr uint32_t kHdRounding = 48;
constexpr int hdAmplitude(uint32_t mag, uint32_t k) { return static_cast<int>((mag * k + kHdRounding) >> 7); }

// Code length with the sign bit of amplitude min(a, 31) after no zeros (run
// 0); 0 for amplitude 0, and 16 (the escape code) from 23 on.
alignas(16) inline constexpr uint8_t kRun0Lengths[32] = {0, 3, 4, 5, 5,  6,  6,  7,  7,  8,  8,  8,  9,  9,  9,  9,
                                                         9, 9, 10, 10, 10, 10, 10, 16, 16, 16, 16, 16, 16, 16, 16, 16};

// Zigzag order of the 8-8 DCT (scan position -> row * 8 + column).
const uint8_t* zigzag();

// 25/50 Mb/s quantiser: reciprocal R (in units of 1/65536) of step / weight
// for each scan position, so that the quantised magnitude of |c| is
// (|c| * R + 32768) >> 16. Indexed by QNO (0..15) and class (0..3); entry 0
// (DC) is 0.
const uint16_t* sdReciprocals(int qno, int cls);

// The lowest QNO whose reciprocals at class cls equal those of qno (several
// QNOs share their steps), so results can be shared between them.
int sdCanonicalQno(int qno, int cls);

// Per scan position, the smallest magnitude whose amplitude at QNO 15, class 2
// passes 255 (rounded to nearest), 32767 where none does.
const int16_t* sdClass3Thresholds();

// DVCPRO HD weighting reciprocals R = floor(65536 / W) per scan position
// (entry 0 is 0), for luma or chroma at 1080 or 720 lines.
const uint16_t* hdReciprocals(bool chroma, bool lines1080);
// The same in natural order (row * 8 + column), 16-byte aligned.
const uint16_t* hdReciprocalsNatural(bool chroma, bool lines1080);

// DVCPRO HD weighting matrix W itself, natural order (entry 0 stands for DC).
const uint16_t* hdWeights(bool chroma, bool lines1080);

// DVCPRO HD quantisation step by QNO (0..15) and class; 0 = no such pair.
inline constexpr uint8_t kHdStep[16][4] = {
    {0, 0, 0, 0},    {1, 2, 4, 8},    {2, 4, 8, 0},    {3, 6, 12, 0},
    {4, 8, 0, 0},    {5, 10, 0, 0},   {6, 12, 0, 0},   {7, 14, 0, 0},
    {8, 0, 0, 0},    {16, 32, 64, 0}, {18, 36, 72, 0}, {20, 40, 80, 0},
    {22, 44, 88, 0}, {24, 48, 96, 0}, {28, 56, 112, 0}, {52, 104, 0, 0},
};

// DVCPRO HD quantisation step S(qno, class), 0 where the pair does not exist.
constexpr int hdStep(int qno, int cls)
{
    if (qno < 0 || qno > 15 || cls < 0 || cls > 3)
        return 0;
    return kHdStep[qno][cls];
}
// Highest class that has a step at qno (qno 1..15).
constexpr int hdTopClass(int qno)
{
    int c = 3;
    while (c > 0 && hdStep(qno, c) == 0)
        --c;
    return c;
}

} // namespace enc
} // namespace vorn::dv
