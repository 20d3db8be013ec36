// Encoder-only tables of the DV encoder: variable-length codes by run and
// amplitude, quantiser reciprocals of the 25/50 Mb/s formats and the
// The lowest QNO whose reciprocals at class cls equal those of qno (several
// QNOs share their steps), so results can be shared between them.
int sdCanonicalQno(int qno, int cls);

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

// Code length including the sign bit, indexed [run * 256 + amp] (amp 1..255).
const uint8_t* pairLengths();

inline constexpr uint32_t kEobBits = 0x6; // "0110"
inline constexpr int kEobLength = 4;

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

// DVCPRO HD weighting reciprocals R = floor(65536 / W) per scan position
// (entry 0 is 0), for luma or chroma at 1080 or 720 lines.
const uint16_t* hdReciprocals(bool chroma, bool lines1080);
// The same in natural order (row * 8 + column), 16-byte aligned.
const uint16_t* hdReciprocalsNatural(bool chroma, bool lines1080);

// DVCPRO HD weighting matrix W itself, natural order (entry 0 stands for DC).
const uint16_t* hdWeights(bool chroma, bool lines1080);

// DVCPRO HD quantisation step S(qno, class), 0 where the pair does not exist.
int hdStep(int qno, int cls);
// Highest class that has a step at qno (qno 1..15).
int hdTopClass(int qno);

} // namespace enc
} // namespace vorn::dv
