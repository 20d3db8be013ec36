// CP2Cards: the card folders ("Card1", "Card2", ...) of an output folder and
// the space a clip needs on the disk and in the current card.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>

namespace vorn::mxf {

// The clip names in use on the cards of an output folder and the space each
// card's files take, gathered in one pass (after clearing what killed exports
// left behind) and kept current by the exporters of one run, so that naming a
// clip costs the same however full the destination is.
class DestinationIndex {
public:
    explicit DestinationIndex(std::filesystem::path outputFolder) : m_output(std::move(outputFolder)) {}

    const std::filesystem::path& outputFolder() const { return m_output; }
    // True when a clip of that name (any letter case) has a file on a card:
    // its video, XML, icon, or a channel's audio or voice file, finished or
    // being written.
    bool Taken(const std::string& name);
    // A name this run has taken, or found taken since the index was made.
    void Add(const std::string& name);
    // A name found taken on the disk since the index was made.
    void Found(const std::string& name);
    // Gives back a name Add took (a clip that was not written); names found
    // on the disk stay taken.
    void Release(const std::string& name);
    // Bytes of the files below a card folder, measured on first ask.
    uint64_t UsedBytes(const std::filesystem::path& card);
    void AddUsed(const std::filesystem::path& card, uint64_t bytes);

private:
    void build();
    std::filesystem::path m_output;
    bool m_built = false;
    std::unordered_set<std::string> m_names, m_added;   // upper case
    std::map<std::filesystem::path, uint64_t> m_used;
};

// When writing into `outputFolder` could write inside the card (or, for a clip
// outside a card tree, the folder) a source clip comes from: the output folder
// inside the source card, or the source inside one of the output folder's
// card folders ("Card1", ...). Real paths are compared. Returns the source
// card or folder in conflict, or an empty path.
std::filesystem::path SourceCardConflict(const std::filesystem::path& sourceClip,
                                         const std::filesystem::path& outputFolder);

class CP2Cards {
public:
    // Free bytes available to the user on the disk holding a path. Tests
    // give their own; an empty function is the real query.
    using FreeSpaceFunction = std::function<uint64_t(const std::filesystem::path&)>;
    void SetFreeSpaceFunction(FreeSpaceFunction fn) { m_freeSpace = std::move(fn); }
    uint64_t FreeBytes(const std::filesystem::path& path) const;

    // Bytes per frame used for the space need (999999 for AVC-Intra, 0 unknown).
    static uint32_t FrameBytesForNeed(int formatCode);

    // Finds the current card under the output folder and measures used and
    // available space (the used space from `index` when given).
    void Locate(const std::filesystem::path& outputFolder, DestinationIndex* index = nullptr);
    // Recomputes the need when format and frame count are known and positive:
    // the video frames and, given the channels and the edit rate, the audio files.
    void SetNeed(int formatCode, int64_t frameCount, int audioChannels = 0, uint32_t rateNumerator = 0,
                 uint32_t rateDenominator = 1);
    // Moves to the next card folder.
    void NextCard();

    int cardNumber() const { return m_card; }
    const std::filesystem::path& cardPath() const { return m_cardPath; }
    int64_t availableMB() const { return m_availableMB; }
    int64_t usedMB() const { return m_usedMB; }
    int64_t needMB() const { return m_needMB; }

private:
    std::filesystem::path m_output;
    int m_card = 1;
    std::filesystem::path m_cardPath;
    int64_t m_availableMB = 0;
    int64_t m_usedMB = 0;
    int64_t m_needMB = 0;
    uint32_t m_frameBytes = 0;
    FreeSpaceFunction m_freeSpace;
};

} // namespace vorn::mxf
