// Internals of the DV decoder shared by its source files: the video-segment
// decoder (three-pass VLC, dequantisation, inverse DCT, placement).
#pragma once

#include "dv/CodecTables.h"
#include "dv/DvFormat.h"
#include "foundation/Simd.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <tuple>

namespace vorn::dv::detail {

// Destination of decoded samples: a packed 4:2:2 picture of the coded raster.
struct PackedTarget {
    uint8_t* base = nullptr;
    int width = 0;
    int height = 0;
    bool bottomUp = true;

    int pitch() const { return 2 * width; }
    uint8_t* row(int y) const
    {
        int r = bottomUp ? height - 1 - y : y;
        return base + static_cast<ptrdiff_t>(r) * pitch();
    }
};

// The scratch of one decoding participant (some tens of KB). Whoever decodes
// holds one per participant; two threads never use one at the same time.
struct SegmentWorkspace;
struct SegmentWorkspaceDelete {
    void operator()(SegmentWorkspace* workspace) const;
};
using SegmentWorkspacePtr = std::unique_ptr<SegmentWorkspace, SegmentWorkspaceDelete>;
// A new workspace; null when the memory cannot be allocated.
SegmentWorkspacePtr newSegmentWorkspace();

// Decodes every video segment of DIF sequence `sequence` of shuffle channel
// `channel` into `target`, with `workspace` as scratch. `frame` must hold
// info.bytesPerFrame bytes (callers pad short frames). For the 720-line
// formats the channel's DIF blocks sit in frame channel (channel & 1).
void decodeSequence(SegmentWorkspace& workspace, const DvFormatInfo& info, const uint8_t* frame, int channel,
                    int sequence, const PackedTarget& target);

// Quantised contents of one video segment as the three-pass decoding finds
// them: per macroblock its QNO, per block its levels in natural order (index
// row * 8 + column; for the 2-4-8 DCT rows 0-3 are the sum field and rows 4-7
// the difference field), with level[0] the DC field value, and the block's
// DCT mode and class. Blocks of slots a format does not use are left as they were.
struct SegmentLevels {
    uint8_t qno[5];
    struct Block {
        int16_t level[64];
        int16_t dc;
        uint8_t mode;
        uint8_t cls;
    } block[5][8];
};

// Decodes the levels of the five DIF blocks of a segment (hd: 8 block slots of
// DVCPRO HD, otherwise the 6 slots of 25/50 Mb/s). Every read stays inside the
// 400 bytes; damaged codes end their block. Returns false when the decoding
// context cannot be allocated.
bool decodeSegmentLevels(const uint8_t* const difBlocks[5], bool hd, SegmentLevels& out);

// 8x8 inverse DCTs of dequantised coefficients (index row * 8 + column) into 64
// samples (row-major), each the transform output rounded, plus 128, clamped to
// 0..255. rowMask has bit r set when coefficient row r may be non-zero; rows
// outside the mask must be zero. The coefficients are left all zero. They run
// the variant chosen for this processor (through a transposed copy).
void idct88(float* coef, unsigned rowMask, uint8_t* out);
void idct248(float* coef, unsigned rowMask, uint8_t* out);

// The decoder's kernels at one instruction-set level; every level gives the
// same bytes as the plain one.
struct DecoderKernels {
    // The inverse DCTs as above, but of coefficients stored by column (index
    // column * 8 + row, as the decoder writes them) with a second mask:
    // colMask has bit c set when coefficient column c may be non-zero, and
    // columns outside it must be zero. The coefficients are left all zero.
    void (*idct88)(float* coefT, unsigned rowMask, unsigned colMask, uint8_t* out) = nullptr;
    void (*idct248)(float* coefT, unsigned rowMask, unsigned colMask, uint8_t* out) = nullptr;
    // 16 pixels of packed 4:2:2 from two 8-sample luma rows and 8 Cb and 8 Cr samples.
    void (*row422)(uint8_t* d, const uint8_t* yl, const uint8_t* yr, const uint8_t* cb, const uint8_t* cr) = nullptr;
    // 32 pixels of packed 4:2:2 from four 8-sample luma rows and 8 Cb and 8 Cr
    // samples, each chroma sample serving four pixels.
    void (*row411)(uint8_t* d, const uint8_t* y0, const uint8_t* y1, const uint8_t* y2, const uint8_t* y3,
                   const uint8_t* cb, const uint8_t* cr) = nullptr;
    // Whole macroblocks of decoded blocks px (64 samples each, in slot order)
    // into packed 4:2:2 rows starting at d, `step` bytes apart:
    // 4:1:1 32x8 (row411 of slots 0-3, Cb slot 5, Cr slot 4);
    // 4:2:2 by layout: kMb422Sd 16x8 (row422 of slots 0 and 2, Cb 5, Cr 4),
    // kMb422HdFrame / kMb422HdField 16x16 (luma 0 1 / 2 3, chroma Cr 4 5 and
    // Cb 6 7 stacked; the field layout interleaves the upper and lower blocks' lines).
    void (*mb411)(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64]) = nullptr;
    void (*mb422)(uint8_t* d, ptrdiff_t step, const uint8_t (*px)[64], int layout) = nullptr;
};
inline constexpr int kMb422Sd = 0;
inline constexpr int kMb422HdFrame = 1;
inline constexpr int kMb422HdField = 2;
inline constexpr auto kDecoderKernelEntries =
    std::tuple{&DecoderKernels::idct88, &DecoderKernels::idct248, &DecoderKernels::row422,
               &DecoderKernels::row411, &DecoderKernels::mb411,   &DecoderKernels::mb422};
// The kernel family (foundation/Simd.h): the table for a set of features,
// the rungs with variants (none off x86), the table of one level (at most the
// processor's) and the one of this run (simdFeatures()).
DecoderKernels initDecoderKernels(CpuFeatures features);
std::span<const SimdRung<DecoderKernels>* const> decoderKernelRungs();
const DecoderKernels& decoderKernels(SimdLevel level);
const DecoderKernels& decoderKernels();
extern const SimdRung<DecoderKernels> kDecoderKernelsSse2;
extern const SimdRung<DecoderKernels> kDecoderKernelsAvx2;

// Builds the decoder's lookup tables (called from the entry points).
void initDecoderTables();

} // namespace vorn::dv::detail
