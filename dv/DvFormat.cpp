#include "dv/DvFormat.h"

#include <array>

namespace vorn::dv {

namespace {

// The codec's layout of a DV-family code; names, rasters and frame bytes come
// from the video format table.
constexpr DvFormatInfo makeInfo(VideoFormat code, int channels, int seq, int videoSeq, int blocks, ChromaLayout chroma,
                                bool hd)
{
    const VideoFormatInfo& row = *videoFormatInfo(code);
    DvFormatInfo i;
    i.code = code;
    i.codecName = row.codecName;
    i.codedWidth = row.codedWidth;
    i.height = row.lines;
    i.fullWidth = row.pictureWidth;
    i.bytesPerFrame = row.dvFrameBytes;
    i.channels = channels;
    i.sequencesPerChannel = seq;
    i.videoSequencesPerChannel = videoSeq;
    i.blocksPerMacroblock = blocks;
    i.chroma = chroma;
    i.hd = hd;
    i.decodable = true;
    return i;
}

constexpr std::array<DvFormatInfo, 11> kFormats = {
    DvFormatInfo{},
    makeInfo(1, 4, 10, 10, 8, ChromaLayout::k422Hd, true),
    makeInfo(2, 2, 10, 10, 8, ChromaLayout::k422Hd, true),
    makeInfo(3, 4, 12, 11, 8, ChromaLayout::k422Hd, true),
    makeInfo(4, 2, 12, 10, 8, ChromaLayout::k422Hd, true),
    makeInfo(5, 1, 10, 10, 6, ChromaLayout::k411, false),
    makeInfo(6, 1, 12, 12, 6, ChromaLayout::k420, false),
    makeInfo(7, 2, 12, 12, 6, ChromaLayout::k422Sd, false),
    makeInfo(8, 2, 10, 10, 6, ChromaLayout::k422Sd, false),
    makeInfo(9, 1, 12, 12, 6, ChromaLayout::k411, false),
    makeInfo(10, 1, 10, 10, 6, ChromaLayout::k411, false),
};
// The codec's frame layout must agree with the table's frame bytes.
static_assert([] {
    for (int c = 1; c <= 10; ++c)
        if (kFormats[c].channels * kFormats[c].sequencesPerChannel * kDifSequenceBytes != kFormats[c].bytesPerFrame)
            return false;
    return true;
}());

} // namespace

const DvFormatInfo* dvFormatInfo(VideoFormat code)
{
    if (code < 1 || code > 10)
        return nullptr;
    return &kFormats[static_cast<size_t>(code)];
}

} // namespace vorn::dv
