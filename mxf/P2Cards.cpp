#include "mxf/P2Cards.h"

#include "mxf/AudioSamples.h"

#include "foundation/QelString.h"
#include "mxf/MxfEssenceWriter.h"
#include "mxf/SafeOutput.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <system_error>

namespace fs = std::filesystem;

namespace vorn::mxf {

namespace {
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

std::string upper(std::string s)
{
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

uint64_t measureUsed(const fs::path& card)
{
    uint64_t used = 0;
    std::error_code ec;
    if (fs::is_directory(card, ec)) {
        fs::recursive_directory_iterator it(card, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            std::error_code e2;
            if (it->is_regular_file(e2)) {
                uint64_t size = it->file_size(e2);
                if (!e2) used += size;
            }
        }
    }
    return used;
}

// The folders of a clip's files in a card's CONTENTS folder.
constexpr const char* kClipFolders[] = {"VIDEO", "AUDIO", "CLIP", "ICON", "VOICE", "PROXY"};

// The real path of a path whose end may not exist yet.
fs::path realPath(const fs::path& p)
{
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    if (ec) abs = p;
    fs::path real = fs::weakly_canonical(abs, ec);
    return (ec ? abs.lexically_normal() : real);
}

bool sameOrBelow(const fs::path& path, const fs::path& folder)
{
    auto p = path.begin(), f = folder.begin();
    for (; f != folder.end(); ++f, ++p) {
        if (f->empty() && std::next(f) == folder.end()) return true;   // a trailing separator
        if (p == path.end() || *p != *f) return false;
    }
    return true;
}

bool isCardFolderName(const std::string& name)
{
    return name.size() > 4 && upper(name.substr(0, 4)) == "CARD" &&
           std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}
} // namespace

bool DestinationIndex::Taken(const std::string& name)
{
    build();
    return m_names.count(upper(name)) != 0;
}

void DestinationIndex::Add(const std::string& name)
{
    build();
    const std::string key = upper(name);
    if (m_names.insert(key).second) m_added.insert(key);
}

void DestinationIndex::Found(const std::string& name)
{
    build();
    const std::string key = upper(name);
    m_names.insert(key);
    m_added.erase(key);
}

void DestinationIndex::Release(const std::string& name)
{
    const std::string key = upper(name);
    if (m_added.erase(key)) m_names.erase(key);
}

uint64_t DestinationIndex::UsedBytes(const fs::path& card)
{
    build();   // after the sweep: what a killed export left does not count
    auto it = m_used.find(card);
    if (it == m_used.end()) it = m_used.emplace(card, measureUsed(card)).first;
    return it->second;
}

void DestinationIndex::AddUsed(const fs::path& card, uint64_t bytes)
{
    UsedBytes(card);
    m_used[card] += bytes;
}

void DestinationIndex::build()
{
    if (m_built) return;
    m_built = true;
    auto stemOf = [](const std::string& file) {
        const size_t dot = file.find('.');
        return dot == std::string::npos ? file : file.substr(0, dot);
    };
    std::error_code ec;
    for (int n = 1; n < 10000; ++n) {
        const fs::path card = m_output / qelFormat("Card%d", n);
        if (!fs::is_directory(card, ec)) break;
        // What killed exports left: their temporaries, and the files of a
        // clip whose commit did not finish.
        RemoveStaleTemporaries(card);
        for (const char* sub : kClipFolders) RemoveStaleTemporaries(card / "CONTENTS" / sub);
        for (const char* sub : kClipFolders) {
            const bool perChannel = std::string(sub) == "AUDIO" || std::string(sub) == "VOICE";
            for (fs::directory_iterator it(card / "CONTENTS" / sub, ec), end; !ec && it != end; it.increment(ec)) {
                std::string file = it->path().filename().string();
                long pid = 0;
                std::string finalName;
                if (ParseTemporaryName(file, pid, finalName)) file = finalName;
                const std::string stem = upper(stemOf(file));
                m_names.insert(stem);
                // AUDIO and VOICE files carry the channel after the clip name.
                if (perChannel && stem.size() > 2 && std::isdigit(static_cast<unsigned char>(stem[stem.size() - 1])) &&
                    std::isdigit(static_cast<unsigned char>(stem[stem.size() - 2])))
                    m_names.insert(stem.substr(0, stem.size() - 2));
            }
            ec.clear();
        }
    }
}

fs::path SourceCardConflict(const fs::path& sourceClip, const fs::path& outputFolder)
{
    const fs::path clipFolder = realPath(sourceClip).parent_path();
    // A clip in VIDEO belongs to the card above it (above CONTENTS when there is one).
    fs::path card;
    if (upper(clipFolder.filename().string()) == "VIDEO") {
        card = clipFolder.parent_path();
        if (upper(card.filename().string()) == "CONTENTS") card = card.parent_path();
    }
    const fs::path out = realPath(outputFolder);
    // The output folder inside the source card: the new card folders would be in it.
    if (!card.empty() && sameOrBelow(out, card)) return card;
    // The source card (or the clip's folder) inside a card folder of the output.
    const fs::path region = card.empty() ? clipFolder : card;
    if (sameOrBelow(region, out) && region != out) {
        const fs::path rel = region.lexically_relative(out);
        if (!rel.empty() && isCardFolderName(rel.begin()->string())) return region;
    }
    return {};
}

uint64_t CP2Cards::FreeBytes(const fs::path& path) const
{
    return m_freeSpace ? m_freeSpace(path) : realFreeBytes(path);
}

uint32_t CP2Cards::FrameBytesForNeed(int formatCode)
{
    const VideoFormatInfo* f = videoFormatInfo(formatCode);
    return f ? f->dvFrameBytes : 0;
}

void CP2Cards::Locate(const fs::path& outputFolder, DestinationIndex* index)
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

    const uint64_t used = index ? index->UsedBytes(m_cardPath) : measureUsed(m_cardPath);
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
