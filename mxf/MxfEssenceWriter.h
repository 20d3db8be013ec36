// Writer of one op-atom MXF file of a P2 clip (the video file or one audio
// channel file): header partition, primer pack, header metadata, index
// segment(s), fill to byte 32620, body partition, one clip-wrapped essence
// element whose value starts at byte 32768, and the footer partition.
#pragma once

#include "dv/DvSystemData.h"
#include "dv/VideoFormats.h"
#include "mxf/Umid.h"

#include <array>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace vorn::mxf {

inline bool isAvcIntraCode(int code) { return vorn::isAvcIntra(code); }

// Everything WriteHeader needs, as the exporter computes it per clip.
struct MxfHeaderParams {
    uint32_t frameSize = 0;        // bytes per frame (AVC-Intra: of the first frame)
    uint32_t laterFrameSize = 0;   // AVC-Intra: bytes of every later frame
    uint32_t storedHeight = 0;
    uint8_t frameLayout = 1;
    uint32_t componentDepth = 8;
    uint32_t horizontalSubsampling = 2;
    uint32_t verticalSubsampling = 1;
    int formatCode = 0;
    uint32_t aspectNumerator = 4;
    uint32_t aspectDenominator = 3;
    std::string clipName;
    uint64_t frameCount = 0;
    uint32_t rateNumerator = 25;
    uint32_t rateDenominator = 1;
    int audioChannel = 0;          // audio files: this file's channel (0-7)
    Umid baseUmid{};
    int audioChannels = 0;         // audio channels of the clip (0-8)
};

// The InstanceUIDs of the sets a writer makes: each byte is the top 8 bits of
// a 15-bit pseudo-random number from a linear congruential generator seeded
// from the clock when the source is made. The writers of one export share
// one source, so that no two of its sets get the same identifier.
class UidSource {
public:
    using Uid = std::array<uint8_t, 16>;
    UidSource();
    explicit UidSource(uint32_t seed) : m_state(seed) {}
    Uid next();

private:
    uint32_t m_state;
};

class MxfEssenceWriter {
public:
    enum Kind { kVideo = 1, kAudio = 2 };

    explicit MxfEssenceWriter(int kind = kVideo);

    int kind() const { return m_kind; }

    // The source of the identifiers WriteHeader and WriteFooter make (by
    // default one of the writer's own); null keeps the current one.
    void SetUidSource(std::shared_ptr<UidSource> uids);

    // Sets the timecode written by WriteHeader: start (frames), rounded base, drop flag.
    void SetTimecode(int32_t start, int base, int drop);

    // The running time code stamped into DV-family frames: set to the clip's
    // first frame, advanced by WriteFrame once per frame written (per picture
    // pair at 50 and 59.94 pictures a second).
    void SetRunningTimecode(const dv::TimecodeCounter& tc) { m_runningTimecode = tc; }
    const dv::TimecodeCounter& runningTimecode() const { return m_runningTimecode; }

    // Writes everything from byte 0 up to and including the essence element's
    // key and length into `file` (opened binary, positioned anywhere). The
    // AVC-Intra variant is chosen for video when the format code has bit 5 set.
    void WriteHeader(std::ostream& file, const MxfHeaderParams& params);

    // Video: stamps (DV family) and writes one compressed frame; the buffer is
    // changed in place. Audio: writes up to the planned length, drops the rest.
    void WriteFrame(uint8_t* buffer, size_t size);

    // Audio: appends silence up to the planned essence length.
    void PadAudio();

    // Writes the footer partition and patches the FooterPartition fields of
    // the header and body partition packs.
    void WriteFooter(uint32_t frameSize, uint32_t laterFrameSize, uint64_t frameCount,
                     uint32_t rateNumerator, uint32_t rateDenominator, int formatCode);

    // Audio: true when WriteFooter found the essence shorter or longer than
    // planned (PadAudio was not called); the file is written all the same.
    bool audioLengthMismatch() const { return m_audioLengthMismatch; }

    // Where WriteHeader put the clip name field of the material package
    // (ClipNameField's bytes), from the start of the file.
    uint64_t clipNamePosition() const { return m_clipNamePos; }
    // The material package's clip name field: the first 6 characters of the
    // name, each as a 16-bit character, zeros after the name's end.
    static std::array<uint8_t, 12> ClipNameField(const std::string& name);

    // True when any write to the file failed, or a video frame was refused
    // for its size, since WriteHeader.
    bool writeFailed() const { return m_writeFailed; }

    uint64_t plannedLength() const { return m_plannedLength; }
    uint64_t audioBytesWritten() const { return m_audioBytesWritten; }
    uint64_t audioSamples() const { return m_audioSamples; }
    uint64_t fillLength() const { return m_fillLength; }
    int roundedFrameRate() const { return m_roundedRate; }

    // Duration in time code frames (track edit rate tcNum/tcDen) of `frames`
    // pictures at num/den: the same time, rounded up to a whole frame.
    static uint64_t timecodeDuration(uint64_t frames, uint32_t rateNumerator, uint32_t rateDenominator,
                                     uint32_t tcNumerator, uint32_t tcDenominator);

    // Audio samples of a clip (audioSamplesOfFrames).
    static uint64_t audioSamplesFor(uint64_t frames, uint32_t rateNumerator, uint32_t rateDenominator);

private:
    void write(const uint8_t* data, size_t size);
    void patch64(uint64_t position, uint64_t value);
    void writeFrameDv(uint8_t* buffer, size_t size);

    int m_kind;
    std::shared_ptr<UidSource> m_uids;
    std::ostream* m_file = nullptr;
    bool m_writeFailed = false;
    bool m_audioLengthMismatch = false;
    uint64_t m_headerFooterPos = 0, m_headerByteCountPos = 0, m_headerIndexByteCountPos = 0;
    uint64_t m_bodyFooterPos = 0, m_bodyPartition = 0;
    uint64_t m_clipNamePos = 0;
    int m_framePair = 0;   // 720-line DVCPRO HD: 0 or 2
    int32_t m_tcStart = 0;
    int m_tcBase = 30;
    int m_tcDrop = 0;
    int m_roundedRate = 0;
    dv::TimecodeCounter m_runningTimecode;
    int m_formatCode = 0;
    uint64_t m_audioSamples = 0;
    uint64_t m_audioBytesWritten = 0;
    uint64_t m_videoBytesWritten = 0;
    uint64_t m_framesWritten = 0;    // video frames written
    uint64_t m_frameSize = 0;        // video: bytes of every frame (AVC-Intra: of the first)
    uint64_t m_laterFrameSize = 0;   // AVC-Intra: bytes of every later frame
    uint64_t m_plannedLength = 0;
    uint64_t m_fillLength = 0;
    std::vector<uint8_t> m_shuffle;   // 720-line segment reorder buffer
};

} // namespace vorn::mxf
