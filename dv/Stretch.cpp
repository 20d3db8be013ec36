#include "dv/Stretch.h"

#include "dv/CodecTables.h"
#include "dv/PictureKernels.h"
#include "foundation/Notifier.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vorn::dv {

namespace {

inline uint8_t avg(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

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
    const PictureKernels& k = pictureKernels();
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
        k.mirror(dst, src, job.srcPairs);
        return;
    }
    const int inWidth = job.up ? stretchCodedWidth(job.code) : stretchFullWidth(job.code);
    const int pairs = inWidth / 2;
    if (job.rotate) {
        k.mirror(lineBuffer, src, pairs);
        src = lineBuffer;
    }
    if (job.up) {
        if (job.code == 1)
            k.stretch2to3(dst, src, 320);
        else
            k.stretch3to4(dst, src, job.code == 3 ? 240 : 160);
    } else {
        if (job.code == 1)
            shrink3to2(dst, src, 320);
        else
            shrink4to3(dst, src, job.code == 3 ? 240 : 160);
    }
}

Status StretchPicture(const StretchJob& job, WorkerPool& pool, int workers)
{
    if (!job.stretch && !job.rotate && job.dest == job.src)
        return okStatus();
    workers = std::clamp(workers, 1, kMaxPoolWorkers);
    return pool.forkJoin(
        workers,
        [&](int worker) {
            alignas(16) uint8_t line[2 * 1920 + 16];
            const WorkRange range = workRange(worker, workers, job.height);
            for (int r = range.first; r < range.end; ++r)
                stretchRow(job, job.dest + static_cast<ptrdiff_t>(r) * job.destPitch,
                           job.src + static_cast<ptrdiff_t>(r) * job.srcPitch, line);
        },
        kStretchThreadMessage);
}

bool StretchPicture(const StretchJob& job)
{
    WorkerPool& pool = defaultWorkerPool();
    const Status status = StretchPicture(job, pool, pool.workers());
    if (!status.ok())
        notify("Quintell", status.message());
    return status.ok();
}

} // namespace vorn::dv
