#include "mxf/P2Cards.h"

#include "mxf/AudioSamples.h"

#include "foundation/QelString.h"
#include "mxf/MxfEssenceWriter.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

namespace vorn::mxf {

namespace {
std::mutex g_freeSpaceMutex;
CP2Cards::FreeSpaceFunction g_freeSpace;

uint64_t realFreeBytes(const fs::path& path)
{
    // The output folder may not exist yet: ask about its nearest existing parent.
    std::error_code ec;
    fs::path p = path.empty() ? fs::current_path(ec) : fs::absolute(path, ec);
    while (!p.empty() && !fs::exists(p, ec)) {
        fs::path parent = p.parent_path();
        if (parent == p) break;
        p = parent;
    }
    fs::space_info info = fs::space(p, ec);
    return ec ? 0 : uint64_t(info.available);
}
} // namespace

CP2Cards::FreeSpaceFunction CP2Cards::SetFreeSpaceFunction(FreeSpaceFunction fn)
{
    std::lock_guard<std::mutex> lock(g_freeSpaceMutex);
    std::swap(g_freeSpace, fn);
    return fn;
}

uint64_t CP2Cards::FreeBytes(const fs::path& path)
{
    FreeSpaceFunction fn;
    {
        std::lock_guard<std::mutex> lock(g_freeSpaceMutex);
        fn = g_freeSpace;
    }
    return fn ? fn(path) : realFreeBytes(path);
}

uint32_t CP2Cards::FrameBytesForNeed(int formatCode)
{
    const VideoFormatInfo* f = videoFormatInfo(formatCode);
    return f ? f->dvFrameBytes : 0;
}

void CP2Cards::Locate(const fs::path& outputFolder)
{
    m_output = outputFolder;
    std::error_code ec;
    int last = 0;
    for (int n = 1;; ++n) {
        if (!fs::is_directory(m_output / qelFormat("Card%d", n), ec)) break;
        last = n;
    }
    m_card = last > 0 ? last : 1;
    m_cardPath = m_output / qelFormat("Card%d", m_card);

    uint64_t used = 0;
    if (fs::is_directory(m_cardPath, ec)) {
        fs::recursive_directory_iterator it(m_cardPath, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            std::error_code e2;
            if (it->is_regular_file(e2)) {
                uint64_t size = it->file_size(e2);
                if (!e2) used += size;
            }
        }
    }
    m_usedMB = int64_t(used / 1000000);
    m_availableMB = int64_t(FreeBytes(m_output) / 1000000);
}

void CP2Cards::SetNeed(int formatCode, int64_t frameCount, int audioChannels, uint32_t rateNumerator,
                       uint32_t rateDenominator)
{
    m_frameBytes = FrameBytesForNeed(formatCode);
    if (formatCode <= 0 || frameCount <= 0 || m_frameBytes == 0) return;
    // Kilobytes, saturating: a frame count read from a damaged file must not overflow.
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const int64_t perFrame = int64_t(m_frameBytes / 1000) + 16;
    const int64_t videoKB = frameCount > kMax / perFrame ? kMax : perFrame * frameCount;
    // The audio files: 16-bit samples of every channel.
    const uint64_t samples = audioSamplesOfFrames(uint64_t(frameCount), rateNumerator, rateDenominator);
    const uint64_t channels = uint64_t(std::clamp(audioChannels, 0, 8));
    const uint64_t audioKB = samples / 1000 * 2 * channels + (samples % 1000 * 2 * channels + 999) / 1000;
    const int64_t audio = audioKB > uint64_t(kMax) ? kMax : int64_t(audioKB);
    m_needMB = (videoKB > kMax - audio ? kMax : videoKB + audio) / 1000;
}

void CP2Cards::NextCard()
{
    ++m_card;
    m_cardPath = m_output / qelFormat("Card%d", m_card);
    m_usedMB = 0;
}

} // namespace vorn::mxf
