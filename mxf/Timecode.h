// Time code labels (HH:MM:SS:FF) and frame counts.
#pragma once

#include <cstdint>

namespace vorn::mxf {

// Labels a drop-frame count leaves out at the start of each minute that is
// not a multiple of ten: 2 when counting in a base of 30, 4 in a base of 60;
// 0 when the counting is not drop-frame.
inline int DroppedLabelsPerMinute(int base, bool drop)
{
    return drop && (base == 30 || base == 60) ? base / 15 : 0;
}

// In drop-frame counting (30000/1001 and 60000/1001 material, counted in a
// base of 30) the labels FF = 0 and 1 do not exist at the start of every
// minute that is not a multiple of ten.
inline bool DropFrameLabelExists(int minutes, int seconds, int frames, int base = 30)
{
    return !(seconds == 0 && frames < DroppedLabelsPerMinute(base, true) && minutes % 10 != 0);
}

// The frame count of a label in a counting base; a drop-frame label leaves
// out the labels skipped in each minute that is not a multiple of ten.
inline int64_t TimecodeLabelToFrames(int hours, int minutes, int seconds, int frames, int base, bool drop)
{
    int64_t count = ((int64_t(hours) * 60 + minutes) * 60 + seconds) * base + frames;
    if (const int skip = DroppedLabelsPerMinute(base, drop)) {
        const int64_t totalMinutes = int64_t(hours) * 60 + minutes;
        count -= skip * (totalMinutes - totalMinutes / 10);
    }
    return count;
}

struct TimecodeLabel {
    int hours = 0, minutes = 0, seconds = 0, frames = 0;
    bool operator==(const TimecodeLabel&) const = default;
};

// The label of a frame count (from midnight, wrapping after 24 hours) in a
// counting base; the inverse of TimecodeLabelToFrames.
inline TimecodeLabel FramesToTimecodeLabel(int64_t count, int base, bool drop)
{
    TimecodeLabel l;
    if (base <= 0) return l;
    const int skip = DroppedLabelsPerMinute(base, drop);
    const int64_t perMinute = int64_t(base) * 60 - skip;       // a minute that drops labels
    const int64_t perTen = int64_t(base) * 600 - 9 * skip;      // ten minutes
    const int64_t perDay = perTen * 6 * 24;
    count %= perDay;
    if (count < 0) count += perDay;
    if (skip) {
        // Put the dropped labels back to count as if nothing were dropped.
        const int64_t tens = count / perTen, rest = count % perTen;
        count += 9 * skip * tens;
        if (rest >= skip) count += skip * ((rest - skip) / perMinute);
    }
    l.frames = int(count % base);
    l.seconds = int(count / base % 60);
    l.minutes = int(count / base / 60 % 60);
    l.hours = int(count / base / 3600 % 24);
    return l;
}

} // namespace vorn::mxf
