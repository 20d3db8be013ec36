// Byte layout of the op-atom files written by MxfEssenceWriter.
#include "writer_klv.h"

#include "support/TestSupport.h"
#include "dv/DvSystemData.h"
#include "foundation/Notifier.h"
#include "mxf/MxfEssenceWriter.h"
#include "mxf/Umid.h"

#include <gtest/gtest.h>

#include <fstream>
#include <algorithm>
#include <functional>
#include <set>

namespace fs = std::filesystem;
using namespace vorn::mxf;
namespace klv = vorn::test::klv;

namespace {

Umid testUmid()
{
    Umid u{};
    for (int i = 0; i < 32; ++i) u[i] = uint8_t(0x10 + i);
    u[10] = 0x0D;
    return u;
}

MxfHeaderParams dvParams(int code, uint32_t frameSize, uint64_t frames, int channels)
{
    MxfHeaderParams p;
    p.formatCode = code;
    p.frameSize = frameSize;
    p.frameCount = frames;
    p.rateNumerator = 30000;
    p.rateDenominator = 1001;
    p.clipName = "0001AB";
    p.baseUmid = testUmid();
    p.audioChannels = channels;
    p.storedHeight = 240;
    return p;
}

// Writes one file: header, `body`, footer; returns its bytes.
std::vector<uint8_t> produce(const std::string& test, MxfEssenceWriter& w, const MxfHeaderParams& p,
                             const std::function<void(MxfEssenceWriter&)>& body)
{
    fs::path path = vorn::test::scratchDir(test) / "f.mxf";
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    w.WriteHeader(f, p);
    if (body) body(w);
    w.WriteFooter(p.frameSize, p.laterFrameSize, p.frameCount, p.rateNumerator, p.rateDenominator, p.formatCode);
    f.close();
    EXPECT_FALSE(w.writeFailed());
    return vorn::test::readBytes(path);
}

std::vector<uint8_t> uidOf(const std::vector<uint8_t>& d, const klv::Packet& k)
{
    auto its = klv::items(d, k);
    const klv::Item* i = klv::find(its, 0x3C0A);
    return i ? i->value : std::vector<uint8_t>{};
}
// The 16-byte references of a batch item.
std::vector<std::vector<uint8_t>> batch(const klv::Item* item)
{
    std::vector<std::vector<uint8_t>> out;
    if (!item || item->value.size() < 8) return out;
    size_t n = klv::be(item->value.data(), 4), size = klv::be(item->value.data() + 4, 4);
    for (size_t i = 0; i < n && 8 + (i + 1) * size <= item->value.size(); ++i)
        out.emplace_back(item->value.begin() + std::ptrdiff_t(8 + i * size), item->value.begin() + std::ptrdiff_t(8 + (i + 1) * size));
    return out;
}

struct PartitionValues {
    uint64_t thisP, prevP, footerP, headerBytes, indexBytes;
    uint32_t indexSid, bodySid;
};
PartitionValues partition(const std::vector<uint8_t>& d, const klv::Packet& k)
{
    const uint8_t* v = &d[k.valueOffset];
    EXPECT_EQ(klv::be(v, 2), 1u);
    EXPECT_EQ(klv::be(v + 2, 2), 2u);
    EXPECT_EQ(klv::be(v + 4, 4), 1u);   // KAG
    EXPECT_EQ(klv::be(v + 52, 8), 0u);  // BodyOffset
    return {klv::be(v + 8, 8), klv::be(v + 16, 8), klv::be(v + 24, 8), klv::be(v + 32, 8), klv::be(v + 40, 8),
            uint32_t(klv::be(v + 48, 4)), uint32_t(klv::be(v + 60, 4))};
}

const auto kHeaderKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00});
const auto kBodyKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x03, 0x04, 0x00});
const auto kFooterKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x04, 0x04, 0x00});
const auto kPrimerKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x05, 0x01, 0x00});
const auto kIndexKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00});
const auto kFillKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x01, 0x03, 0x01, 0x02, 0x10, 0x01, 0x00, 0x00, 0x00});
const auto kDvKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x18, 0x01, 0x02, 0x01});
const auto kAvcKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x15, 0x01, 0x06, 0x01});
const auto kSoundKey = klv::bytes({0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x16, 0x01, 0x04, 0x01});

// The whole file structure: sets in order with their value lengths, the index
// segments, the fill to 32620, the body partition, the essence at 32768 and
// the footer; partition fields and their patched values.
struct Layout {
    int code;
    int channels;
    bool audio;
    int audioChannel;
};

void checkLayout(const std::vector<uint8_t>& d, const Layout& L, const MxfHeaderParams& p, uint64_t essenceLength)
{
    const bool avc = !L.audio && isAvcIntraCode(L.code);
    auto packets = klv::walk(d);
    ASSERT_GT(packets.size(), 10u);
    size_t i = 0;
    // Header partition and primer.
    ASSERT_TRUE(klv::keyIs(packets[i], kHeaderKey));
    EXPECT_EQ(packets[i].offset, 0u);
    EXPECT_EQ(packets[i].length, 104u);
    ++i;
    ASSERT_TRUE(klv::keyIs(packets[i], kPrimerKey));
    EXPECT_EQ(packets[i].offset, 124u);
    EXPECT_EQ(packets[i].length, 1646u);
    EXPECT_EQ(klv::be(&d[packets[i].valueOffset], 4), 91u);
    EXPECT_EQ(klv::be(&d[packets[i].valueOffset + 4], 4), 18u);
    ++i;
    // Header metadata sets, in order, with their value lengths.
    std::vector<std::pair<uint8_t, uint64_t>> sets = {
        {0x2F, 166}, {0x30, 156}, {0x18, 92}, {0x23, 72}, {0x36, uint64_t(33 + L.channels) * 16},
        {0x3B, 80}, {0x0F, 80}, {0x14, 75}, {0x3B, 80}, {0x0F, 80}, {0x11, 108}};
    for (int c = 0; c < L.channels; ++c) sets.insert(sets.end(), {{0x3B, 80}, {0x0F, 80}, {0x11, 108}});
    sets.insert(sets.end(), {{0x37, 128}, {0x3B, 80}, {0x0F, 80}, {0x11, 108}});
    sets.push_back(L.audio ? std::pair<uint8_t, uint64_t>{0x47, 111} : std::pair<uint8_t, uint64_t>{uint8_t(avc ? 0x51 : 0x28), 161});
    EXPECT_EQ(packets[i].offset, 1790u);
    for (const auto& [b14, len] : sets) {
        ASSERT_LT(i, packets.size());
        EXPECT_TRUE(klv::keyIs(packets[i], klv::setKey(b14))) << "set " << i << " expected key byte " << int(b14);
        EXPECT_EQ(packets[i].length, len) << "set " << i;
        EXPECT_EQ(packets[i].lengthBytes, 4u);
        EXPECT_EQ(d[packets[i].offset + 16], 0x83);
        ++i;
    }
    const size_t metadataEnd = size_t(packets[i - 1].valueOffset + packets[i - 1].length);
    // Index segment(s).
    const int segments = avc ? 2 : 1;
    for (int s = 0; s < segments; ++s, ++i) {
        ASSERT_TRUE(klv::keyIs(packets[i], kIndexKey));
        EXPECT_EQ(packets[i].length, 80u);
    }
    // Fill up to 32620.
    ASSERT_TRUE(klv::keyIs(packets[i], kFillKey));
    EXPECT_EQ(packets[i].lengthBytes, 4u);
    EXPECT_EQ(packets[i].valueOffset + packets[i].length, 32620u);
    for (size_t k = packets[i].valueOffset; k < 32620; ++k) ASSERT_EQ(d[k], 0) << k;
    const uint64_t fill = packets[i].length;
    ++i;
    // Body partition and essence.
    ASSERT_TRUE(klv::keyIs(packets[i], kBodyKey));
    EXPECT_EQ(packets[i].offset, 32620u);
    const auto body = partition(d, packets[i]);
    ++i;
    ASSERT_TRUE(klv::keyIs(packets[i], L.audio ? kSoundKey : avc ? kAvcKey : kDvKey));
    EXPECT_EQ(packets[i].offset, 32744u);
    EXPECT_EQ(packets[i].lengthBytes, 8u);
    EXPECT_EQ(d[32760], 0x87);
    EXPECT_EQ(packets[i].valueOffset, 32768u);
    EXPECT_EQ(packets[i].length, essenceLength);
    ++i;
    // Footer.
    const uint64_t footerOffset = 32768 + essenceLength;
    ASSERT_TRUE(klv::keyIs(packets[i], kFooterKey));
    EXPECT_EQ(packets[i].offset, footerOffset);
    const auto footer = partition(d, packets[i]);
    ++i;
    for (int s = 0; s < segments; ++s, ++i) {
        ASSERT_LT(i, packets.size());
        ASSERT_TRUE(klv::keyIs(packets[i], kIndexKey));
    }
    EXPECT_EQ(i, packets.size());
    EXPECT_EQ(d.size(), footerOffset + 124 + 100 * segments);

    const auto header = partition(d, packets[0]);
    EXPECT_EQ(header.thisP, 0u);
    EXPECT_EQ(header.prevP, 0u);
    EXPECT_EQ(header.footerP, footerOffset);
    EXPECT_EQ(header.headerBytes, metadataEnd - 124);
    EXPECT_EQ(header.indexBytes, fill + (avc ? 220 : 120));
    EXPECT_EQ(header.indexSid, 1u);
    EXPECT_EQ(header.bodySid, 0u);
    EXPECT_EQ(body.thisP, 32620u);
    EXPECT_EQ(body.prevP, 0u);
    EXPECT_EQ(body.footerP, footerOffset);
    EXPECT_EQ(body.headerBytes, 0u);
    EXPECT_EQ(body.indexBytes, 0u);
    EXPECT_EQ(body.indexSid, 0u);
    EXPECT_EQ(body.bodySid, 2u);
    EXPECT_EQ(footer.thisP, footerOffset);
    EXPECT_EQ(footer.prevP, 32620u);
    EXPECT_EQ(footer.footerP, footerOffset);
    EXPECT_EQ(footer.headerBytes, 0u);
    EXPECT_EQ(footer.indexBytes, avc ? 200u : 100u);
    EXPECT_EQ(footer.indexSid, 1u);
    EXPECT_EQ(footer.bodySid, 0u);
    (void)p;
}

} // namespace

TEST(WriterLayout, DvVideoFilesForAudioChannelCounts)
{
    struct Case { int code; uint32_t frameSize; int channels; };
    for (const Case& c : {Case{5, 120000, 0}, Case{7, 288000, 1}, Case{1, 480000, 4}, Case{3, 576000, 8}}) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " channels " << c.channels);
        MxfEssenceWriter w(MxfEssenceWriter::kVideo);
        auto p = dvParams(c.code, c.frameSize, 2, c.channels);
        std::vector<uint8_t> frame(c.frameSize, 0x55);
        auto d = produce("layout_dv", w, p, [&](MxfEssenceWriter& wr) {
            for (int f = 0; f < 2; ++f) {
                std::vector<uint8_t> copy = frame;
                wr.WriteFrame(copy.data(), copy.size());
            }
        });
        checkLayout(d, {c.code, c.channels, false, 0}, p, 2ull * c.frameSize);
        // Essence and the footer index segment.
        auto packets = klv::walk(d);
        auto idx = klv::items(d, packets.back());
        EXPECT_EQ(klv::num(idx, 0x3F05), c.frameSize);
        EXPECT_EQ(klv::num(idx, 0x3F0C), 0u);
        EXPECT_EQ(klv::num(idx, 0x3F0D), 0u);
        EXPECT_EQ(klv::num(idx, 0x3F06), 1u);
        EXPECT_EQ(klv::num(idx, 0x3F07), 2u);
        EXPECT_EQ(klv::find(idx, 0x3F0B)->value, klv::bytes({0, 0, 0x75, 0x30, 0, 0, 0x03, 0xE9}));
    }
}

TEST(WriterLayout, PrimerPackEntries)
{
    MxfEssenceWriter w(MxfEssenceWriter::kVideo);
    auto d = produce("layout_primer", w, dvParams(5, 120000, 0, 0), nullptr);
    const uint8_t* e = &d[124 + 20 + 8];
    // First, a dynamic and the last entry: tag, then 06 0E 2B 34 and the 12 bytes.
    EXPECT_EQ(std::vector<uint8_t>(e, e + 18), klv::bytes({0x3C, 0x0A, 6, 0x0E, 0x2B, 0x34, 1, 1, 1, 1, 1, 1, 0x15, 2, 0, 0, 0, 0}));
    const uint8_t* dyn = e + 18 * 71;
    EXPECT_EQ(std::vector<uint8_t>(dyn, dyn + 18), klv::bytes({0x80, 0x01, 6, 0x0E, 0x2B, 0x34, 1, 1, 1, 7, 3, 1, 1, 2, 2, 0x13, 0, 0}));
    const uint8_t* last = e + 18 * 90;
    EXPECT_EQ(std::vector<uint8_t>(last, last + 18), klv::bytes({0x06, 0x01, 6, 0x0E, 0x2B, 0x34, 1, 1, 1, 2, 7, 2, 1, 3, 3, 3, 0, 0}));
    // Every entry carries the SMPTE prefix.
    for (int k = 0; k < 91; ++k) EXPECT_EQ(klv::be(e + 18 * k + 2, 4), 0x060E2B34u) << k;
}

TEST(WriterLayout, AvcIntraFileHasTwoIndexSegments)
{
    MxfEssenceWriter w(MxfEssenceWriter::kVideo);
    MxfHeaderParams p = dvParams(38, 1000, 3, 2);
    p.laterFrameSize = 900;
    auto d = produce("layout_avc", w, p, [&](MxfEssenceWriter& wr) {
        std::vector<uint8_t> f0(1000, 1), f1(900, 2);
        wr.WriteFrame(f0.data(), f0.size());
        wr.WriteFrame(f1.data(), f1.size());
        wr.WriteFrame(f1.data(), f1.size());
    });
    checkLayout(d, {38, 2, false, 0}, p, 1000 + 2 * 900);
    auto packets = klv::walk(d);
    // Header and footer segments: (0, 1, first size) then (1, frames - 1, later size).
    std::vector<size_t> segs;
    for (size_t i = 0; i < packets.size(); ++i)
        if (klv::keyIs(packets[i], kIndexKey)) segs.push_back(i);
    ASSERT_EQ(segs.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        auto its = klv::items(d, packets[segs[k]]);
        bool first = k % 2 == 0;
        EXPECT_EQ(klv::num(its, 0x3F0C), first ? 0u : 1u);
        EXPECT_EQ(klv::num(its, 0x3F0D), first ? 1u : 2u);
        EXPECT_EQ(klv::num(its, 0x3F05), first ? 1000u : 900u);
    }
    // The identification of AVC-Intra files and the MPEG descriptor.
    auto ident = klv::items(d, packets[3]);
    EXPECT_EQ(klv::find(ident, 0x3C09)->value, klv::bytes({0x3F, 0x60, 0xB6, 0x28, 0xA1, 0xAA, 0x40, 0xC1, 0xA0, 0x1C, 0xEC, 0x55, 0xC4, 0x13, 0xE4, 0x42}));
    EXPECT_EQ(klv::find(ident, 0x3C04)->value, klv::bytes({0, 0x32, 0, 0x2E, 0, 0x30, 0, 0x30}));
    EXPECT_EQ(klv::find(ident, 0x3C05)->value, klv::bytes({6, 0x0E, 0x2B, 0x34, 4, 1, 1, 9, 0x0E, 0x0E, 1, 1, 1, 0, 0, 1}));
    size_t desc = segs[0] - 1;
    auto dsc = klv::items(d, packets[desc]);
    EXPECT_EQ(klv::num(dsc, 0x320C), 1u);
    EXPECT_EQ(klv::num(dsc, 0x3203), 1920u);
    EXPECT_EQ(klv::num(dsc, 0x3202), 540u);
    EXPECT_EQ(klv::find(dsc, 0x320D)->value, klv::bytes({0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, 21, 0, 0, 0x02, 0x48}));
    EXPECT_EQ(klv::find(dsc, 0x3201)->value, klv::bytes({6, 0x0E, 0x2B, 0x34, 4, 1, 1, 0x0A, 4, 1, 2, 2, 1, 0x32, 0x31, 1}));
    EXPECT_EQ(klv::find(dsc, 0x3004)->value, klv::bytes({6, 0x0E, 0x2B, 0x34, 4, 1, 1, 1, 0x0D, 1, 3, 1, 2, 0x10, 0x60, 2}));
    EXPECT_EQ(klv::num(dsc, 0x3301), 10u);
    EXPECT_EQ(klv::num(dsc, 0x3302), 2u);
    EXPECT_EQ(klv::num(dsc, 0x3308), 2u);
}

TEST(WriterLayout, AvcIntraDescriptorByCode)
{
    struct Case { int code; uint32_t width, height, line1, line2; uint8_t cls, last; };
    for (const Case& c : {Case{32, 1920, 540, 21, 584, 0x21, 1}, Case{35, 1920, 1080, 21, 0, 0x21, 4},
                          Case{37, 1280, 720, 26, 0, 0x21, 9}, Case{40, 1920, 1080, 21, 0, 0x31, 3},
                          Case{42, 1280, 720, 26, 0, 0x31, 8}}) {
        SCOPED_TRACE(c.code);
        MxfEssenceWriter w(MxfEssenceWriter::kVideo);
        MxfHeaderParams p = dvParams(c.code, 100, 1, 0);
        p.laterFrameSize = 100;
        auto d = produce("layout_avc_codes", w, p, nullptr);
        auto packets = klv::walk(d);
        auto dsc = klv::items(d, packets[17]);
        ASSERT_TRUE(klv::keyIs(packets[17], klv::setKey(0x51)));
        EXPECT_EQ(klv::num(dsc, 0x3203), c.width);
        EXPECT_EQ(klv::num(dsc, 0x3202), c.height);
        const auto& lm = klv::find(dsc, 0x320D)->value;
        EXPECT_EQ(klv::be(lm.data() + 8, 4), c.line1);
        EXPECT_EQ(klv::be(lm.data() + 12, 4), c.line2);
        const auto& coding = klv::find(dsc, 0x3201)->value;
        EXPECT_EQ(coding[14], c.cls);
        EXPECT_EQ(coding[15], c.last);
    }
}

TEST(WriterLayout, SetValuesAndStrongReferences)
{
    MxfEssenceWriter w(MxfEssenceWriter::kVideo);
    auto p = dvParams(5, 120000, 1, 2);
    p.clipName = "ABCDEFGH";
    auto d = produce("layout_refs", w, p, nullptr);
    auto pk = klv::walk(d);
    // Set indices: 2 preface, 3 ident, 4 storage, 5 ECD, 6 MP, 7-9 timecode, 10-12 picture,
    // 13-18 sound, 19 SP, 20-22 file track, 23 descriptor.
    auto preface = klv::items(d, pk[2]);
    auto ident = klv::items(d, pk[3]);
    auto storage = klv::items(d, pk[4]);
    auto mp = klv::items(d, pk[6]);
    EXPECT_EQ(klv::num(preface, 0x3B05), 0x0102u);
    EXPECT_EQ(klv::find(preface, 0x3B08)->value, uidOf(d, pk[19]));
    EXPECT_EQ(batch(klv::find(preface, 0x3B06)), std::vector<std::vector<uint8_t>>{uidOf(d, pk[3])});
    EXPECT_EQ(klv::find(preface, 0x3B03)->value, uidOf(d, pk[4]));
    EXPECT_EQ(klv::find(preface, 0x3B09)->value, klv::bytes({6, 0x0E, 0x2B, 0x34, 4, 1, 1, 2, 0x0D, 1, 2, 1, 0x10, 2, 0, 0}));
    EXPECT_EQ(klv::find(preface, 0x3B0B)->value, klv::bytes({0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(batch(klv::find(preface, 0x3B0A)), std::vector<std::vector<uint8_t>>{klv::bytes({6, 0x0E, 0x2B, 0x34, 4, 1, 1, 1, 0x0D, 1, 3, 1, 2, 2, 1, 2})});
    EXPECT_EQ(klv::find(ident, 0x3C09)->value, klv::bytes({0x89, 0x3E, 0x6C, 0x52, 0xD4, 0x65, 0x4C, 0x78, 0xBA, 0xBB, 0x8B, 0x2D, 0x28, 0xB6, 0x48, 0x44}));
    EXPECT_EQ(klv::find(ident, 0x3C01)->value, klv::bytes({0, 'P', 0, 'a', 0, 'n', 0, 'a', 0, 's', 0, 'o', 0, 'n', 0, 'i', 0, 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x30}));
    EXPECT_EQ(klv::find(ident, 0x3C02)->value, klv::bytes({0, 'P', 0, '2', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x30}));
    EXPECT_EQ(klv::find(ident, 0x3C04)->value, klv::bytes({0, 0x32, 0, 0x2E, 0, 0x30, 0, 0}));
    EXPECT_EQ(batch(klv::find(storage, 0x1901)), (std::vector<std::vector<uint8_t>>{uidOf(d, pk[6]), uidOf(d, pk[19])}));
    EXPECT_EQ(batch(klv::find(storage, 0x1902)), std::vector<std::vector<uint8_t>>{uidOf(d, pk[5])});
    // Material package name: six characters as UTF-16BE, then zeros.
    const auto& name = klv::find(mp, 0x4402)->value;
    ASSERT_EQ(name.size(), 400u);
    EXPECT_EQ(std::vector<uint8_t>(name.begin(), name.begin() + 14), klv::bytes({0, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0, 'F', 0, 0}));
    EXPECT_TRUE(std::all_of(name.begin() + 12, name.end(), [](uint8_t b) { return b == 0; }));
    // Tracks: timecode, picture, sound 1, sound 2; each track -> sequence -> component.
    EXPECT_EQ(batch(klv::find(mp, 0x4403)),
              (std::vector<std::vector<uint8_t>>{uidOf(d, pk[7]), uidOf(d, pk[10]), uidOf(d, pk[13]), uidOf(d, pk[16])}));
    for (size_t t : {7u, 10u, 13u, 16u, 20u}) {
        auto track = klv::items(d, pk[t]);
        auto seq = klv::items(d, pk[t + 1]);
        EXPECT_EQ(klv::find(track, 0x4803)->value, uidOf(d, pk[t + 1])) << t;
        EXPECT_EQ(batch(klv::find(seq, 0x1001)), std::vector<std::vector<uint8_t>>{uidOf(d, pk[t + 2])}) << t;
    }
    auto sp = klv::items(d, pk[19]);
    EXPECT_EQ(batch(klv::find(sp, 0x4403)), std::vector<std::vector<uint8_t>>{uidOf(d, pk[20])});
    EXPECT_EQ(klv::find(sp, 0x4701)->value, uidOf(d, pk[23]));
    // Track ids and numbers.
    EXPECT_EQ(klv::num(klv::items(d, pk[7]), 0x4801), 0u);
    EXPECT_EQ(klv::num(klv::items(d, pk[10]), 0x4801), 1u);
    EXPECT_EQ(klv::num(klv::items(d, pk[13]), 0x4801), 2u);
    EXPECT_EQ(klv::num(klv::items(d, pk[16]), 0x4801), 3u);
    EXPECT_EQ(klv::num(klv::items(d, pk[16]), 0x4804), 2u);
    EXPECT_EQ(klv::num(klv::items(d, pk[20]), 0x4804), 0x18010201u);
    // Instance ids are all different.
    std::set<std::string> ids;
    for (size_t k = 2; k <= 23; ++k) {
        auto id = uidOf(d, pk[k]);
        ids.insert(std::string(id.begin(), id.end()));
    }
    EXPECT_EQ(ids.size(), 22u);
}

TEST(WriterLayout, PackageUmids)
{
    const Umid base = testUmid();
    // Video file package: byte 10 = 06h, byte 23 = ((b23 + 1) & FFh) | C0h.
    Umid v = videoFileUmid(base);
    EXPECT_EQ(v[10], 0x06);
    EXPECT_EQ(v[23], ((0x27 + 1) & 0xFF) | 0xC0);
    Umid wrap = base;
    wrap[23] = 0xFF;
    EXPECT_EQ(videoFileUmid(wrap)[23], 0xC0);
    // Audio channel c: byte 10 = 08h, byte 23 = (((b23 + c) & FFh) + 1) | C0h.
    EXPECT_EQ(audioFileUmid(base, 0)[23], 0x28 | 0xC0);
    EXPECT_EQ(audioFileUmid(base, 7)[23], (0x27 + 7 + 1) | 0xC0);
    EXPECT_EQ(audioFileUmid(wrap, 1)[23], 0xC1);
    Umid a0 = audioFileUmid(base, 0), a7 = audioFileUmid(base, 7);
    for (int i = 0; i < 32; ++i)
        if (i != 23) {
            EXPECT_EQ(a0[i], a7[i]) << i;
        }
    EXPECT_NE(a0[23], a7[23]);
    EXPECT_EQ(a0[10], 0x08);

    // In the files: material package = base; file package and ECD = the file's UMID;
    // the material package's source clips point at each file.
    for (int kind : {1, 2}) {
        MxfEssenceWriter w(kind);
        auto p = dvParams(5, 120000, 1, 3);
        p.audioChannel = 2;
        auto d = produce("layout_umid", w, p, [](MxfEssenceWriter& wr) { wr.PadAudio(); });
        auto pk = klv::walk(d);
        const Umid file = kind == 1 ? v : audioFileUmid(base, 2);
        auto asVec = [](const Umid& u) { return std::vector<uint8_t>(u.begin(), u.end()); };
        EXPECT_EQ(klv::find(klv::items(d, pk[6]), 0x4401)->value, asVec(base));
        EXPECT_EQ(klv::find(klv::items(d, pk[5]), 0x2701)->value, asVec(file));
        EXPECT_EQ(klv::find(klv::items(d, pk[22]), 0x4401)->value, asVec(file));
        EXPECT_EQ(klv::find(klv::items(d, pk[12]), 0x1101)->value, asVec(v));
        for (int c = 0; c < 3; ++c) {
            auto sc = klv::items(d, pk[15 + 3 * c]);
            EXPECT_EQ(klv::find(sc, 0x1101)->value, asVec(audioFileUmid(base, c)));
            EXPECT_EQ(klv::num(sc, 0x1102), uint64_t(c + 2));
        }
        auto fileClip = klv::items(d, pk[25]);
        EXPECT_EQ(klv::find(fileClip, 0x1101)->value, std::vector<uint8_t>(32, 0));
        EXPECT_EQ(klv::num(fileClip, 0x1102), 0u);
    }
}

TEST(WriterLayout, TimecodeAndAudioLengthsPerRate)
{
    struct Case { uint32_t num, den; uint64_t frames; int base, drop; int32_t start;
                  uint32_t tcNum, tcDen; uint64_t seqDuration, samples; };
    const Case cases[] = {
        {25, 1, 250, 25, 0, 90000, 25, 1, 250, 480000},
        {30000, 1001, 300, 30, 1, 107892, 30000, 1001, 300, 480480},
        {60000, 1001, 600, 30, 0, 0, 30000, 1001, 300, 480480},
        {50, 1, 100, 25, 0, 0, 25, 1, 50, 96000},
        {24000, 1001, 24, 24, 0, 0, 24000, 1001, 24, 48048},
        // A last odd picture at 59.94p still has its time code frame.
        {60000, 1001, 601, 30, 0, 0, 30000, 1001, 301, 481281},
        {60, 1, 120, 30, 0, 0, 30, 1, 60, 96000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.num << "/" << c.den);
        MxfEssenceWriter w(MxfEssenceWriter::kAudio);
        w.SetTimecode(c.start, c.base, c.drop);
        auto p = dvParams(5, 120000, c.frames, 2);
        p.rateNumerator = c.num;
        p.rateDenominator = c.den;
        p.audioChannel = 1;
        auto d = produce("layout_rates", w, p, [](MxfEssenceWriter& wr) { wr.PadAudio(); });
        EXPECT_EQ(w.audioSamples(), c.samples);
        checkLayout(d, {5, 2, true, 1}, p, 2 * c.samples);
        auto pk = klv::walk(d);
        auto tcTrack = klv::items(d, pk[7]);
        EXPECT_EQ(klv::find(tcTrack, 0x4B01)->value,
                  klv::bytes({int(c.tcNum >> 24), int((c.tcNum >> 16) & 255), int((c.tcNum >> 8) & 255), int(c.tcNum & 255),
                              0, 0, int(c.tcDen >> 8), int(c.tcDen & 255)}));
        EXPECT_EQ(klv::num(klv::items(d, pk[8]), 0x0202), c.seqDuration);
        auto tc = klv::items(d, pk[9]);
        // The component lasts as long as its sequence, in the track's edit rate.
        EXPECT_EQ(klv::num(tc, 0x0202), c.seqDuration);
        EXPECT_EQ(klv::num(tc, 0x1502), uint64_t(c.base));
        EXPECT_EQ(klv::find(tc, 0x1502)->value.size(), 2u);
        EXPECT_EQ(klv::num(tc, 0x1501), uint64_t(c.start));
        EXPECT_EQ(klv::num(tc, 0x1503), uint64_t(c.drop));
        EXPECT_EQ(klv::find(tc, 0x1503)->value.size(), 1u);
        // Sound sequences and the AES3 descriptor carry the sample count.
        EXPECT_EQ(klv::num(klv::items(d, pk[14]), 0x0202), c.samples);
        EXPECT_EQ(klv::num(klv::items(d, pk[20]), 0x4801), 3u);   // this file: channel 1
        EXPECT_EQ(klv::num(klv::items(d, pk[20]), 0x4804), 0x16010401u);
        auto aes = klv::items(d, pk[23]);
        EXPECT_EQ(klv::num(aes, 0x3002), c.samples);
        EXPECT_EQ(klv::find(aes, 0x3D03)->value, klv::bytes({0, 0, 0xBB, 0x80, 0, 0, 0, 1}));
        EXPECT_EQ(klv::num(aes, 0x3D02), 1u);
        EXPECT_EQ(klv::num(aes, 0x3D07), 1u);
        EXPECT_EQ(klv::num(aes, 0x3D01), 16u);
        EXPECT_EQ(klv::num(aes, 0x3D0A), 2u);
        EXPECT_EQ(klv::num(aes, 0x3D09), 96000u);
        // Header index: EditUnitByteCount 2 at the clip rate; footer: the video frame size.
        auto hidx = klv::items(d, pk[24]);
        EXPECT_EQ(klv::num(hidx, 0x3F05), 2u);
        EXPECT_EQ(klv::num(klv::items(d, pk.back()), 0x3F05), 120000u);
    }
}

TEST(WriterAudio, PaddingAndDropping)
{
    auto p = dvParams(9, 144000, 3, 1);
    p.rateNumerator = 25;
    p.rateDenominator = 1;
    const uint64_t planned = 2 * 5760;
    std::vector<uint8_t> pcm(planned + 500);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = uint8_t(i * 7 + 1);

    // Too much audio: the excess is dropped.
    {
        MxfEssenceWriter w(MxfEssenceWriter::kAudio);
        auto d = produce("audio_drop", w, p, [&](MxfEssenceWriter& wr) {
            wr.WriteFrame(pcm.data(), 1000);
            wr.WriteFrame(pcm.data() + 1000, pcm.size() - 1000);
            wr.WriteFrame(pcm.data(), 10);   // after the end: nothing
            wr.PadAudio();
        });
        EXPECT_EQ(w.audioBytesWritten(), planned);
        EXPECT_FALSE(w.audioLengthMismatch());
        ASSERT_GE(d.size(), 32768 + planned);
        EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + planned, d.begin() + 32768));
        EXPECT_TRUE(klv::keyIs(klv::walk(d)[klv::walk(d).size() - 2], kFooterKey));
    }
    // Too little: padded with silence up to the planned length.
    {
        MxfEssenceWriter w(MxfEssenceWriter::kAudio);
        auto d = produce("audio_pad", w, p, [&](MxfEssenceWriter& wr) {
            wr.WriteFrame(pcm.data(), 3001);
            wr.PadAudio();
        });
        EXPECT_EQ(w.audioBytesWritten(), planned);
        EXPECT_FALSE(w.audioLengthMismatch());
        EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + 3001, d.begin() + 32768));
        EXPECT_TRUE(std::all_of(d.begin() + 32768 + 3001, d.begin() + 32768 + planned, [](uint8_t b) { return b == 0; }));
    }
    // Without padding the footer reports the shortfall.
    {
        MxfEssenceWriter w(MxfEssenceWriter::kAudio);
        produce("audio_short", w, p, [&](MxfEssenceWriter& wr) { wr.WriteFrame(pcm.data(), 100); });
        EXPECT_TRUE(w.audioLengthMismatch());
    }
}
