// Noise reduction: a spatio-temporal filter on luma against the previous
// source frame, kept in a process-wide history.
#include "dv/PictureKernels.h"
#include "dv/PictureProcessing.h"

#include "foundation/Notifier.h"

#include <cstring>
#include <new>
#include <vector>

namespace vorn::dv {

namespace {

// Two pictures: the previous source frame and room for the current one, whose
// copy is also what the filter reads (so source and destination may be one buffer).
struct History {
    std::vector<uint8_t> previous, current;
    PictureRaster raster;   // of the picture in `previous`; width 0 when none
    bool failNext = false;

    bool allocate()
    {
        if (previous.size() >= kMaxPictureBytes)
            return true;
        try {
            if (failNext) {
                failNext = false;
                throw std::bad_alloc();
            }
            previous.resize(kMaxPictureBytes);
            current.resize(kMaxPictureBytes);
        } catch (const std::bad_alloc&) {
            previous = {};
            current = {};
            return false;
        }
        return true;
    }
};

History& history()
{
    static History h;
    return h;
}

} // namespace

void failNextHistoryAllocationForTest()
{
    History& h = history();
    h.previous = {};
    h.current = {};
    h.raster = {};
    h.failNext = true;
}

bool ReduceNoise(uint8_t* destination, const uint8_t* source, VideoFormat code, int64_t frameIndex, bool on)
{
    const PictureRaster r = pictureRaster(code);
    if (!destination || !source || r.width == 0)
        return false;
    const size_t bytes = r.bytes();
    if (!on) {
        if (destination != source)
            std::memmove(destination, source, bytes);
        return true;
    }
    History& h = history();
    if (!h.allocate()) {
        notify("Quintell Vorn", "Could not allocate Quintell Vorn history buffer");
        return false;
    }
    std::memcpy(h.current.data(), source, bytes);
    if (destination != source)
        std::memcpy(destination, source, bytes);
    const bool sameSize = h.raster.width == r.width && h.raster.height == r.height;
    if (frameIndex != 0 && r.height >= 3 && sameSize) {
        const PictureKernels& k = pictureKernels();
        const size_t pitch = 2 * static_cast<size_t>(r.width);
        const uint8_t* c = h.current.data();
        const uint8_t* p = h.previous.data();
        for (int y = 1; y < r.height - 1; ++y) {
            const uint8_t* cur[3] = {c + (y - 1) * pitch, c + y * pitch, c + (y + 1) * pitch};
            const uint8_t* hist[3] = {p + (y - 1) * pitch, p + y * pitch, p + (y + 1) * pitch};
            k.noiseRow(destination + y * pitch, cur, hist, r.width);
        }
    }
    // The unfiltered source becomes the history of the next frame.
    std::swap(h.previous, h.current);
    h.raster = r;
    return true;
}

} // namespace vorn::dv
