// CP2Cards: the card folders ("Card1", "Card2", ...) of an output folder and
// the space a clip needs on the disk and in the current card.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

namespace vorn::mxf {

class CP2Cards {
public:
    // Free bytes available to the user on the disk holding a path. Tests
    // replace it; an empty function restores the real query.
    using FreeSpaceFunction = std::function<uint64_t(const std::filesystem::path&)>;
    static FreeSpaceFunction SetFreeSpaceFunction(FreeSpaceFunction fn);
    static uint64_t FreeBytes(const std::filesystem::path& path);

    // Bytes per frame used for the space need (999999 for AVC-Intra, 0 unknown).
    static uint32_t FrameBytesForNeed(int formatCode);

    // Finds the current card under the output folder and measures used and available space.
    void Locate(const std::filesystem::path& outputFolder);
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
};

} // namespace vorn::mxf
