// Reads a clip's compressed frames for the frame pipeline: one frame a step,
// or five when 3:2 pulldown is removed from a 60i source.
#pragma once

#include "engine/VideoFormat.h"

#include <array>
#include <cstdint>
#include <vector>

class CMxfFile;

namespace vorn {

class VideoIterator {
public:
    // Steps of five frames when 3:2 pulldown is removed (`removePulldown`
    // and `remove32`) from a 60i source, else of one frame.
    VideoIterator(CMxfFile* clip, bool removePulldown, bool remove32, VideoFormat sourceFormat);
    virtual ~VideoIterator() = default;

    VideoIterator(const VideoIterator&) = delete;
    VideoIterator& operator=(const VideoIterator&) = delete;

    // Reads the next step into buffers (each sized for a source frame) and
    // their byte counts into sizes. Returns the frames delivered: 5 or 1, and
    // 0 at the end. A final group of fewer than five frames is not delivered.
    // Only whole frames are delivered: a frame the file holds only part of
    // (a source cut short) ends the clip like a missing one, unless short
    // frames are taken (see below).
    int Next(std::array<std::vector<uint8_t>, 5>& buffers, std::array<int32_t, 5>& sizes);

    // Frames that are decoded before they are written may be short: the
    // pipeline then treats them as undecodable and uses the previous picture.
    // Frames that are copied must be whole.
    void SetTakeShortFrames(bool take) { m_takeShortFrames = take; }

    // The first frame within the clip's frame count that was missing or
    // incomplete, -1 while none was met (the clip ends early at it).
    int64_t endedAt() const { return m_endedAt; }
    // Bytes the file holds of that frame (0 when missing) and the bytes a frame has.
    int32_t endedBytes() const { return m_endedBytes; }
    int32_t expectedBytes() const { return m_expectedBytes; }

    // Index of the next source frame to read.
    int64_t nextIndex() const { return m_index; }
    // Frames of a step: 5 for 3:2 removal from 60i, else 1.
    int stepFrames() const { return m_groupOfFive ? 5 : 1; }

private:
    CMxfFile* m_clip;
    VideoFormat m_sourceFormat;
    int64_t m_index = 0;
    bool m_groupOfFive;
    bool m_takeShortFrames = false;
    int64_t m_endedAt = -1;
    int32_t m_endedBytes = 0;
    int32_t m_expectedBytes = 0;
};

} // namespace vorn
