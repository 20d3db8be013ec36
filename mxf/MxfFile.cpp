#include "mxf/MxfFile.h"

#include "mxf/ClipPaths.h"
#include "mxf/Timecode.h"

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
constexpr Key kMaterialPackage{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x36, 0x00};
constexpr Key kTrack{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x3B, 0x00};
constexpr Key kSequence{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x0F, 0x00};
// Structure entries kept per file: more than any clip has, few enough to bound a hostile file.
constexpr size_t kMaxStructureEntries = 1024;
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

bool mxfEditRateAllowed(int32_t code, int32_t num, int32_t den)
{
    const VideoFormatInfo* info = videoFormatInfo(code);
    if (!info)
        return true;
    if (num <= 0 || den <= 0)
        return false;
    const bool is720 = info->lines == 720;
    if (info->hz50)
        return int64_t{num} == 25 * int64_t{den} || (is720 && int64_t{num} == 50 * int64_t{den});
    // whole x 1000/1001, or written as whole/1.
    auto is = [num, den](int64_t whole) {
        return int64_t{num} * 1001 == whole * 1000 * den || int64_t{num} == whole * den;
    };
    return is(24) || is(30) || (is720 && is(60));
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
    // Bases 24 to 30 are split, and a drop-frame count in 60 (59.94p counted
    // per picture); other bases leave the fields as they were. A drop-frame
    // count becomes the label it stands for, the one the clip XML and the
    // subcode carry; a drop flag in a base that drops no labels changes nothing.
    const bool drop = vorn::mxf::DroppedLabelsPerMinute(m_tcBase, m_dropFrame != 0) > 0;
    if ((m_tcBase < 24 || m_tcBase > 30) && !drop)
        return;
    const int64_t s = static_cast<int64_t>(static_cast<uint32_t>(m_startTimecode & 0xFFFFFFFF));
    const vorn::mxf::TimecodeLabel label = vorn::mxf::FramesToTimecodeLabel(s, m_tcBase, drop);
    m_tcHours = label.hours;
    m_tcMinutes = label.minutes;
    m_tcSeconds = label.seconds;
    m_tcFrames = label.frames;
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
        if (!m_sawAes3) {
            m_editRateNum = s0;
            m_editRateDen = s1;
        }
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

void CMxfFile::parseStructure(const Uid& key, const uint8_t* data, size_t size)
{
    Uid instance{};
    Uid reference{};   // a track's sequence, a sequence's data definition
    bool haveInstance = false, haveReference = false;
    size_t offset = 0;
    while (size - offset >= 4) {
        const uint16_t tag = static_cast<uint16_t>((data[offset] << 8) | data[offset + 1]);
        const uint16_t length = static_cast<uint16_t>((data[offset + 2] << 8) | data[offset + 3]);
        if (size - offset - 4 < length)
            break;
        const uint8_t* value = data + offset + 4;
        offset += 4u + length;
        if (tag == 0x3C0A && length == 16) {
            std::copy(value, value + 16, instance.begin());
            haveInstance = true;
        } else if (length == 16 && ((key == kTrack && tag == 0x4803) || (key == kSequence && tag == 0x0201))) {
            std::copy(value, value + 16, reference.begin());
            haveReference = true;
        } else if (key == kMaterialPackage && tag == 0x4403 && length >= 8) {
            // A batch: count, item size (16), the track references.
            const uint32_t count = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) | value[3];
            const uint32_t item = (uint32_t{value[4]} << 24) | (uint32_t{value[5]} << 16) | (uint32_t{value[6]} << 8) | value[7];
            if (item != 16)
                continue;
            for (uint32_t i = 0; i < count && 8 + (i + 1) * size_t{16} <= length; ++i) {
                if (m_materialTracks.size() >= kMaxStructureEntries)
                    break;
                Uid track{};
                std::copy(value + 8 + i * size_t{16}, value + 8 + (i + 1) * size_t{16}, track.begin());
                m_materialTracks.push_back(track);
            }
        }
    }
    if (!haveInstance || !haveReference)
        return;
    if (key == kTrack && m_trackSequences.size() < kMaxStructureEntries)
        m_trackSequences.emplace_back(instance, reference);
    // Sound data definitions: 06 0E 2B 34 .. 01 03 02 02 02.
    static constexpr uint8_t kSound[5] = {0x01, 0x03, 0x02, 0x02, 0x02};
    if (key == kSequence && reference[0] == 0x06 && reference[1] == 0x0E && reference[2] == 0x2B && reference[3] == 0x34
        && std::equal(kSound, kSound + 5, reference.begin() + 8) && m_soundSequences.size() < kMaxStructureEntries)
        m_soundSequences.push_back(instance);
}

int CMxfFile::countNamedSoundTracks() const
{
    int count = 0;
    for (const Uid& track : m_materialTracks) {
        for (const auto& [instance, sequence] : m_trackSequences) {
            if (instance != track)
                continue;
            if (std::find(m_soundSequences.begin(), m_soundSequences.end(), sequence) != m_soundSequences.end())
                ++count;
            break;
        }
    }
    return std::min(count, kMxfMaxAudioChannels);
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
    m_materialTracks.clear();
    m_trackSequences.clear();
    m_soundSequences.clear();

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
        if (key == kMaterialPackage || key == kTrack || key == kSequence) {
            if (length > kMxfMaxSetBytes || length > left)
                break;
            set.resize(static_cast<size_t>(length));
            if (io::read(m_fdScan, set.data(), set.size()) != set.size())
                break;
            parseStructure(key, set.data(), set.size());
            continue;
        }
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
            m_audioBytes[static_cast<size_t>(m_audioFileCount)] = std::min(length, left);
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

    m_namedAudioChannels = countNamedSoundTracks();
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

    // Every channel number is looked for: a missing file (0001AB01.MXF of
    // four) leaves its slot without a file instead of hiding the channels
    // after it. The clip's channels run up to the highest number found, or
    // to the number of sound tracks the video file names when that is more.
    std::array<std::unique_ptr<CMxfFile>, kMxfMaxAudioChannels> found;
    auto search = [&](const std::string& dir) {
        int named = 0;
        for (int ch = 0; ch < kMxfMaxAudioChannels; ++ch) {
            auto temp = std::make_unique<CMxfFile>();
            const std::string name = dir + qelFormat("%s%02d", clip.c_str(), ch) + extension;
            if (temp->ReadHeaders(name.c_str()) == 2) {
                found[static_cast<size_t>(ch)] = std::move(temp);
                named = ch + 1;
            } else {
                temp->Close();
                found[static_cast<size_t>(ch)].reset();
            }
        }
        return named;
    };
    int named = search(audioFolder);
    if (named == 0)
        named = search(folder);
    // The channels the clip names count even when their files are all gone.
    named = std::max(named, m_namedAudioChannels);

    // Selection 2 takes every channel; else two, from channel 3 with selection 1.
    const int startIndex = m_audioSelect == 1 ? 2 : 0;
    const int taken = m_audioSelect == 2 ? named : std::clamp(named - startIndex, 0, 2);
    m_audioEnd.fill(0);
    m_audioBytes.fill(0);
    for (int ch = 0; ch < kMxfMaxAudioChannels; ++ch) {
        CMxfFile* t = found[static_cast<size_t>(ch)].get();
        if (!t)
            continue;
        const int slot = ch - startIndex;
        if (slot >= 0 && slot < taken) {
            m_fd_audio[static_cast<size_t>(slot)] = t->m_fd_audio[0];
            m_audioEnd[static_cast<size_t>(slot)] = t->m_audioEnd[0];
            m_audioBytes[static_cast<size_t>(slot)] = t->m_audioBytes[0];
            t->m_fd_audio[0] = -1;
        } else {
            t->CloseAudioFiles();
        }
    }
    m_audioFileCount = taken;

    // The parameters of the first channel taken (the next one found when its file is missing).
    for (int slot = 0; slot < taken; ++slot) {
        const CMxfFile* src = found[static_cast<size_t>(startIndex + slot)].get();
        if (!src)
            continue;
        m_audioBits = src->m_audioBits;
        m_audioSampleRate = src->m_audioSampleRate;
        m_audioDuration = src->m_audioDuration;
        m_audioEssenceStart = src->m_audioEssenceStart;
        m_audioEssenceLength = src->m_audioEssenceLength;
        m_audioBytesPerEditUnit = src->m_audioBytesPerEditUnit;
        break;
    }
    if (mode == 2)
        CloseAudioFiles();
    return taken;
}

int CMxfFile::ReadFrame(uint8_t* buffer, size_t capacity, int64_t n)
{
    // Frames past the clip's duration are not the clip's, even where the
    // essence goes on (a duration shorter than the essence is kept as told).
    if (m_fd < 0 || !buffer || n < 0 || n >= m_videoDuration || m_frameSize <= 0)
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

bool CMxfFile::AudioChannelFound(int channel) const
{
    // A channel taken has the end of its essence (a file offset past its key) set.
    return channel >= 0 && channel < kMxfMaxAudioChannels && m_audioEnd[static_cast<size_t>(channel)] > 0;
}

uint64_t CMxfFile::AudioChannelSamples(int channel) const
{
    return AudioChannelFound(channel) ? m_audioBytes[static_cast<size_t>(channel)] / 2 : 0;
}

uint64_t CMxfFile::AudioBytesLeft(int channel) const
{
    if (channel < 0 || channel >= kMxfMaxAudioChannels || m_fd_audio[static_cast<size_t>(channel)] < 0)
        return 0;
    const uint64_t position = io::tell(m_fd_audio[static_cast<size_t>(channel)]);
    const uint64_t end = m_audioEnd[static_cast<size_t>(channel)];
    return end > position ? end - position : 0;
}

std::string CMxfFile::EditRateProblem() const
{
    const VideoFormatInfo* info = videoFormatInfo(m_videoFormat);
    if (!info || mxfEditRateAllowed(m_videoFormat, m_editRateNum, m_editRateDen))
        return {};
    std::string name = info->displayName;
    name.erase(name.find_last_not_of(' ') + 1);
    const bool is720 = info->lines == 720;
    const char* rates = info->hz50 ? (is720 ? "25/1 or 50/1" : "25/1")
                                   : (is720 ? "24000/1001, 30000/1001 or 60000/1001" : "24000/1001 or 30000/1001");
    return qelFormat("its edit rate %d/%d is not a rate of %s (%s)", m_editRateNum, m_editRateDen, name.c_str(), rates);
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
