#include "mxf/MxfEssenceWriter.h"

#include "mxf/AudioSamples.h"

#include "dv/DvSystemData.h"
#include "foundation/Log.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <chrono>
#include <ctime>

namespace vorn::mxf {

namespace {

using Key = std::array<uint8_t, 16>;
using Uid = std::array<uint8_t, 16>;

constexpr Key kHeaderPartitionKey = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
constexpr Key kBodyPartitionKey   = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x03, 0x04, 0x00};
constexpr Key kFooterPartitionKey = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x04, 0x04, 0x00};
constexpr Key kPrimerKey          = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x05, 0x01, 0x00};
constexpr Key setKey(uint8_t b14) { return {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, b14, 0x00}; }
constexpr Key kIndexSegmentKey    = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00};
constexpr Key kFillKey            = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x01, 0x03, 0x01, 0x02, 0x10, 0x01, 0x00, 0x00, 0x00};
constexpr Key kDvElementKey       = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x18, 0x01, 0x02, 0x01};
constexpr Key kAvcElementKey      = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x15, 0x01, 0x06, 0x01};
constexpr Key kSoundElementKey    = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x16, 0x01, 0x04, 0x01};

constexpr Key kOpAtom       = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x02, 0x0D, 0x01, 0x02, 0x01, 0x10, 0x02, 0x00, 0x00};
constexpr Key kAvcContainer = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x02, 0x10, 0x60, 0x02};
constexpr Key kAes3Container = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x02, 0x06, 0x04, 0x00};
constexpr Key kDefPicture   = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x01, 0x03, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00};
constexpr Key kDefSound     = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x01, 0x03, 0x02, 0x02, 0x02, 0x00, 0x00, 0x00};
constexpr Key kDefTimecode  = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x01, 0x03, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00};

constexpr Uid kGenerationDv  = {0x89, 0x3E, 0x6C, 0x52, 0xD4, 0x65, 0x4C, 0x78, 0xBA, 0xBB, 0x8B, 0x2D, 0x28, 0xB6, 0x48, 0x44};
constexpr Uid kGenerationAvc = {0x3F, 0x60, 0xB6, 0x28, 0xA1, 0xAA, 0x40, 0xC1, 0xA0, 0x1C, 0xEC, 0x55, 0xC4, 0x13, 0xE4, 0x42};
constexpr Uid kProductDv     = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x09, 0x0E, 0x0E, 0x01, 0x01, 0x01, 0x00, 0x00, 0x01};
constexpr Uid kProductAvc    = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x09, 0x0E, 0x0E, 0x01, 0x01, 0x01, 0x00, 0x00, 0x01};

constexpr uint64_t kFillEnd = 32620;
constexpr uint64_t kEssenceStart = 32768;

// Primer pack entries: local tag and bytes 4-15 of the UL (bytes 0-3 are 06 0E 2B 34).
struct PrimerEntry { uint16_t tag; uint8_t ul[12]; };
constexpr PrimerEntry kPrimer[] = {
    {0x3C0A, {1,1,1,1,1,1,0x15,2,0,0,0,0}}, {0x3B02, {1,1,1,2,7,2,1,0x10,2,4,0,0}},
    {0x3B05, {1,1,1,2,3,1,2,1,5,0,0,0}}, {0x3B06, {1,1,1,2,6,1,1,4,6,4,0,0}},
    {0x3B03, {1,1,1,2,6,1,1,4,2,1,0,0}}, {0x3B09, {1,1,1,5,1,2,2,3,0,0,0,0}},
    {0x3B0A, {1,1,1,5,1,2,2,0x10,2,1,0,0}}, {0x3B0B, {1,1,1,5,1,2,2,0x10,2,2,0,0}},
    {0x3C09, {1,1,1,2,5,0x20,7,1,1,0,0,0}}, {0x3C01, {1,1,1,2,5,0x20,7,1,2,1,0,0}},
    {0x3C02, {1,1,1,2,5,0x20,7,1,3,1,0,0}}, {0x3C04, {1,1,1,2,5,0x20,7,1,5,1,0,0}},
    {0x3C05, {1,1,1,2,5,0x20,7,1,7,0,0,0}}, {0x3C06, {1,1,1,2,7,2,1,0x10,2,3,0,0}},
    {0x1901, {1,1,1,2,6,1,1,4,5,1,0,0}}, {0x1902, {1,1,1,2,6,1,1,4,5,2,0,0}},
    {0x2701, {1,1,1,2,6,1,1,6,1,0,0,0}}, {0x3F05, {1,1,1,4,4,6,2,1,0,0,0,0}},
    {0x3F06, {1,1,1,4,1,3,4,5,0,0,0,0}}, {0x3F07, {1,1,1,4,1,3,4,4,0,0,0,0}},
    {0x3F08, {1,1,1,4,4,4,4,1,1,0,0,0}}, {0x3F09, {1,1,1,5,4,4,4,1,6,0,0,0}},
    {0x3F0A, {1,1,1,5,4,4,4,2,5,0,0,0}}, {0x3F0B, {1,1,1,5,5,0x30,4,6,0,0,0,0}},
    {0x3F0C, {1,1,1,5,7,2,1,3,1,0x0A,0,0}}, {0x3F0D, {1,1,1,5,7,2,2,1,1,2,0,0}},
    {0x4401, {1,1,1,1,1,1,0x15,0x10,0,0,0,0}}, {0x4402, {1,1,1,1,1,3,3,2,1,0,0,0}},
    {0x4405, {1,1,1,2,7,2,1,0x10,1,3,0,0}}, {0x4404, {1,1,1,2,7,2,1,0x10,2,5,0,0}},
    {0x4403, {1,1,1,2,6,1,1,4,6,5,0,0}}, {0x4801, {1,1,1,2,1,7,1,1,0,0,0,0}},
    {0x4804, {1,1,1,2,1,4,1,3,0,0,0,0}}, {0x4B01, {1,1,1,2,5,0x30,4,5,0,0,0,0}},
    {0x4B02, {1,1,1,2,7,2,1,3,1,3,0,0}}, {0x4803, {1,1,1,2,6,1,1,4,2,4,0,0}},
    {0x0201, {1,1,1,2,4,7,1,0,0,0,0,0}}, {0x0202, {1,1,1,2,7,2,2,1,1,3,0,0}},
    {0x1001, {1,1,1,2,6,1,1,4,6,9,0,0}}, {0x1502, {1,1,1,2,4,4,1,1,2,6,0,0}},
    {0x1501, {1,1,1,2,7,2,1,3,1,5,0,0}}, {0x1503, {1,1,1,1,4,4,1,1,5,0,0,0}},
    {0x1201, {1,1,1,2,7,2,1,3,1,4,0,0}}, {0x1101, {1,1,1,2,6,1,1,3,1,0,0,0}},
    {0x1102, {1,1,1,2,6,1,1,3,2,0,0,0}}, {0x4701, {1,1,1,2,6,1,1,4,2,3,0,0}},
    {0x3001, {1,1,1,1,4,6,1,1,0,0,0,0}}, {0x3002, {1,1,1,1,4,6,1,2,0,0,0,0}},
    {0x3004, {1,1,1,2,6,1,1,4,1,2,0,0}}, {0x3006, {1,1,1,5,6,1,1,3,5,0,0,0}},
    {0x3201, {1,1,1,2,4,1,6,1,0,0,0,0}}, {0x320C, {1,1,1,1,4,1,3,1,4,0,0,0}},
    {0x3203, {1,1,1,1,4,1,5,2,2,0,0,0}}, {0x3202, {1,1,1,1,4,1,5,2,1,0,0,0}},
    {0x320E, {1,1,1,1,4,1,1,1,1,0,0,0}}, {0x320D, {1,1,1,2,4,1,3,2,5,0,0,0}},
    {0x3301, {1,1,1,2,4,1,5,3,0x0A,0,0,0}}, {0x3302, {1,1,1,1,4,1,5,1,5,0,0,0}},
    {0x3308, {1,1,1,2,4,1,5,1,0x10,0,0,0}}, {0x3D03, {1,1,1,5,4,2,3,1,1,1,0,0}},
    {0x3D07, {1,1,1,5,4,2,1,1,4,0,0,0}}, {0x3D01, {1,1,1,4,4,2,3,3,4,0,0,0}},
    {0x3D02, {1,1,1,4,4,2,3,1,4,0,0,0}}, {0x3D06, {1,1,1,2,4,2,4,2,0,0,0,0}},
    {0x3D0A, {1,1,1,5,4,2,3,2,1,0,0,0}}, {0x3D09, {1,1,1,5,4,2,3,3,5,0,0,0}},
    {0x3D0D, {1,1,1,5,4,2,5,1,6,0,0,0}}, {0x3D10, {1,1,1,5,4,2,5,1,2,0,0,0}},
    {0x3D11, {1,1,1,5,4,2,5,1,3,0,0,0}}, {0x3B08, {1,1,1,4,6,1,1,4,1,8,0,0}},
    {0x6101, {1,1,1,5,6,1,1,4,2,0x0C,0,0}}, {0x8001, {1,1,1,7,3,1,1,2,2,0x13,0,0}},
    {0x8002, {1,1,1,5,6,1,1,4,5,0x40,4,0}}, {0x8003, {1,1,1,3,1,5,2,1,0,0,0,0}},
    {0x8004, {1,1,1,5,6,1,1,4,2,0x40,0x22,0}}, {0x8005, {1,1,1,5,6,1,1,4,5,0x40,0x13,0}},
    {0x8006, {1,1,1,8,1,1,0x15,0x40,1,1,0,0}}, {0x8007, {1,1,1,3,2,0x30,5,1,1,0,0,0}},
    {0x8008, {1,1,1,5,6,1,1,4,5,0x40,0x14,0}}, {0x8009, {1,1,1,8,1,1,0x15,0x40,1,2,0,0}},
    {0x800A, {1,1,1,3,2,0x30,6,3,1,1,1,0}}, {0x800B, {1,1,1,3,2,0x30,6,3,1,2,1,0}},
    {0x800C, {1,1,1,5,6,1,1,4,3,0x40,0x14,0}}, {0x800D, {1,1,1,5,6,1,1,4,2,0x40,0x21,0}},
    {0x800E, {1,1,1,2,1,3,1,6,0,0,0,0}}, {0x800F, {1,1,1,5,1,3,1,8,1,0,0,0}},
    {0x8010, {1,1,1,1,1,5,7,0,0,0,0,0}}, {0x8011, {1,1,1,1,1,5,6,0,0,0,0,0}},
    {0x8012, {1,1,1,5,3,2,5,4,0,0,0,0}}, {0x4901, {1,1,1,2,5,0x30,4,2,0,0,0,0}},
    {0x0601, {1,1,1,2,7,2,1,3,3,3,0,0}},
};
static_assert(sizeof(kPrimer) / sizeof(kPrimer[0]) == 91, "primer pack holds 91 entries");

// Essence container byte 14 and picture coding bytes 13-14 of the DV codes 1-10.
constexpr uint8_t kDvContainerByte[11] = {0, 0x60, 0x62, 0x61, 0x63, 0x01, 0x02, 0x51, 0x50, 0x41, 0x40};
constexpr uint8_t kDvCoding[11][2] = {{0, 0}, {2, 5}, {2, 7}, {2, 6}, {2, 8}, {1, 1}, {1, 2}, {2, 4}, {2, 3}, {2, 2}, {2, 1}};
constexpr uint8_t kAvcCodingLast[6] = {1, 2, 3, 4, 8, 9};

Key dvContainer(int code)
{
    return {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x02, 0x02, kDvContainerByte[code], 0x02};
}

Key pictureCoding(int code)
{
    if (isAvcIntraCode(code)) {
        int i = (code - 32) % 6;
        uint8_t cls = code >= 38 ? 0x31 : 0x21;
        return {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x0A, 0x04, 0x01, 0x02, 0x02, 0x01, 0x32, cls, kAvcCodingLast[i]};
    }
    return {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x04, 0x01, 0x02, 0x02, 0x02, kDvCoding[code][0], kDvCoding[code][1], 0x00};
}

// Big-endian byte builder for KLV items and local sets.
class Bytes {
public:
    std::vector<uint8_t> d;
    void u8(uint8_t v) { d.push_back(v); }
    void u16(uint16_t v) { u8(uint8_t(v >> 8)); u8(uint8_t(v)); }
    void u32(uint32_t v) { u16(uint16_t(v >> 16)); u16(uint16_t(v)); }
    void u64(uint64_t v) { u32(uint32_t(v >> 32)); u32(uint32_t(v)); }
    template <size_t N> void raw(const std::array<uint8_t, N>& a) { d.insert(d.end(), a.begin(), a.end()); }
    void raw(const uint8_t* p, size_t n) { d.insert(d.end(), p, p + n); }
    void zeros(size_t n) { d.insert(d.end(), n, 0); }
    // 4-byte BER length 83h + 3 bytes.
    void ber4(uint32_t len) { u8(0x83); u8(uint8_t(len >> 16)); u8(uint8_t(len >> 8)); u8(uint8_t(len)); }

    // Local set items.
    void tag(uint16_t t, uint16_t len) { u16(t); u16(len); }
    void item8(uint16_t t, uint8_t v) { tag(t, 1); u8(v); }
    void item16(uint16_t t, uint16_t v) { tag(t, 2); u16(v); }
    void item32(uint16_t t, uint32_t v) { tag(t, 4); u32(v); }
    void item64(uint16_t t, uint64_t v) { tag(t, 8); u64(v); }
    void itemRational(uint16_t t, uint32_t num, uint32_t den) { tag(t, 8); u32(num); u32(den); }
    template <size_t N> void itemRaw(uint16_t t, const std::array<uint8_t, N>& a) { tag(t, uint16_t(N)); raw(a); }
    void itemBatch(uint16_t t, const std::vector<Uid>& refs)
    {
        tag(t, uint16_t(8 + 16 * refs.size()));
        u32(uint32_t(refs.size()));
        u32(16);
        for (auto& r : refs) raw(r);
    }
};

// One KLV set: key, 4-byte BER length, then the value built by `fill`.
template <typename F>
void klvSet(Bytes& out, const Key& key, F&& fill)
{
    Bytes v;
    fill(v);
    out.raw(key);
    out.ber4(uint32_t(v.d.size()));
    out.raw(v.d.data(), v.d.size());
}

using Timestamp = std::array<uint8_t, 8>;

Timestamp nowStamp()
{
    std::time_t t = std::time(nullptr);
    std::tm tmv{};
#if defined(_WIN32)
    gmtime_s(&tmv, &t);
#else
    gmtime_r(&t, &tmv);
#endif
    int year = tmv.tm_year + 1900;
    return {uint8_t(year >> 8), uint8_t(year), uint8_t(tmv.tm_mon + 1), uint8_t(tmv.tm_mday),
            uint8_t(tmv.tm_hour), uint8_t(tmv.tm_min), uint8_t(tmv.tm_sec), 0};
}

struct PartitionFields {
    uint64_t thisPartition = 0, previousPartition = 0, footerPartition = 0;
    uint64_t headerByteCount = 0, indexByteCount = 0;
    uint32_t indexSid = 0, bodySid = 0;
};

// Partition pack: 124 bytes. Returns the offset within `out` of the FooterPartition field.
size_t partitionPack(Bytes& out, const Key& key, const PartitionFields& f, const Key& container)
{
    out.raw(key);
    out.ber4(104);
    out.u16(1);
    out.u16(2);
    out.u32(1);
    out.u64(f.thisPartition);
    out.u64(f.previousPartition);
    size_t footerPos = out.d.size();
    out.u64(f.footerPartition);
    out.u64(f.headerByteCount);
    out.u64(f.indexByteCount);
    out.u32(f.indexSid);
    out.u64(0);
    out.u32(f.bodySid);
    out.raw(kOpAtom);
    out.u32(1);
    out.u32(16);
    out.raw(container);
    return footerPos;
}

void indexSegment(Bytes& out, UidSource& uids, uint32_t rateNum, uint32_t rateDen, uint64_t start, uint64_t duration, uint32_t editUnitBytes)
{
    klvSet(out, kIndexSegmentKey, [&](Bytes& v) {
        v.itemRaw(0x3C0A, uids.next());
        v.itemRational(0x3F0B, rateNum, rateDen);
        v.item64(0x3F0C, start);
        v.item64(0x3F0D, duration);
        v.item32(0x3F05, editUnitBytes);
        v.item32(0x3F06, 1);
        v.item32(0x3F07, 2);
    });
}

// 32-byte UTF-16BE name field of the Identification set: text, zeros, last byte 30h.
std::array<uint8_t, 32> identName(const char* text)
{
    std::array<uint8_t, 32> a{};
    for (size_t i = 0; text[i] && i < 15; ++i) a[2 * i + 1] = uint8_t(text[i]);
    a[31] = 0x30;
    return a;
}

} // namespace

uint64_t MxfEssenceWriter::audioSamplesFor(uint64_t frames, uint32_t rateNumerator, uint32_t rateDenominator)
{
    return audioSamplesOfFrames(frames, rateNumerator, rateDenominator);
}

UidSource::UidSource()
    : m_state(uint32_t(std::time(nullptr)) ^
              uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()))
{
}

UidSource::Uid UidSource::next()
{
    Uid u;
    for (auto& b : u) {
        m_state = m_state * 214013u + 2531011u;
        const uint32_t r = (m_state >> 16) & 0x7FFF;
        b = uint8_t(r >> 7);
    }
    return u;
}

MxfEssenceWriter::MxfEssenceWriter(int kind) : m_kind(kind), m_uids(std::make_shared<UidSource>()) {}

void MxfEssenceWriter::SetUidSource(std::shared_ptr<UidSource> uids)
{
    if (uids) m_uids = std::move(uids);
}

uint64_t MxfEssenceWriter::timecodeDuration(uint64_t frames, uint32_t rateNumerator, uint32_t rateDenominator,
                                            uint32_t tcNumerator, uint32_t tcDenominator)
{
    if (!rateNumerator || !rateDenominator || !tcNumerator || !tcDenominator) return frames;
    // frames x (tc rate / picture rate), rounded up.
    const unsigned __int128 top = (unsigned __int128)frames * tcNumerator * rateDenominator;
    const unsigned __int128 bottom = (unsigned __int128)tcDenominator * rateNumerator;
    const unsigned __int128 q = (top + bottom - 1) / bottom;
    return q > ~uint64_t(0) ? ~uint64_t(0) : uint64_t(q);
}

std::array<uint8_t, 12> MxfEssenceWriter::ClipNameField(const std::string& name)
{
    std::array<uint8_t, 12> field{};
    for (size_t i = 0; i < 6 && i < name.size(); ++i) field[2 * i + 1] = uint8_t(name[i]);
    return field;
}

void MxfEssenceWriter::SetTimecode(int32_t start, int base, int drop)
{
    m_tcStart = start;
    m_tcBase = base;
    m_tcDrop = drop;
}

void MxfEssenceWriter::write(const uint8_t* data, size_t size)
{
    if (!m_file || size == 0) return;
    m_file->write(reinterpret_cast<const char*>(data), std::streamsize(size));
    if (!*m_file) m_writeFailed = true;
}

void MxfEssenceWriter::patch64(uint64_t position, uint64_t value)
{
    if (!m_file) return;
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(value >> (56 - 8 * i));
    std::streampos back = m_file->tellp();
    m_file->seekp(std::streamoff(position));
    write(b, 8);
    m_file->seekp(back);
    if (!*m_file) m_writeFailed = true;
}

void MxfEssenceWriter::WriteHeader(std::ostream& file, const MxfHeaderParams& p)
{
    m_file = &file;
    m_writeFailed = false;
    m_formatCode = p.formatCode;
    m_framePair = 0;
    m_audioBytesWritten = 0;
    m_videoBytesWritten = 0;
    m_framesWritten = 0;
    m_frameSize = p.frameSize;
    m_laterFrameSize = p.laterFrameSize;
    const bool audio = m_kind == kAudio;
    const bool avc = !audio && isAvcIntraCode(p.formatCode);
    const VideoFormatInfo* fmt = videoFormatInfo(p.formatCode);
    const int channels = std::clamp(p.audioChannels, 0, 8);
    const uint32_t num = p.rateNumerator, den = p.rateDenominator ? p.rateDenominator : 1;
    m_roundedRate = int(double(num) / den + 0.1);
    m_audioSamples = audioSamplesFor(p.frameCount, num, den);

    if (audio)
        m_plannedLength = 2 * m_audioSamples;
    else if (avc)
        m_plannedLength = p.frameCount ? p.frameSize + (p.frameCount - 1) * uint64_t(p.laterFrameSize) : 0;
    else
        m_plannedLength = uint64_t(p.frameSize) * p.frameCount;

    const Key container = audio ? kAes3Container : avc ? kAvcContainer : (fmt && !avc ? dvContainer(p.formatCode) : Key{});
    const Timestamp stamp = nowStamp();

    // UMIDs of this clip.
    const Umid& material = p.baseUmid;
    const Umid videoUmid = videoFileUmid(p.baseUmid);
    const Umid fileUmid = audio ? audioFileUmid(p.baseUmid, p.audioChannel) : videoUmid;

    // InstanceUIDs of every set.
    const Uid prefaceId = m_uids->next(), identId = m_uids->next(), storageId = m_uids->next(), ecdId = m_uids->next();
    const Uid materialId = m_uids->next();
    const Uid tcTrackId = m_uids->next(), tcSeqId = m_uids->next(), tcCompId = m_uids->next();
    const Uid picTrackId = m_uids->next(), picSeqId = m_uids->next(), picClipId = m_uids->next();
    std::vector<std::array<Uid, 3>> soundIds(channels);
    for (auto& s : soundIds) s = {m_uids->next(), m_uids->next(), m_uids->next()};
    const Uid fileId = m_uids->next(), fileTrackId = m_uids->next(), fileSeqId = m_uids->next(), fileClipId = m_uids->next();
    const Uid descriptorId = m_uids->next();

    Bytes h;
    PartitionFields hp;
    hp.footerPartition = avc ? 107424256 : 39392768;
    hp.headerByteCount = avc ? 6812 : 4674;
    hp.indexByteCount = avc ? 25684 : 27822;
    hp.indexSid = 1;
    size_t footerField = partitionPack(h, kHeaderPartitionKey, hp, container);
    m_headerFooterPos = footerField;
    m_headerByteCountPos = footerField + 8;
    m_headerIndexByteCountPos = footerField + 16;
    const size_t primerStart = h.d.size();

    // Primer pack.
    h.raw(kPrimerKey);
    h.ber4(8 + 91 * 18);
    h.u32(91);
    h.u32(18);
    for (const auto& e : kPrimer) {
        h.u16(e.tag);
        h.u8(0x06); h.u8(0x0E); h.u8(0x2B); h.u8(0x34);
        h.raw(e.ul, 12);
    }

    // 1. Preface.
    klvSet(h, setKey(0x2F), [&](Bytes& v) {
        v.itemRaw(0x3C0A, prefaceId);
        v.itemRaw(0x3B02, stamp);
        v.item16(0x3B05, 0x0102);
        v.itemRaw(0x3B08, fileId);
        v.itemBatch(0x3B06, {identId});
        v.itemRaw(0x3B03, storageId);
        v.itemRaw(0x3B09, kOpAtom);
        v.itemBatch(0x3B0A, {container});
        v.tag(0x3B0B, 8); v.u32(0); v.u32(0);
    });
    // 2. Identification.
    klvSet(h, setKey(0x30), [&](Bytes& v) {
        v.itemRaw(0x3C0A, identId);
        v.itemRaw(0x3C09, avc ? kGenerationAvc : kGenerationDv);
        v.itemRaw(0x3C01, identName("Panasonic"));
        v.itemRaw(0x3C02, identName("P2"));
        v.itemRaw(0x3C04, avc ? std::array<uint8_t, 8>{0, 0x32, 0, 0x2E, 0, 0x30, 0, 0x30}
                              : std::array<uint8_t, 8>{0, 0x32, 0, 0x2E, 0, 0x30, 0, 0});
        v.itemRaw(0x3C05, avc ? kProductAvc : kProductDv);
        v.itemRaw(0x3C06, stamp);
    });
    // 3. Content storage.
    klvSet(h, setKey(0x18), [&](Bytes& v) {
        v.itemRaw(0x3C0A, storageId);
        v.itemBatch(0x1901, {materialId, fileId});
        v.itemBatch(0x1902, {ecdId});
    });
    // 4. Essence container data.
    klvSet(h, setKey(0x23), [&](Bytes& v) {
        v.itemRaw(0x3C0A, ecdId);
        v.itemRaw(0x2701, fileUmid);
        v.item32(0x3F06, 1);
        v.item32(0x3F07, 2);
    });
    // 5. Material package.
    klvSet(h, setKey(0x36), [&](Bytes& v) {
        v.itemRaw(0x3C0A, materialId);
        v.itemRaw(0x4401, material);
        v.tag(0x4402, 400);
        // The set's value starts after its 16-byte key and 4-byte length.
        m_clipNamePos = h.d.size() + 20 + v.d.size();
        const auto name = ClipNameField(p.clipName);
        for (uint8_t b : name) v.u8(b);
        v.zeros(388);
        v.itemRaw(0x4405, stamp);
        v.itemRaw(0x4404, stamp);
        std::vector<Uid> tracks = {tcTrackId, picTrackId};
        for (auto& s : soundIds) tracks.push_back(s[0]);
        v.itemBatch(0x4403, tracks);
    });
    auto track = [&](const Uid& id, uint32_t trackId, uint32_t number, uint32_t rn, uint32_t rd, const Uid& seq) {
        klvSet(h, setKey(0x3B), [&](Bytes& v) {
            v.itemRaw(0x3C0A, id);
            v.item32(0x4801, trackId);
            v.item32(0x4804, number);
            v.itemRational(0x4B01, rn, rd);
            v.item64(0x4B02, 0);
            v.itemRaw(0x4803, seq);
        });
    };
    auto sequence = [&](const Uid& id, const Key& def, uint64_t duration, const Uid& component) {
        klvSet(h, setKey(0x0F), [&](Bytes& v) {
            v.itemRaw(0x3C0A, id);
            v.itemRaw(0x0201, def);
            v.item64(0x0202, duration);
            v.itemBatch(0x1001, {component});
        });
    };
    auto sourceClip = [&](const Uid& id, const Key& def, uint64_t duration, const Umid& source, uint32_t sourceTrack) {
        klvSet(h, setKey(0x11), [&](Bytes& v) {
            v.itemRaw(0x3C0A, id);
            v.itemRaw(0x0201, def);
            v.item64(0x1201, 0);
            v.item64(0x0202, duration);
            v.itemRaw(0x1101, source);
            v.item32(0x1102, sourceTrack);
        });
    };
    // 6-8. Timecode track, its sequence and component.
    {
        uint32_t tcNum = den != 1 ? uint32_t(m_tcBase) * 1000u : uint32_t(m_tcBase);
        uint32_t tcDen = den != 1 ? den : 1;
        track(tcTrackId, 0, 1, tcNum, tcDen, tcSeqId);
        // The time code counts at its own rate (30000/1001 for 59.94p, 25 for
        // 50p): the sequence and its component last the clip's time in those
        // units, a last odd picture counting as one more time code frame.
        const uint64_t tcDuration = timecodeDuration(p.frameCount, num, den, tcNum, tcDen);
        sequence(tcSeqId, kDefTimecode, tcDuration, tcCompId);
        klvSet(h, setKey(0x14), [&](Bytes& v) {
            v.itemRaw(0x3C0A, tcCompId);
            v.itemRaw(0x0201, kDefTimecode);
            v.item64(0x0202, tcDuration);
            v.item16(0x1502, uint16_t(m_tcBase));
            v.item64(0x1501, uint64_t(int64_t(m_tcStart)));
            v.item8(0x1503, m_tcDrop ? 1 : 0);
        });
    }
    // 9-11. Picture track.
    track(picTrackId, 1, 1, num, den, picSeqId);
    sequence(picSeqId, kDefPicture, p.frameCount, picClipId);
    sourceClip(picClipId, kDefPicture, p.frameCount, videoUmid, 1);
    // 12. Sound tracks.
    for (int c = 0; c < channels; ++c) {
        track(soundIds[c][0], uint32_t(c + 2), uint32_t(c + 1), 48000, 1, soundIds[c][1]);
        sequence(soundIds[c][1], kDefSound, m_audioSamples, soundIds[c][2]);
        sourceClip(soundIds[c][2], kDefSound, m_audioSamples, audioFileUmid(p.baseUmid, c), uint32_t(c + 2));
    }
    // 13-16. File package, its track, sequence and source clip.
    klvSet(h, setKey(0x37), [&](Bytes& v) {
        v.itemRaw(0x3C0A, fileId);
        v.itemRaw(0x4401, fileUmid);
        v.itemRaw(0x4405, stamp);
        v.itemRaw(0x4404, stamp);
        v.itemBatch(0x4403, {fileTrackId});
        v.itemRaw(0x4701, descriptorId);
    });
    {
        const Key& def = audio ? kDefSound : kDefPicture;
        uint64_t duration = audio ? m_audioSamples : p.frameCount;
        uint32_t trackNumber = audio ? 0x16010401u : avc ? 0x15010601u : 0x18010201u;
        track(fileTrackId, audio ? uint32_t(p.audioChannel + 2) : 1u, trackNumber,
              audio ? 48000u : num, audio ? 1u : den, fileSeqId);
        sequence(fileSeqId, def, duration, fileClipId);
        sourceClip(fileClipId, def, duration, Umid{}, 0);
    }
    // 17. Descriptor.
    if (audio) {
        klvSet(h, setKey(0x47), [&](Bytes& v) {
            v.itemRaw(0x3C0A, descriptorId);
            v.itemRational(0x3001, 48000, 1);
            v.item64(0x3002, m_audioSamples);
            v.itemRaw(0x3004, kAes3Container);
            v.itemRational(0x3D03, 48000, 1);
            v.item8(0x3D02, 1);
            v.item32(0x3D07, 1);
            v.item32(0x3D01, 16);
            v.item16(0x3D0A, 2);
            v.item32(0x3D09, 96000);
        });
    } else {
        const int code = p.formatCode;
        uint8_t layout = p.frameLayout;
        uint32_t storedHeight = p.storedHeight, depth = p.componentDepth;
        uint32_t hsub = p.horizontalSubsampling, vsub = p.verticalSubsampling;
        uint32_t line1 = 0, line2 = 0;
        if (avc) {
            // The AVC-Intra writer uses its own constants.
            const bool prog = fmt && fmt->progressive;
            int lines = fmt ? fmt->lines : 1080;
            layout = 1;
            storedHeight = uint32_t(prog ? lines : lines / 2);
            depth = 10;
            hsub = 2;
            vsub = 2;
            if (lines == 720) { line1 = 26; line2 = 0; }
            else if (prog) { line1 = 21; line2 = 0; }
            else { line1 = 21; line2 = 584; }
        } else if (code == 2 || code == 4) {
            line1 = 26; line2 = 0;
        } else if (code == 1 || code == 3) {
            line1 = 21; line2 = 584;
        } else if (code == 6 || code == 7 || code == 9) {
            line1 = 23; line2 = 335;
        } else {
            line1 = 23; line2 = 285;
        }
        klvSet(h, setKey(avc ? 0x51 : 0x28), [&](Bytes& v) {
            v.itemRaw(0x3C0A, descriptorId);
            v.itemRational(0x3001, num, den);
            v.item64(0x3002, p.frameCount);
            v.itemRaw(0x3004, container);
            v.item8(0x320C, layout);
            v.item32(0x3203, uint32_t(fmt ? fmt->pictureWidth : 0));
            v.item32(0x3202, storedHeight);
            v.itemRational(0x320E, p.aspectNumerator, p.aspectDenominator);
            v.tag(0x320D, 16); v.u32(2); v.u32(4); v.u32(line1); v.u32(line2);
            v.itemRaw(0x3201, fmt ? pictureCoding(code) : Key{});
            v.item32(0x3301, depth);
            v.item32(0x3302, hsub);
            v.item32(0x3308, vsub);
        });
    }
    const uint64_t headerByteCount = h.d.size() - primerStart;

    // Index table segment(s).
    if (avc) {
        indexSegment(h, *m_uids, num, den, 0, 1, p.frameSize);
        indexSegment(h, *m_uids, num, den, 1, p.frameCount ? p.frameCount - 1 : 0, p.laterFrameSize);
    } else {
        indexSegment(h, *m_uids, num, den, 0, 0, audio ? 2u : p.frameSize);
    }

    // Fill item ending at byte 32620.
    h.raw(kFillKey);
    const uint64_t afterFillKey = h.d.size();
    m_fillLength = afterFillKey + 4 <= kFillEnd ? 32616 - afterFillKey : 0;
    h.ber4(uint32_t(m_fillLength));
    h.zeros(size_t(m_fillLength));
    const uint64_t indexByteCount = m_fillLength + (avc ? 220 : 120);

    // Patch the byte counts (the placeholders above are only ever seen in an unfinished file).
    for (int i = 0; i < 8; ++i) {
        h.d[m_headerByteCountPos + i] = uint8_t(headerByteCount >> (56 - 8 * i));
        h.d[m_headerIndexByteCountPos + i] = uint8_t(indexByteCount >> (56 - 8 * i));
    }

    // Body partition.
    m_bodyPartition = h.d.size();
    PartitionFields bp;
    bp.thisPartition = m_bodyPartition;
    bp.footerPartition = hp.footerPartition;
    bp.bodySid = 2;
    m_bodyFooterPos = partitionPack(h, kBodyPartitionKey, bp, container);

    // Essence element key and 8-byte length.
    h.raw(audio ? kSoundElementKey : avc ? kAvcElementKey : kDvElementKey);
    if (m_plannedLength >= (uint64_t(1) << 55)) {
        h.u8(0x88);
        h.u64(m_plannedLength);
    } else {
        h.u8(0x87);
        for (int i = 6; i >= 0; --i) h.u8(uint8_t(m_plannedLength >> (8 * i)));
    }
    if (h.d.size() != kEssenceStart)
        logf(LOG_ERROR, "MxfEssenceWriter::WriteHeader", "essence starts at %zu", h.d.size());

    file.seekp(0);
    write(h.d.data(), h.d.size());
}

void MxfEssenceWriter::WriteFrame(uint8_t* buffer, size_t size)
{
    if (!m_file || !buffer) return;
    if (m_kind == kAudio) {
        uint64_t left = m_plannedLength > m_audioBytesWritten ? m_plannedLength - m_audioBytesWritten : 0;
        size_t n = size_t(std::min<uint64_t>(size, left));
        write(buffer, n);
        m_audioBytesWritten += n;
        return;
    }
    // Every frame has the size the header declared (AVC-Intra: the first
    // frame its own), and the frames stay within the planned essence: a short
    // or long frame would move the footer into the essence and make the file
    // unreadable. Such a frame is not written and the file fails.
    const bool avc = isAvcIntraCode(m_formatCode);
    const uint64_t expected = avc && m_framesWritten > 0 ? m_laterFrameSize : m_frameSize;
    if (size != expected || m_videoBytesWritten + size > m_plannedLength) {
        logf(LOG_ERROR, "MxfEssenceWriter::WriteFrame", "frame %llu of %zu bytes refused (%llu expected, %llu of %llu written)",
             static_cast<unsigned long long>(m_framesWritten), size, static_cast<unsigned long long>(expected),
             static_cast<unsigned long long>(m_videoBytesWritten), static_cast<unsigned long long>(m_plannedLength));
        m_writeFailed = true;
        return;
    }
    m_videoBytesWritten += size;
    ++m_framesWritten;
    if (!avc && m_formatCode >= 1 && m_formatCode <= 10) {
        writeFrameDv(buffer, size);
        return;
    }
    write(buffer, size);
}

void MxfEssenceWriter::PadAudio()
{
    if (m_kind != kAudio || !m_file) return;
    static const uint8_t zeros[96000] = {};
    while (m_audioBytesWritten < m_plannedLength) {
        size_t n = size_t(std::min<uint64_t>(sizeof(zeros), m_plannedLength - m_audioBytesWritten));
        write(zeros, n);
        m_audioBytesWritten += n;
    }
}

void MxfEssenceWriter::WriteFooter(uint32_t frameSize, uint32_t laterFrameSize, uint64_t frameCount,
                                   uint32_t rateNumerator, uint32_t rateDenominator, int formatCode)
{
    if (!m_file) return;
    const bool audio = m_kind == kAudio;
    const bool avc = !audio && isAvcIntraCode(formatCode);
    m_audioLengthMismatch = audio && m_audioBytesWritten != m_plannedLength;

    m_file->seekp(0, std::ios::end);
    const uint64_t footer = uint64_t(std::streamoff(m_file->tellp()));
    patch64(m_headerFooterPos, footer);
    patch64(m_bodyFooterPos, footer);
    m_file->seekp(std::streamoff(footer));

    const Key container = audio ? kAes3Container : avc ? kAvcContainer
                        : (formatCode >= 1 && formatCode <= 10 ? dvContainer(formatCode) : Key{});
    uint32_t den = rateDenominator ? rateDenominator : 1;
    Bytes f;
    PartitionFields fp;
    fp.thisPartition = footer;
    fp.previousPartition = avc ? kFillEnd : m_bodyPartition;
    fp.footerPartition = footer;
    fp.indexByteCount = avc ? 200 : 100;
    fp.indexSid = 1;
    partitionPack(f, kFooterPartitionKey, fp, container);
    if (avc) {
        indexSegment(f, *m_uids, rateNumerator, den, 0, 1, frameSize);
        indexSegment(f, *m_uids, rateNumerator, den, 1, frameCount ? frameCount - 1 : 0, laterFrameSize);
    } else {
        indexSegment(f, *m_uids, rateNumerator, den, 0, 0, frameSize);
    }
    write(f.d.data(), f.d.size());
    m_file->flush();
    if (!*m_file) m_writeFailed = true;
}

void MxfEssenceWriter::writeFrameDv(uint8_t* buffer, size_t size)
{
    const int code = m_formatCode;
    const size_t seqBytes = 12000;   // bytes of one DIF sequence
    bool advance = true;
    if (code == 1 || code == 3) {
        // Four channels of a quarter frame each; every DIF sequence gets its
        // channel's and sequence's system data.
        const size_t quarter = size / 4;
        const int sequences = code == 1 ? 10 : 12;
        for (int ch = 0; ch < 4; ++ch)
            for (int q = 0; q < sequences; ++q)
                dv::WriteSystemData(std::span<uint8_t>(buffer + ch * quarter, quarter), ch, q, code, m_runningTimecode);
    } else if (code == 2 || code == 4) {
        const size_t half = size / 2;
        if (half >= 10 * seqBytes) {
            // Channel of the source's first half, from the first video DIF block.
            static const int kPosition[4] = {2, 0, 3, 1};
            const int P = kPosition[(buffer[561] >> 2) & 3];
            const int K = m_framePair;
            for (int h = 0; h < 2; ++h) {
                uint8_t* area = buffer + h * half;
                for (int q = 0; q < 10; ++q)
                    dv::WriteSystemData(std::span<uint8_t>(area, half), K + h, q, code, m_runningTimecode);
                const uint8_t bits = h == 0 ? (K == 0 ? 1 : 0) : (K == 0 ? 3 : 2);
                for (size_t b = 0; b + 80 <= half; b += 80)
                    area[b + 1] = uint8_t((area[b + 1] & 0xF0) | (bits << 2) | 3);
            }
            if (K != P) {
                // Rotate the five columns of video segments of each half. The DIF
                // block IDs (bytes 0-2) describe the position and stay in place.
                constexpr size_t kSegments = 270, kSegBytes = 400, kPerColumn = kSegments / 5;
                m_shuffle.resize(kSegments * kSegBytes);
                auto segmentOffset = [](size_t n) {
                    size_t q = n / 27, s = n % 27;
                    return (150 * q + 7 + 5 * s + s / 3) * 80;
                };
                const int shift = K < P ? 4 : 1;
                for (int h = 0; h < 2; ++h) {
                    uint8_t* area = buffer + h * half;
                    for (size_t g = 0; g < 5; ++g)
                        for (size_t i = 0; i < kPerColumn; ++i)
                            std::memcpy(&m_shuffle[(g * kPerColumn + i) * kSegBytes], area + segmentOffset(g + 5 * i), kSegBytes);
                    for (size_t g = 0; g < 5; ++g) {
                        const size_t to = (g + shift) % 5;
                        for (size_t i = 0; i < kPerColumn; ++i) {
                            const uint8_t* src = &m_shuffle[(g * kPerColumn + i) * kSegBytes];
                            uint8_t* dst = area + segmentOffset(to + 5 * i);
                            for (size_t blk = 0; blk < 5; ++blk)
                                std::memcpy(dst + blk * 80 + 3, src + blk * 80 + 3, 77);
                        }
                    }
                }
            }
            // At 50 and 59.94 pictures a second the time code counts picture pairs.
            if (K == 0 && m_roundedRate >= 50) advance = false;
            m_framePair = K == 0 ? 2 : 0;
        }
    } else {
        dv::StampTimecode(code, m_tcDrop != 0, std::span<uint8_t>(buffer, size), m_runningTimecode);
    }
    if (advance) dv::AdvanceTimecode(m_runningTimecode, code, m_roundedRate);
    write(buffer, size);
}

} // namespace vorn::mxf
