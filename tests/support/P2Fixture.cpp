#include "support/P2Fixture.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <stdexcept>

namespace vorn::test {

const MxfKey kFixtureDvElementKey{0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x18, 0x01, 0x02, 0x01};
const MxfKey kFixtureAvcElementKey{0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x15, 0x01, 0x06, 0x01};
const MxfKey kFixtureSoundElementKey{0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x16, 0x01, 0x04, 0x01};
const MxfKey kFixtureCdciKey{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x28, 0x00};
const MxfKey kFixtureIndexKey{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00};

namespace {

const MxfKey kHeaderPartition{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
const MxfKey kBodyPartition{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x03, 0x04, 0x00};
const MxfKey kFooterPartition{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x04, 0x04, 0x00};
const MxfKey kPrimer{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x05, 0x01, 0x00};
const MxfKey kPreface{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x2F, 0x00};
const MxfKey kEssenceContainerData{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x23, 0x00};
const MxfKey kTimecodeComponent{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x14, 0x00};
const MxfKey kMpegDescriptor{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x51, 0x00};
const MxfKey kAes3Descriptor{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x47, 0x00};
const MxfKey kFill{0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x01, 0x03, 0x01, 0x02, 0x10, 0x01, 0x00, 0x00, 0x00};
const std::array<uint8_t, 16> kOpAtom{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x02, 0x0D, 0x01, 0x02, 0x01, 0x10, 0x02, 0x00, 0x00};

bool isAvc(int32_t format) { return (format & 32) != 0; }

int32_t dvFrameBytesOf(int32_t format)
{
    switch (format) {
    case 1: return 480000;
    case 2: return 240000;
    case 3: return 576000;
    case 4: return 288000;
    case 5: case 10: return 120000;
    case 6: case 9: return 144000;
    case 7: return 288000;
    case 8: return 240000;
    default: return 144000;
    }
}

int32_t linesOf(int32_t format)
{
    switch (format) {
    case 1: case 3: return 1080;
    case 2: case 4: return 720;
    case 5: case 8: case 10: return 480;
    case 6: case 7: case 9: return 576;
    default:
        if (format >= 32 && format <= 43)
            return (format - 32) % 6 < 4 ? 1080 : 720;
        return 480;
    }
}

int32_t storedWidthOf(int32_t format)
{
    switch (format) {
    case 1: case 3: return 1920;
    case 2: case 4: return 1280;
    default:
        if (format >= 32 && format <= 43)
            return (format - 32) % 6 < 4 ? 1920 : 1280;
        return 720;
    }
}

bool progressiveOf(int32_t format)
{
    if (format == 2 || format == 4)
        return true;
    if (format >= 32 && format <= 43) {
        const int k = (format - 32) % 6;
        return k >= 2;
    }
    return false;
}

std::array<uint8_t, 16> codingLabel(int32_t format)
{
    std::array<uint8_t, 16> l{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x04, 0x01, 0x02, 0x02, 0x02, 0x00, 0x00, 0x00};
    static const uint8_t kDv[11][2] = {{0, 0}, {2, 5}, {2, 7}, {2, 6}, {2, 8}, {1, 1}, {1, 2}, {2, 4}, {2, 3}, {2, 2}, {2, 1}};
    if (format >= 1 && format <= 10) {
        l[13] = kDv[format][0];
        l[14] = kDv[format][1];
    } else if (format >= 32 && format <= 43) {
        static const uint8_t kThird[6] = {0x01, 0x02, 0x03, 0x04, 0x08, 0x09};
        l[7] = 0x0A;
        l[12] = 0x01;
        l[13] = 0x32;
        l[14] = format < 38 ? 0x21 : 0x31;
        l[15] = kThird[(format - 32) % 6];
    }
    return l;
}

// Big-endian byte output with KLV helpers.
class Out {
public:
    std::vector<uint8_t> bytes;

    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v) { u8(static_cast<uint8_t>(v >> 8)); u8(static_cast<uint8_t>(v)); }
    void u32(uint32_t v) { u16(static_cast<uint16_t>(v >> 16)); u16(static_cast<uint16_t>(v)); }
    void u64(uint64_t v) { u32(static_cast<uint32_t>(v >> 32)); u32(static_cast<uint32_t>(v)); }
    void raw(const uint8_t* p, size_t n) { bytes.insert(bytes.end(), p, p + n); }
    template <size_t N> void raw(const std::array<uint8_t, N>& a) { raw(a.data(), N); }
    void raw(const std::vector<uint8_t>& v) { raw(v.data(), v.size()); }

    void ber4(uint32_t length) { u8(0x83); u8(static_cast<uint8_t>(length >> 16)); u16(static_cast<uint16_t>(length)); }
    void ber8(uint64_t length)
    {
        u8(0x87);
        for (int i = 6; i >= 0; --i)
            u8(static_cast<uint8_t>(length >> (8 * i)));
    }
    void klv(const MxfKey& key, const std::vector<uint8_t>& value)
    {
        raw(key);
        ber4(static_cast<uint32_t>(value.size()));
        raw(value);
    }
};

// A local set under construction.
class LocalSet {
public:
    Out out;
    LocalSet& item(uint16_t tag, const std::vector<uint8_t>& value)
    {
        out.u16(tag);
        out.u16(static_cast<uint16_t>(value.size()));
        out.raw(value);
        return *this;
    }
    template <size_t N> LocalSet& item(uint16_t tag, const std::array<uint8_t, N>& value)
    {
        return item(tag, std::vector<uint8_t>(value.begin(), value.end()));
    }
    LocalSet& u8(uint16_t tag, uint8_t v) { return item(tag, std::vector<uint8_t>{v}); }
    LocalSet& u16(uint16_t tag, uint16_t v) { Out o; o.u16(v); return item(tag, o.bytes); }
    LocalSet& u32(uint16_t tag, uint32_t v) { Out o; o.u32(v); return item(tag, o.bytes); }
    LocalSet& u64(uint16_t tag, uint64_t v) { Out o; o.u64(v); return item(tag, o.bytes); }
    LocalSet& rational(uint16_t tag, int32_t num, int32_t den)
    {
        Out o;
        o.u32(static_cast<uint32_t>(num));
        o.u32(static_cast<uint32_t>(den));
        return item(tag, o.bytes);
    }
    LocalSet& uid(uint16_t tag, uint8_t seed)
    {
        std::vector<uint8_t> v(16);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<uint8_t>(seed * 17 + i * 31 + 5);
        return item(tag, v);
    }
};

void partitionPack(Out& out, const MxfKey& key, uint64_t thisPartition, uint32_t bodySid, const std::array<uint8_t, 16>& container)
{
    Out v;
    v.u16(1);
    v.u16(2);
    v.u32(1);
    v.u64(thisPartition);
    v.u64(0);
    v.u64(0);
    v.u64(0);
    v.u64(0);
    v.u32(bodySid == 0 ? 1 : 0);
    v.u64(0);
    v.u32(bodySid);
    v.raw(kOpAtom);
    v.u32(1);
    v.u32(16);
    v.raw(container);
    out.klv(key, v.bytes);
}

void primer(Out& out)
{
    Out v;
    v.u32(0);
    v.u32(18);
    out.klv(kPrimer, v.bytes);
}

std::array<uint8_t, 32> clipUmid(const P2Clip& clip)
{
    bool empty = std::all_of(clip.umid.begin(), clip.umid.end(), [](uint8_t b) { return b == 0; });
    if (!empty)
        return clip.umid;
    std::array<uint8_t, 32> u{0x06, 0x0A, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x05, 0x01, 0x01, 0x0D, 0x43, 0x13, 0x00, 0x00, 0x00};
    for (size_t i = 16; i < u.size(); ++i)
        u[i] = static_cast<uint8_t>(0xA0 + i);
    return u;
}

int32_t tcBaseOf(const P2Clip& clip)
{
    if (clip.tcBase)
        return clip.tcBase;
    return clip.rateDen > 0 ? static_cast<int32_t>((static_cast<double>(clip.rateNum) / clip.rateDen) + 0.5) : 0;
}

std::vector<uint8_t> uidBytes(uint8_t seed)
{
    std::vector<uint8_t> v(16);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>(seed * 17 + i * 31 + 5);
    return v;
}

// A batch of strong references (count, item size 16, the ids).
std::vector<uint8_t> refBatch(std::initializer_list<uint8_t> seeds)
{
    Out o;
    o.u32(static_cast<uint32_t>(seeds.size()));
    o.u32(16);
    for (uint8_t seed : seeds)
        o.raw(uidBytes(seed));
    return o.bytes;
}

std::vector<uint8_t> utf16(const std::string& text, size_t bytes)
{
    std::vector<uint8_t> v(bytes, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < bytes; ++i)
        v[2 * i + 1] = static_cast<uint8_t>(text[i]);
    return v;
}

const MxfKey kIdentification{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x30, 0x00};
const MxfKey kContentStorage{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x18, 0x00};
const MxfKey kMaterialPackage{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x36, 0x00};
const MxfKey kSourcePackage{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x37, 0x00};
const MxfKey kTrack{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x3B, 0x00};
const MxfKey kSequence{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x0F, 0x00};
const MxfKey kSourceClip{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x11, 0x00};
const std::array<uint8_t, 16> kPictureDef{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x01, 0x03, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00};
const std::array<uint8_t, 16> kSoundDef{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x01, 0x03, 0x02, 0x02, 0x02, 0x00, 0x00, 0x00};
const std::array<uint8_t, 16> kTimecodeDef{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x01, 0x03, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00};

// Instance ids of the structural sets (seeds of uidBytes).
enum : uint8_t {
    kIdPreface = 1, kIdIdentification, kIdContentStorage, kIdEssenceData,
    kIdMaterial = 10, kIdTcTrack, kIdTcSequence, kIdTcComponent, kIdMainTrack, kIdMainSequence, kIdMainClip,
    kIdSource = 20, kIdSourceTrack, kIdSourceSequence, kIdSourceClip, kIdDescriptor,
};

struct Essence {
    const std::array<uint8_t, 16>& container;
    const std::array<uint8_t, 16>& dataDef;
    uint32_t trackNumber;     // the essence element key's last four bytes
    int32_t rateNum, rateDen; // edit rate of the file's track
    int64_t duration;         // in edit units
};

// Preface, identification, content storage, essence container data, and the
// material and file packages with their tracks, so that general MXF readers
// find the essence too. The timecode component carries the clip's timecode.
void structuralSets(Out& out, const P2Clip& clip, const std::array<uint8_t, 32>& fileUmid, const Essence& e)
{
    const std::vector<uint8_t> stamp{0x07, 0xEA, 12, 10, 2, 0, 0, 0};
    std::array<uint8_t, 32> materialUmid = clipUmid(clip);
    materialUmid[31] ^= 0xFF;  // the material package is not the file package

    LocalSet preface;
    Out containers;
    containers.u32(1);
    containers.u32(16);
    containers.raw(e.container);
    Out noSchemes;
    noSchemes.u32(0);
    noSchemes.u32(0);
    preface.item(0x3C0A, uidBytes(kIdPreface))
        .item(0x3B02, stamp)
        .u16(0x3B05, 0x0102)
        .item(0x3B08, uidBytes(kIdSource))
        .item(0x3B06, refBatch({kIdIdentification}))
        .item(0x3B03, uidBytes(kIdContentStorage))
        .item(0x3B09, kOpAtom)
        .item(0x3B0A, containers.bytes)
        .item(0x3B0B, noSchemes.bytes);
    out.klv(kPreface, preface.out.bytes);

    LocalSet ident;
    ident.item(0x3C0A, uidBytes(kIdIdentification))
        .item(0x3C09, uidBytes(99))
        .item(0x3C01, utf16("Test", 32))
        .item(0x3C02, utf16("P2 fixture", 32))
        .item(0x3C04, utf16("1.0", 8))
        .item(0x3C05, uidBytes(98))
        .item(0x3C06, stamp);
    out.klv(kIdentification, ident.out.bytes);

    LocalSet storage;
    storage.item(0x3C0A, uidBytes(kIdContentStorage))
        .item(0x1901, refBatch({kIdMaterial, kIdSource}))
        .item(0x1902, refBatch({kIdEssenceData}));
    out.klv(kContentStorage, storage.out.bytes);

    LocalSet ecd;
    ecd.item(0x3C0A, uidBytes(kIdEssenceData)).item(0x2701, fileUmid).u32(0x3F06, 1).u32(0x3F07, 2);
    out.klv(kEssenceContainerData, ecd.out.bytes);

    auto track = [&](uint8_t id, uint32_t trackId, uint32_t number, int32_t num, int32_t den, uint8_t sequence) {
        LocalSet t;
        t.item(0x3C0A, uidBytes(id)).u32(0x4801, trackId).u32(0x4804, number).rational(0x4B01, num, den)
            .u64(0x4B02, 0).item(0x4803, uidBytes(sequence));
        out.klv(kTrack, t.out.bytes);
    };
    auto sequence = [&](uint8_t id, const std::array<uint8_t, 16>& def, int64_t duration, uint8_t component) {
        LocalSet s;
        s.item(0x3C0A, uidBytes(id)).item(0x0201, def).u64(0x0202, static_cast<uint64_t>(duration))
            .item(0x1001, refBatch({component}));
        out.klv(kSequence, s.out.bytes);
    };
    auto sourceClip = [&](uint8_t id, const std::array<uint8_t, 16>& def, int64_t duration, const std::vector<uint8_t>& package, uint32_t trackId) {
        LocalSet c;
        c.item(0x3C0A, uidBytes(id)).item(0x0201, def).u64(0x1201, 0).u64(0x0202, static_cast<uint64_t>(duration))
            .item(0x1101, package).u32(0x1102, trackId);
        out.klv(kSourceClip, c.out.bytes);
    };

    // Sound tracks of the material package: track, sequence and clip ids from 60 on.
    const int soundTracks = clip.namesSoundTracks ? std::clamp(clip.audioChannels, 0, 8) : 0;
    Out tracks;
    tracks.u32(static_cast<uint32_t>(2 + soundTracks));
    tracks.u32(16);
    tracks.raw(uidBytes(kIdTcTrack));
    tracks.raw(uidBytes(kIdMainTrack));
    for (int c = 0; c < soundTracks; ++c)
        tracks.raw(uidBytes(static_cast<uint8_t>(60 + 3 * c)));
    LocalSet material;
    material.item(0x3C0A, uidBytes(kIdMaterial))
        .item(0x4401, materialUmid)
        .item(0x4405, stamp)
        .item(0x4404, stamp)
        .item(0x4403, tracks.bytes);
    out.klv(kMaterialPackage, material.out.bytes);
    for (int c = 0; c < soundTracks; ++c) {
        const auto id = static_cast<uint8_t>(60 + 3 * c);
        const int64_t samples = audioSamples(clip);
        track(id, static_cast<uint32_t>(c + 3), static_cast<uint32_t>(c + 1), 48000, 1, static_cast<uint8_t>(id + 1));
        sequence(static_cast<uint8_t>(id + 1), kSoundDef, samples, static_cast<uint8_t>(id + 2));
        sourceClip(static_cast<uint8_t>(id + 2), kSoundDef, samples, std::vector<uint8_t>(32, 0), 0);
    }

    const int32_t tcBase = tcBaseOf(clip);
    track(kIdTcTrack, 1, 0, tcBase, 1, kIdTcSequence);
    sequence(kIdTcSequence, kTimecodeDef, clip.frames, kIdTcComponent);
    LocalSet tc;
    tc.item(0x3C0A, uidBytes(kIdTcComponent))
        .item(0x0201, kTimecodeDef)
        .u64(0x0202, static_cast<uint64_t>(clip.frames))
        .u16(0x1502, static_cast<uint16_t>(tcBase))
        .u64(0x1501, static_cast<uint64_t>(clip.startTimecode))
        .u8(0x1503, clip.dropFrame ? 1 : 0);
    out.klv(kTimecodeComponent, tc.out.bytes);

    track(kIdMainTrack, 2, 0, e.rateNum, e.rateDen, kIdMainSequence);
    sequence(kIdMainSequence, e.dataDef, e.duration, kIdMainClip);
    sourceClip(kIdMainClip, e.dataDef, e.duration, std::vector<uint8_t>(fileUmid.begin(), fileUmid.end()), 1);

    LocalSet source;
    source.item(0x3C0A, uidBytes(kIdSource))
        .item(0x4401, fileUmid)
        .item(0x4405, stamp)
        .item(0x4404, stamp)
        .item(0x4403, refBatch({kIdSourceTrack}))
        .item(0x4701, uidBytes(kIdDescriptor));
    out.klv(kSourcePackage, source.out.bytes);
    track(kIdSourceTrack, 1, e.trackNumber, e.rateNum, e.rateDen, kIdSourceSequence);
    sequence(kIdSourceSequence, e.dataDef, e.duration, kIdSourceClip);
    sourceClip(kIdSourceClip, e.dataDef, e.duration, std::vector<uint8_t>(32, 0), 0);
}

void indexSegment(Out& out, const P2Clip& clip, int64_t start, int64_t duration, uint32_t byteCount)
{
    LocalSet s;
    s.uid(0x3C0A, static_cast<uint8_t>(40 + start))
        .rational(0x3F0B, clip.rateNum, clip.rateDen)
        .u64(0x3F0C, static_cast<uint64_t>(start))
        .u64(0x3F0D, static_cast<uint64_t>(duration))
        .u32(0x3F05, byteCount)
        .u32(0x3F06, 1)
        .u32(0x3F07, 2);
    out.klv(kFixtureIndexKey, s.out.bytes);
}

void fill(Out& out, size_t length)
{
    out.raw(kFill);
    out.ber4(static_cast<uint32_t>(length));
    out.bytes.insert(out.bytes.end(), length, 0);
}

void writeMarker(std::vector<uint8_t>& frame, int64_t index)
{
    if (frame.size() < 8)
        return;
    uint8_t* p = frame.data() + frame.size() - 8;
    p[0] = 'F';
    p[1] = 'M';
    for (int i = 0; i < 6; ++i)
        p[2 + i] = static_cast<uint8_t>(static_cast<uint64_t>(index) >> (8 * (5 - i)));
}

// A DIF-structured frame: each 12000-byte sequence has its header, sub-code,
// VAUX, audio and video blocks with their block identifiers.
std::vector<uint8_t> syntheticDvFrame(int32_t size)
{
    std::vector<uint8_t> f(static_cast<size_t>(std::max(size, 0)), 0);
    const size_t blocks = f.size() / 80;
    for (size_t b = 0; b < blocks; ++b) {
        const size_t inSeq = b % 150;
        const size_t seq = (b / 150) % 12;
        uint8_t sct = 4;
        uint8_t dbn = 0;
        if (inSeq == 0) {
            sct = 0;
        } else if (inSeq <= 2) {
            sct = 1;
            dbn = static_cast<uint8_t>(inSeq - 1);
        } else if (inSeq <= 5) {
            sct = 2;
            dbn = static_cast<uint8_t>(inSeq - 3);
        } else {
            const size_t k = inSeq - 6;
            if (k % 16 == 0) {
                sct = 3;
                dbn = static_cast<uint8_t>(k / 16);
            } else {
                dbn = static_cast<uint8_t>(k - k / 16 - 1);
            }
        }
        uint8_t* p = f.data() + b * 80;
        p[0] = static_cast<uint8_t>((sct << 5) | 0x1F);
        p[1] = static_cast<uint8_t>((seq << 4) | 0x07);
        p[2] = dbn;
        if (sct == 1) {
            for (int s = 0; s < 6; ++s) {
                uint8_t* ssyb = p + 3 + s * 8;
                ssyb[0] = 0x80;
                ssyb[1] = static_cast<uint8_t>(s);
                ssyb[2] = 0xFF;
                std::fill(ssyb + 3, ssyb + 8, 0xFF);
            }
            std::fill(p + 51, p + 80, 0xFF);
        } else if (sct == 2) {
            std::fill(p + 3, p + 80, 0xFF);
        } else if (sct == 4) {
            p[3] = 0x0F;
        }
    }
    return f;
}

} // namespace

void formatRate(int32_t format, int32_t& num, int32_t& den)
{
    switch (format) {
    case 3: case 6: case 7: case 9: case 33: case 35: case 39: case 41:
        num = 25; den = 1; return;
    case 4: case 37: case 43:
        num = 50; den = 1; return;
    case 2: case 36: case 42:
        num = 60000; den = 1001; return;
    default:
        num = 30000; den = 1001; return;
    }
}

P2Clip p2Clip(int32_t format, int64_t frames, const std::string& name)
{
    P2Clip clip;
    clip.name = name;
    clip.format = format;
    clip.frames = frames;
    formatRate(format, clip.rateNum, clip.rateDen);
    return clip;
}

void setBinaryGroup(P2Clip& clip, int cameraRate, int shootingMode, int lowBits)
{
    clip.writeBinaryGroup = true;
    clip.bgMode = static_cast<uint8_t>(((shootingMode & 15) << 4) | (lowBits & 3));
    clip.bgRate = static_cast<uint8_t>(((cameraRate / 10) % 10) << 4 | (cameraRate % 10));
}

uint8_t binaryGroupCheck(uint8_t m, uint8_t r, uint8_t x)
{
    return static_cast<uint8_t>(((m + r + x) & 0xFF) ^ 0x55);
}

int32_t laterFrameSize(const P2Clip& clip)
{
    if (!clip.frameData.empty())
        return static_cast<int32_t>(clip.frameData[clip.frameData.size() > 1 ? 1 : 0].size());
    if (clip.frameSize > 0)
        return clip.frameSize;
    return isAvc(clip.format) ? 4096 : dvFrameBytesOf(clip.format);
}

int32_t firstFrameSize(const P2Clip& clip)
{
    if (!isAvc(clip.format))
        return clip.frameData.empty() ? laterFrameSize(clip) : static_cast<int32_t>(clip.frameData[0].size());
    const int32_t base = clip.frameData.empty() ? laterFrameSize(clip) : static_cast<int32_t>(clip.frameData[0].size());
    return base + (clip.avcHeaderBytes ? 512 : 0);
}

std::vector<uint8_t> p2Frame(const P2Clip& clip, int64_t index)
{
    const bool avc = isAvc(clip.format);
    const size_t skip = avc && index == 0 && clip.avcHeaderBytes ? 512 : 0;
    std::vector<uint8_t> frame;
    const bool synthetic = clip.frameData.empty();
    if (!synthetic) {
        const auto& data = clip.frameData[static_cast<size_t>(index) % clip.frameData.size()];
        frame.assign(skip, 0);
        frame.insert(frame.end(), data.begin(), data.end());
    } else if (avc) {
        frame.assign(skip + static_cast<size_t>(laterFrameSize(clip)), 0);
        if (frame.size() >= skip + 6) {
            const uint8_t aud[6] = {0x00, 0x00, 0x00, 0x01, 0x09, 0x10};
            std::copy(aud, aud + 6, frame.begin() + static_cast<std::ptrdiff_t>(skip));
        }
    } else {
        frame = syntheticDvFrame(laterFrameSize(clip));
    }

    if (clip.writeBinaryGroup) {
        const uint8_t k = static_cast<uint8_t>(binaryGroupCheck(clip.bgMode, clip.bgRate, clip.bgThird) ^ (clip.badCheck ? 0x01 : 0x00));
        if (avc) {
            const size_t at = skip + 66;
            if (frame.size() >= at + 7) {
                const uint8_t rec[7] = {0x64, 0xFF, clip.bgMode, clip.bgRate, 0xFF, clip.bgThird, k};
                std::copy(rec, rec + 7, frame.begin() + static_cast<std::ptrdiff_t>(at));
            }
        } else if (frame.size() >= 123) {
            frame[118] = 0x14;
            frame[119] = clip.bgMode;
            frame[120] = clip.bgRate;
            frame[121] = clip.bgThird;
            frame[122] = k;
        }
    }
    if (synthetic)
        writeMarker(frame, index);
    if (clip.frameHook)
        clip.frameHook(index, frame);
    return frame;
}

int64_t frameMarker(const uint8_t* frame, size_t size)
{
    if (!frame || size < 8)
        return -1;
    const uint8_t* p = frame + size - 8;
    if (p[0] != 'F' || p[1] != 'M')
        return -1;
    int64_t v = 0;
    for (int i = 0; i < 6; ++i)
        v = (v << 8) | p[2 + i];
    return v;
}

std::vector<uint8_t> p2VideoFile(const P2Clip& clip)
{
    const bool avc = isAvc(clip.format);
    const int32_t lines = linesOf(clip.format);
    const int32_t height = clip.storedHeight ? clip.storedHeight : (progressiveOf(clip.format) ? lines : lines / 2);
    const int32_t width = clip.storedWidth ? clip.storedWidth : storedWidthOf(clip.format);
    std::array<uint8_t, 16> container{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x02, 0x02, 0x41, 0x02};
    static const uint8_t kDvContainer[11] = {0x41, 0x60, 0x62, 0x61, 0x63, 0x01, 0x02, 0x51, 0x50, 0x41, 0x40};
    if (clip.format >= 1 && clip.format <= 10)
        container[14] = kDvContainer[clip.format];
    if (avc) {
        container[13] = 0x10;
        container[14] = 0x60;
    }

    Out out;
    partitionPack(out, kHeaderPartition, 0, 0, container);
    primer(out);
    const std::array<uint8_t, 32> umid = clipUmid(clip);
    const uint32_t trackNumber = avc ? 0x15010601u : 0x18010201u;
    structuralSets(out, clip, umid, {container, kPictureDef, trackNumber, clip.rateNum, clip.rateDen, clip.frames});

    LocalSet d;
    d.item(0x3C0A, uidBytes(kIdDescriptor))
        .u32(0x3006, 1)
        .rational(0x3001, clip.rateNum, clip.rateDen)
        .u64(0x3002, static_cast<uint64_t>(clip.frames))
        .item(0x3004, container)
        .u8(0x320C, progressiveOf(clip.format) ? 0 : 1)
        .u32(0x3203, static_cast<uint32_t>(width))
        .u32(0x3202, static_cast<uint32_t>(height))
        .rational(0x320E, clip.wide ? 16 : 4, clip.wide ? 9 : 3)
        .item(0x3201, codingLabel(clip.format))
        .u32(0x3301, clip.format >= 1 && clip.format <= 4 ? 10 : 8);
    out.klv(avc ? kMpegDescriptor : kFixtureCdciKey, d.out.bytes);

    const int32_t first = firstFrameSize(clip);
    const int32_t later = laterFrameSize(clip);
    if (avc && clip.avcTwoIndexSegments) {
        indexSegment(out, clip, 0, 1, static_cast<uint32_t>(first));
        indexSegment(out, clip, 1, clip.frames - 1, static_cast<uint32_t>(later));
    } else {
        indexSegment(out, clip, 0, 0, static_cast<uint32_t>(first));
    }
    fill(out, 64);
    partitionPack(out, kBodyPartition, out.bytes.size(), 2, container);

    uint64_t essence = clip.essenceExtraBytes;
    for (int64_t i = 0; i < clip.frames; ++i)
        essence += static_cast<uint64_t>(i == 0 ? first : later);
    out.raw(avc ? kFixtureAvcElementKey : kFixtureDvElementKey);
    out.ber8(essence);
    out.bytes.reserve(out.bytes.size() + essence + 200);
    for (int64_t i = 0; i < clip.frames; ++i)
        out.raw(p2Frame(clip, i));
    out.bytes.insert(out.bytes.end(), clip.essenceExtraBytes, 0xEE);
    partitionPack(out, kFooterPartition, out.bytes.size(), 0, container);
    return std::move(out.bytes);
}

int64_t audioSamples(const P2Clip& clip)
{
    if (clip.rateNum <= 0 || clip.rateDen <= 0)
        return 0;
    // A camera's audio frame sequence: the running count rounded to the
    // nearest sample (1602, 1601, 1602, 1601, 1602 at 30000/1001).
    return (clip.frames * 48000 * clip.rateDen * 2 + clip.rateNum) / (int64_t{2} * clip.rateNum);
}

int16_t audioSampleValue(int channel, int64_t sample)
{
    return static_cast<int16_t>((channel + 1) * 1000 + sample % 500);
}

std::vector<uint8_t> p2AudioFile(const P2Clip& clip, int channel)
{
    const std::array<uint8_t, 16> container{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x02, 0x06, 0x04, 0x00};
    Out out;
    partitionPack(out, kHeaderPartition, 0, 0, container);
    primer(out);
    std::array<uint8_t, 32> umid = clipUmid(clip);
    umid[10] = 0x08;
    umid[23] = static_cast<uint8_t>((((umid[23] + channel) & 0xFF) + 1) | 0xC0);
    const int64_t samples = audioSamples(clip);
    structuralSets(out, clip, umid, {container, kSoundDef, 0x16010401u, 48000, 1, samples});

    LocalSet d;
    d.item(0x3C0A, uidBytes(kIdDescriptor))
        .u32(0x3006, 1)
        .rational(0x3001, 48000, 1)
        .u64(0x3002, static_cast<uint64_t>(samples))
        .item(0x3004, container)
        .rational(0x3D03, 48000, 1)
        .u8(0x3D02, 1)
        .u32(0x3D07, 1)
        .u32(0x3D01, 16)
        .u16(0x3D0A, 2)
        .u32(0x3D09, 96000);
    out.klv(kAes3Descriptor, d.out.bytes);
    indexSegment(out, clip, 0, 0, 2);
    fill(out, 32);
    partitionPack(out, kBodyPartition, out.bytes.size(), 2, container);

    out.raw(kFixtureSoundElementKey);
    out.ber8(static_cast<uint64_t>(samples) * 2);
    out.bytes.reserve(out.bytes.size() + static_cast<size_t>(samples) * 2 + 200);
    for (int64_t i = 0; i < samples; ++i) {
        const auto v = static_cast<uint16_t>(audioSampleValue(channel, i));
        out.u8(static_cast<uint8_t>(v & 0xFF));
        out.u8(static_cast<uint8_t>(v >> 8));
    }
    partitionPack(out, kFooterPartition, out.bytes.size(), 0, container);
    return std::move(out.bytes);
}

namespace {
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& data)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path.string());
}
} // namespace

P2ClipFiles writeP2Clip(const std::filesystem::path& contents, const P2Clip& clip)
{
    P2ClipFiles files;
    files.video = contents / "VIDEO" / (clip.name + ".MXF");
    writeFile(files.video, p2VideoFile(clip));
    const auto audioDir = clip.audioPlace == AudioPlace::AudioFolder ? contents / "AUDIO" : contents / "VIDEO";
    for (int ch = 0; ch < clip.audioChannels; ++ch) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%02d", ch);
        auto path = audioDir / (clip.name + suffix + ".MXF");
        writeFile(path, p2AudioFile(clip, ch));
        files.audio.push_back(path);
    }
    return files;
}

std::vector<P2ClipFiles> writeP2Card(const std::filesystem::path& root, const std::vector<P2Clip>& clips)
{
    const auto contents = root / "CONTENTS";
    for (const char* sub : {"VIDEO", "AUDIO", "CLIP", "ICON", "PROXY", "VOICE"})
        std::filesystem::create_directories(contents / sub);
    std::vector<P2ClipFiles> out;
    for (const auto& clip : clips)
        out.push_back(writeP2Clip(contents, clip));
    return out;
}

size_t findKey(const std::vector<uint8_t>& file, const MxfKey& key, size_t from)
{
    if (from >= file.size())
        return std::string::npos;
    auto it = std::search(file.begin() + static_cast<std::ptrdiff_t>(from), file.end(), key.begin(), key.end());
    return it == file.end() ? std::string::npos : static_cast<size_t>(it - file.begin());
}

} // namespace vorn::test
