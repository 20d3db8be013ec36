// Time code labels (HH:MM:SS:FF) and frame counts.
#pragma once

#include <cstdint>

namespace vorn::mxf {

// In drop-frame counting (30000/1001 and 60000/1001 material, counted in a
// base of 30) the labels FF = 0 and 1 do not exist at the start of every
// minute that is not a multiple of ten.
inline bool DropFrameLabelExists(int minutes, int seconds, int frames)
{
    return !(seconds == 0 && frames < 2 && minutes % 10 != 0);
}

// The frame count of a label in a counting base; a drop-frame label leaves
// out the two labels skipped in each minute that is not a multiple of ten.
inline int64_t TimecodeLabelToFrames(int hours, int minutes, int seconds, int frames, int base, bool drop)
{
    int64_t count = ((int64_t(hours) * 60 + minutes) * 60 + seconds) * base + frames;
    if (drop) {
        const int64_t totalMinutes = int64_t(hours) * 60 + minutes;
        count -= 2 * (totalMinutes - totalMinutes / 10);
    }
    return count;
}

} // namespace vorn::mxf
