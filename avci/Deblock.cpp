// H.264 deblocking filter for all-intra pictures (frames, field pictures and MBAFF frames).
#include "avci/Deblock.h"

#include "avci/AvcTables.h"

#include <algorithm>
#include <cstdlib>

namespace vorn::avci {

namespace {

inline int clip3(int lo, int hi, int v) { return v < lo ? lo : (v > hi ? hi : v); }

} // namespace

namespace {

inline int absi(int v) { return v < 0 ? -v : v; }
inline int clampi(int lo, int hi, int v) { return std::min(hi, std::max(lo, v)); }
// Branch-free select: a when c, else b.
inline int sel(bool c, int a, int b)
{
    const int m = -static_cast<int>(c);
    return (a & m) | (b & ~m);
}

// The filter of one line, for a fixed filter kind, written without branches on the sample
// values (every candidate result is computed and selected) so that the compiler can run it on
// many lines at once. p[i] / q[i] are the samples at distance i from the edge, updated in place.
template <bool Chroma, bool Bs4>
inline void filterLine(int& p0, int& p1, int& p2, int p3, int& q0, int& q1, int& q2, int q3, int alpha, int beta,
                       int tc0, int maxV)
{
    // Combined without branches: the three tests are all evaluated.
    const bool filter =
        (int(absi(p0 - q0) < alpha) & int(absi(p1 - p0) < beta) & int(absi(q1 - q0) < beta)) != 0;
    if constexpr (Chroma) {
        int np0, nq0;
        if constexpr (Bs4) {
            np0 = (2 * p1 + p0 + q1 + 2) >> 2;
            nq0 = (2 * q1 + q0 + p1 + 2) >> 2;
        } else {
            const int tc = tc0 + 1;
            const int delta = clampi(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
            np0 = clampi(0, maxV, p0 + delta);
            nq0 = clampi(0, maxV, q0 - delta);
        }
        p0 = sel(filter, np0, p0);
        q0 = sel(filter, nq0, q0);
        (void)p2;
        (void)q2;
        (void)p3;
        (void)q3;
    } else {
        const bool ap = absi(p2 - p0) < beta;
        const bool aq = absi(q2 - q0) < beta;
        if constexpr (Bs4) {
            const bool small = absi(p0 - q0) < ((alpha >> 2) + 2);
            const bool strongP = filter & small & ap, strongQ = filter & small & aq;
            const int sp0 = (p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3;
            const int sp1 = (p2 + p1 + p0 + q0 + 2) >> 2;
            const int sp2 = (2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3;
            const int wp0 = (2 * p1 + p0 + q1 + 2) >> 2;
            const int sq0 = (p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3;
            const int sq1 = (p0 + q0 + q1 + q2 + 2) >> 2;
            const int sq2 = (2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3;
            const int wq0 = (2 * q1 + q0 + p1 + 2) >> 2;
            const int np0 = sel(filter, sel(strongP, sp0, wp0), p0);
            const int nq0 = sel(filter, sel(strongQ, sq0, wq0), q0);
            p1 = sel(strongP, sp1, p1);
            p2 = sel(strongP, sp2, p2);
            q1 = sel(strongQ, sq1, q1);
            q2 = sel(strongQ, sq2, q2);
            p0 = np0;
            q0 = nq0;
        } else {
            const int tc = tc0 + static_cast<int>(ap) + static_cast<int>(aq);
            const int delta = clampi(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
            const int avg = (p0 + q0 + 1) >> 1;
            const int np1 = p1 + clampi(-tc0, tc0, (p2 + avg - (p1 * 2)) >> 1);
            const int nq1 = q1 + clampi(-tc0, tc0, (q2 + avg - (q1 * 2)) >> 1);
            const int np0 = clampi(0, maxV, p0 + delta);
            const int nq0 = clampi(0, maxV, q0 - delta);
            p1 = sel(filter & ap, np1, p1);
            q1 = sel(filter & aq, nq1, q1);
            p0 = sel(filter, np0, p0);
            q0 = sel(filter, nq0, q0);
        }
    }
}

template <bool Chroma, bool Bs4>
void filterLines(uint16_t* base, ptrdiff_t s, ptrdiff_t lineStep, int count, int alpha, int beta, int tc0,
                 int maxV)
{
    constexpr int kTaps = Chroma ? 2 : 4; // samples read on each side
    if (count <= 16) {
        // Gather the samples of all lines, filter the lines together (the compiler vectorises
        // this loop), scatter the results back.
        int p[4][16], q[4][16];
        for (int i = 0; i < kTaps; ++i)
            for (int k = 0; k < count; ++k) {
                p[i][k] = base[k * lineStep - (i + 1) * s];
                q[i][k] = base[k * lineStep + i * s];
            }
        for (int i = kTaps; i < 4; ++i)
            for (int k = 0; k < 16; ++k) p[i][k] = q[i][k] = 0;
        for (int k = 0; k < count; ++k)
            filterLine<Chroma, Bs4>(p[0][k], p[1][k], p[2][k], p[3][k], q[0][k], q[1][k], q[2][k], q[3][k], alpha,
                                    beta, tc0, maxV);
        for (int i = 0; i < (Chroma ? 1 : 3); ++i)
            for (int k = 0; k < count; ++k) {
                base[k * lineStep - (i + 1) * s] = static_cast<uint16_t>(p[i][k]);
                base[k * lineStep + i * s] = static_cast<uint16_t>(q[i][k]);
            }
        return;
    }
    for (int k = 0; k < count; ++k) {
        uint16_t* l = base + k * lineStep;
        int p0 = l[-s], p1 = l[-2 * s], q0 = l[0], q1 = l[s];
        int p2 = 0, q2 = 0, p3 = 0, q3 = 0;
        if constexpr (!Chroma) {
            p2 = l[-3 * s];
            q2 = l[2 * s];
            p3 = l[-4 * s];
            q3 = l[3 * s];
        }
        filterLine<Chroma, Bs4>(p0, p1, p2, p3, q0, q1, q2, q3, alpha, beta, tc0, maxV);
        l[-s] = static_cast<uint16_t>(p0);
        l[0] = static_cast<uint16_t>(q0);
        if constexpr (!Chroma) {
            l[-2 * s] = static_cast<uint16_t>(p1);
            l[-3 * s] = static_cast<uint16_t>(p2);
            l[s] = static_cast<uint16_t>(q1);
            l[2 * s] = static_cast<uint16_t>(q2);
        }
    }
}

} // namespace

void filterEdgeLines(uint16_t* base, ptrdiff_t s, ptrdiff_t lineStep, int count, int bS, int indexA,
                     int indexB, int bitDepth, bool chromaStyle)
{
    if (bS <= 0 || count <= 0) return;
    indexA = clip3(0, 51, indexA);
    indexB = clip3(0, 51, indexB);
    const int shift = bitDepth - 8;
    const int alpha = kDeblockAlpha[indexA] << shift;
    const int beta = kDeblockBeta[indexB] << shift;
    if (alpha == 0 || beta == 0) return; // no line can satisfy |p0 - q0| < alpha and the beta tests
    const int maxV = (1 << bitDepth) - 1;
    const int tc0 = bS < 4 ? kDeblockTc0[indexA][bS - 1] << shift : 0;
    if (chromaStyle) {
        if (bS < 4) filterLines<true, false>(base, s, lineStep, count, alpha, beta, tc0, maxV);
        else filterLines<true, true>(base, s, lineStep, count, alpha, beta, tc0, maxV);
    } else {
        if (bS < 4) filterLines<false, false>(base, s, lineStep, count, alpha, beta, tc0, maxV);
        else filterLines<false, true>(base, s, lineStep, count, alpha, beta, tc0, maxV);
    }
}

namespace {

class Deblocker {
public:
    explicit Deblocker(const DeblockPicture& pic) : pic_(pic) {}

    void run()
    {
        const int count = pic_.widthMbs * pic_.heightMbs;
        const int planes = pic_.chromaArrayType == 0 ? 1 : 3;
        for (int mbAddr = 0; mbAddr < count; ++mbAddr) {
            const DeblockMbInfo& cur = pic_.mbs[mbAddr];
            if (cur.disableIdc == 1) continue;
            for (int c = 0; c < planes; ++c) filterMacroblock(mbAddr, c);
        }
    }

private:
    struct Plane {
        uint16_t* data;
        ptrdiff_t stride;
        int mbw, mbh;      // macroblock size in this plane
        int bitDepth;
        bool lumaStyle;    // luma filters and the 8x8 transform rule (luma, and chroma of 4:4:4)
    };

    Plane plane(int c) const
    {
        Plane p{pic_.plane[c], pic_.stride[c], 16, 16, c == 0 ? pic_.bitDepthY : pic_.bitDepthC, true};
        if (c != 0 && pic_.chromaArrayType != 3) {
            p.mbw = 8;
            p.mbh = pic_.chromaArrayType == 1 ? 8 : 16;
            p.lumaStyle = false;
        }
        return p;
    }

    // I_PCM macroblocks filter as QP'Y = 0, that is QPY = -QpBdOffsetY (0 for 8-bit samples),
    // which is what FFmpeg does for high bit depths.
    int lumaQp(const DeblockMbInfo& m) const { return m.pcm ? -6 * (pic_.bitDepthY - 8) : m.qpY; }

    int planeQp(const DeblockMbInfo& m, int c) const
    {
        if (c == 0) return lumaQp(m);
        const int offset = c == 1 ? m.chromaQpOffset : m.secondChromaQpOffset;
        const int qpBdOffsetC = 6 * (pic_.bitDepthC - 8);
        return chromaQpFromIndex(clip3(-qpBdOffsetC, 51, lumaQp(m) + offset));
    }

    // Macroblock address holding picture row y (in plane samples) of macroblock column mbX.
    int mbAt(int y, int mbX, int mbh) const
    {
        if (!pic_.mbaff) return (y / mbh) * pic_.widthMbs + mbX;
        const int pairRow = y / (2 * mbh);
        const int r = y % (2 * mbh);
        const int pair = pairRow * pic_.widthMbs + mbX;
        const bool field = pic_.mbs[2 * pair].fieldMb != 0;
        const int bottom = field ? (r & 1) : (r >= mbh ? 1 : 0);
        return 2 * pair + bottom;
    }

    void edge(const Plane& pl, int c, uint16_t* base, ptrdiff_t sampleStep, ptrdiff_t lineStep, int count,
              int bS, const DeblockMbInfo& p, const DeblockMbInfo& q) const
    {
        const int qpAv = (planeQp(p, c) + planeQp(q, c) + 1) >> 1;
        filterEdgeLines(base, sampleStep, lineStep, count, bS, qpAv + q.filterOffsetA, qpAv + q.filterOffsetB,
                        pl.bitDepth, !pl.lumaStyle);
    }

    void filterMacroblock(int mbAddr, int c) const
    {
        const DeblockMbInfo& cur = pic_.mbs[mbAddr];
        const Plane pl = plane(c);
        const int W = pic_.widthMbs;
        const bool fieldPicture = pic_.structure != PictureStructure::Frame;

        int mbX, yI, dy, pairRow = 0, bottom = 0;
        bool fieldMb = false;
        if (pic_.mbaff) {
            const int pair = mbAddr / 2;
            bottom = mbAddr % 2;
            mbX = pair % W;
            pairRow = pair / W;
            fieldMb = pic_.mbs[2 * pair].fieldMb != 0;
            const int pairTop = pairRow * 2 * pl.mbh;
            yI = fieldMb ? pairTop + bottom : pairTop + bottom * pl.mbh;
            dy = fieldMb ? 2 : 1;
        } else {
            mbX = mbAddr % W;
            yI = (mbAddr / W) * pl.mbh;
            dy = 1;
        }
        const int x0 = mbX * pl.mbw;
        const ptrdiff_t st = pl.stride;
        uint16_t* const origin = pl.data + yI * st + x0; // first sample of the macroblock
        const bool t8 = pl.lumaStyle && cur.transform8x8;

        // Left macroblock edge: bS 4 for intra macroblocks in every picture structure.
        if (mbX > 0) {
            const int leftAddr = pic_.mbaff ? 2 * (mbAddr / 2 - 1) : mbAddr - 1;
            if (!(cur.disableIdc == 2 && pic_.mbs[leftAddr].slice != cur.slice)) {
                if (!pic_.mbaff) {
                    edge(pl, c, origin, 1, dy * st, pl.mbh, 4, pic_.mbs[mbAddr - 1], cur);
                } else {
                    for (int k = 0; k < pl.mbh; ++k) {
                        const int y = yI + dy * k;
                        edge(pl, c, pl.data + y * st + x0, 1, st, 1, 4, pic_.mbs[mbAt(y, mbX - 1, pl.mbh)], cur);
                    }
                }
            }
        }
        // Internal vertical edges (transform block edges), bS 3.
        for (int xE = 4; xE < pl.mbw; xE += 4) {
            if (t8 && (xE & 7)) continue;
            edge(pl, c, origin + xE, 1, dy * st, pl.mbh, 3, cur, cur);
        }

        // Top macroblock edge.
        if (!pic_.mbaff) {
            if (mbAddr >= W) {
                const DeblockMbInfo& above = pic_.mbs[mbAddr - W];
                if (!(cur.disableIdc == 2 && above.slice != cur.slice))
                    edge(pl, c, origin, st, 1, pl.mbw, fieldPicture ? 3 : 4, above, cur);
            }
        } else if (!fieldMb && bottom) {
            // Bottom frame macroblock of a frame pair: the top macroblock of its own pair.
            edge(pl, c, origin, st, 1, pl.mbw, 4, pic_.mbs[mbAddr - 1], cur);
        } else if (pairRow > 0) {
            const int abovePair = (pairRow - 1) * W + mbX;
            const DeblockMbInfo& aboveTop = pic_.mbs[2 * abovePair];
            if (!(cur.disableIdc == 2 && aboveTop.slice != cur.slice)) {
                if (!fieldMb) {
                    if (aboveTop.fieldMb) {
                        // Frame macroblock below a field pair: filtered once per field, with the
                        // lines of that field on both sides.
                        edge(pl, c, origin, 2 * st, 1, pl.mbw, 3, aboveTop, cur);
                        edge(pl, c, origin + st, 2 * st, 1, pl.mbw, 3, pic_.mbs[2 * abovePair + 1], cur);
                    } else {
                        edge(pl, c, origin, st, 1, pl.mbw, 4, pic_.mbs[2 * abovePair + 1], cur);
                    }
                } else {
                    // Field macroblock: the lines of its own parity above it.
                    edge(pl, c, origin, 2 * st, 1, pl.mbw, 3, pic_.mbs[mbAt(yI - 2, mbX, pl.mbh)], cur);
                }
            }
        }
        // Internal horizontal edges, bS 3.
        for (int yE = 4; yE < pl.mbh; yE += 4) {
            if (t8 && (yE & 7)) continue;
            edge(pl, c, origin + dy * yE * st, dy * st, 1, pl.mbw, 3, cur, cur);
        }
    }

    const DeblockPicture& pic_;
};

bool validPicture(const DeblockPicture& pic)
{
    if (!pic.mbs || pic.widthMbs <= 0 || pic.heightMbs <= 0) return false;
    if (pic.widthMbs > 1024 || pic.heightMbs > 1024) return false;
    if (pic.chromaArrayType < 0 || pic.chromaArrayType > 3) return false;
    if (pic.bitDepthY < 8 || pic.bitDepthY > 14 || pic.bitDepthC < 8 || pic.bitDepthC > 14) return false;
    if (pic.mbaff && (pic.structure != PictureStructure::Frame || pic.heightMbs % 2 != 0)) return false;
    const int planes = pic.chromaArrayType == 0 ? 1 : 3;
    for (int c = 0; c < planes; ++c) {
        const int mbw = (c == 0 || pic.chromaArrayType == 3) ? 16 : 8;
        if (!pic.plane[c] || pic.stride[c] < static_cast<ptrdiff_t>(pic.widthMbs) * mbw) return false;
    }
    const int count = pic.widthMbs * pic.heightMbs;
    const int qpMin = -6 * (pic.bitDepthY - 8);
    for (int i = 0; i < count; ++i) {
        const DeblockMbInfo& m = pic.mbs[i];
        if (m.disableIdc > 2 || m.qpY < qpMin || m.qpY > 51) return false;
        if (m.filterOffsetA < -12 || m.filterOffsetA > 12 || m.filterOffsetB < -12 || m.filterOffsetB > 12)
            return false;
        if (m.chromaQpOffset < -12 || m.chromaQpOffset > 12 || m.secondChromaQpOffset < -12 ||
            m.secondChromaQpOffset > 12)
            return false;
        if (pic.mbaff && (i % 2) && (m.fieldMb != 0) != (pic.mbs[i - 1].fieldMb != 0)) return false;
    }
    return true;
}

} // namespace

bool deblockPicture(const DeblockPicture& picture)
{
    if (!validPicture(picture)) return false;
    Deblocker(picture).run();
    return true;
}

} // namespace vorn::avci
