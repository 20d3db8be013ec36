#include "avci/IntraPred.h"

#include "avci/Bitstream.h"

#include <cstring>

namespace vorn::avci {

namespace {

inline int clip1(int v, int maxValue) { return v < 0 ? 0 : (v > maxValue ? maxValue : v); }

// Stores a row of N = 4 or 8 samples with one store: the inverse transform that follows
// loads whole rows, and a load that covers several narrower stores still in flight waits
// until they reach the cache.
typedef uint16_t Row8 __attribute__((vector_size(16)));
typedef uint16_t Row4 __attribute__((vector_size(8)));
template <int N>
inline void storeRow(uint16_t* row, const int* v)
{
    if constexpr (N == 8) {
        const Row8 r = {uint16_t(v[0]), uint16_t(v[1]), uint16_t(v[2]), uint16_t(v[3]),
                        uint16_t(v[4]), uint16_t(v[5]), uint16_t(v[6]), uint16_t(v[7])};
        std::memcpy(row, &r, sizeof r);
    } else {
        const Row4 r = {uint16_t(v[0]), uint16_t(v[1]), uint16_t(v[2]), uint16_t(v[3])};
        std::memcpy(row, &r, sizeof r);
    }
}

// Directional modes shared by 4x4 and 8x8 blocks (N = 4 or 8). P(x, y) with x or y = -1.
// One function per mode: the mode's case is chosen at compile time, not per sample.
template <int N, int mode>
void directionalMode(uint16_t* dst, ptrdiff_t stride, const int* top, const int* left)
{
    auto T = [&](int x) { return top[x]; };   // p[x,-1], x >= -1
    auto L = [&](int y) { return left[y]; };  // p[-1,y], y >= -1
    // Fully unrolled, every case below is settled at compile time: no branch per sample.
#pragma GCC unroll 8
    for (int y = 0; y < N; ++y) {
        int rowValues[N];
#pragma GCC unroll 8
        for (int x = 0; x < N; ++x) {
            int v = 0;
            switch (mode) {
            case 3: // diagonal down left
                if (x == N - 1 && y == N - 1) v = (T(2 * N - 2) + 3 * T(2 * N - 1) + 2) >> 2;
                else v = (T(x + y) + 2 * T(x + y + 1) + T(x + y + 2) + 2) >> 2;
                break;
            case 4: // diagonal down right
                if (x > y) v = (T(x - y - 2) + 2 * T(x - y - 1) + T(x - y) + 2) >> 2;
                else if (x < y) v = (L(y - x - 2) + 2 * L(y - x - 1) + L(y - x) + 2) >> 2;
                else v = (T(0) + 2 * T(-1) + L(0) + 2) >> 2;
                break;
            case 5: { // vertical right
                const int z = 2 * x - y;
                if (z >= 0 && (z & 1) == 0) v = (T(x - (y >> 1) - 1) + T(x - (y >> 1)) + 1) >> 1;
                else if (z >= 0) v = (T(x - (y >> 1) - 2) + 2 * T(x - (y >> 1) - 1) + T(x - (y >> 1)) + 2) >> 2;
                else if (z == -1) v = (L(0) + 2 * L(-1) + T(0) + 2) >> 2;
                else v = (L(y - 2 * x - 1) + 2 * L(y - 2 * x - 2) + L(y - 2 * x - 3) + 2) >> 2;
                break;
            }
            case 6: { // horizontal down
                const int z = 2 * y - x;
                if (z >= 0 && (z & 1) == 0) v = (L(y - (x >> 1) - 1) + L(y - (x >> 1)) + 1) >> 1;
                else if (z >= 0) v = (L(y - (x >> 1) - 2) + 2 * L(y - (x >> 1) - 1) + L(y - (x >> 1)) + 2) >> 2;
                else if (z == -1) v = (L(0) + 2 * L(-1) + T(0) + 2) >> 2;
                else v = (T(x - 2 * y - 1) + 2 * T(x - 2 * y - 2) + T(x - 2 * y - 3) + 2) >> 2;
                break;
            }
            case 7: // vertical left
                if ((y & 1) == 0) v = (T(x + (y >> 1)) + T(x + (y >> 1) + 1) + 1) >> 1;
                else v = (T(x + (y >> 1)) + 2 * T(x + (y >> 1) + 1) + T(x + (y >> 1) + 2) + 2) >> 2;
                break;
            case 8: { // horizontal up
                const int z = x + 2 * y;
                const int last = 2 * N - 3;
                if (z < last && (z & 1) == 0) v = (L(y + (x >> 1)) + L(y + (x >> 1) + 1) + 1) >> 1;
                else if (z < last) v = (L(y + (x >> 1)) + 2 * L(y + (x >> 1) + 1) + L(y + (x >> 1) + 2) + 2) >> 2;
                else if (z == last) v = (L(N - 2) + 3 * L(N - 1) + 2) >> 2;
                else v = L(N - 1);
                break;
            }
            default:
                break;
            }
            rowValues[x] = v;
        }
        storeRow<N>(dst + y * stride, rowValues);
    }
}

template <int N>
void directional(uint16_t* dst, ptrdiff_t stride, int mode, const int* top, const int* left)
{
    switch (mode) {
    case 3: directionalMode<N, 3>(dst, stride, top, left); break;
    case 4: directionalMode<N, 4>(dst, stride, top, left); break;
    case 5: directionalMode<N, 5>(dst, stride, top, left); break;
    case 6: directionalMode<N, 6>(dst, stride, top, left); break;
    case 7: directionalMode<N, 7>(dst, stride, top, left); break;
    case 8: directionalMode<N, 8>(dst, stride, top, left); break;
    default: break;
    }
}

// Vertical, horizontal and DC prediction; false for the other modes.
template <int N>
bool simpleModes(uint16_t* dst, ptrdiff_t stride, int mode, const int* top, const int* left, bool hasTop,
                 bool hasLeft, int bitDepth)
{
    if (mode == 0) {
        if (!hasTop) avcFail("Intra prediction uses unavailable samples.");
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x) dst[y * stride + x] = uint16_t(top[x]);
        return true;
    }
    if (mode == 1) {
        if (!hasLeft) avcFail("Intra prediction uses unavailable samples.");
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x) dst[y * stride + x] = uint16_t(left[y]);
        return true;
    }
    if (mode == 2) {
        int dc;
        int s = 0;
        if (hasTop && hasLeft) {
            for (int i = 0; i < N; ++i) s += top[i] + left[i];
            dc = (s + N) / (2 * N);
        } else if (hasLeft) {
            for (int i = 0; i < N; ++i) s += left[i];
            dc = (s + N / 2) / N;
        } else if (hasTop) {
            for (int i = 0; i < N; ++i) s += top[i];
            dc = (s + N / 2) / N;
        } else {
            dc = 1 << (bitDepth - 1);
        }
        for (int y = 0; y < N; ++y)
            for (int x = 0; x < N; ++x) dst[y * stride + x] = uint16_t(dc);
        return true;
    }
    return false;
}

template <int N>
bool simpleModes(uint16_t* dst, ptrdiff_t stride, int mode, const IntraEdge& e, int bitDepth)
{
    return simpleModes<N>(dst, stride, mode, e.top, e.left, e.hasTop, e.hasLeft, bitDepth);
}

} // namespace

void predict4x4(uint16_t* dst, ptrdiff_t stride, int mode, IntraEdge& e, int /*bitDepth*/ bitDepth)
{
    if (e.hasTop && !e.hasTopRight) {
        for (int x = 4; x < 8; ++x) e.top[x] = e.top[3];
    }
    if (simpleModes<4>(dst, stride, mode, e, bitDepth)) return;
    const bool needTop = mode == 3 || mode == 4 || mode == 5 || mode == 6 || mode == 7;
    const bool needLeft = mode == 4 || mode == 5 || mode == 6 || mode == 8;
    const bool needCorner = mode == 4 || mode == 5 || mode == 6;
    if ((needTop && !e.hasTop) || (needLeft && !e.hasLeft) || (needCorner && !e.hasCorner))
        avcFail("Intra prediction uses unavailable samples.");
    directional<4>(dst, stride, mode, e.top, e.left);
}

void predict8x8(uint16_t* dst, ptrdiff_t stride, int mode, IntraEdge& e, int bitDepth)
{
    int t[17] = {};
    int l[9] = {};
    int* tp = t + 1;
    int* lp = l + 1;
    if (e.hasTop && !e.hasTopRight) {
        for (int x = 8; x < 16; ++x) e.top[x] = e.top[7];
    }
    if (e.hasTop) {
        tp[0] = e.hasCorner ? (e.top[-1] + 2 * e.top[0] + e.top[1] + 2) >> 2 : (3 * e.top[0] + e.top[1] + 2) >> 2;
        for (int x = 1; x < 15; ++x) tp[x] = (e.top[x - 1] + 2 * e.top[x] + e.top[x + 1] + 2) >> 2;
        tp[15] = (e.top[14] + 3 * e.top[15] + 2) >> 2;
    }
    if (e.hasCorner) {
        int c;
        if (e.hasTop && e.hasLeft) c = (e.top[0] + 2 * e.top[-1] + e.left[0] + 2) >> 2;
        else if (e.hasTop) c = (3 * e.top[-1] + e.top[0] + 2) >> 2;
        else if (e.hasLeft) c = (3 * e.top[-1] + e.left[0] + 2) >> 2;
        else c = e.top[-1];
        tp[-1] = c;
        lp[-1] = c;
    }
    if (e.hasLeft) {
        lp[0] = e.hasCorner ? (e.top[-1] + 2 * e.left[0] + e.left[1] + 2) >> 2 : (3 * e.left[0] + e.left[1] + 2) >> 2;
        for (int y = 1; y < 7; ++y) lp[y] = (e.left[y - 1] + 2 * e.left[y] + e.left[y + 1] + 2) >> 2;
        lp[7] = (e.left[6] + 3 * e.left[7] + 2) >> 2;
    }
    // The filtered samples are used where they are: copying them would read back scalar
    // stores as vectors.
    if (simpleModes<8>(dst, stride, mode, tp, lp, e.hasTop, e.hasLeft, bitDepth)) return;
    const bool needTop = mode == 3 || mode == 4 || mode == 5 || mode == 6 || mode == 7;
    const bool needLeft = mode == 4 || mode == 5 || mode == 6 || mode == 8;
    const bool needCorner = mode == 4 || mode == 5 || mode == 6;
    if ((needTop && !e.hasTop) || (needLeft && !e.hasLeft) || (needCorner && !e.hasCorner))
        avcFail("Intra prediction uses unavailable samples.");
    directional<8>(dst, stride, mode, tp, lp);
}

void predict16x16(uint16_t* dst, ptrdiff_t stride, int mode, const IntraEdge& e, int bitDepth)
{
    const int maxValue = (1 << bitDepth) - 1;
    switch (mode) {
    case 0:
    case 1:
    case 2:
        simpleModes<16>(dst, stride, mode, e, bitDepth);
        return;
    default: {
        if (!e.hasTop || !e.hasLeft || !e.hasCorner) avcFail("Intra prediction uses unavailable samples.");
        int h = 0, v = 0;
        for (int i = 0; i < 8; ++i) {
            h += (i + 1) * (e.top[8 + i] - e.top[6 - i]);
            v += (i + 1) * (e.left[8 + i] - e.left[6 - i]);
        }
        const int a = 16 * (e.left[15] + e.top[15]);
        const int b = (5 * h + 32) >> 6;
        const int c = (5 * v + 32) >> 6;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                dst[y * stride + x] = uint16_t(clip1((a + b * (x - 7) + c * (y - 7) + 16) >> 5, maxValue));
        return;
    }
    }
}

void predictChroma(uint16_t* dst, ptrdiff_t stride, int mode, const IntraEdge& e, int height, int bitDepth)
{
    const int maxValue = (1 << bitDepth) - 1;
    switch (mode) {
    case 0: { // DC, per 4x4 chroma block
        for (int by = 0; by < height / 4; ++by) {
            uint16_t row[8];
            for (int bx = 0; bx < 2; ++bx) {
                int st = 0, sl = 0;
                for (int i = 0; i < 4; ++i) {
                    st += e.hasTop ? e.top[bx * 4 + i] : 0;
                    sl += e.hasLeft ? e.left[by * 4 + i] : 0;
                }
                int dc;
                const bool cornerOrInner = (bx == 0 && by == 0) || (bx > 0 && by > 0);
                if (cornerOrInner) {
                    if (e.hasTop && e.hasLeft) dc = (st + sl + 4) >> 3;
                    else if (e.hasLeft) dc = (sl + 2) >> 2;
                    else if (e.hasTop) dc = (st + 2) >> 2;
                    else dc = 1 << (bitDepth - 1);
                } else if (bx > 0 && by == 0) {
                    if (e.hasTop) dc = (st + 2) >> 2;
                    else if (e.hasLeft) dc = (sl + 2) >> 2;
                    else dc = 1 << (bitDepth - 1);
                } else {
                    if (e.hasLeft) dc = (sl + 2) >> 2;
                    else if (e.hasTop) dc = (st + 2) >> 2;
                    else dc = 1 << (bitDepth - 1);
                }
                for (int x = 0; x < 4; ++x) row[bx * 4 + x] = uint16_t(dc);
            }
            // Whole rows of 8 samples: the transform that follows reads them as such.
            for (int y = 0; y < 4; ++y) std::memcpy(dst + (by * 4 + y) * stride, row, sizeof row);
        }
        return;
    }
    case 1:
        if (!e.hasLeft) avcFail("Intra prediction uses unavailable samples.");
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < 8; ++x) dst[y * stride + x] = uint16_t(e.left[y]);
        return;
    case 2:
        if (!e.hasTop) avcFail("Intra prediction uses unavailable samples.");
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < 8; ++x) dst[y * stride + x] = uint16_t(e.top[x]);
        return;
    default: {
        if (!e.hasTop || !e.hasLeft || !e.hasCorner) avcFail("Intra prediction uses unavailable samples.");
        const int yCF = height == 16 ? 4 : 0;
        int h = 0, v = 0;
        for (int i = 0; i < 4; ++i) h += (i + 1) * (e.top[4 + i] - e.top[2 - i]);
        for (int i = 0; i < 4 + yCF; ++i) v += (i + 1) * (e.left[4 + yCF + i] - e.left[2 + yCF - i]);
        const int a = 16 * (e.left[height - 1] + e.top[7]);
        const int b = (34 * h + 32) >> 6;
        const int c = ((34 - 29 * (height == 16 ? 1 : 0)) * v + 32) >> 6;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < 8; ++x)
                dst[y * stride + x] = uint16_t(clip1((a + b * (x - 3) + c * (y - 3 - yCF) + 16) >> 5, maxValue));
        return;
    }
    }
}

} // namespace vorn::avci
