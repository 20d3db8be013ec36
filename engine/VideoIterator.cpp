#include "engine/VideoIterator.h"

#include "mxf/MxfFile.h"

#include <algorithm>

namespace vorn {

VideoIterator::VideoIterator(CMxfFile* clip, bool removePulldown, bool remove32, VideoFormat sourceFormat)
    : m_clip(clip),
      m_sourceFormat(sourceFormat),
      m_groupOfFive(removePulldown && remove32 && plannerGroup(sourceFormat) == PlannerGroup::G60i)
{
}

int VideoIterator::Next(std::array<std::vector<uint8_t>, 5>& buffers, std::array<int32_t, 5>& sizes)
{
    if (!m_clip)
        return 0;
    const int count = stepFrames();
    for (int i = 0; i < count; ++i) {
        const int64_t n = m_index + i;
        const int32_t got = m_clip->ReadFrame(buffers[static_cast<size_t>(i)], n);
        sizes[static_cast<size_t>(i)] = got;
        // AVC-Intra frame 0 has its own size; every other frame the format's.
        const int32_t expected = isAvcIntra(m_sourceFormat) && n > 0 ? m_clip->LaterFrameSize() : m_clip->FrameSize();
        if (got <= 0 || (got < expected && !m_takeShortFrames)) {
            if (n < m_clip->FrameCount() && m_endedAt < 0) {
                m_endedAt = n;
                m_endedBytes = std::max(got, 0);
                m_expectedBytes = expected;
            }
            return 0;   // the index stays: nothing of an incomplete step is delivered
        }
    }
    m_index += count;
    return count;
}

} // namespace vorn
