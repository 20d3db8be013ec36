// The test stream writer checked against FFmpeg: what FFmpeg decodes from the written field
// pairs and frames is the writer's reconstruction (the I_PCM samples as written, woven into a
// frame). With deblocking enabled, FFmpeg's filtered output is also the deblocking filter of
// this project applied to that reconstruction, picture by picture.
#include "helpers/FieldStreamWriter.h"

#include "avci/Deblock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

struct WriterCase {
    const char* name;
    int widthMbs, heightMbs, bitDepth, chromaFormat;
    bool fieldPairs, deblocking;
    int alphaDiv2, betaDiv2, chromaOffset;
    int mbRowsPerSlice = 0, deblockingIdc = 0;
};

// Flat-ish macroblocks (a random level plus slight noise) so that macroblock edges carry steps
// the filter acts on, with a few sharp ones it must leave alone.
PlanarFrame makeSource(const WriterCase& c, std::mt19937& rng)
{
    PlanarFrame f(16 * c.widthMbs, 16 * c.heightMbs, c.chromaFormat);
    const int scale = 1 << (c.bitDepth - 8);
    std::uniform_int_distribution<int> level(60, 190), noise(-2, 2), sharp(0, 9);
    for (int comp = 0; comp < 3; ++comp) {
        const int w = f.planeWidth(comp), h = f.planeHeight(comp);
        const int bw = comp ? 8 : 16, bh = comp ? (c.chromaFormat == 1 ? 4 : 8) : 8;
        std::vector<int> base(static_cast<size_t>((w / bw + 1) * (h / bh + 1)));
        for (int& b : base) b = sharp(rng) == 0 ? level(rng) : 120 + noise(rng) * 4;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int v = base[static_cast<size_t>((y / bh) * (w / bw + 1) + x / bw)] + noise(rng);
                f.plane(comp)[static_cast<size_t>(y * w + x)] = static_cast<uint16_t>(v * scale + noise(rng));
            }
    }
    return f;
}

std::vector<MbPlan> makePlans(int count, std::mt19937& rng, bool allPcm)
{
    std::vector<MbPlan> plans(static_cast<size_t>(count));
    std::uniform_int_distribution<int> kind(0, 2), qp(18, 46);
    for (MbPlan& p : plans) {
        p.coding = (allPcm || kind(rng) == 0) ? MbCoding::Pcm : MbCoding::Intra16x16Dc;
        p.qp = qp(rng);
    }
    return plans;
}

std::vector<uint16_t> toSamples(const std::vector<uint8_t>& bytes, int bitDepth)
{
    std::vector<uint16_t> s;
    if (bitDepth == 8) {
        s.assign(bytes.begin(), bytes.end());
    } else {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) s.push_back(static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return s;
}

std::vector<uint16_t> flatten(const std::vector<PlanarFrame>& frames)
{
    std::vector<uint16_t> out;
    for (const PlanarFrame& f : frames)
        for (int c = 0; c < 3; ++c) out.insert(out.end(), f.plane(c).begin(), f.plane(c).end());
    return out;
}

// Decodes the stream with FFmpeg into planar samples of all frames.
std::vector<uint16_t> ffmpegDecode(const std::filesystem::path& stream, const WriterCase& c, bool loopFilter)
{
    const std::string pixFmt = std::string(c.chromaFormat == 1 ? "yuv420p" : "yuv422p") + (c.bitDepth == 10 ? "10le" : "");
    const std::filesystem::path out = stream.parent_path() / (loopFilter ? "filtered.yuv" : "unfiltered.yuv");
    const std::string cmd = "ffmpeg -v error -y -threads 1 " + std::string(loopFilter ? "" : "-skip_loop_filter all ") +
                            "-f h264 -i " + shellQuote(stream.string()) + " -f rawvideo -pix_fmt " + pixFmt + " " +
                            shellQuote(out.string());
    const CommandResult r = runCommand(cmd);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "") << "FFmpeg reported problems with the stream";
    return toSamples(readBytes(out), c.bitDepth);
}

// Index of the first differing sample, or -1.
long firstDifference(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b)
{
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return static_cast<long>(i);
    return -1;
}

} // namespace

TEST(FieldStreamWriter, FfmpegDecodesTheWrittenPicturesAndDeblocksLikeThisProject)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const WriterCase cases[] = {
        {"fields 8-bit 4:2:0 all I_PCM", 3, 4, 8, 1, true, false, 0, 0, 0},
        {"fields 10-bit 4:2:2 mixed", 3, 4, 10, 2, true, false, 0, 0, 0},
        {"frames 8-bit 4:2:2 mixed", 2, 3, 8, 2, false, false, 0, 0, 0},
        {"fields 8-bit 4:2:0 deblocked", 4, 4, 8, 1, true, true, 0, 0, 0},
        {"fields 10-bit 4:2:2 deblocked with offsets", 3, 6, 10, 2, true, true, 2, -1, 3},
        {"frames 10-bit 4:2:0 deblocked", 3, 3, 10, 1, false, true, -1, 2, -2},
        {"frames 8-bit 4:2:2 deblocked", 4, 2, 8, 2, false, true, 3, 3, 1},
        {"fields 8-bit 4:2:0 one slice per row", 3, 6, 8, 1, true, false, 0, 0, 0, 1, 0},
        {"fields 8-bit 4:2:0 slices, slice edges unfiltered", 3, 6, 8, 1, true, true, 1, 0, 0, 1, 2},
        {"frames 10-bit 4:2:2 slices, filtered across", 2, 4, 10, 2, false, true, 0, 1, -1, 2, 0},
        {"frames 10-bit 4:2:2 slices, slice edges unfiltered", 2, 4, 10, 2, false, true, 0, 1, -1, 2, 2},
    };
    for (const WriterCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(static_cast<unsigned>(c.widthMbs * 131 + c.heightMbs * 17 + c.bitDepth + c.chromaFormat));
        FieldStreamOptions o;
        o.widthMbs = c.widthMbs;
        o.heightMbs = c.heightMbs;
        o.bitDepth = c.bitDepth;
        o.chromaFormat = c.chromaFormat;
        o.fieldPairs = c.fieldPairs;
        o.deblocking = c.deblocking;
        o.alphaOffsetDiv2 = c.alphaDiv2;
        o.betaOffsetDiv2 = c.betaDiv2;
        o.chromaQpIndexOffset = c.chromaOffset;
        o.mbRowsPerSlice = c.mbRowsPerSlice;
        o.deblockingIdc = c.deblockingIdc;
        FieldStreamWriter writer(o);
        const bool allPcm = std::string(c.name).find("all I_PCM") != std::string::npos;
        const int pictureHeightMbs = c.fieldPairs ? c.heightMbs / 2 : c.heightMbs;

        std::vector<PlanarFrame> sources, reconstructions, deblocked;
        for (int au = 0; au < 2; ++au) {
            sources.push_back(makeSource(c, rng));
            CodedAccessUnit unit =
                writer.addAccessUnit(sources.back(), makePlans(c.widthMbs * c.heightMbs, rng, allPcm));
            reconstructions.push_back(unit.reconstruction);
            PlanarFrame filtered = unit.reconstruction;
            for (const CodedPicture& p : unit.pictures)
                ASSERT_TRUE(avci::deblockPicture(
                    FieldStreamWriter::describe(filtered, p, c.widthMbs, pictureHeightMbs, c.bitDepth)));
            deblocked.push_back(filtered);
        }
        const std::filesystem::path dir = scratchDir("fieldwriter");
        const std::filesystem::path file = dir / "stream.264";
        writeBytes(file, writer.stream());

        if (allPcm) {
            EXPECT_EQ(flatten(reconstructions), flatten(sources)) << "I_PCM must reproduce the source";
        }
        const std::vector<uint16_t> unfiltered = ffmpegDecode(file, c, false);
        EXPECT_EQ(firstDifference(unfiltered, flatten(reconstructions)), -1) << "decode without the loop filter";
        const std::vector<uint16_t> filtered = ffmpegDecode(file, c, true);
        if (c.deblocking) {
            EXPECT_NE(flatten(deblocked), flatten(reconstructions)) << "the content should give the filter work";
            EXPECT_EQ(firstDifference(filtered, flatten(deblocked)), -1) << "deblocked decode";
        } else {
            EXPECT_EQ(flatten(deblocked), flatten(reconstructions)) << "filter disabled by the slices";
            EXPECT_EQ(firstDifference(filtered, flatten(reconstructions)), -1);
        }
    }
}

TEST(FieldStreamWriter, RejectsPlansThatDoNotFit)
{
    FieldStreamOptions o;
    o.heightMbs = 3; // odd: no field pairs
    EXPECT_THROW(FieldStreamWriter{o}, std::invalid_argument);
    o.heightMbs = 2;
    FieldStreamWriter w(o);
    PlanarFrame f(32, 32, 1);
    EXPECT_THROW(w.addAccessUnit(f, std::vector<MbPlan>(3)), std::invalid_argument);
    EXPECT_NO_THROW(w.addAccessUnit(f, std::vector<MbPlan>(4)));
}
