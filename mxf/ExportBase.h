// CExportBase: the exporter interface the export driver talks to. A clip is
// written in phases: the plain setters describe it, Open prepares its files,
// BeginClip writes their headers, WriteVideo and WriteAudio their essence,
// and Close puts them in place (or Discard takes them back). Every operation
// that can fail returns a Status whose message says what failed, with the
// system's reason; the exporter itself shows nothing to the user.
#pragma once

#include "dv/DvSystemData.h"
#include "foundation/Status.h"
#include "mxf/Umid.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vorn::mxf {

class DestinationIndex;

class CExportBase {
public:
    // Error kinds of the last failed Open. kErrorClip: the cause lies in this
    // clip's own files (its source clip XML, its names), not in the
    // destination; later clips can still be written.
    enum ErrorKind { kErrorNone = 0, kErrorDiskTooSmall = 1, kErrorCardTooSmall = 2, kErrorClip = 3 };

    virtual ~CExportBase() = default;

    // ---- Open: prepares the clip (space checks, card, folders, names, clip
    // XML, files). A failure's message says why ("Insufficient room on disk,
    // ..."); it may be empty when the exporter has nothing to add.
    virtual Status Open(int audioChannels, bool wide) = 0;

    // ---- Files beside the essence, once the clip is open.
    virtual Status CopyIcon(const std::string& sourcePath)
    {
        (void)sourcePath;
        return Status();
    }
    // Copies a voice memo to the VOICE folder as the clip name followed by
    // `extension`: "WAV" or ".WAV" give NAME.WAV, "00.WAV" gives NAME00.WAV.
    virtual Status CopyVoice(const std::string& sourcePath, const std::string& extension)
    {
        (void)sourcePath;
        (void)extension;
        return Status();
    }
    // Copies a proxy file to the PROXY folder as the clip name with the
    // extension ("MP4", "BIN"); as CopyVoice otherwise.
    virtual Status CopyProxy(const std::string& sourcePath, const std::string& extension)
    {
        (void)sourcePath;
        (void)extension;
        return Status();
    }
    // Makes the clip's icon from its frame 0 (`rotated`: the picture is turned
    // half round).
    virtual Status WriteThumbnail(const uint8_t* frame, size_t size, int formatCode, bool rotated) = 0;

    // ---- Headers and essence.
    // Writes all file headers.
    virtual Status BeginClip(int64_t frames, uint32_t rateDenominator, uint32_t rateNumerator, bool wide,
                             int audioChannels) = 0;
    // Writes one compressed frame; DV-family frames are stamped in place.
    virtual Status WriteVideo(uint8_t* buffer, size_t size) = 0;
    virtual Status WriteAudio(const uint8_t* buffer, size_t size, int channel) = 0;

    // ---- Close: finishes the clip's files, gives them their final names and
    // writes LASTCLIP.TXT. On failure the clip's files are removed.
    virtual Status Close() = 0;
    // Abandons the clip being written: removes every file of it written so far
    // (and folders made for it that are now empty). Called on abort or failure;
    // a failed Close discards by itself. Nothing that existed before is touched.
    virtual void Discard() {}

    // ---- The clip's description (before Open).
    virtual void SetFrameCount(int64_t count) { m_frameCount = count; }
    virtual void SetFormatCode(int code) { m_formatCode = code; }
    virtual void SetMetadata(const std::string& key, const std::string& value)
    {
        (void)key;
        (void)value;
    }
    // Formats "%02d:%02d:%02d:%02d" into the timecode text when hours is not
    // negative, and stores start (frames), base and drop flag.
    virtual void SetTimecode(int hours, int minutes, int seconds, int frames, int64_t start, int base, int drop);
    // Converts a start time code (frames in `base`, drop flag) to the output
    // rate; an exporter that writes the source's time code as it is keeps it.
    virtual void ConvertStartTimecode(int64_t start, int base, int drop)
    {
        (void)start;
        (void)base;
        (void)drop;
    }
    // The names and card space of the destination, shared by the exporters
    // of one run so that the destination is read once.
    virtual void SetDestinationIndex(std::shared_ptr<DestinationIndex> index) { (void)index; }

    void SetRateNumerator(uint32_t n) { m_rateNumerator = n; }
    void SetRateDenominator(uint32_t d) { m_rateDenominator = d; }
    void SetPulldown(const std::string& text) { m_pulldown = text; }
    // Output frames per source frame of the conversion.
    void SetPlaybackFactor(double f) { m_playbackFactor = f; }
    // The source's time code base and drop-frame flag, used when converting
    // the start time code.
    void SetSourceTimecodeBase(int base) { m_sourceTimecodeBase = base; }
    void SetSourceDropFrame(int drop) { m_sourceDrop = drop; }
    // Whether the pictures are re-encoded, and the source's edit rate.
    void SetReencoded(bool reencoded) { m_reencoded = reencoded; }
    void SetSourceEditRate(int rate) { m_sourceEditRate = rate; }
    void SetTimecodeText(const std::string& text) { m_timecodeText = text.substr(0, 31); }
    void SetClipName(const std::string& name) { m_clipName = name; }
    void SetFrameSize(uint32_t size) { m_frameSize = size; }
    void SetLaterFrameSize(uint32_t size) { m_laterFrameSize = size; }
    void SetPictureLines(int lines) { m_pictureLines = lines; }
    void SetBinaryGroup(uint32_t userBits) { m_binaryGroup = userBits; }
    // The size of the cards written, in GB (1000 MB); 0 for no limit.
    void SetCardSize(int gigabytes) { m_cardSizeGB = gigabytes; }
    // Stores the clip's base UMID with byte 10 set to 0Dh.
    void SetBaseUmid(const Umid& umid)
    {
        m_umid = umid;
        m_umid[10] = 0x0D;
    }

    // ---- What the driver reads back.
    // The time code stamped into the next DV-family frame; null when the
    // exporter keeps none (the driver then starts at the source's label).
    virtual const dv::TimecodeCounter* runningTimecode() const { return nullptr; }
    // The clip's files once it is finished (video, audio channels, clip XML,
    // icon, then the other files the last Close put in place); empty paths
    // are left out.
    virtual std::vector<std::filesystem::path> outputPaths() const { return {}; }

    const Umid& baseUmid() const { return m_umid; }
    const std::string& clipName() const { return m_clipName; }
    const std::string& timecodeText() const { return m_timecodeText; }
    int64_t timecodeStart() const { return m_timecodeStart; }
    int timecodeBase() const { return m_timecodeBase; }
    int timecodeDrop() const { return m_timecodeDrop; }
    int errorKind() const { return m_errorKind; }
    int64_t frameCount() const { return m_frameCount; }
    // The text of the last failed operation, with the system's reason
    // ("Could not write X: No space left on device"); "" when none since
    // ClearLastError. A failure of a frame handed on by the pipeline is read
    // here.
    const std::string& lastError() const { return m_lastError; }
    void ClearLastError() { m_lastError.clear(); }
    // After a successful Close: what failed once the clip's files were in
    // place (they stay); "" when nothing did.
    const std::string& lateProblem() const { return m_lateProblem; }
    // After a successful Open: "Clip A exists in the destination; written as B"
    // when the clip's name was taken and it is written under another; else empty.
    const std::string& renameNotice() const { return m_renameNotice; }
    // Failures the user is to be told of at once (a message box), oldest
    // first, since the last call. The caller shows them; the exporter does not.
    std::vector<std::string> TakeNotices() { return std::exchange(m_notices, {}); }

protected:
    // A failed status with the last failure's text.
    Status lastFailure() const { return Status::failure(m_lastError); }

    std::string m_clipName;
    int64_t m_frameCount = 0;
    int m_formatCode = 0;
    uint32_t m_frameSize = 0;
    uint32_t m_laterFrameSize = 0;
    int m_pictureLines = 0;
    uint32_t m_rateNumerator = 24;
    uint32_t m_rateDenominator = 1;
    std::string m_timecodeText;
    int64_t m_timecodeStart = 0;
    int m_timecodeBase = 30;
    int m_timecodeDrop = 0;
    int m_sourceTimecodeBase = 0;
    int m_sourceDrop = 0;
    uint32_t m_binaryGroup = 0;
    int m_cardSizeGB = 0;
    std::string m_pulldown;
    double m_playbackFactor = 1.0;
    bool m_reencoded = false;
    int m_sourceEditRate = 0;
    Umid m_umid{};
    int m_errorKind = kErrorNone;
    std::string m_renameNotice;
    std::string m_lastError;
    std::string m_lateProblem;
    std::vector<std::string> m_notices;
};

inline void CExportBase::SetTimecode(int hours, int minutes, int seconds, int frames, int64_t start, int base, int drop)
{
    if (hours >= 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", hours, minutes, seconds, frames);
        m_timecodeText = text;
    }
    m_timecodeStart = start;
    m_timecodeBase = base;
    m_timecodeDrop = drop;
}

} // namespace vorn::mxf
