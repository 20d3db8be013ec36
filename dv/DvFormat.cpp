#include "dv/DvFormat.h"

#include <array>

namespace vorn::dv {

namespace {

constexpr DvFormatInfo makeInfo(VideoFormat code, const char* name, int w, int h, int full, int bytes, int channels,
                                int seq, int videoSeq, int blocks, ChromaLayout chroma, bool hd)
{
    DvFormatInfo i;
    i.code = code;
    i.codecName = name;
    i.codedWidth = w;
    i.height = h;
    i.fullWidth = full;
    i.bytesPerFrame = bytes;
    i.channels = channels;
    i.sequencesPerChannel = seq;
    i.videoSequencesPerChannel = videoSeq;
    i.blocksPerMacroblock = blocks;
    i.chroma = chroma;
    i.hd = hd;
    i.decodable = true;
    return i;
}

const std::array<DvFormatInfo, 11> kFormats = {
    DvFormatInfo{},
    makeInfo(1, "DV100_1080/59.94i", 1280, 1080, 1920, 480000, 4, 10, 10, 8, ChromaLayout::k422Hd, true),
    makeInfo(2, "DV100_720/59.94p", 960, 720, 1280, 240000, 2, 10, 10, 8, ChromaLayout::k422Hd, true),
    makeInfo(3, "DV100_1080/50i", 1440, 1080, 1920, 576000, 4, 12, 11, 8, ChromaLayout::k422Hd, true),
    makeInfo(4, "DV100_720/50p", 960, 720, 1280, 288000, 2, 12, 10, 8, ChromaLayout::k422Hd, true),
    makeInfo(5, "DV25_411", 720, 480, 720, 120000, 1, 10, 10, 6, ChromaLayout::k411, false),
    makeInfo(6, "DV25_420", 720, 576, 720, 144000, 1, 12, 12, 6, ChromaLayout::k420, false),
    makeInfo(7, "DV50_422", 720, 576, 720, 288000, 2, 12, 12, 6, ChromaLayout::k422Sd, false),
    makeInfo(8, "DV50_422", 720, 480, 720, 240000, 2, 10, 10, 6, ChromaLayout::k422Sd, false),
    makeInfo(9, "DV25_411", 720, 576, 720, 144000, 1, 12, 12, 6, ChromaLayout::k411, false),
    makeInfo(10, "DV25_411", 720, 480, 720, 120000, 1, 10, 10, 6, ChromaLayout::k411, false),
};

} // namespace

const DvFormatInfo* dvFormatInfo(VideoFormat code)
{
    if (code < 1 || code > 10)
        return nullptr;
    return &kFormats[static_cast<size_t>(code)];
}

} // namespace vorn::dv
