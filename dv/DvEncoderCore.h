// Internals of the DV encoder: the per-worker segment coder (sampling, forward
// DCT, classes, quantiser search, code generation and the three-pass placement
// of codes in the five DIF blocks of a video segment).
#pragma once

#include "dv/CodecTables.h"
#include "foundation/Simd.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>

namespace vorn::dv::enc {

// The picture as rows from the top: row(y) = top + y * stride.
struct PictureView {
    const uint8_t* top = nullptr;
    ptrdiff_t stride = 0;
    const uint8_t* row(int y) const { return top + y * stride; }
};

// Where the five macroblocks of one video segment go.
struct SegmentTarget {
    VideoFormat code = 0;
    uint8_t idByte1 = 0; // byte 1 of the DIF block IDs
    struct Mb {
        const MacroblockPlace* place = nullptr;
        uint8_t* dif = nullptr;     // its 80-byte DIF block
        uint8_t blockNumber = 0;    // video DIF block number within the sequence
    } mb[5];
};

// Forward 8x8 DCT with orthonormal scaling (DC = 8 x mean), rounded to integers;
// in and out in natural order (row * 8 + column). Runs the variant chosen for
// this processor.
void forwardDct(const int16_t in[64], int16_t out[64]);
// The plain reference of the same integer arithmetic (every variant gives identical results).
void forwardDctPlain(const int16_t in[64], int16_t out[64]);

// The encoder's kernels at one instruction-set level; within the stated input
// ranges every level gives the same results as the plain one.
struct EncoderKernels {
    void (*forwardDct)(const int16_t in[64], int16_t out[64]) = nullptr;
    // The same transform of two blocks.
    void (*forwardDctPair)(const int16_t in0[64], const int16_t in1[64], int16_t out0[64], int16_t out1[64]) = nullptr;
    // Samples of a block from the packed 4:2:2 rows of 8 (luma) or 16 pixels
    // starting at `first`, level-shifted: component 0 luma (bytes 2i), 1 Cb
    // (bytes 4i + 1), 2 Cr (bytes 4i + 3); row j at first + j * stride.
    void (*samples)(const uint8_t* first, ptrdiff_t stride, int component, int16_t out[64]) = nullptr;
    // DVCPRO HD weighting: w = (coef * r) >> 11, |coef| <= 2048, r <= 4096.
    void (*weighHd)(const int16_t coef[64], const uint16_t r[64], int16_t w[64]) = nullptr;
    // AC magnitudes in scan order from values in natural order (|v| <= 4096):
    // mag[pos] = |v[zigzag[pos]]| for pos = 1..63 and mag[0] = 0; *negative
    // gets the mask of the scan positions 1..63 holding a negative value.
    // Returns the largest magnitude.
    int (*scanMagnitudes)(const int16_t v[64], uint16_t mag[64], uint64_t* negative) = nullptr;
    // 25/50 Mb/s quantiser: out = min(sdAmplitude(mag, r), 255) (mag <= 4096).
    // Returns the mask of non-zero outputs among positions 1..63.
    uint64_t (*quantiseSd)(const uint16_t mag[64], const uint16_t r[64], uint8_t out[64]) = nullptr;
    // DVCPRO HD quantiser: out = min(hdAmplitude(mag, k), 255) (mag <= 4096,
    // 1 <= k <= 128). Returns the mask of non-zero outputs among positions 1..63.
    uint64_t (*quantiseHd)(const uint16_t mag[64], int k, uint8_t out[64]) = nullptr;
    // Sum over positions 1..63 of kRun0Lengths[min(amps[i], 31)]: the code
    // bits of the amplitudes if none had zeros before it (amps[0] = 0).
    int (*run0CodeBits)(const uint8_t amps[64]) = nullptr;
};
inline constexpr auto kEncoderKernelEntries =
    std::tuple{&EncoderKernels::forwardDct,     &EncoderKernels::forwardDctPair, &EncoderKernels::samples,
               &EncoderKernels::weighHd,        &EncoderKernels::scanMagnitudes, &EncoderKernels::quantiseSd,
               &EncoderKernels::quantiseHd,     &EncoderKernels::run0CodeBits};
// The kernel family (foundation/Simd.h): the table for a set of features,
// the rungs with variants (none off x86), the table of one level (at most the
// processor's) and the one of this run (simdFeatures()).
EncoderKernels initEncoderKernels(CpuFeatures features);
std::span<const SimdRung<EncoderKernels>* const> encoderKernelRungs();
const EncoderKernels& encoderKernels(SimdLevel level);
const EncoderKernels& encoderKernels();
extern const SimdRung<EncoderKernels> kEncoderKernelsSse2;
extern const SimdRung<EncoderKernels> kEncoderKernelsSse41;
extern const SimdRung<EncoderKernels> kEncoderKernelsAvx2;
// Plain double-precision reference of the same transform.
void forwardDctReference(const int16_t in[64], double out[64]);

// Packs the code bits of `slots` blocks into the DIF blocks of a segment with
// the three passes (own area, free space of the macroblock, free space of the
// segment) and fills the bits left over. Exposed for tests.
struct SlotArea {
    uint8_t* dif;      // DIF block
    int firstBit;      // first AC bit (from the start of the DIF block)
    int bits;          // AC bits of the slot
};

// Quantised DVCPRO HD blocks of one video segment, written as they are (no
// transform or quantiser search): levels in zigzag scan order, level[0] the DC
// field value; 8-8 DCT mode.
struct HdSegmentLevels {
    int qno[5] = {};
    struct Block {
        alignas(16) int16_t level[64];
        int cls;
    } block[5][8];
};

class SegmentCoder {
public:
    SegmentCoder();
    ~SegmentCoder();
    SegmentCoder(const SegmentCoder&) = delete;
    SegmentCoder& operator=(const SegmentCoder&) = delete;

    void encodeSd(const PictureView& picture, const SegmentTarget& target);
    // qno: carried state in, result out.
    void encodeHd(const PictureView& picture, const SegmentTarget& target, bool lines1080, bool rateControl,
                  int qno[5]);

    // Writes quantised blocks with the DVCPRO HD layout and the three-pass
    // placement (amplitudes limited to 255, DC to -255..255; codes that do not
    // fit the segment are cut as in encodeHd).
    void writeHdLevels(const HdSegmentLevels& levels, const SegmentTarget& target);

    // Bits of the last segment's search result (for tests and statistics).
    int lastTotalBits() const { return m_lastTotal; }

private:
    struct Impl;
    Impl* m_impl;
    int m_lastTotal = 0;
};

} // namespace vorn::dv::enc
