// Reader of one P2 clip: the op-atom MXF video file and its audio channel files.
//
// The reader scans the KLV stream of a file from its start up to the first
// essence element, keeps what it needs from the few metadata sets it knows,
// and then serves compressed video frames by number and audio bytes by
// channel. Source files are only ever opened for reading.
#pragma once

#include "foundation/QelString.h"

#include <array>
#include <string>
#include <utility>
#include <cstddef>
#include <cstdint>
#include <vector>

// The picture format named by a picture essence coding label (bytes 13-15).
struct MxfLabelFormat {
    int32_t code = 0;          // video format code; 0 = not recognised
    int32_t lines = 0;         // picture lines of the format (0 for code 0)
    int32_t displayWidth = 0;  // 0 = the stored width
    float pixelAspect = 1.0f;
    bool keepCode = false;     // DV label with an unknown byte 14: the previous code stands
};
MxfLabelFormat mxfFormatFromLabel(uint8_t b13, uint8_t b14, uint8_t b15);

// Whether num/den is an edit rate a clip of a format can have: 25/1 for the
// 50 Hz formats (and 50/1 for 720p50), 30000/1001 or 24000/1001 for the others
// (and 60000/1001 for 720p60), each also written as 25/1, 30/1, 24/1, ...
// Codes the table does not know are not judged (true).
bool mxfEditRateAllowed(int32_t code, int32_t num, int32_t den);

// Largest metadata set or index segment the scan reads into memory.
constexpr uint64_t kMxfMaxSetBytes = 16u * 1024u * 1024u;
// Number of audio channel files a clip may have.
constexpr int kMxfMaxAudioChannels = 8;

class CMxfFile {
public:
    explicit CMxfFile(const char* path = nullptr);
    // Closes whatever the object still holds open.
    virtual ~CMxfFile();
    CMxfFile(const CMxfFile&) = delete;
    CMxfFile& operator=(const CMxfFile&) = delete;

    // Scans a file (the given path, else m_strFile). Returns 0 (failure or no
    // essence), 1 (video essence found) or 2 (audio essence found). On 1 and 2
    // the file stays open, positioned at the essence; on 0 it is closed.
    int ReadHeaders(const char* path = nullptr);

    // Finds and opens the clip's audio channel files (see m_audioSelect).
    // Returns the number of channel files taken (0 to 8). With mode 2 they are
    // closed again before returning; their parameters stay.
    int ReadAllAudioHeaders(const char* path = nullptr, int mode = 0);

    // Reads compressed frame n (from 0) into buffer, which holds capacity
    // bytes. Returns the byte count read; 0 when n lies beyond the essence, the
    // file is not open, or the frame does not fit the buffer (logged).
    int ReadFrame(uint8_t* buffer, size_t capacity, int64_t n);
    int ReadFrame(std::vector<uint8_t>& buffer, int64_t n) { return ReadFrame(buffer.data(), buffer.size(), n); }

    // Reads up to count bytes of a channel's audio essence from where the last
    // read stopped. Returns bytes read; 0 when the channel is not open or ended.
    int ReadAudio(uint8_t* buffer, int count, int channel);

    // After ReadAllAudioHeaders: whether the file of channel slot c was found,
    // and the 16-bit samples its essence really holds (the declared length, or
    // less when the file is cut short). Channel numbers up to the highest file
    // found count, so a missing file in between leaves a slot without a file.
    bool AudioChannelFound(int channel) const;
    // Sound tracks the material package of the scanned file names: the
    // channels the clip has, whether their files are there or not.
    int NamedAudioChannels() const { return m_namedAudioChannels; }
    uint64_t AudioChannelSamples(int channel) const;
    // Bytes of a channel's essence that ReadAudio has not yet given. More than
    // 0 after ReadAudio gave 0 means the file ended early or could not be read
    // (it was cut or removed while the clip was read).
    uint64_t AudioBytesLeft(int channel) const;

    // Empty when the video edit rate is one the clip's format allows, else why
    // not ("its edit rate 0/1 is not a rate of HD 720p60 (...)"). Such a clip
    // cannot be read: its frame and audio timing is unknown.
    std::string EditRateProblem() const;

    void CloseAudioFiles();
    void Close();

    // Accessors.
    int64_t FrameCount() const { return m_videoDuration; }
    const uint8_t* PackageId() const { return m_packageId.data(); }
    float AspectRatio() const { return m_aspectRatio; }
    int FrameSize() const { return m_frameSize; }
    int LaterFrameSize() const { return m_laterFrameSize; }
    int Height() const { return m_height; }
    int Width() const { return m_width; }
    float EditRate() const { return m_editRate; }
    // The video edit rate as the file gives it (3001 of a video file).
    int32_t EditRateNumerator() const { return m_editRateNum; }
    int32_t EditRateDenominator() const { return m_editRateDen; }
    int TcHours() const { return m_tcHours; }
    int TcMinutes() const { return m_tcMinutes; }
    int TcSeconds() const { return m_tcSeconds; }
    int TcFrames() const { return m_tcFrames; }
    int TcBase() const { return m_tcBase; }
    int32_t StartTimecode() const { return static_cast<int32_t>(m_startTimecode & 0xFFFFFFFF); }
    int DropFrame() const { return m_dropFrame; }
    int VideoFormat() const { return m_videoFormat; }
    float PixelAspect() const { return m_pixelAspect; }
    int DisplayWidth() const { return m_displayWidth; }
    int AudioBits() const { return m_audioBits; }
    float AudioSampleRate() const { return m_audioSampleRate; }
    int64_t AudioDuration() const { return m_audioDuration; }
    int AudioFileCount() const { return m_audioFileCount; }
    bool IsOpen() const { return m_fd >= 0; }

    // Members (read directly by the engine where noted in the accessors).
    int32_t m_fd = -1;                 // open video file, -1 when closed
    int32_t m_audioSelect = 0;         // 2 = all channels, 1 = channels 3 and 4, else 1 and 2
    int32_t m_height = 0;              // stored height, then the format's line count
    int32_t m_width = 0;               // stored width
    int32_t m_audioBits = 0;           // 3D01 of an audio file
    int32_t m_videoBits = 0;           // 3D01 of a video file
    float m_editRate = 0.0f;           // 3001 of a video file
    float m_audioSampleRate = 0.0f;    // 3001 of an audio file
    int32_t m_bytesPerEditUnit = 0;
    float m_aspectRatio = 0.0f;        // 320E; 0.0 until seen
    std::array<uint8_t, 16> m_key{};   // key last read
    uint64_t m_audioEssenceStart = 0;
    uint64_t m_videoEssenceStart = 0;
    uint64_t m_audioEssenceLength = 0;
    uint64_t m_videoEssenceLength = 0;
    int32_t m_audioBytesPerEditUnit = 0;
    int32_t m_frameSize = 0;           // bytes of a frame (of the first for AVC-Intra)
    int32_t m_laterFrameSize = 0;      // bytes of each later frame (AVC-Intra)
    QelString m_strFile;
    int32_t m_videoFormat = 0;
    float m_pixelAspect = 0.0f;
    int32_t m_displayWidth = 0;
    int64_t m_startTimecode = 0;       // 1501, in frames
    std::array<uint8_t, 32> m_packageId{};
    int32_t m_tcBase = 0;              // 1502
    int32_t m_dropFrame = 0;           // 1503
    int32_t m_tcHours = 0, m_tcMinutes = 0, m_tcSeconds = 0, m_tcFrames = 0;
    int32_t m_fdScan = -1;             // file being scanned
    std::array<int32_t, kMxfMaxAudioChannels> m_fd_audio;
    int32_t m_audioFileCount = 0;
    int64_t m_audioDuration = 0;       // 3002 of an audio file
    int64_t m_videoDuration = 0;       // 3002 of a video file

    // Where each open audio channel's essence ends (file offset), so reads stop there.
    std::array<uint64_t, kMxfMaxAudioChannels> m_audioEnd{};
    // Essence bytes each channel slot's file really holds (0 for a slot without a file).
    std::array<uint64_t, kMxfMaxAudioChannels> m_audioBytes{};
    int32_t m_editRateNum = 0;         // 3001 of a video file, as given
    int32_t m_editRateDen = 0;

private:
    bool readKey();
    bool readLength(uint64_t& length);
    bool parseSet(const uint8_t* data, size_t size);
    void parseItem(uint16_t tag, const uint8_t* value, uint16_t length);
    void splitTimecode();

    bool m_sawAes3 = false;      // the file being scanned has shown an AES3 descriptor
    int64_t m_tcDuration = 0;    // duration of the timecode component (used when a file gives no container duration)
    int m_editUnitCounts = 0;    // 3F05 items seen in the file being scanned
    uint64_t m_scanFileSize = 0;

    // The structure that names the clip's channels: the material package's
    // tracks, each track's sequence, and the sequences of sound.
    using Uid = std::array<uint8_t, 16>;
    void parseStructure(const Uid& key, const uint8_t* data, size_t size);
    int countNamedSoundTracks() const;
    std::vector<Uid> m_materialTracks;
    std::vector<std::pair<Uid, Uid>> m_trackSequences;
    std::vector<Uid> m_soundSequences;
    int m_namedAudioChannels = 0;
};

// Descriptor-level file access used by the reader (read-only; 64-bit offsets).
namespace vorn::mxfio {
int openRead(const char* path);          // -1 on failure
void close(int fd);
bool seek(int fd, uint64_t offset);
uint64_t tell(int fd);
uint64_t size(int fd);
size_t read(int fd, void* buffer, size_t count);
int openCount();                          // descriptors currently open (for tests)
} // namespace vorn::mxfio
