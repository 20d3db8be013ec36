// Test-only H.264 byte-stream writer: I slices made of I_PCM macroblocks and Intra 16x16 DC
// macroblocks without residual, coded as field pairs (two field pictures per access unit) or
// as frames, 4:2:0 or 4:2:2, 8 or 10 bits, CAVLC.
//
// Besides the stream it returns what a conforming decoder reconstructs before deblocking, and
// the per-macroblock deblocking description of every picture, so a test can compare a decoder
// (or the deblocking filter applied to the reconstruction) with an independent decoder.
#pragma once

#include "avci/Deblock.h"

#include <cstdint>
#include <vector>

namespace vorn::test {

class RbspWriter;

// A frame of 16-bit samples (8-bit streams use the values 0..255).
struct PlanarFrame {
    int width = 0;        // luma samples
    int height = 0;
    int chromaFormat = 1; // 1 = 4:2:0, 2 = 4:2:2
    std::vector<uint16_t> y, cb, cr;

    PlanarFrame() = default;
    PlanarFrame(int w, int h, int chroma);
    int chromaWidth() const { return width / 2; }
    int chromaHeight() const { return chromaFormat == 1 ? height / 2 : height; }
    std::vector<uint16_t>& plane(int c) { return c == 0 ? y : (c == 1 ? cb : cr); }
    const std::vector<uint16_t>& plane(int c) const { return c == 0 ? y : (c == 1 ? cb : cr); }
    int planeWidth(int c) const { return c == 0 ? width : chromaWidth(); }
    int planeHeight(int c) const { return c == 0 ? height : chromaHeight(); }
};

enum class MbCoding : uint8_t {
    Pcm,          // I_PCM: the source samples, verbatim
    Intra16x16Dc, // I_16x16, DC prediction for luma and chroma, no residual
};

struct MbPlan {
    MbCoding coding = MbCoding::Pcm;
    int qp = 26; // QPY of an Intra16x16Dc macroblock (0..51); I_PCM keeps the running QP
};

struct FieldStreamOptions {
    int widthMbs = 2;
    int heightMbs = 2;        // frame height in macroblocks (even for field pairs)
    int bitDepth = 8;         // 8 or 10 (luma and chroma)
    int chromaFormat = 1;     // 1 = 4:2:0, 2 = 4:2:2
    bool fieldPairs = true;   // two field pictures per access unit; false: frame pictures
    // false: an intra profile (High 10 Intra / High 4:2:2 Intra) with the filter disabled
    // (disable_deblocking_filter_idc 1). true: High 10 / High 4:2:2 without constraint_set3 and
    // disable_deblocking_filter_idc 0 with the offsets below.
    bool deblocking = false;
    int alphaOffsetDiv2 = 0;
    int betaOffsetDiv2 = 0;
    int chromaQpIndexOffset = 0;
    int sliceQp = 26;
    // Macroblock rows per slice (0: one slice per picture). Intra prediction and the CAVLC
    // neighbour counts do not reach across slices.
    int mbRowsPerSlice = 0;
    // disable_deblocking_filter_idc used when deblocking is on: 0, or 2 (slice edges unfiltered).
    int deblockingIdc = 0;
};

struct CodedPicture {
    avci::PictureStructure structure = avci::PictureStructure::Frame;
    std::vector<avci::DeblockMbInfo> mbs; // per macroblock of the picture, in address order
};

struct CodedAccessUnit {
    PlanarFrame reconstruction;          // decoded frame before deblocking (fields woven)
    std::vector<CodedPicture> pictures;  // top field then bottom field, or the one frame
};

class FieldStreamWriter {
public:
    explicit FieldStreamWriter(const FieldStreamOptions& options);

    // Codes one access unit. `plans` lists the macroblocks of each picture in address order:
    // for field pairs the top field's widthMbs * heightMbs / 2 macroblocks, then the bottom
    // field's; for frames widthMbs * heightMbs. The source frame gives the I_PCM samples.
    CodedAccessUnit addAccessUnit(const PlanarFrame& source, const std::vector<MbPlan>& plans);

    const std::vector<uint8_t>& stream() const { return stream_; }
    const FieldStreamOptions& options() const { return opt_; }

    // The same deblocking description for a picture of `unit`, addressing the planes of `frame`
    // (the field lines for a field picture).
    static avci::DeblockPicture describe(PlanarFrame& frame, const CodedPicture& picture, int widthMbs,
                                         int pictureHeightMbs, int bitDepth);

private:
    void writeParameterSets();
    void writePicture(const PlanarFrame& source, PlanarFrame& recon, const MbPlan* plans, int parity,
                      bool idr, CodedPicture& out);
    void writeSliceHeader(RbspWriter& bw, int firstMb, int parity, bool idr) const;

    FieldStreamOptions opt_;
    std::vector<uint8_t> stream_;
    int accessUnits_ = 0;
};

} // namespace vorn::test
