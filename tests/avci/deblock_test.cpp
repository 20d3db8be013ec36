// Deblocking filter: single edges against the filter formulas written out plainly, and small
// pictures in which exactly one edge has content, so the expected samples follow from the
// formula for that edge alone.
#include "avci/AvcTables.h"
#include "avci/Deblock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace vorn::avci;

namespace {

// Samples across one edge: p[0] = p0 (next to the edge), q[0] = q0.
struct Line {
    int p[4];
    int q[4];
};

int clip(int lo, int hi, int v) { return std::min(hi, std::max(lo, v)); }

// The edge filter as the standard writes it, for one line of samples.
Line reference(const Line& in, int bS, int indexA, int indexB, int bitDepth, bool chroma)
{
    Line out = in;
    const int scale = 1 << (bitDepth - 8);
    const int alpha = kDeblockAlpha[indexA] * scale;
    const int beta = kDeblockBeta[indexB] * scale;
    const int p0 = in.p[0], p1 = in.p[1], p2 = in.p[2], p3 = in.p[3];
    const int q0 = in.q[0], q1 = in.q[1], q2 = in.q[2], q3 = in.q[3];
    const bool filterSamples = bS > 0 && std::abs(p0 - q0) < alpha && std::abs(p1 - p0) < beta &&
                               std::abs(q1 - q0) < beta;
    if (!filterSamples) return out;
    const int ap = std::abs(p2 - p0), aq = std::abs(q2 - q0);
    const int maxV = (1 << bitDepth) - 1;
    if (bS < 4) {
        const int tc0 = kDeblockTc0[indexA][bS - 1] * scale;
        const int tc = chroma ? tc0 + 1 : tc0 + (ap < beta) + (aq < beta);
        const int delta = clip(-tc, tc, (((q0 - p0) << 2) + (p1 - q1) + 4) >> 3);
        out.p[0] = clip(0, maxV, p0 + delta);
        out.q[0] = clip(0, maxV, q0 - delta);
        if (!chroma && ap < beta) out.p[1] = p1 + clip(-tc0, tc0, (p2 + ((p0 + q0 + 1) >> 1) - (p1 << 1)) >> 1);
        if (!chroma && aq < beta) out.q[1] = q1 + clip(-tc0, tc0, (q2 + ((p0 + q0 + 1) >> 1) - (q1 << 1)) >> 1);
        return out;
    }
    const bool small = std::abs(p0 - q0) < ((alpha >> 2) + 2);
    if (!chroma && ap < beta && small) {
        out.p[0] = (p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3;
        out.p[1] = (p2 + p1 + p0 + q0 + 2) >> 2;
        out.p[2] = (2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3;
    } else {
        out.p[0] = (2 * p1 + p0 + q1 + 2) >> 2;
    }
    if (!chroma && aq < beta && small) {
        out.q[0] = (p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3;
        out.q[1] = (p0 + q0 + q1 + q2 + 2) >> 2;
        out.q[2] = (2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3;
    } else {
        out.q[0] = (2 * q1 + q0 + p1 + 2) >> 2;
    }
    return out;
}

struct EdgeCase {
    const char* name;
    Line in;
    int bS, indexA, indexB, bitDepth;
    bool chroma;
    bool changes; // whether the filter is expected to touch the line at all
};

} // namespace

TEST(DeblockEdge, FilterMatchesTheFormulasInBothDirections)
{
    const EdgeCase cases[] = {
        {"luma bS4 strong", {{60, 62, 64, 66}, {74, 72, 70, 69}}, 4, 36, 36, 8, false, true},
        {"luma bS4 weak (step too big)", {{60, 60, 60, 60}, {78, 78, 78, 78}}, 4, 36, 36, 8, false, true},
        {"luma bS4 p side flat q side rough", {{60, 61, 60, 61}, {66, 75, 66, 60}}, 4, 40, 40, 8, false, true},
        {"luma bS3", {{60, 62, 64, 66}, {74, 72, 70, 69}}, 3, 36, 36, 8, false, true},
        {"luma bS3 ap/aq fail", {{60, 62, 80, 66}, {70, 72, 40, 69}}, 3, 40, 36, 8, false, true},
        {"luma bS1 clip by tc", {{10, 10, 10, 10}, {30, 30, 30, 30}}, 1, 42, 42, 8, false, true},
        {"chroma bS4", {{60, 62, 64, 66}, {74, 72, 70, 69}}, 4, 36, 36, 8, true, true},
        {"chroma bS3", {{60, 62, 64, 66}, {74, 72, 70, 69}}, 3, 36, 36, 8, true, true},
        {"p0-q0 at alpha stays", {{100, 100, 100, 100}, {140, 140, 140, 140}}, 4, 34, 51, 8, false, false},
        {"p0-q0 below alpha filters", {{100, 100, 100, 100}, {139, 139, 139, 139}}, 4, 34, 51, 8, false, true},
        {"p1-p0 at beta stays", {{100, 110, 100, 100}, {104, 104, 104, 104}}, 4, 30, 30, 8, false, false},
        {"indexA below 16 stays", {{100, 101, 102, 103}, {102, 101, 100, 99}}, 4, 15, 40, 8, false, false},
        {"bS 0 stays", {{100, 101, 102, 103}, {102, 101, 100, 99}}, 0, 40, 40, 8, false, false},
        {"10-bit luma bS4", {{400, 408, 416, 424}, {456, 448, 440, 436}}, 4, 36, 36, 10, false, true},
        {"10-bit luma bS3", {{400, 408, 416, 424}, {456, 448, 440, 436}}, 3, 36, 36, 10, false, true},
        {"10-bit chroma bS3", {{400, 408, 416, 424}, {456, 448, 440, 436}}, 3, 36, 36, 10, true, true},
        {"10-bit thresholds scaled", {{400, 400, 400, 400}, {500, 500, 500, 500}}, 4, 36, 36, 10, false, true},
        {"10-bit p0-q0 at alpha stays", {{400, 400, 400, 400}, {600, 600, 600, 600}}, 4, 36, 36, 10, false, false},
        {"10-bit clip at 1023", {{1023, 1023, 1023, 1023}, {1000, 1023, 1023, 1023}}, 2, 51, 51, 10, false, true},
    };
    for (const EdgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Line want = reference(c.in, c.bS, c.indexA, c.indexB, c.bitDepth, c.chroma);
        bool differs = false;
        for (int i = 0; i < 4; ++i) differs |= want.p[i] != c.in.p[i] || want.q[i] != c.in.q[i];
        EXPECT_EQ(differs, c.changes) << "case does not exercise what its name says";

        // Vertical edge: samples along a row; three identical rows.
        uint16_t row[3][8];
        for (int r = 0; r < 3; ++r)
            for (int i = 0; i < 4; ++i) {
                row[r][3 - i] = static_cast<uint16_t>(c.in.p[i]);
                row[r][4 + i] = static_cast<uint16_t>(c.in.q[i]);
            }
        filterEdgeLines(&row[0][4], 1, 8, 3, c.bS, c.indexA, c.indexB, c.bitDepth, c.chroma);
        // Horizontal edge: samples down a column of a 2-wide block.
        uint16_t col[8][2];
        for (int i = 0; i < 4; ++i)
            for (int x = 0; x < 2; ++x) {
                col[3 - i][x] = static_cast<uint16_t>(c.in.p[i]);
                col[4 + i][x] = static_cast<uint16_t>(c.in.q[i]);
            }
        filterEdgeLines(&col[4][0], 2, 1, 2, c.bS, c.indexA, c.indexB, c.bitDepth, c.chroma);
        for (int i = 0; i < 4; ++i) {
            for (int r = 0; r < 3; ++r) {
                EXPECT_EQ(row[r][3 - i], want.p[i]) << "row p" << i;
                EXPECT_EQ(row[r][4 + i], want.q[i]) << "row q" << i;
            }
            for (int x = 0; x < 2; ++x) {
                EXPECT_EQ(col[3 - i][x], want.p[i]) << "column p" << i;
                EXPECT_EQ(col[4 + i][x], want.q[i]) << "column q" << i;
            }
        }
    }
}

namespace {

// A small picture of 16-bit planes with one info record per macroblock.
struct TestPicture {
    int wMbs, hMbs, chroma, bitDepth;
    std::vector<uint16_t> plane[3];
    int width[3], height[3];
    std::vector<DeblockMbInfo> mbs;

    TestPicture(int w, int h, int chromaArrayType = 1, int depth = 8)
        : wMbs(w), hMbs(h), chroma(chromaArrayType), bitDepth(depth), mbs(static_cast<size_t>(w * h))
    {
        width[0] = 16 * w;
        height[0] = 16 * h;
        const int cw = chroma == 3 ? 16 : 8, ch = chroma == 1 ? 8 : 16;
        for (int c = 1; c < 3; ++c) {
            width[c] = chroma ? cw * w : 0;
            height[c] = chroma ? ch * h : 0;
        }
        for (int c = 0; c < 3; ++c) plane[c].assign(static_cast<size_t>(width[c] * height[c]), 0);
    }
    // The macroblock descriptions, one a macroblock in address order, or one for all.
    void setMbs(std::initializer_list<DeblockMbInfo> list)
    {
        ASSERT_EQ(list.size(), mbs.size());
        std::copy(list.begin(), list.end(), mbs.begin());
    }
    void setAllMbs(const DeblockMbInfo& m) { std::fill(mbs.begin(), mbs.end(), m); }
    uint16_t& at(int c, int x, int y) { return plane[c][static_cast<size_t>(y * width[c] + x)]; }
    void fill(int c, int x0, int y0, int w, int h, int v)
    {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) at(c, x, y) = static_cast<uint16_t>(v);
    }
    DeblockPicture description(PictureStructure s = PictureStructure::Frame, bool mbaff = false)
    {
        DeblockPicture d;
        for (int c = 0; c < 3; ++c) {
            d.plane[c] = plane[c].empty() ? nullptr : plane[c].data();
            d.stride[c] = width[c];
        }
        d.chromaArrayType = chroma;
        d.bitDepthY = d.bitDepthC = bitDepth;
        d.widthMbs = wMbs;
        d.heightMbs = hMbs;
        d.structure = s;
        d.mbaff = mbaff;
        d.mbs = mbs.data();
        return d;
    }
};

// Reads the 8 samples across a vertical edge at column x (p0 at x - 1) in row y.
Line lineAcrossVertical(TestPicture& t, int c, int x, int y)
{
    Line l;
    for (int i = 0; i < 4; ++i) {
        l.p[i] = t.at(c, x - 1 - i, y);
        l.q[i] = t.at(c, x + i, y);
    }
    return l;
}

// Samples across a horizontal edge at row y in column x, with the lines of one field when
// step is 2 (p0 at y - step).
Line lineAcrossHorizontal(TestPicture& t, int c, int x, int y, int step = 1)
{
    Line l;
    for (int i = 0; i < 4; ++i) {
        l.p[i] = t.at(c, x, y - step * (i + 1));
        l.q[i] = t.at(c, x, y + step * i);
    }
    return l;
}

void expectLine(const Line& got, const Line& want, const char* what)
{
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(got.p[i], want.p[i]) << what << " p" << i;
        EXPECT_EQ(got.q[i], want.q[i]) << what << " q" << i;
    }
}

int chromaQpOf(int qpY, int offset, int bitDepth)
{
    return chromaQpFromIndex(clip(-6 * (bitDepth - 8), 51, qpY + offset));
}

} // namespace

TEST(DeblockPictureTest, VerticalMacroblockEdgeUsesBs4AndTheAverageQp)
{
    // Two macroblocks side by side, each flat; only the edge between them has a step.
    const struct {
        const char* name;
        int qpLeft, qpRight, offA, offB, chromaOffset, bitDepth;
        bool pcmLeft;
    } cases[] = {
        {"8-bit equal qp", 36, 36, 0, 0, 0, 8, false},
        {"8-bit different qp and offsets", 30, 41, 4, -2, 3, 8, false},
        {"10-bit", 33, 37, 0, 0, -2, 10, false},
        {"I_PCM neighbour filters with qp 0", 0, 44, 0, 0, 0, 8, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        TestPicture t(2, 1, 1, k.bitDepth);
        const int s = 1 << (k.bitDepth - 8);
        t.fill(0, 0, 0, 16, 16, 100 * s);
        t.fill(0, 16, 0, 16, 16, 112 * s);
        t.fill(1, 0, 0, 8, 8, 90 * s);
        t.fill(1, 8, 0, 8, 8, 97 * s);
        t.fill(2, 0, 0, 16, 8, 120 * s); // Cr flat: must stay
        // The 8x8 transform keeps the 4-sample internal luma edges out of the way.
        auto mb = [&k](int qp, bool pcm) {
            return DeblockMbInfo{.qpY = static_cast<int8_t>(qp),
                                 .pcm = static_cast<uint8_t>(pcm),
                                 .transform8x8 = 1,
                                 .filterOffsetA = static_cast<int8_t>(k.offA),
                                 .filterOffsetB = static_cast<int8_t>(k.offB),
                                 .chromaQpOffset = static_cast<int8_t>(k.chromaOffset)};
        };
        t.setMbs({mb(k.pcmLeft ? 20 : k.qpLeft, k.pcmLeft), mb(k.qpRight, false)}); // qp ignored for I_PCM
        const Line lumaIn = lineAcrossVertical(t, 0, 16, 5);
        const Line cbIn = lineAcrossVertical(t, 1, 8, 3);
        ASSERT_TRUE(deblockPicture(t.description()));

        const int qpAv = (k.qpLeft + k.qpRight + 1) >> 1;
        const Line lumaWant = reference(lumaIn, 4, clip(0, 51, qpAv + k.offA), clip(0, 51, qpAv + k.offB), k.bitDepth, false);
        const int qpcAv = (chromaQpOf(k.qpLeft, k.chromaOffset, k.bitDepth) +
                           chromaQpOf(k.qpRight, k.chromaOffset, k.bitDepth) + 1) >> 1;
        const Line cbWant = reference(cbIn, 4, clip(0, 51, qpcAv + k.offA), clip(0, 51, qpcAv + k.offB), k.bitDepth, true);
        for (int y = 0; y < 16; ++y) expectLine(lineAcrossVertical(t, 0, 16, y), lumaWant, "luma");
        for (int y = 0; y < 8; ++y) expectLine(lineAcrossVertical(t, 1, 8, y), cbWant, "cb");
        EXPECT_EQ(std::count(t.plane[2].begin(), t.plane[2].end(), 120 * s), 16 * 8);
        // Columns away from the edge are untouched.
        EXPECT_EQ(t.at(0, 11, 7), 100 * s);
        EXPECT_EQ(t.at(0, 20, 7), 112 * s);
    }
}

TEST(DeblockPictureTest, HorizontalMacroblockEdgeIsBs4InFramesAndBs3InFieldPictures)
{
    for (PictureStructure s : {PictureStructure::Frame, PictureStructure::TopField, PictureStructure::BottomField}) {
        SCOPED_TRACE(static_cast<int>(s));
        TestPicture t(1, 2, 0);
        t.fill(0, 0, 0, 16, 16, 80);
        t.fill(0, 0, 16, 16, 16, 89);
        t.setAllMbs({.qpY = 38, .transform8x8 = 1});
        const Line in = lineAcrossHorizontal(t, 0, 3, 16);
        ASSERT_TRUE(deblockPicture(t.description(s)));
        const int bS = s == PictureStructure::Frame ? 4 : 3;
        const Line want = reference(in, bS, 38, 38, 8, false);
        for (int x = 0; x < 16; ++x) expectLine(lineAcrossHorizontal(t, 0, x, 16), want, "luma");
    }
}

TEST(DeblockPictureTest, SliceAndDisableRules)
{
    const struct {
        const char* name;
        int idcRight, sliceRight;
        bool filtered;
    } cases[] = {
        {"idc 0 across slices", 0, 1, true},
        {"idc 1", 1, 0, false},
        {"idc 2 same slice", 2, 0, true},
        {"idc 2 other slice", 2, 1, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        TestPicture t(2, 1, 0);
        t.fill(0, 0, 0, 16, 16, 100);
        t.fill(0, 16, 0, 16, 16, 108);
        t.setMbs({{.qpY = 40, .transform8x8 = 1},
                  {.qpY = 40, .transform8x8 = 1, .disableIdc = static_cast<uint8_t>(k.idcRight), .slice = k.sliceRight}});
        ASSERT_TRUE(deblockPicture(t.description()));
        EXPECT_EQ(t.at(0, 16, 4) != 108, k.filtered);
        EXPECT_EQ(t.at(0, 15, 4) != 100, k.filtered);
    }
}

TEST(DeblockPictureTest, InternalEdgesFollowTheTransformSize)
{
    // A step 12 samples into a macroblock is a transform edge only for 4x4 transforms.
    for (int t8 : {0, 1}) {
        TestPicture t(1, 1, 0);
        t.fill(0, 0, 0, 12, 16, 70);
        t.fill(0, 12, 0, 4, 16, 76);
        t.setMbs({{.qpY = 40, .transform8x8 = static_cast<uint8_t>(t8)}});
        const Line in = lineAcrossVertical(t, 0, 12, 0);
        ASSERT_TRUE(deblockPicture(t.description()));
        const Line want = t8 ? in : reference(in, 3, 40, 40, 8, false);
        for (int y = 0; y < 16; ++y) expectLine(lineAcrossVertical(t, 0, 12, y), want, t8 ? "8x8" : "4x4");
    }
    // A step 8 samples in is filtered (bS 3) with either transform.
    TestPicture t(1, 1, 0);
    t.fill(0, 0, 0, 16, 8, 70);
    t.fill(0, 0, 8, 16, 8, 76);
    t.setMbs({{.qpY = 40, .transform8x8 = 1}});
    const Line in = lineAcrossHorizontal(t, 0, 0, 8);
    ASSERT_TRUE(deblockPicture(t.description()));
    expectLine(lineAcrossHorizontal(t, 0, 9, 8), reference(in, 3, 40, 40, 8, false), "row 8");
}

TEST(DeblockPictureTest, ChromaEdgesOf422AreEveryFourRows)
{
    // 4:2:2 chroma is 8x16 per macroblock: transform edges at rows 4, 8, 12. A step at row 8
    // is filtered with bS 3 and the chroma QP; the same step at row 6 is not an edge.
    for (int row : {8, 6}) {
        SCOPED_TRACE(row);
        TestPicture t(1, 1, 2, 10);
        t.fill(1, 0, 0, 8, row, 500);
        t.fill(1, 0, row, 8, 16 - row, 530);
        t.setMbs({{.qpY = 40, .chromaQpOffset = 2}});
        const Line in = lineAcrossHorizontal(t, 1, 2, row);
        ASSERT_TRUE(deblockPicture(t.description()));
        const int qpc = chromaQpOf(40, 2, 10);
        const Line want = row % 4 == 0 ? reference(in, 3, qpc, qpc, 10, true) : in;
        for (int x = 0; x < 8; ++x) expectLine(lineAcrossHorizontal(t, 1, x, row), want, "cb");
    }
}

TEST(DeblockPictureTest, Chroma444FiltersLikeLumaWithTheChromaQp)
{
    // 4:4:4 chroma planes use the luma filters (strong bS 4 filter included) and the luma edge
    // rules, including the 8x8 transform rule, with the chroma QP.
    for (int t8 : {0, 1}) {
        SCOPED_TRACE(t8);
        TestPicture t(2, 1, 3);
        t.fill(2, 0, 0, 16, 16, 80);
        t.fill(2, 16, 0, 4, 16, 89);  // macroblock edge at 16, transform edge at 20
        t.fill(2, 20, 0, 12, 16, 95);
        t.setAllMbs({.qpY = 36, .transform8x8 = static_cast<uint8_t>(t8), .secondChromaQpOffset = -3});
        const Line mbEdge = lineAcrossVertical(t, 2, 16, 0);
        ASSERT_TRUE(deblockPicture(t.description()));
        const int qpc = chromaQpOf(36, -3, 8);
        Line want = reference(mbEdge, 4, qpc, qpc, 8, false);
        ASSERT_NE(want.p[2], mbEdge.p[2]) << "the strong filter should reach p2";
        if (!t8) {
            // The transform edge at 20 then sees x16..x19 (q0..q2 filtered, q3 not) as its p side.
            const Line inner{{mbEdge.q[3], want.q[2], want.q[1], want.q[0]}, {95, 95, 95, 95}};
            const Line innerWant = reference(inner, 3, qpc, qpc, 8, false);
            const int expected[10] = {want.p[3],  want.p[2],  want.p[1],  want.p[0],  want.q[0],
                                      want.q[1],  innerWant.p[1], innerWant.p[0], innerWant.q[0], innerWant.q[1]};
            for (int y = 0; y < 16; ++y)
                for (int x = 12; x < 22; ++x) EXPECT_EQ(t.at(2, x, y), expected[x - 12]) << "x " << x << " y " << y;
        } else {
            for (int y = 0; y < 16; ++y) expectLine(lineAcrossVertical(t, 2, 16, y), want, "macroblock edge");
            EXPECT_EQ(t.at(2, 20, 9), 95) << "no 4-sample transform edge with the 8x8 transform";
        }
    }
}

// The top edge of a macroblock pair below another pair in one column of an MBAFF frame,
// for each combination of frame and field pairs. The edge is filtered twice, each time with
// the lines of one field (bS 3): rows 32, 34, 36 against 30, 28, 26 with the QP of the
// macroblocks holding those lines, then the same for the odd rows.
TEST(DeblockPictureTest, MbaffTopEdgeOfAPairIsFilteredPerFieldWithEachFieldsQp)
{
    struct Case {
        const char* name;
        bool fieldAbove, fieldBelow;
        int above[2], below[2]; // samples of the even and odd rows of each pair
        int qp[4];              // QP_Y of the macroblocks in address order
        int qpEven, qpOdd;      // the average QP of the edge of each field
        bool evenFiltered, oddFiltered;
    };
    const Case cases[] = {
        // The frame pair's top macroblock holds the lines below the edge of both fields; the
        // bottom field macroblock's average of 30 gives alpha 25, and its step of 30 stays.
        {"frame pair below a field pair", true, false, {90, 70}, {100, 100}, {44, 20, 40, 40},
         (44 + 40 + 1) >> 1, 30, true, false},
        // Each field macroblock meets the bottom frame macroblock above it.
        {"field pair below a frame pair", false, true, {90, 90}, {97, 104}, {40, 42, 40, 46},
         (42 + 40 + 1) >> 1, (42 + 46 + 1) >> 1, true, true},
        // Fields meet fields of the same parity; the bottom fields' average of 20 gives alpha 7,
        // below their step of 10.
        {"field pair below a field pair", true, true, {90, 93}, {100, 103}, {20, 0, 40, 40}, 30, 20, true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPicture t(1, 4, 0);
        for (int y = 0; y < 64; ++y) t.fill(0, 0, y, 16, 1, y < 32 ? c.above[y % 2] : c.below[y % 2]);
        auto mb = [](int qp, bool field) {
            return DeblockMbInfo{.qpY = static_cast<int8_t>(qp), .fieldMb = static_cast<uint8_t>(field), .transform8x8 = 1};
        };
        t.setMbs({mb(c.qp[0], c.fieldAbove), mb(c.qp[1], c.fieldAbove), mb(c.qp[2], c.fieldBelow),
                  mb(c.qp[3], c.fieldBelow)});
        const Line evenIn = lineAcrossHorizontal(t, 0, 0, 32, 2);
        const Line oddIn = lineAcrossHorizontal(t, 0, 0, 33, 2);
        ASSERT_TRUE(deblockPicture(t.description(PictureStructure::Frame, true)));
        const Line evenWant = reference(evenIn, 3, c.qpEven, c.qpEven, 8, false);
        const Line oddWant = reference(oddIn, 3, c.qpOdd, c.qpOdd, 8, false);
        ASSERT_EQ(evenWant.q[0] != evenIn.q[0], c.evenFiltered);
        ASSERT_EQ(oddWant.q[0] != oddIn.q[0], c.oddFiltered);
        for (int x = 0; x < 16; ++x) {
            expectLine(lineAcrossHorizontal(t, 0, x, 32, 2), evenWant, "even rows (top field)");
            expectLine(lineAcrossHorizontal(t, 0, x, 33, 2), oddWant, "odd rows (bottom field)");
        }
        // The upper pair's internal edges have no step within a field and stay.
        EXPECT_EQ(t.at(0, 5, 16), c.above[0]);
        EXPECT_EQ(t.at(0, 5, 17), c.above[1]);
    }
}

TEST(DeblockPictureTest, MbaffLeftEdgeTakesTheQpOfTheMacroblockOwningEachRow)
{
    // Left pair field coded, right pair frame coded: rows alternate between the left top and
    // bottom field macroblocks, with different QPs (one too low to filter at all).
    TestPicture t(2, 2, 0);
    t.fill(0, 0, 0, 16, 32, 100);
    t.fill(0, 16, 0, 16, 32, 106);
    t.setMbs({
        {.qpY = 0, .fieldMb = 1, .transform8x8 = 1},  // even rows: average (0 + 36 + 1) / 2 = 18, alpha 5: a step of 6 stays
        {.qpY = 44, .fieldMb = 1, .transform8x8 = 1}, // odd rows: average 40
        {.qpY = 36, .transform8x8 = 1},
        {.qpY = 36, .transform8x8 = 1},
    });
    const Line in = lineAcrossVertical(t, 0, 16, 0);
    ASSERT_TRUE(deblockPicture(t.description(PictureStructure::Frame, true)));
    const Line filtered = reference(in, 4, 40, 40, 8, false);
    ASSERT_NE(filtered.p[0], in.p[0]);
    for (int y = 0; y < 32; ++y) {
        const Line got = lineAcrossVertical(t, 0, 16, y);
        const Line& want = y % 2 ? filtered : in;
        // The p side belongs to the left pair, which nothing filters afterwards. On the q side the
        // right macroblocks' own horizontal edges later smooth the difference between even and
        // odd rows, so only the rows above their first horizontal edge are compared.
        for (int i = 0; i < 4; ++i) EXPECT_EQ(got.p[i], want.p[i]) << "row " << y << " p" << i;
        if (y < 5) {
            for (int i = 0; i < 4; ++i) EXPECT_EQ(got.q[i], want.q[i]) << "row " << y << " q" << i;
        }
    }
}

TEST(DeblockPictureTest, RejectsInconsistentDescriptions)
{
    TestPicture t(2, 2, 1);
    t.setAllMbs({.qpY = 30});
    const std::vector<uint16_t> before = t.plane[0];
    const struct {
        const char* name;
        void (*spoil)(DeblockPicture&, std::vector<DeblockMbInfo>&);
    } cases[] = {
        {"no macroblocks", [](DeblockPicture& d, std::vector<DeblockMbInfo>&) { d.mbs = nullptr; }},
        {"zero width", [](DeblockPicture& d, std::vector<DeblockMbInfo>&) { d.widthMbs = 0; }},
        {"stride too small", [](DeblockPicture& d, std::vector<DeblockMbInfo>&) { d.stride[0] = 16; }},
        {"missing chroma plane", [](DeblockPicture& d, std::vector<DeblockMbInfo>&) { d.plane[2] = nullptr; }},
        {"bit depth 7", [](DeblockPicture& d, std::vector<DeblockMbInfo>&) { d.bitDepthY = 7; }},
        {"MBAFF field picture", [](DeblockPicture& d, std::vector<DeblockMbInfo>&) {
             d.mbaff = true;
             d.structure = PictureStructure::TopField;
         }},
        {"qp above 51", [](DeblockPicture&, std::vector<DeblockMbInfo>& m) { m[1].qpY = 52; }},
        {"qp below the 8-bit range", [](DeblockPicture&, std::vector<DeblockMbInfo>& m) { m[1].qpY = -1; }},
        {"disable idc 3", [](DeblockPicture&, std::vector<DeblockMbInfo>& m) { m[0].disableIdc = 3; }},
        {"pair disagrees on field coding", [](DeblockPicture& d, std::vector<DeblockMbInfo>& m) {
             d.mbaff = true;
             m[0].fieldMb = 1;
         }},
    };
    for (const auto& c : cases) {
        std::vector<DeblockMbInfo> mbs = t.mbs;
        DeblockPicture d = t.description();
        d.mbs = mbs.data();
        c.spoil(d, mbs);
        EXPECT_FALSE(deblockPicture(d)) << c.name;
    }
    EXPECT_EQ(t.plane[0], before);
    EXPECT_TRUE(deblockPicture(t.description()));
}
