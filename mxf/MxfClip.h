// CMxfClip: the clip metadata record of one P2 clip (ordered key/value texts)
// and its XML document, with the builder of the output clip document.
#pragma once

#include "mxf/XmlNode.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vorn::mxf {

// "1001/30000", "1/25": rate denominator / numerator.
std::string editUnitText(uint32_t rateNumerator, uint32_t rateDenominator);

// The clip XML FrameRate text ("59.94i", "50p", "23.98p", ...) of a format
// code and rate; `family3060` tells whether the rate is of the 30/60 family
// (which carries the DropFrameFlag attribute).
std::string frameRateText(int formatCode, uint32_t rateNumerator, uint32_t rateDenominator,
                          bool* family3060 = nullptr);

// A time as the clip XML's dates write it: "2026-12-11T09:30:00+00:00" (UTC).
std::string utcDateTimeText(std::time_t when);

class CMxfClip {
public:
    CMxfClip() = default;

    void SetValue(const std::string& key, const std::string& value);
    bool HasValue(const std::string& key) const;
    std::string GetValue(const std::string& key) const;   // empty when absent
    void RemoveValue(const std::string& key);

    // The second list: "DataSizeVideo", "DataSizeAudio".
    void SetSize(const std::string& key, const std::string& value);
    std::string GetSize(const std::string& key) const;

    const std::vector<std::pair<std::string, std::string>>& values() const { return m_values; }

    // Loads a clip XML whose top element is P2Main; returns an XmlError code.
    int LoadXml(const std::filesystem::path& path);
    // Writes the document; returns 0, 14 (cannot open) or 15 (write failure).
    int SaveXml(const std::filesystem::path& path) const;

    XmlDocument& document() { return m_doc; }
    const XmlDocument& document() const { return m_doc; }

    // Builds the output clip document from the record. `sourceClipMetadata`
    // is copied when it has at least one child element; `dropFrame` is the
    // clip's timecode drop-frame flag.
    void BuildDocument(const XmlNode& sourceClipMetadata, int audioChannels, int formatCode,
                       uint32_t rateNumerator, uint32_t rateDenominator, bool dropFrame);

private:
    static void set(std::vector<std::pair<std::string, std::string>>& list, const std::string& key,
                    const std::string& value);
    std::vector<std::pair<std::string, std::string>> m_values;
    std::vector<std::pair<std::string, std::string>> m_sizes;
    XmlDocument m_doc;
};

} // namespace vorn::mxf
