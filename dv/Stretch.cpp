#include "dv/Stretch.h"

#include "dv/CodecTables.h"
#include "dv/CodecWorkers.h"

#include <cstring>
#include <vector>

namespace vorn::dv {

namespace {

inline uint8_t avg(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

// Mirror: pair i and pair (pairs - 1 - i) change places, each rewritten as Y1 Cb Y0 Cr.
void mirrorRow(uint8_t* dst, const uint8_t* src, int pairs)
{
    for (int i = 0; i < pairs; ++i) {
        const uint8_t* s = src + 4 * i;
        uint8_t* d = dst + 4 * (pairs - 1 - i);
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        d[3] = s[3];
    }
}

// 1280 -> 1920: 4 pixels (2 pairs) become 6 pixels (3 pairs).
void stretch2to3(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 8, d += 12) {
        const uint8_t y0 = s[0], cb0 = s[1], y1 = s[2], cr0 = s[3];
        const uint8_t y2 = s[4], cb1 = s[5], y3 = s[6], cr1 = s[7];
        d[0] = y0;
        d[1] = cb0;
        d[2] = avg(y0, y1);
        d[3] = cr0;
        d[4] = y1;
        d[5] = cb0;
        d[6] = y2;
        d[7] = cr1;
        d[8] = avg(y2, y3);
        d[9] = cb1;
        d[10] = y3;
        d[11] = cr1;
    }
}

// 960 -> 1280 and 1440 -> 1920: 6 pixels (3 pairs) become 8 pixels (4 pairs).
void stretch3to4(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 12, d += 16) {
        const uint8_t y0 = s[0], y1 = s[2], y2 = s[4], y3 = s[6], y4 = s[8], y5 = s[10];
        const uint8_t cb0 = s[1], cr0 = s[3], cb1 = s[5], cr1 = s[7], cb2 = s[9], cr2 = s[11];
        d[0] = y0;
        d[1] = cb0;
        d[2] = avg(y0, y1);
        d[3] = cr0;
        d[4] = avg(y1, y2);
        d[5] = avg(cb0, cb1);
        d[6] = y2;
        d[7] = avg(cr0, cr1);
        d[8] = y3;
        d[9] = avg(cb1, cb2);
        d[10] = avg(y3, y4);
        d[11] = avg(cr1, cr2);
        d[12] = avg(y4, y5);
        d[13] = cb2;
        d[14] = y5;
        d[15] = cr2;
    }
}

// Down direction (inverse patterns): 3 pairs -> 2 pairs and 4 pairs -> 3 pairs.
void shrink3to2(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 12, d += 8) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[4];
        d[3] = s[3];
        d[4] = s[6];
        d[5] = s[9];
        d[6] = s[10];
        d[7] = avg(s[7], s[11]);
    }
}

void shrink4to3(uint8_t* d, const uint8_t* s, int groups)
{
    for (int g = 0; g < groups; ++g, s += 16, d += 12) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = avg(s[2], s[4]);
        d[3] = s[3];
        d[4] = s[6];
        d[5] = avg(s[5], s[9]);
        d[6] = s[8];
        d[7] = avg(s[7], s[11]);
        d[8] = avg(s[10], s[12]);
        d[9] = s[13];
        d[10] = s[14];
        d[11] = s[15];
    }
}

} // namespace

int stretchCodedWidth(VideoFormat code)
{
    switch (code) {
    case 1: return 1280;
    case 2:
    case 4: return 960;
    case 3: return 1440;
    default: return 0;
    }
}

int stretchFullWidth(VideoFormat code)
{
    switch (code) {
    case 1:
    case 3: return 1920;
    case 2:
    case 4: return 1280;
    default: return 0;
    }
}

void stretchRow(const StretchJob& job, uint8_t* dst, const uint8_t* src, uint8_t* lineBuffer)
{
    const bool stretching = job.stretch && stretchCodedWidth(job.code) != 0;
    if (!stretching) {
        if (!job.rotate) {
            if (dst != src)
                std::memcpy(dst, src, static_cast<size_t>(job.srcPairs) * 4);
            return;
        }
        if (dst == src) {
            std::memcpy(lineBuffer, src, static_cast<size_t>(job.srcPairs) * 4);
            src = lineBuffer;
        }
        mirrorRow(dst, src, job.srcPairs);
        return;
    }
    const int inWidth = job.up ? stretchCodedWidth(job.code) : stretchFullWidth(job.code);
    const int pairs = inWidth / 2;
    if (job.rotate) {
        mirrorRow(lineBuffer, src, pairs);
        src = lineBuffer;
    }
    if (job.up) {
        if (job.code == 1)
            stretch2to3(dst, src, 320);
        else
            stretch3to4(dst, src, job.code == 3 ? 240 : 160);
    } else {
        if (job.code == 1)
            shrink3to2(dst, src, 320);
        else
            shrink4to3(dst, src, job.code == 3 ? 240 : 160);
    }
}

bool StretchPicture(const StretchJob& job)
{
    if (!job.stretch && !job.rotate && job.dest == job.src)
        return true;
    const int workers = processorCount();
    return runWorkers(
        workers,
        [&](int worker) {
            thread_local std::vector<uint8_t> line(2 * 1920 + 16);
            const UnitRange range = workerRange(worker, workers, job.height);
            for (int r = range.first; r < range.end; ++r)
                stretchRow(job, job.dest + static_cast<ptrdiff_t>(r) * job.destPitch,
                           job.src + static_cast<ptrdiff_t>(r) * job.srcPitch, line.data());
        },
        "Could not create Stretch thread");
}

} // namespace vorn::dv
