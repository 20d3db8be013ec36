// CExportMxf: writes one converted clip as a P2 clip into a card folder of
// the output folder (card choice, folders, names, MXF files, clip XML, icon
// and voice copies, LASTCLIP.TXT).
#pragma once

#include "mxf/ExportBase.h"
#include "mxf/MxfClip.h"
#include "mxf/MxfEssenceWriter.h"
#include "mxf/P2Cards.h"
#include "mxf/SafeOutput.h"

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vorn::mxf {

class CExportMxf : public CExportBase {
public:
    // Makes the 80 x 60 icon bitmap of a frame into `bitmap` in place of the
    // built-in makeIconBitmap (tests give one). Returns true on success.
    using ThumbnailWriter = std::function<bool(const uint8_t* frame, size_t size, int formatCode, bool rotated,
                                               std::vector<uint8_t>& bitmap)>;

    CExportMxf(const std::string& sourcePath, const std::string& outputFolder);
    // A clip opened but neither closed nor discarded is discarded.
    ~CExportMxf() override;

    Status Open(int audioChannels, bool wide) override;
    Status Close() override;
    Status WriteAudio(const uint8_t* buffer, size_t size, int channel) override;
    Status WriteVideo(uint8_t* buffer, size_t size) override;
    Status BeginClip(int64_t frames, uint32_t rateDenominator, uint32_t rateNumerator, bool wide,
                     int audioChannels) override;
    void SetMetadata(const std::string& key, const std::string& value) override;
    Status CopyIcon(const std::string& sourcePath) override;
    Status CopyVoice(const std::string& sourcePath, const std::string& extension) override;
    Status CopyProxy(const std::string& sourcePath, const std::string& extension) override;
    Status WriteThumbnail(const uint8_t* frame, size_t size, int formatCode, bool rotated) override;
    void SetFrameCount(int64_t count) override;
    void SetFormatCode(int code) override;
    void Discard() override;
    std::vector<std::filesystem::path> outputPaths() const override;

    // The icon maker of this exporter (empty: makeIconBitmap).
    void SetThumbnailWriter(ThumbnailWriter writer) { m_thumbnailWriter = std::move(writer); }
    // The free-space query of the destination's disk (empty: the system's).
    void SetFreeSpaceFunction(CP2Cards::FreeSpaceFunction fn) { m_cards.SetFreeSpaceFunction(std::move(fn)); }

    // Without a shared index, every Open reads the destination afresh.
    void SetDestinationIndex(std::shared_ptr<DestinationIndex> index) override { m_sharedIndex = std::move(index); }

    // The card size in gigabytes (the option "CardSize"): a clip that does not
    // fit the room left on the current card starts a new card. 0 (the
    // default): no limit.

    // Called before each file of a closing clip is moved to its final name
    // (steps 0, 1, ... in order, the video file last, then LASTCLIP.TXT), with
    // that name. Tests stop the process or take the name at a chosen step.
    using CommitHook = std::function<void(int step, const std::filesystem::path& finalPath)>;
    void SetCommitHook(CommitHook hook) { m_commitHook = std::move(hook); }

    // Every file of the open clip is made through these. CreateClipFile makes
    // a new file under a temporary name in the folder of `finalPath` (never
    // opening an existing file or following a symlink); it takes its final
    // name when the clip closes without error and is removed when the clip
    // is discarded. A second file for the same final path replaces the first.
    // Null, with a notice, when no clip is open or it cannot be made.
    std::ostream* CreateClipFile(const std::filesystem::path& finalPath);
    // A whole file from memory, or a copy of a regular file. A copy whose
    // source could not be read to its end is not kept.
    Status WriteClipFile(const std::filesystem::path& finalPath, const void* data, size_t size);
    Status CopyClipFile(const std::string& sourcePath, const std::filesystem::path& finalPath);

    // Builds the output clip XML and writes it to `outputXml` (through a
    // temporary file moved over the target); fails when the source XML exists
    // but is not a P2Main document or the output cannot be written.
    Status UpdateClipXml(const std::filesystem::path& sourceXml, const std::filesystem::path& outputXml,
                         const std::string& clipName, int64_t frameCount, const std::string& pulldown,
                      int audioChannels, bool wide);

    // Converts a start timecode S (frames in base b, drop flag d) to the output
    // rate, sets the exporter's timecode (text, start, base, drop) and the
    // running DV time code.
    // Also starts the video writer's running time code at the given label
    // (hours below 0: at the label of the start frame count at the base rate).
    void SetTimecode(int hours, int minutes, int seconds, int frames, int64_t start, int base, int drop) override;
    void ConvertStartTimecode(int64_t start, int base, int drop) override;
    // The time code the video writer stamps into the next DV-family frame.
    const dv::TimecodeCounter* runningTimecode() const override { return &m_videoWriter.runningTimecode(); }

    // The source clip's XML path: the source's folder with its last folder
    // replaced by CLIP, the source name, extension xml (any letter case).
    std::filesystem::path SourceClipXmlPath() const;

    // The first free clip name for `wanted` given the names taken: the name
    // itself, else a P2 name (4 digits, 2 characters) counts its number up to
    // 9999 keeping the suffix, any other name gets "_2", "_3", ...; empty when
    // none is free. Names compare without regard to letter case.
    static std::string UniqueClipName(const std::string& wanted, const std::function<bool(const std::string&)>& taken);

    const std::filesystem::path& videoPath() const { return m_videoPath; }
    const std::filesystem::path& clipXmlPath() const { return m_xmlPath; }
    const std::filesystem::path& iconPath() const { return m_iconPath; }
    std::filesystem::path audioPath(int channel) const;
    const std::filesystem::path& cardPath() const { return m_cards.cardPath(); }
    const CP2Cards& cards() const { return m_cards; }
    const CMxfClip& metadata() const { return m_metadata; }
    int audioChannels() const { return m_audioChannels; }
    // The files the last Close put in place (icon, proxies and voice memos
    // included), in the order they were moved there.
    const std::vector<std::filesystem::path>& writtenFiles() const { return m_written; }
    // The name the clip is written under (the clip name, or the free name taken instead).
    const std::string& outputName() const { return m_name; }

private:
    struct Pending {
        std::unique_ptr<TempOutputFile> file;
        bool video = false;
    };
    int loadSourceXml(const std::filesystem::path& sourceXml);
    int buildClipXml(std::string& text, const std::string& clipName, int64_t frameCount, const std::string& pulldown,
                     int audioChannels, bool wide);
    bool nameTaken(const std::string& name);
    bool createFolders(std::string& why);
    void dropPending(TempOutputFile* file);
    // Sets the last error, logs it and (by default) adds it to the notices.
    void reportFailure(const std::string& text, bool notice = true);
    void writeFailed(const TempOutputFile& file);
    TempOutputFile* createPending(const std::filesystem::path& finalPath, bool video);
    bool finishPending();
    enum CommitResult { kCommitted, kCommitNameTaken, kCommitFailed };
    CommitResult commitPending();
    bool renameClip();
    std::unique_ptr<TempOutputFile> writeLastClip(std::string& error);
    MxfHeaderParams headerParams() const;

    std::filesystem::path m_sourcePath;
    std::filesystem::path m_outputFolder;
    std::string m_name;
    std::string m_wanted;       // the name asked for
    bool m_nameHeld = false;    // m_name is entered in the index for the open clip
    std::shared_ptr<DestinationIndex> m_sharedIndex, m_index;
    CommitHook m_commitHook;
    ThumbnailWriter m_thumbnailWriter;
    std::filesystem::path m_videoPath, m_xmlPath, m_iconPath, m_voicePath;
    std::filesystem::path m_contents, m_videoDir, m_audioDir, m_clipDir, m_iconDir, m_proxyDir, m_voiceDir;
    MxfEssenceWriter m_videoWriter{MxfEssenceWriter::kVideo};
    std::array<MxfEssenceWriter, 8> m_audioWriters{
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio),
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio),
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio),
        MxfEssenceWriter(MxfEssenceWriter::kAudio), MxfEssenceWriter(MxfEssenceWriter::kAudio)};
    // The open clip's files under their temporary names, in creation order.
    std::vector<Pending> m_pending;
    TempOutputFile* m_videoFile = nullptr;
    std::array<TempOutputFile*, 8> m_audioFiles{};
    // Folders made for the open clip, parents first.
    std::vector<std::filesystem::path> m_createdFolders;
    std::vector<std::filesystem::path> m_written;
    bool m_clipOpen = false;
    bool m_headersWritten = false;   // BeginClip has run for the open clip
    CP2Cards m_cards;
    CMxfClip m_source;     // the source clip XML, when readable
    bool m_haveSource = false;
    CMxfClip m_clip;       // the record the clip XML is built from
    CMxfClip m_metadata;   // pairs given through SetMetadata
    int m_lastClip = 1;
    int m_audioChannels = 0;
    bool m_wide = true;
};

} // namespace vorn::mxf
