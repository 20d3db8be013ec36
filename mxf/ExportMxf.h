// CExportMxf: writes one converted clip as a P2 clip into a card folder of
// the output folder (card choice, folders, names, MXF files, clip XML, icon
// and voice copies, LASTCLIP.TXT).
#pragma once

#include "mxf/ExportBase.h"
#include "mxf/MxfClip.h"
#include "mxf/MxfEssenceWriter.h"
#include "mxf/P2Cards.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace vorn::mxf {

class CExportMxf : public CExportBase {
public:
    // Writes the 80 x 60 icon bitmap of a frame to a path; installed by the
    // layer that owns the decoders. Returns true on success.
    using ThumbnailWriter = std::function<bool(const uint8_t* frame, size_t size, int formatCode, int flag,
                                               const std::filesystem::path& iconPath)>;

    CExportMxf(const std::string& sourcePath, const std::string& outputFolder);
    ~CExportMxf() override;

    int Open(std::string& message, int audioChannels, bool wide) override;
    int Close() override;
    int WriteAudio(const uint8_t* buffer, size_t size, int channel) override;
    int WriteVideo(uint8_t* buffer, size_t size) override;
    int BeginClip(int64_t frames, int64_t reserved, uint32_t rateDenominator, uint32_t rateNumerator, bool wide,
                  int audioChannels) override;
    void SetMetadata(const std::string& key, const std::string& value) override;
    int CopyIcon(const std::string& sourcePath) override;
    int CopyVoice(const std::string& sourcePath, const std::string& extension) override;
    int WriteThumbnail(const uint8_t* frame, size_t size, int formatCode, int flag) override;
    void SetFrameCount(int64_t count) override;
    void SetFormatCode(int code) override;

    static void SetThumbnailWriter(ThumbnailWriter writer);

    // Builds and writes the output clip XML; 1 on success, 0 when the source
    // XML exists but is not a P2Main document or the output cannot be written.
    int UpdateClipXml(const std::filesystem::path& sourceXml, const std::filesystem::path& outputXml,
                      const std::string& clipName, int64_t frameCount, const std::string& pulldown,
                      int audioChannels, bool wide);

    // Converts a start timecode S (frames in base b, drop flag d) to the output
    // rate, sets the exporter's timecode (text, start, base, drop) and the
    // running DV time code.
    // Also starts the video writer's running time code at the given label
    // (hours below 0: at the start frame count split at the base rate).
    void SetTimecode(int hours, int minutes, int seconds, int frames, int64_t start, int base, int drop) override;
    void ConvertStartTimecode(int64_t start, int base, int drop);
    // The time code the video writer stamps into the next DV-family frame.
    const dv::TimecodeCounter& runningTimecode() const { return m_videoWriter.runningTimecode(); }

    // The source clip's XML path: the source's folder with its last folder
    // replaced by CLIP, the source name, extension xml (any letter case).
    std::filesystem::path SourceClipXmlPath() const;

    const std::filesystem::path& videoPath() const { return m_videoPath; }
    const std::filesystem::path& clipXmlPath() const { return m_xmlPath; }
    const std::filesystem::path& iconPath() const { return m_iconPath; }
    std::filesystem::path audioPath(int channel) const;
    const std::filesystem::path& cardPath() const { return m_cards.cardPath(); }
    const CP2Cards& cards() const { return m_cards; }
    const CMxfClip& metadata() const { return m_metadata; }
    int audioChannels() const { return m_audioChannels; }

private:
    bool refuseSourceOverwrite(const std::vector<std::filesystem::path>& outputs);
    bool createFile(std::fstream& file, const std::filesystem::path& path);
    MxfHeaderParams headerParams() const;

    std::filesystem::path m_sourcePath;
    std::filesystem::path m_outputFolder;
    std::string m_name;
    std::filesystem::path m_videoPath, m_xmlPath, m_iconPath, m_voicePath;
    std::filesystem::path m_contents, m_videoDir, m_audioDir, m_clipDir, m_iconDir, m_proxyDir, m_voiceDir;
    MxfEssenceWriter m_videoWriter{MxfEssenceWriter::kVideo};
    std::array<MxfEssenceWriter, 8> m_audioWriters{
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio),
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio),
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio),
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio)};
    std::fstream m_videoFile;
    std::array<std::fstream, 8> m_audioFiles;
    CP2Cards m_cards;
    CMxfClip m_clip;       // the record the clip XML is built from
    CMxfClip m_metadata;   // pairs given through SetMetadata
    int m_lastClip = 1;
    int m_audioChannels = 0;
    bool m_wide = true;
};

} // namespace vorn::mxf
