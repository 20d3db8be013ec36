// CExportMxf: card choice and space checks, names, file creation, LASTCLIP.TXT,
// the descriptor values per format, refusal to write over a source clip, and
// the round trip through the clip reader.
#include "export_helpers.h"
#include "writer_klv.h"

#include "support/P2Fixture.h"
#include "dv/DvSystemData.h"
#include "mxf/MxfFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace fs = std::filesystem;
using namespace vorn::mxf;
namespace klv = vorn::test::klv;
using vorn::test::ExportTest;

TEST(P2Cards, NeedPerFormat)
{
    struct Case { int code; int64_t frames; int64_t need; };
    for (const Case& c : {Case{1, 600, 297}, Case{5, 1000, 136}, Case{3, 2000, 1184}, Case{38, 100, 101}, Case{0, 100, 0},
                          Case{9, 0, 0}, Case{1, 20000000000000000ll, 9223372036854775ll},
                          Case{38, INT64_MAX, 9223372036854775ll}}) {
        CP2Cards cards;
        cards.SetNeed(c.code, c.frames);
        EXPECT_EQ(cards.needMB(), c.need) << c.code;
    }
}

TEST_F(ExportTest, CardChoice)
{
    struct Case {
        const char* name;
        std::vector<int> existing;   // card folders made first
        int64_t usedBytesInLast;     // a sparse file in the last existing card
        const char* cardSize;
        int expectCard;
    };
    const Case cases[] = {
        {"empty output folder", {}, 0, "0", 1},
        {"only Card1", {1}, 0, "0", 1},
        {"Card1 and Card2", {1, 2}, 0, "0", 2},
        {"Card2 has room", {1, 2}, 1500000000, "2", 2},
        {"Card2 too full: spill to Card3", {1, 2}, 1800000000, "2", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path out = vorn::test::scratchDir("export_cards");
        for (int n : c.existing) fs::create_directories(out / ("Card" + std::to_string(n)));
        if (c.usedBytesInLast) {
            fs::path big = out / ("Card" + std::to_string(c.existing.back())) / "CONTENTS" / "VIDEO" / "OLD.MXF";
            fs::create_directories(big.parent_path());
            { std::ofstream(big).put('x'); }
            fs::resize_file(big, uint64_t(c.usedBytesInLast));
        }
        // 600 frames of 1080/59.94i need 297 MB; the choice is made by Open.
        CExportMxf e("/none/CONTENTS/VIDEO/X.MXF", out.string());
        e.SetCardSize(std::stoi(c.cardSize));
        e.SetClipName("0001AB");
        e.SetFormatCode(1);
        e.SetFrameCount(600);
        e.SetRateNumerator(30000);
        e.SetRateDenominator(1001);
        std::string msg;
        EXPECT_EQ(e.Open(msg, 0, true), 1) << msg;
        EXPECT_EQ(e.cards().needMB(), 297);
        EXPECT_EQ(e.BeginClip(600, 0, 1001, 30000, true, 0), 1);
        fs::path expect = out / ("Card" + std::to_string(c.expectCard)) / "CONTENTS" / "VIDEO" / "0001AB.MXF";
        EXPECT_EQ(e.videoPath(), expect);
        for (const char* sub : {"VIDEO", "AUDIO", "CLIP", "ICON", "VOICE", "PROXY"})
            EXPECT_TRUE(fs::is_directory(expect.parent_path().parent_path() / sub)) << sub;
        EXPECT_EQ(e.Close(), 1);
        EXPECT_TRUE(fs::exists(expect));
        EXPECT_EQ(vorn::test::readText(out / ("Card" + std::to_string(c.expectCard)) / "LASTCLIP.TXT"), "0001AB\n1.0\n2\n");
        EXPECT_TRUE(messages.empty());
    }
}

TEST_F(ExportTest, SpaceErrors)
{
    struct Case { const char* name; uint64_t freeBytes; const char* cardSize; int code; int64_t frames;
                  const char* message; int kind; };
    const Case cases[] = {
        // The need counts the two audio channels: 297.6 MB of video and 4.6 MB of audio at 25 fps.
        {"disk", 200000000ull, "0", 1, 600, "Insufficient room on disk, need 302MB, 200MB available", 1},
        {"disk, just enough", 302999999ull, "0", 1, 600, "", 0},
        {"disk, the audio does not fit", 301999999ull, "0", 1, 600, "Insufficient room on disk, need 302MB, 301MB available", 1},
        {"card", 100000000000ull, "1", 3, 2000, "Insufficient card size, need 1199MB, max = 1000MB", 2},
        // A frame count from a damaged file: the need saturates instead of wrapping to a small number.
        {"huge frame count", 100000000000ull, "0", 1, 20000000000000000ll,
         "Insufficient room on disk, need 9223372036854775MB, 100000MB available", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path out = vorn::test::scratchDir("export_space");
        freeBytes = c.freeBytes;
        CExportMxf e("/none/CONTENTS/VIDEO/X.MXF", out.string());
        e.SetCardSize(std::stoi(c.cardSize));
        e.SetClipName("0001AB");
        e.SetFormatCode(c.code);
        e.SetFrameCount(c.frames);
        e.SetRateNumerator(25);
        std::string msg;
        int ok = e.Open(msg, 2, true);
        EXPECT_EQ(msg, c.message);
        EXPECT_EQ(e.errorKind(), c.kind);
        EXPECT_EQ(ok, c.kind == 0 ? 1 : 0);
        if (c.kind) {
            EXPECT_FALSE(fs::exists(out / "Card1")) << "nothing is created";
        }
    }
    // A format code that is not positive fails at once.
    CExportMxf e("/none/X.MXF", vorn::test::scratchDir("export_space_code").string());
    std::string msg;
    EXPECT_EQ(e.Open(msg, 0, true), 0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ExportTest, FilesNamesLastClipAndUmid)
{
    fs::path out = vorn::test::scratchDir("export_files");
    // A read-only LASTCLIP.TXT from an earlier export.
    fs::path card = out / "Card1";
    fs::create_directories(card);
    vorn::test::writeText(card / "LASTCLIP.TXT", "OLD\n1.0\n7\n");
    fs::permissions(card / "LASTCLIP.TXT", fs::perms::owner_read | fs::perms::group_read, fs::perm_options::replace);

    ClipRequest request;   // code 9, 5 frames at 25, two channels
    auto r = exportClip(out, request);
    ASSERT_EQ(r.opened, 1) << r.message;
    EXPECT_EQ(r.closed, 1);
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_EQ(r.exporter->renameNotice(), "");
    const fs::path contents = card / "CONTENTS";
    EXPECT_EQ(r.exporter->videoPath(), contents / "VIDEO" / "0001AB.MXF");
    EXPECT_EQ(r.exporter->clipXmlPath(), contents / "CLIP" / "0001AB.XML");
    EXPECT_EQ(r.exporter->iconPath(), contents / "ICON" / "0001AB.BMP");
    EXPECT_EQ(r.exporter->audioPath(0), contents / "AUDIO" / "0001AB00.MXF");
    EXPECT_EQ(r.exporter->audioPath(1), contents / "AUDIO" / "0001AB01.MXF");
    EXPECT_EQ(vorn::test::readText(card / "LASTCLIP.TXT"), "0001AB\n1.0\n2\n");
    const uint64_t videoSize = 32768 + 5ull * 144000 + 124 + 100;
    const uint64_t audioSize = 32768 + 2ull * 9600 + 124 + 100;
    EXPECT_EQ(fs::file_size(contents / "VIDEO" / "0001AB.MXF"), videoSize);
    EXPECT_EQ(fs::file_size(contents / "AUDIO" / "0001AB00.MXF"), audioSize);
    EXPECT_EQ(fs::file_size(contents / "AUDIO" / "0001AB01.MXF"), audioSize);
    // Only the clip's files: no temporary file is left anywhere.
    for (const auto& e : fs::recursive_directory_iterator(out))
        EXPECT_EQ(e.path().filename().string().find(".vorn-"), std::string::npos) << e.path();
    // The base UMID: byte 10 = 0Dh and byte 13 incremented once per opened clip.
    Umid base = fixedUmid();
    base[10] = 0x0D;
    base[13] = uint8_t(base[13] + 1);
    EXPECT_EQ(r.exporter->baseUmid(), base);
    std::string msg;
    r.exporter->SetClipName("0002AB");
    ASSERT_EQ(r.exporter->Open(msg, 0, true), 1);
    EXPECT_EQ(r.exporter->baseUmid()[13], uint8_t(base[13] + 1));
    ASSERT_EQ(r.exporter->BeginClip(0, 0, 1, 25, true, 0), 1);
    // Icon and voice copies, in place once the clip is closed.
    fs::path icon = out / "icon.bmp";
    vorn::test::writeText(icon, "BM-icon");
    EXPECT_EQ(r.exporter->CopyIcon(icon.string()), 1);
    EXPECT_EQ(r.exporter->CopyVoice(icon.string(), "WAV"), 1);
    EXPECT_EQ(r.exporter->CopyIcon((out / "missing.bmp").string()), 0);
    // No frame to make an icon of: nothing is claimed.
    EXPECT_EQ(r.exporter->WriteThumbnail(nullptr, 0, 9, 0), 0);
    EXPECT_FALSE(fs::exists(contents / "ICON" / "0002AB.BMP"));
    ASSERT_EQ(r.exporter->Close(), 1);
    EXPECT_EQ(vorn::test::readText(contents / "ICON" / "0002AB.BMP"), "BM-icon");
    EXPECT_EQ(vorn::test::readText(contents / "VOICE" / "0002AB.WAV"), "BM-icon");
    EXPECT_EQ(vorn::test::readText(card / "LASTCLIP.TXT"), "0002AB\n1.0\n2\n");
    // Closing without headers written is a failure that leaves nothing.
    r.exporter->SetClipName("0003AB");
    ASSERT_EQ(r.exporter->Open(msg, 1, true), 1);
    EXPECT_EQ(r.exporter->Close(), 0);
    EXPECT_FALSE(fs::exists(contents / "VIDEO" / "0003AB.MXF"));
    EXPECT_FALSE(fs::exists(contents / "CLIP" / "0003AB.XML"));
    EXPECT_EQ(vorn::test::readText(card / "LASTCLIP.TXT"), "0002AB\n1.0\n2\n");
}

TEST_F(ExportTest, EmptyClipNameIsRefused)
{
    fs::path out = vorn::test::scratchDir("export_noname");
    ClipRequest request;
    request.name = "";
    auto r = exportClip(out, request);
    EXPECT_EQ(r.opened, 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "unable to generate unique name for clip. Please contact Kestro support");
}

TEST_F(ExportTest, ExportIntoTheSourceCardIsRefused)
{
    // Writing into the card a clip comes from would add files inside it and
    // replace its LASTCLIP.TXT: it is refused before anything is written.
    fs::path root = vorn::test::scratchDir("export_source");
    auto clip = vorn::test::p2Clip(9, 5, "0001AB");
    auto files = vorn::test::writeP2Card(root / "Card1", {clip});
    vorn::test::writeText(root / "Card1" / "CONTENTS" / "CLIP" / "0001AB.XML", "<P2Main><ClipContent/></P2Main>");
    vorn::test::writeText(root / "Card1" / "LASTCLIP.TXT", "0001AB\n1.0\n2\n");
    const auto before = vorn::test::listing(root);
    const fs::path alias = vorn::test::scratchDir("export_source_alias") / "same";
    fs::create_directory_symlink(root, alias);

    struct Case { const char* name; fs::path out; std::string clipName; };
    const Case cases[] = {
        {"same folder", root, "0001AB"},
        {"through another path", alias, "0001AB"},
        {"another clip name in the same card", root, "0007AB"},
        {"the card itself", root / "Card1", "0007AB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        ClipRequest request;
        request.source = files[0].video.string();
        request.name = c.clipName;
        auto r = exportClip(c.out, request);
        EXPECT_EQ(r.opened, 0);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find(" overlaps the source card "), std::string::npos) << messages[0];
        EXPECT_EQ(vorn::test::listing(root), before);
    }
}

TEST_F(ExportTest, DvDescriptorPerFormat)
{
    struct Case { int code; uint32_t num, den; uint8_t layout; uint32_t width, height, line1, line2;
                  uint8_t yy, zz, ec; uint32_t depth, hsub, vsub; };
    const Case cases[] = {
        {1, 30000, 1001, 1, 1920, 540, 21, 584, 2, 5, 0x60, 10, 2, 1},
        {2, 60000, 1001, 0, 1280, 720, 26, 0, 2, 7, 0x62, 10, 2, 1},
        {3, 25, 1, 1, 1920, 540, 21, 584, 2, 6, 0x61, 10, 2, 1},
        {4, 50, 1, 0, 1280, 720, 26, 0, 2, 8, 0x63, 10, 2, 1},
        {5, 30000, 1001, 1, 720, 240, 23, 285, 1, 1, 0x01, 8, 4, 1},
        {6, 25, 1, 1, 720, 288, 23, 335, 1, 2, 0x02, 8, 2, 2},
        {7, 25, 1, 1, 720, 288, 23, 335, 2, 4, 0x51, 8, 2, 1},
        {8, 30000, 1001, 1, 720, 240, 23, 285, 2, 3, 0x50, 8, 2, 1},
        {9, 25, 1, 1, 720, 288, 23, 335, 2, 2, 0x41, 8, 4, 1},
        {10, 30000, 1001, 1, 720, 240, 23, 285, 2, 1, 0x40, 8, 4, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        fs::path out = vorn::test::scratchDir("export_desc");
        ClipRequest request;
        request.code = c.code;
        request.frames = 1;
        request.num = c.num;
        request.den = c.den;
        request.channels = 0;
        request.wide = c.code % 2 == 0;
        auto r = exportClip(out, request);
        ASSERT_EQ(r.closed, 1);
        auto d = vorn::test::readBytes(r.exporter->videoPath());
        auto pk = klv::walk(d);
        ASSERT_GT(pk.size(), 17u);
        ASSERT_TRUE(klv::keyIs(pk[17], klv::setKey(0x28)));
        auto its = klv::items(d, pk[17]);
        EXPECT_EQ(klv::find(its, 0x3001)->value, klv::bytes({0, 0, int(c.num >> 8), int(c.num & 255), 0, 0, int(c.den >> 8), int(c.den & 255)}));
        EXPECT_EQ(klv::num(its, 0x3002), 1u);
        EXPECT_EQ(klv::find(its, 0x3004)->value, klv::bytes({6, 0x0E, 0x2B, 0x34, 4, 1, 1, 1, 0x0D, 1, 3, 1, 2, 2, c.ec, 2}));
        EXPECT_EQ(klv::num(its, 0x320C), c.layout);
        EXPECT_EQ(klv::num(its, 0x3203), c.width);
        EXPECT_EQ(klv::num(its, 0x3202), c.height);
        EXPECT_EQ(klv::find(its, 0x320E)->value, request.wide ? klv::bytes({0, 0, 0, 16, 0, 0, 0, 9}) : klv::bytes({0, 0, 0, 4, 0, 0, 0, 3}));
        EXPECT_EQ(klv::find(its, 0x320D)->value,
                  klv::bytes({0, 0, 0, 2, 0, 0, 0, 4, 0, 0, int(c.line1 >> 8), int(c.line1 & 255), 0, 0, int(c.line2 >> 8), int(c.line2 & 255)}));
        EXPECT_EQ(klv::find(its, 0x3201)->value, klv::bytes({6, 0x0E, 0x2B, 0x34, 4, 1, 1, 1, 4, 1, 2, 2, 2, c.yy, c.zz, 0}));
        EXPECT_EQ(klv::num(its, 0x3301), c.depth);
        EXPECT_EQ(klv::num(its, 0x3302), c.hsub);
        EXPECT_EQ(klv::num(its, 0x3308), c.vsub);
        // Read back by the clip reader as the same format.
        CMxfFile reader(r.exporter->videoPath().string().c_str());
        EXPECT_EQ(reader.ReadHeaders(), 1);
        EXPECT_EQ(reader.VideoFormat(), c.code);
        reader.Close();
    }
}

TEST_F(ExportTest, RoundTripThroughTheReader)
{
    struct Case { int code; uint32_t num, den; int channels; int64_t frames; uint32_t first, later; };
    const Case cases[] = {
        {9, 25, 1, 2, 6, 0, 0},
        {8, 30000, 1001, 4, 5, 0, 0},
        {2, 60000, 1001, 1, 4, 0, 0},
        {40, 30000, 1001, 8, 4, 7000, 5000},
        {37, 50, 1, 0, 3, 3000, 2500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        fs::path out = vorn::test::scratchDir("export_roundtrip");
        ClipRequest request;
        request.code = c.code;
        request.num = c.num;
        request.den = c.den;
        request.channels = c.channels;
        request.frames = c.frames;
        request.firstSize = c.first;
        request.laterSize = c.later;
        const bool avc = isAvcIntraCode(c.code);
        const uint32_t dvSize = avc ? 0 : dvBytes(c.code);
        // Frames: the index in every byte of the video blocks; the system blocks are the writer's.
        request.frame = [&](int64_t i) {
            return std::vector<uint8_t>(avc ? (i ? c.later : c.first) : dvSize, uint8_t(0x40 + i));
        };
        auto r = exportClip(out, request);
        ASSERT_EQ(r.closed, 1);
        CMxfFile reader(r.exporter->videoPath().string().c_str());
        ASSERT_EQ(reader.ReadHeaders(), 1);
        EXPECT_EQ(reader.VideoFormat(), c.code);
        EXPECT_EQ(reader.FrameCount(), c.frames);
        EXPECT_FLOAT_EQ(reader.EditRate(), float(double(c.num) / c.den));
        EXPECT_EQ(reader.StartTimecode(), 90000);
        EXPECT_EQ(reader.TcBase(), 25);
        EXPECT_EQ(reader.TcHours(), 1);
        Umid expectUmid = videoFileUmid(r.exporter->baseUmid());
        EXPECT_EQ(std::memcmp(reader.PackageId(), expectUmid.data(), 32), 0);
        EXPECT_EQ(reader.FrameSize(), int(avc ? c.first : dvSize));
        if (avc) {
            EXPECT_EQ(reader.LaterFrameSize(), int(c.later));
        }
        std::vector<uint8_t> buf(avc ? c.first : dvSize);
        for (int64_t i = 0; i < c.frames; ++i) {
            int n = reader.ReadFrame(buf, i);
            ASSERT_EQ(n, int(avc ? (i ? c.later : c.first) : dvSize)) << i;
            // The first video DIF block (after the 6 system blocks) keeps its data bytes.
            const size_t from = avc ? 0 : 563;
            EXPECT_TRUE(std::all_of(buf.begin() + from, buf.begin() + (avc ? n : 640),
                                    [&](uint8_t b) { return b == uint8_t(0x40 + i); }))
                << i;
        }
        EXPECT_EQ(reader.ReadFrame(buf, c.frames), 0);
        reader.m_audioSelect = 2;
        EXPECT_EQ(reader.ReadAllAudioHeaders(nullptr, 0), c.channels);
        const uint64_t samples = MxfEssenceWriter::audioSamplesFor(uint64_t(c.frames), c.num, c.den);
        if (c.channels) {
            EXPECT_EQ(reader.AudioBits(), 16);
            EXPECT_FLOAT_EQ(reader.AudioSampleRate(), 48000.0f);
            EXPECT_EQ(reader.AudioDuration(), int64_t(samples));
            std::vector<uint8_t> a(2 * samples + 100);
            int got = reader.ReadAudio(a.data(), int(a.size()), c.channels - 1);
            ASSERT_EQ(got, int(2 * samples));
            for (int k = 0; k < got; ++k) ASSERT_EQ(a[k], uint8_t(k * 3 + c.channels - 1)) << k;
        }
        reader.Close();
    }
}
