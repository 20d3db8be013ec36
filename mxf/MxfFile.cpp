#include "mxf/MxfFile.h"

#include "mxf/ClipPaths.h"

#include "dv/VideoFormats.h"

#include "foundation/Log.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

// ---------------------------------------------------------------------------
// Descriptor table: small integer descriptors over read-only binary streams.

namespace vorn::mxfio {
namespace {

struct OpenFile {
    std::ifstream stream;
    uint64_t size = 0;
};

std::mutex g_tableLock;
std::vector<std::unique_ptr<OpenFile>> g_table;

OpenFile* lookup(int fd)
{
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (fd < 0 || static_cast<size_t>(fd) >= g_table.size())
        return nullptr;
    return g_table[static_cast<size_t>(fd)].get();
}

} // namespace

int openRead(const char* path)
{
    if (!path || !*path)
        return -1;
    // Regular files only: opening a FIFO would wait for a writer forever.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return -1;
    auto file = std::make_unique<OpenFile>();
    file->stream.open(path, std::ios::in | std::ios::binary);
    if (!file->stream.is_open())
        return -1;
    file->stream.seekg(0, std::ios::end);
    const auto end = file->stream.tellg();
    if (end < 0)
        return -1;
    file->size = static_cast<uint64_t>(end);
    file->stream.seekg(0, std::ios::beg);

    std::lock_guard<std::mutex> lock(g_tableLock);
    for (size_t i = 0; i < g_table.size(); ++i) {
        if (!g_table[i]) {
            g_table[i] = std::move(file);
            return static_cast<int>(i);
        }
    }
    if (g_table.size() >= static_cast<size_t>(std::numeric_limits<int>::max()))
        return -1;
    g_table.push_back(std::move(file));
    return static_cast<int>(g_table.size() - 1);
}

void close(int fd)
{
    std::unique_ptr<OpenFile> gone;
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (fd >= 0 && static_cast<size_t>(fd) < g_table.size())
        gone = std::move(g_table[static_cast<size_t>(fd)]);
}

bool seek(int fd, uint64_t offset)
{
    OpenFile* f = lookup(fd);
    if (!f || offset > static_cast<uint64_t>(std::numeric_limits<std::streamoff>::max()))
        return false;
    f->stream.clear();
    f->stream.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    return !f->stream.fail();
}

uint64_t tell(int fd)
{
    OpenFile* f = lookup(fd);
    if (!f)
        return 0;
    f->stream.clear();
    const auto pos = f->stream.tellg();
    return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

uint64_t size(int fd)
{
    OpenFile* f = lookup(fd);
    return f ? f->size : 0;
}

size_t read(int fd, void* buffer, size_t count)
{
    OpenFile* f = lookup(fd);
    if (!f || !buffer || count == 0)
        return 0;
    const size_t limit = static_cast<size_t>(std::numeric_limits<std::streamsize>::max());
    count = std::min(count, limit);
    f->stream.clear();
    f->stream.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count));
    const auto got = f->stream.gcount();
    return got < 0 ? 0 : static_cast<size_t>(got);
}

int openCount()
{
    std::lock_guard<std::mutex> lock(g_tableLock);
    return static_cast<int>(std::count_if(g_table.begin(), g_table.end(), [](const auto& p) { return p != nullptr; }));
}

} // namespace vorn::mxfio

namespace io = vorn::mxfio;

// ---------------------------------------------------------------------------
// Keys and the picture essence coding table.

namespace {

using Key = std::array<uint8_t, 16>;
using vorn::isDvFamily;
using vorn::VideoFormatInfo;
using vorn::videoFormatInfo;

constexpr Key kCdciDescriptor{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x28, 0x00};
constexpr Key kMpegDescriptor{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x51, 0x00};
constexpr Key kAes3Descriptor{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x47, 0x00};
constexpr Key kTimecodeComponent{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x14, 0x00};
constexpr Key kEssenceContainerData{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x23, 0x00};
constexpr Key kIndexSegment{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00};
// Generic container essence elements: the first 12 bytes, then the item type
// (18h compound/DV, 15h picture/AVC, 16h sound). The element count, type and
// number that follow differ between writers and are not compared.
constexpr uint8_t kEssencePrefix[12] = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01};
constexpr uint8_t kDvItem = 0x18;
constexpr uint8_t kAvcItem = 0x15;
constexpr uint8_t kSoundItem = 0x16;

// The essence item type of a key, or 0 when the key is no essence element.
uint8_t essenceItem(const Key& key)
{
    if (std::memcmp(key.data(), kEssencePrefix, sizeof kEssencePrefix) != 0)
        return 0;
    const uint8_t item = key[12];
    return item == kDvItem || item == kAvcItem || item == kSoundItem ? item : 0;
}

// Bytes of one compressed DV frame of a format (0 when not a DV format).
int32_t dvFrameBytesOfCode(int32_t code)
{
    return isDvFamily(code) ? videoFormatInfo(code)->dvFrameBytes : 0;
}

constexpr float kAspect4by3 = 1.3333334f;

int32_t linesOfCode(int32_t code)
{
    const VideoFormatInfo* f = videoFormatInfo(code);
    return f ? f->lines : 0;
}

// The width the reader reports for display: the coded width of DVCPRO HD
// (its pictures are stored horizontally squeezed), else the stored width.
int32_t displayWidthOfCode(int32_t code, int32_t storedWidth)
{
    return code >= 1 && code <= 4 ? videoFormatInfo(code)->codedWidth : storedWidth;
}

int32_t clampToInt32(uint64_t value)
{
    return value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? 0 : static_cast<int32_t>(value);
}

} // namespace

MxfLabelFormat mxfFormatFromLabel(uint8_t b13, uint8_t b14, uint8_t b15)
{
    MxfLabelFormat f;
    auto known = [](int32_t code, float aspect) {
        MxfLabelFormat k;
        k.code = code;
        k.lines = linesOfCode(code);
        k.displayWidth = code >= 1 && code <= 4 ? displayWidthOfCode(code, 0) : 0;
        k.pixelAspect = aspect;
        return k;
    };
    if (b13 == 0x01) {
        if (b14 == 0x01) return known(5, 1.2121f);
        if (b14 == 0x02) return known(6, 1.4568f);
        f.keepCode = true;
        return f;
    }
    if (b13 == 0x02) {
        switch (b14) {
        case 0x01: return known(10, 1.2121f);
        case 0x02: return known(9, 1.4568f);
        case 0x03: return known(8, 1.2121f);
        case 0x04: return known(7, 1.4568f);
        case 0x05: return known(1, 1.5f);
        case 0x06: return known(3, kAspect4by3);
        case 0x07: return known(2, kAspect4by3);
        case 0x08: return known(4, kAspect4by3);
        default: f.keepCode = true; return f;
        }
    }
    if (b13 == 0x32 && (b14 == 0x21 || b14 == 0x31)) {
        static constexpr uint8_t kThird[6] = {0x01, 0x02, 0x03, 0x04, 0x08, 0x09};
        const int base = b14 == 0x21 ? 32 : 38;
        const float aspect = b14 == 0x21 ? kAspect4by3 : 1.0f;
        for (int i = 0; i < 6; ++i) {
            if (b15 == kThird[i])
                return known(base + i, aspect);
        }
        f.pixelAspect = aspect;
        return f;
    }
    return f;
}

// ---------------------------------------------------------------------------

CMxfFile::CMxfFile(const char* path)
{
    if (path)
        m_strFile = path;
    m_fd_audio.fill(-1);
}

// Descriptors still open are closed, so an object dropped without Close leaks nothing.
CMxfFile::~CMxfFile()
{
    Close();
}

bool CMxfFile::readKey()
{
    if (io::read(m_fdScan, m_key.data(), m_key.size()) != m_key.size())
        return false;
    if (m_key[0] != 0x06 || m_key[1] != 0x0E) {
        log(LOG_ERROR, "CMxfFile::readKey", "Invalid KLV key found ");
        return false;
    }
    return true;
}

bool CMxfFile::readLength(uint64_t& length)
{
    uint8_t first = 0;
    if (io::read(m_fdScan, &first, 1) != 1)
        return false;
    if (first < 0x80) {
        length = first;
        return true;
    }
    const unsigned count = first & 0x7Fu;
    // More than 8 length bytes cannot be held in 64 bits: treat as a failed read.
    if (count > 8)
        return false;
    uint8_t bytes[8] = {};
    if (count && io::read(m_fdScan, bytes, count) != count)
        return false;
    length = 0;
    for (unsigned i = 0; i < count; ++i)
        length = (length << 8) | bytes[i];
    return true;
}

void CMxfFile::splitTimecode()
{
    if (m_tcBase < 24 || m_tcBase > 30)
        return;
    int64_t s = static_cast<int64_t>(static_cast<uint32_t>(m_startTimecode & 0xFFFFFFFF));
    if (m_dropFrame != 0)
        s = (s * 1001 + 1000) / 1000;
    const int64_t base = m_tcBase;
    m_tcFrames = static_cast<int32_t>(s % base);
    m_tcSeconds = static_cast<int32_t>((s / base) % 60);
    m_tcMinutes = static_cast<int32_t>((s / base / 60) % 60);
    m_tcHours = static_cast<int32_t>((s / base / 3600) % 24);
}

void CMxfFile::parseItem(uint16_t tag, const uint8_t* value, uint16_t length)
{
    uint32_t w[2] = {0, 0};
    const int n = std::min<int>(length, 8);
    for (int i = 0; i < n; ++i) {
        uint32_t& word = i < 4 ? w[0] : w[1];
        word = (word << 8) | value[i];
    }
    const int32_t s0 = static_cast<int32_t>(w[0]);
    const int32_t s1 = static_cast<int32_t>(w[1]);
    const uint64_t wide = (static_cast<uint64_t>(w[0]) << 32) | w[1];

    switch (tag) {
    case 0x3202: m_height = s0; break;
    case 0x3203: m_width = s0; break;
    case 0x320E: m_aspectRatio = s1 != 0 ? static_cast<float>(s0) / static_cast<float>(s1) : 1.0f; break;
    case 0x3001: {
        const float rate = s1 != 0 ? static_cast<float>(s0) / static_cast<float>(s1) : 0.0f;
        (m_sawAes3 ? m_audioSampleRate : m_editRate) = rate;
        break;
    }
    case 0x3002: {
        // A duration that reads as negative is not a duration.
        const int64_t d = wide > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? 0 : static_cast<int64_t>(wide);
        (m_sawAes3 ? m_audioDuration : m_videoDuration) = d;
        break;
    }
    case 0x3D01: (m_sawAes3 ? m_audioBits : m_videoBits) = s0; break;
    case 0x3F05: {
        const int32_t bytes = s0 < 0 ? 0 : s0;
        if (m_editUnitCounts == 0) {
            m_frameSize = bytes;
            m_bytesPerEditUnit = bytes;
        } else if (m_editUnitCounts == 1) {
            m_laterFrameSize = bytes;
        }
        ++m_editUnitCounts;
        break;
    }
    case 0x3201: {
        m_pixelAspect = 1.0f;
        if (length < 16) {
            m_videoFormat = 0;
            break;
        }
        const MxfLabelFormat f = mxfFormatFromLabel(value[13], value[14], value[15]);
        m_pixelAspect = f.pixelAspect;
        if (!f.keepCode)
            m_videoFormat = f.code;
        break;
    }
    case 0x2701:
        m_packageId.fill(0);
        std::memcpy(m_packageId.data(), value, std::min<size_t>(length, m_packageId.size()));
        break;
    case 0x0202:
        // The timecode component's duration: the frame count of a file without a container duration.
        if (m_key == kTimecodeComponent)
            m_tcDuration = wide > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? 0 : static_cast<int64_t>(wide);
        break;
    case 0x1501: m_startTimecode = static_cast<int64_t>(wide); break;
    case 0x1502: m_tcBase = s0; break;
    case 0x1503:
        m_dropFrame = s0;
        splitTimecode();
        break;
    default: break;
    }
}

bool CMxfFile::parseSet(const uint8_t* data, size_t size)
{
    size_t offset = 0;
    while (offset < size) {
        if (size - offset < 4)
            break;
        const uint16_t tag = static_cast<uint16_t>((data[offset] << 8) | data[offset + 1]);
        const uint16_t length = static_cast<uint16_t>((data[offset + 2] << 8) | data[offset + 3]);
        if (size - offset - 4 < length)
            break; // an item running past its set is not read
        parseItem(tag, data + offset + 4, length);
        offset += 4u + length;
    }
    return true;
}

int CMxfFile::ReadHeaders(const char* path)
{
    if (path)
        m_strFile = path;

    m_fdScan = io::openRead(m_strFile.c_str());
    if (m_fdScan < 0) {
        logf(LOG_ERROR, "MxfFile::ReadHeaders", "Unable to open %s (%d)", m_strFile.c_str(), m_fdScan);
        return 0;
    }
    m_scanFileSize = io::size(m_fdScan);
    m_sawAes3 = false;
    m_editUnitCounts = 0;
    m_tcDuration = 0;

    int result = 0;
    std::vector<uint8_t> set;
    for (;;) {
        if (!readKey())
            break;
        uint64_t length = 0;
        if (!readLength(length) || length == 0)
            break;
        const uint64_t position = io::tell(m_fdScan);
        const uint64_t left = position <= m_scanFileSize ? m_scanFileSize - position : 0;

        const Key& key = m_key;
        const bool isSet = key == kCdciDescriptor || key == kMpegDescriptor || key == kAes3Descriptor
            || key == kTimecodeComponent || key == kEssenceContainerData || key == kIndexSegment;
        if (isSet) {
            // Oversized sets and sets running past the end of the file end the scan.
            if (length > kMxfMaxSetBytes || length > left)
                break;
            if (key == kAes3Descriptor)
                m_sawAes3 = true;
            set.resize(static_cast<size_t>(length));
            if (io::read(m_fdScan, set.data(), set.size()) != set.size())
                break;
            parseSet(set.data(), set.size());
            continue;
        }

        const uint8_t item = essenceItem(key);
        if (item == kSoundItem && m_sawAes3) {
            if (m_audioFileCount >= kMxfMaxAudioChannels) {
                log(LOG_ERROR, "CMxfFile::ReadHeaders", "too many audio files");
                break;
            }
            m_audioEssenceStart = position;
            m_audioEssenceLength = length;
            m_audioEnd[static_cast<size_t>(m_audioFileCount)] = position + std::min(length, left);
            m_fd_audio[static_cast<size_t>(m_audioFileCount++)] = m_fdScan;
            const uint64_t perUnit = m_audioDuration > 0 ? length / static_cast<uint64_t>(m_audioDuration) : 0;
            m_audioBytesPerEditUnit = clampToInt32(perUnit);
            m_bytesPerEditUnit = m_audioBytesPerEditUnit;
            result = 2;
            break;
        }
        if (item != 0) {
            if (m_fd >= 0 && m_fd != m_fdScan)
                io::close(m_fd);
            m_videoEssenceStart = position;
            m_videoEssenceLength = length;
            m_fd = m_fdScan;
            // A file without a container duration: the timecode component's duration.
            if (m_videoDuration <= 0)
                m_videoDuration = m_tcDuration;
            if (item != kAvcItem) {
                const uint64_t perFrame = m_videoDuration > 0 ? length / static_cast<uint64_t>(m_videoDuration) : 0;
                m_frameSize = clampToInt32((perFrame / 1000) * 1000);
                if (m_videoDuration <= 0 && dvFrameBytesOfCode(m_videoFormat) > 0) {
                    // Nor a timecode duration: the format's frame size gives the count.
                    m_frameSize = dvFrameBytesOfCode(m_videoFormat);
                    m_videoDuration = static_cast<int64_t>(length / static_cast<uint64_t>(m_frameSize));
                }
                m_bytesPerEditUnit = m_frameSize;
            } else {
                if (m_editUnitCounts == 0 && m_videoDuration > 0) {
                    // No byte count before the essence: AVC-Intra frames of a class share one size.
                    m_frameSize = clampToInt32(length / static_cast<uint64_t>(m_videoDuration));
                    m_bytesPerEditUnit = m_frameSize;
                }
                if (m_editUnitCounts < 2) {
                    // An index with a single edit unit byte count describes every frame.
                    m_laterFrameSize = m_frameSize;
                }
            }
            result = 1;
            break;
        }

        // Anything else is skipped by its length.
        if (length > left || !io::seek(m_fdScan, position + length))
            break;
    }

    if (result == 0) {
        io::close(m_fdScan);
        m_fdScan = -1;
    }
    if (!m_sawAes3) {
        m_height = linesOfCode(m_videoFormat);
        m_displayWidth = displayWidthOfCode(m_videoFormat, m_width);
    }
    return result;
}

int CMxfFile::ReadAllAudioHeaders(const char* path, int mode)
{
    logf(LOG_ENTERING, "CMxfFile::ReadAllAudioHeaders", "%s", path ? path : "");
    if (path)
        m_strFile = path;
    if (m_strFile.isEmpty()) {
        log(LOG_ERROR, "CMxfFile::ReadAllAudioHeaders. m_strFile.GetLength()", "");
        return 0;
    }
    CloseAudioFiles();

    const vorn::mxf::ClipPaths paths = vorn::mxf::clipPathsOf(m_strFile.str());
    const std::string& folder = paths.folder;
    const std::string& clip = paths.name;
    const std::string& extension = paths.extension;

    // The AUDIO folder beside the video file's folder: ".../CONTENTS/VIDEO/" gives ".../CONTENTS/AUDIO/".
    const std::string audioFolder = paths.sibling("AUDIO");

    const int first = m_audioSelect == 1 ? 2 : 0;
    std::vector<std::unique_ptr<CMxfFile>> found;
    int taken = 0;
    auto search = [&](const std::string& dir) {
        found.clear();
        for (int ch = 0; ch < kMxfMaxAudioChannels; ++ch) {
            auto temp = std::make_unique<CMxfFile>();
            const std::string name = dir + qelFormat("%s%02d", clip.c_str(), ch) + extension;
            const int r = temp->ReadHeaders(name.c_str());
            if (r != 2) {
                temp->Close();
                break;
            }
            found.push_back(std::move(temp));
        }
        int count = static_cast<int>(found.size());
        if (m_audioSelect != 2)
            count = std::clamp(count - first, 0, 2);
        return count;
    };

    int startIndex = m_audioSelect == 2 ? 0 : first;
    taken = search(audioFolder);
    if (taken == 0)
        taken = search(folder);

    for (int i = 0; i < static_cast<int>(found.size()); ++i) {
        CMxfFile& t = *found[static_cast<size_t>(i)];
        const int slot = i - startIndex;
        if (slot >= 0 && slot < taken) {
            m_fd_audio[static_cast<size_t>(slot)] = t.m_fd_audio[0];
            m_audioEnd[static_cast<size_t>(slot)] = t.m_audioEnd[0];
            t.m_fd_audio[0] = -1;
        } else {
            t.CloseAudioFiles();
        }
    }
    m_audioFileCount = taken;

    if (taken > 0) {
        const CMxfFile& src = *found[static_cast<size_t>(startIndex)];
        m_audioBits = src.m_audioBits;
        m_audioSampleRate = src.m_audioSampleRate;
        m_audioDuration = src.m_audioDuration;
        m_audioEssenceStart = src.m_audioEssenceStart;
        m_audioEssenceLength = src.m_audioEssenceLength;
        m_audioBytesPerEditUnit = src.m_audioBytesPerEditUnit;
    }
    if (mode == 2)
        CloseAudioFiles();
    return taken;
}

int CMxfFile::ReadFrame(uint8_t* buffer, size_t capacity, int64_t n)
{
    if (m_fd < 0 || !buffer || n < 0 || m_frameSize <= 0)
        return 0;
    const uint64_t un = static_cast<uint64_t>(n);
    const uint64_t length = m_videoEssenceLength;
    uint64_t offset = 0;
    uint64_t bytes = 0;
    if (!(m_videoFormat & 32)) {
        const uint64_t fs = static_cast<uint64_t>(m_frameSize);
        if (un > 0 && un + 1 > length / fs)
            return 0;
        offset = m_videoEssenceStart + un * fs;
        bytes = fs;
    } else if (un == 0) {
        offset = m_videoEssenceStart;
        bytes = static_cast<uint64_t>(m_frameSize);
    } else {
        const uint64_t fs = static_cast<uint64_t>(m_frameSize);
        const uint64_t later = static_cast<uint64_t>(m_laterFrameSize);
        if (later == 0 || fs > length || un > (length - fs) / later)
            return 0;
        offset = m_videoEssenceStart + fs + (un - 1) * later;
        bytes = later;
    }
    if (bytes > capacity) {
        logf(LOG_ERROR, "CMxfFile::ReadFrame", "frame %lld of %llu bytes does not fit a buffer of %zu bytes",
             static_cast<long long>(n), static_cast<unsigned long long>(bytes), capacity);
        return 0;
    }
    if (!io::seek(m_fd, offset))
        return 0;
    return static_cast<int>(io::read(m_fd, buffer, static_cast<size_t>(bytes)));
}

int CMxfFile::ReadAudio(uint8_t* buffer, int count, int channel)
{
    if (!buffer || count <= 0 || channel < 0 || channel >= kMxfMaxAudioChannels)
        return 0;
    const int fd = m_fd_audio[static_cast<size_t>(channel)];
    if (fd < 0)
        return 0;
    const uint64_t position = io::tell(fd);
    const uint64_t end = m_audioEnd[static_cast<size_t>(channel)];
    const uint64_t left = end > position ? end - position : 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(count), left));
    return static_cast<int>(io::read(fd, buffer, n));
}

void CMxfFile::CloseAudioFiles()
{
    logf(LOG_DEBUG, "CMxfFile::CloseAudioFiles", "m_fd_audio[0]=%d", m_fd_audio[0]);
    for (auto& fd : m_fd_audio) {
        if (fd >= 0 && fd != m_fd)
            io::close(fd);
        fd = -1;
    }
}

void CMxfFile::Close()
{
    if (m_fd >= 0)
        io::close(m_fd);
    m_fd = -1;
    m_fdScan = -1;
    CloseAudioFiles();
}
