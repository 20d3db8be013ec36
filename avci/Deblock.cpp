// H.264 deblocking filter for all-intra pictures (frames, field pictures and MBAFF frames).
#include "avci/Deblock.h"

#include "avci/AvcTables.h"

#include <cstdlib>

namespace vorn::avci {

namespace {

inline int clip3(int lo, int hi, int v) { return v < lo ? lo : (v > hi ? hi : v); }

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

    if (bS < 4) {
        const int tc0 = kDeblockTc0[indexA][bS > 3 ? 2 : bS - 1] << shift;
        for (int k = 0; k < count; ++k) {
            uint16_t* q = base + k * lineStep;
            const int p0 = q[-s], p1 = q[-2 * s], q0 = q[0], q1 = q[s];
            if (std::abs(p0 - q0) >= alpha || std::abs(p1 - p0) >= beta || std::abs(q1 - q0) >= beta)
                continue;
            if (chromaStyle) {
                const int tc = tc0 + 1;
                const int delta = clip3(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
                q[-s] = static_cast<uint16_t>(clip3(0, maxV, p0 + delta));
                q[0] = static_cast<uint16_t>(clip3(0, maxV, q0 - delta));
                continue;
            }
            const int p2 = q[-3 * s], q2 = q[2 * s];
            const bool ap = std::abs(p2 - p0) < beta;
            const bool aq = std::abs(q2 - q0) < beta;
            const int tc = tc0 + (ap ? 1 : 0) + (aq ? 1 : 0);
            const int delta = clip3(-tc, tc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
            const int avg = (p0 + q0 + 1) >> 1;
            if (ap) q[-2 * s] = static_cast<uint16_t>(p1 + clip3(-tc0, tc0, (p2 + avg - (p1 * 2)) >> 1));
            if (aq) q[s] = static_cast<uint16_t>(q1 + clip3(-tc0, tc0, (q2 + avg - (q1 * 2)) >> 1));
            q[-s] = static_cast<uint16_t>(clip3(0, maxV, p0 + delta));
            q[0] = static_cast<uint16_t>(clip3(0, maxV, q0 - delta));
        }
        return;
    }

    for (int k = 0; k < count; ++k) {
        uint16_t* q = base + k * lineStep;
        const int p0 = q[-s], p1 = q[-2 * s], q0 = q[0], q1 = q[s];
        const int d = std::abs(p0 - q0);
        if (d >= alpha || std::abs(p1 - p0) >= beta || std::abs(q1 - q0) >= beta) continue;
        if (chromaStyle) {
            q[-s] = static_cast<uint16_t>((2 * p1 + p0 + q1 + 2) >> 2);
            q[0] = static_cast<uint16_t>((2 * q1 + q0 + p1 + 2) >> 2);
            continue;
        }
        const int p2 = q[-3 * s], q2 = q[2 * s];
        const bool strong = d < ((alpha >> 2) + 2);
        if (strong && std::abs(p2 - p0) < beta) {
            const int p3 = q[-4 * s];
            q[-s] = static_cast<uint16_t>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
            q[-2 * s] = static_cast<uint16_t>((p2 + p1 + p0 + q0 + 2) >> 2);
            q[-3 * s] = static_cast<uint16_t>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
        } else {
            q[-s] = static_cast<uint16_t>((2 * p1 + p0 + q1 + 2) >> 2);
        }
        if (strong && std::abs(q2 - q0) < beta) {
            const int q3 = q[3 * s];
            q[0] = static_cast<uint16_t>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
            q[s] = static_cast<uint16_t>((p0 + q0 + q1 + q2 + 2) >> 2);
            q[2 * s] = static_cast<uint16_t>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
        } else {
            q[0] = static_cast<uint16_t>((2 * q1 + q0 + p1 + 2) >> 2);
        }
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
