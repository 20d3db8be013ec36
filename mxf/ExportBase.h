// CExportBase: the exporter interface the export driver talks to. The order
// of the virtual operations is part of the interface.
#pragma once

#include "mxf/Umid.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vorn::mxf {

class CExportBase {
public:
    // Error kinds of the last failed Open. kErrorClip: the cause lies in this
    // clip's own files (its source clip XML, its names), not in the
    // destination; later clips can still be written.
    enum ErrorKind { kErrorNone = 0, kErrorDiskTooSmall = 1, kErrorCardTooSmall = 2, kErrorClip = 3 };

    virtual ~CExportBase() = default;                                                    // slot 0
    // Prepares the clip (space checks, card, folders, names, clip XML, files).
    // Returns non-zero on success; a space failure's text goes to `message`.
    virtual int Open(std::string& message, int audioChannels, bool wide) = 0;           // slot 1
    // Finishes the clip's files, gives them their final names and writes
    // LASTCLIP.TXT; 1 on success. On failure the clip's files are removed.
    virtual int Close() = 0;                                                             // slot 2
    virtual int WriteAudio(const uint8_t* buffer, size_t size, int channel) = 0;         // slot 3
    // Writes one compressed frame; DV-family frames are stamped in place.
    virtual int WriteVideo(uint8_t* buffer, size_t size) = 0;                            // slot 4
    // Writes all file headers; `reserved` is not used.
    virtual int BeginClip(int64_t frames, int64_t reserved, uint32_t rateDenominator, uint32_t rateNumerator,
                          bool wide, int audioChannels) = 0;                             // slot 5
    virtual void SetMetadata(const std::string& key, const std::string& value) { (void)key; (void)value; } // 6
    virtual int CopyIcon(const std::string& sourcePath) { (void)sourcePath; return 1; }  // slot 7
    // Copies a voice memo to the VOICE folder as the clip name followed by
    // `extension`: "WAV" or ".WAV" give NAME.WAV, "00.WAV" gives NAME00.WAV.
    virtual int CopyVoice(const std::string& sourcePath, const std::string& extension)   // slot 8
    {
        (void)sourcePath;
        (void)extension;
        return 1;
    }
    virtual int WriteThumbnail(const uint8_t* frame, size_t size, int formatCode, int flag) = 0; // slot 9
    virtual void SetFrameCount(int64_t count) { m_frameCount = count; }                  // slot 10
    virtual void SetSecondCount(int64_t count) { m_secondCount = count; }                // slot 11
    virtual void SetRateNumerator(uint32_t n) { m_rateNumerator = n; }                   // slot 12
    virtual void SetFormatCode(int code) { m_formatCode = code; }                        // slot 13
    virtual void SetPulldown(const std::string& text) { m_pulldown = text; }            // slot 14
    virtual void SetRateDenominator(uint32_t d) { m_rateDenominator = d; }               // slot 15
    virtual void SetPlaybackFactor(double f) { m_playbackFactor = f; }                   // slot 16
    // Formats "%02d:%02d:%02d:%02d" into the timecode text when hours is not
    // negative, and stores start (frames), base and drop flag.
    virtual void SetTimecode(int hours, int minutes, int seconds, int frames, int64_t start, int base,
                             int drop);                                                  // slot 17
    virtual void SetSourceTimecodeBase(int base) { m_sourceTimecodeBase = base; }        // slot 18
    // The source's drop-frame flag, used when converting the start timecode.
    virtual void SetSourceDropFrame(int drop) { m_sourceDrop = drop; }                   // slot 19
    virtual void SetOptionValue1(int value) { m_option1 = value; }                       // slot 20
    virtual void SetOptionValue2(int value) { m_option2 = value; }                       // slot 21
    virtual void SetTimecodeText(const std::string& text) { m_timecodeText = text.substr(0, 31); } // slot 22
    // Abandons the clip being written: removes every file of it written so far
    // (and folders made for it that are now empty). Called on abort or failure;
    // a failed Close discards by itself. Nothing that existed before is touched.
    virtual void Discard() {}                                                            // slot 23
    // Copies a proxy file to the PROXY folder as the clip name with the
    // extension ("MP4", "BIN"); as CopyVoice otherwise.
    virtual int CopyProxy(const std::string& sourcePath, const std::string& extension)   // slot 24
    {
        (void)sourcePath;
        (void)extension;
        return 1;
    }

    // Plain setters and accessors.
    void SetClipName(const std::string& name) { m_clipName = name; }
    void SetFrameSize(uint32_t size) { m_frameSize = size; }
    void SetLaterFrameSize(uint32_t size) { m_laterFrameSize = size; }
    void SetPictureLines(int lines) { m_pictureLines = lines; }
    void SetBinaryGroup(uint32_t userBits) { m_binaryGroup = userBits; }
    // Stores the clip's base UMID with byte 10 set to 0Dh.
    void SetBaseUmid(const Umid& umid)
    {
        m_umid = umid;
        m_umid[10] = 0x0D;
    }
    const Umid& baseUmid() const { return m_umid; }
    const std::string& clipName() const { return m_clipName; }
    const std::string& timecodeText() const { return m_timecodeText; }
    int64_t timecodeStart() const { return m_timecodeStart; }
    int timecodeBase() const { return m_timecodeBase; }
    int timecodeDrop() const { return m_timecodeDrop; }
    int errorKind() const { return m_errorKind; }
    // The last failure of a file operation, with the system's reason
    // ("Could not write X: No space left on device"); "" when none since
    // ClearLastError.
    const std::string& lastError() const { return m_lastError; }
    void ClearLastError() { m_lastError.clear(); }
    // After a successful Close: what failed once the clip's files were in
    // place (they stay); "" when nothing did.
    const std::string& lateProblem() const { return m_lateProblem; }
    // After a successful Open: "Clip A exists in the destination; written as B"
    // when the clip's name was taken and it is written under another; else empty.
    const std::string& renameNotice() const { return m_renameNotice; }
    int64_t frameCount() const { return m_frameCount; }

protected:
    std::string m_clipName;
    int64_t m_frameCount = 0;
    int64_t m_secondCount = 0;
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
    std::string m_pulldown;
    double m_playbackFactor = 1.0;
    int m_option1 = 0;
    int m_option2 = 0;
    Umid m_umid{};
    int m_errorKind = kErrorNone;
    std::string m_renameNotice;
    std::string m_lastError;
    std::string m_lateProblem;
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
