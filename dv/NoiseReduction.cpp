// Noise reduction: a spatio-temporal filter on luma against the previous
// source frame, kept in the filter's history.
#include "dv/PictureKernels.h"
#include "dv/PictureProcessing.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace vorn::dv {

NoiseFilter::NoiseFilter(const NoiseFilterSettings& settings) : m_failNext(settings.failFirstAllocation) {}

// Two pictures: the previous source frame and room for the current one, whose
// copy is also what the filter reads (so source and destination may be one buffer).
bool NoiseFilter::allocate()
{
    if (m_previous.size() >= kMaxPictureBytes)
        return true;
    try {
        if (m_failNext) {
            m_failNext = false;
            throw std::bad_alloc();
        }
        m_previous.resize(kMaxPictureBytes);
        m_current.resize(kMaxPictureBytes);
    } catch (const std::bad_alloc&) {
        m_previous = {};
        m_current = {};
        return false;
    }
    return true;
}

Status NoiseFilter::apply(uint8_t* destination, const uint8_t* source, VideoFormat code, int64_t frameIndex, bool on)
{
    const PictureRaster r = pictureRaster(code);
    if (!destination || !source || r.width == 0)
        return Status::failure("format " + std::to_string(code) + " has no picture raster");
    const size_t bytes = r.bytes();
    if (!on) {
        if (destination != source)
            std::memmove(destination, source, bytes);
        return okStatus();
    }
    if (!allocate())
        return Status::failure(kNoiseHistoryMessage, ENOMEM);
    std::memcpy(m_current.data(), source, bytes);
    if (destination != source)
        std::memcpy(destination, source, bytes);
    const bool sameSize = m_raster.width == r.width && m_raster.height == r.height;
    if (frameIndex != 0 && r.height >= 3 && sameSize) {
        const PictureKernels& k = pictureKernels();
        const size_t pitch = 2 * static_cast<size_t>(r.width);
        const uint8_t* c = m_current.data();
        const uint8_t* p = m_previous.data();
        for (int y = 1; y < r.height - 1; ++y) {
            const uint8_t* cur[3] = {c + (y - 1) * pitch, c + y * pitch, c + (y + 1) * pitch};
            const uint8_t* hist[3] = {p + (y - 1) * pitch, p + y * pitch, p + (y + 1) * pitch};
            k.noiseRow(destination + y * pitch, cur, hist, r.width);
        }
    }
    // The unfiltered source becomes the history of the next frame.
    std::swap(m_previous, m_current);
    m_raster = r;
    return okStatus();
}

} // namespace vorn::dv
