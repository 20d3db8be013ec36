// The stretch pass over packed 4:2:2 pictures: the horizontal stretch of a
// DVCPRO HD coded raster to the full raster (up direction), its inverse (down
// direction, full raster to coded width), and the line mirror of the 180-degree
// rotation. Rows are split over the workers of a pass.
#pragma once

#include "dv/DvFormat.h"
#include "foundation/Status.h"
#include "foundation/WorkerPool.h"

#include <cstdint>

namespace vorn::dv {

struct StretchJob {
    uint8_t* dest = nullptr;
    int destPitch = 0;       // bytes per destination row
    const uint8_t* src = nullptr;
    int srcPitch = 0;        // bytes per source row (may equal dest for in-place mirroring)
    int height = 0;          // rows
    VideoFormat code = 0;
    bool up = true;          // true: coded width -> full raster; false: full raster -> coded width
    bool stretch = false;    // change the width (DVCPRO HD codes only)
    bool rotate = false;     // mirror every row
    int srcPairs = 0;        // pixel pairs in a source row when not stretching
};

// Message of a stretch pass whose workers could not be started.
inline constexpr const char* kStretchThreadMessage = "Could not create Stretch thread";

// Runs the pass with `workers` participants on `pool`. Fails with
// kStretchThreadMessage when a worker could not be started (picture incomplete).
Status StretchPicture(const StretchJob& job, WorkerPool& pool, int workers);

// Transitional, for callers not yet handed a pool: runs the pass on the
// default pool with its worker count; a failure shows the message box and
// returns false.
bool StretchPicture(const StretchJob& job);

// One row (exposed for tests and the benchmark). lineBuffer needs 2 x 1920 bytes.
void stretchRow(const StretchJob& job, uint8_t* dst, const uint8_t* src, uint8_t* lineBuffer);

// Coded and full widths of a DVCPRO HD code (0 for others).
int stretchCodedWidth(VideoFormat code);
int stretchFullWidth(VideoFormat code);

} // namespace vorn::dv
