// Import of dropped paths into the clip list, and the description line of each clip.
#include "engine/BGinfo.h"
#include "engine/VideoFormat.h"
#include "engine/Vorn.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

struct Sent {
    std::string text;
    int replaceLog;
    int flag;
};

class RecordingCaller : public CCaller {
public:
    void ExportDone() override {}
    void Message(const char* text, int replaceLog, int flag) override { sent.push_back({text ? text : "", replaceLog, flag}); }
    // The log pane's text: a replacing message replaces it.
    std::string pane() const
    {
        std::string log;
        for (const auto& s : sent)
            log = s.replaceLog ? s.text : log + s.text;
        return log;
    }
    std::vector<Sent> sent;
};

P2Clip smallClip(int32_t code, int64_t frames, const std::string& name)
{
    P2Clip clip = p2Clip(code, frames, name);
    clip.frameSize = 1000;   // small frames: the description only reads frame 0
    clip.audioChannels = 0;
    return clip;
}

struct DescribeCase {
    int32_t code;
    int64_t frames;
    int32_t rateNum, rateDen;  // 0: the format's rate
    int cam, mode;             // cam < 0: no valid record
    const char* expected;      // the line after the clip name
};

TEST(ImportDescribe, DescriptionLinePerFormatAndMode)
{
    const int openBefore = vorn::mxfio::openCount();
    const DescribeCase cases[] = {
        {2, 3600, 0, 0, 24, 8, ",\tHD 720p60      \t1 min 0 sec,\t shot 24 fps, w/ 3:2 pulldown\r\n"},
        {2, 3600, 0, 0, 24, 12, ",\tHD 720p60      \t1 min 0 sec,\t shot 24 fps, w/ 2:3:3:2 pulldown\r\n"},
        {2, 600, 0, 0, 30, 8, ",\tHD 720p60      \t0 min 10 sec,\t shot 30 fps, w/ 2:2 pulldown\r\n"},
        {2, 600, 0, 0, 60, 9, ",\tHD 720p60      \t0 min 10 sec,\t shot 60 fps, w/ VFR pulldown\r\n"},
        {1, 1799, 0, 0, 30, 0, ",\tHD 1080i60     \t0 min 59 sec,\t shot 30 fps, Interlaced\r\n"},
        {1, 300, 0, 0, 30, 8, ",\tHD 1080i60     \t0 min 10 sec,\t shot 30 fps, Progressive\r\n"},
        {1, 300, 0, 0, 24, 8, ",\tHD 1080i60     \t0 min 10 sec,\t shot 24 fps, w/ 3:2 pulldown\r\n"},
        {3, 250, 0, 0, 25, 8, ",\tHD 1080i50     \t0 min 10 sec,\t shot 25 fps, Progressive\r\n"},
        {4, 3000, 0, 0, 25, 8, ",\tHD 720p50      \t1 min 0 sec,\t shot 25 fps, w/ 2:2 pulldown\r\n"},
        {5, 1799, 0, 0, 30, 0, ",\tDV NTSC        \t0 min 59 sec,\t shot 30 fps, Interlaced\r\n"},
        {6, 25, 0, 0, 25, 0, ",\tDV PAL         \t0 min 1 sec,\t shot 25 fps, Interlaced\r\n"},
        {7, 25, 0, 0, 25, 0, ",\tDV50 PAL       \t0 min 1 sec,\t shot 25 fps, Interlaced\r\n"},
        {8, 30, 0, 0, 30, 0, ",\tDV50 NTSC      \t0 min 1 sec,\t shot 30 fps, Interlaced\r\n"},
        {9, 25, 0, 0, 25, 0, ",\tDV25 PAL       \t0 min 1 sec,\t shot 25 fps, Interlaced\r\n"},
        {10, 30, 0, 0, 30, 0, ",\tDV25 NTSC      \t0 min 1 sec,\t shot 30 fps, Interlaced\r\n"},
        {32, 30, 0, 0, 30, 0, ",\tAVCI 50 1080i60 \t0 min 1 sec,\t shot 30 fps, Interlaced\r\n"},
        {34, 30, 0, 0, 30, 8, ",\tAVCI 50 1080p30 \t0 min 1 sec,\t shot 30 fps, Progressive\r\n"},
        {36, 120, 0, 0, 24, 8, ",\tAVCI 50 720p60  \t0 min 2 sec,\t shot 24 fps, w/ 3:2 pulldown\r\n"},
        {37, 100, 0, 0, 25, 8, ",\tAVCI 50 720p50  \t0 min 2 sec,\t shot 25 fps, w/ 2:2 pulldown\r\n"},
        {38, 30, 0, 0, 24, 12, ",\tAVCI 100 1080i60\t0 min 1 sec,\t shot 24 fps, w/ 2:3:3:2 pulldown\r\n"},
        {41, 25, 0, 0, 25, 8, ",\tAVCI 100 1080p25\t0 min 1 sec,\t shot 25 fps, Progressive\r\n"},
        {43, 50, 0, 0, 50, 0, ",\tAVCI 100 720p50 \t0 min 1 sec,\t shot 50 fps, Interlaced\r\n"},
        // A camera rate of 24 in a 23.976 file is progressive, not pulldown.
        {1, 240, 24000, 1001, 24, 8, ",\tHD 1080i60     \t0 min 10 sec,\t shot 24 fps, Progressive\r\n"},
        // No valid record.
        {9, 25, 0, 0, -1, 0, ",\tDV25 PAL       \t0 min 1 sec,\t no mode info\r\n"},
        {38, 30, 0, 0, -1, 0, ",\tAVCI 100 1080i60\t0 min 1 sec,\t no mode info\r\n"},
        // Format code 0 and an edit rate that truncates to 0.
        {0, 30, 0, 0, 30, 0, ",\tunknown format\t0 min 1 sec,\t shot 30 fps, Interlaced\r\n"},
        {9, 25, 1, 2, 25, 0, ",\tDV25 PAL       \t0 min 0 sec,\t shot 25 fps, Interlaced\r\n"},
        {9, 25, 0, 1, 25, 0, ",\tDV25 PAL       \t0 min 0 sec,\t shot 25 fps, Interlaced\r\n"},
    };
    const auto dir = scratchDir("lines");
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = std::string("CLIP").append(std::to_string(n++));
        SCOPED_TRACE(name);
        P2Clip clip = smallClip(c.code, c.frames, name);
        if (c.rateNum || c.rateDen) {
            clip.rateNum = c.rateNum;
            clip.rateDen = c.rateDen;
        }
        if (c.cam >= 0)
            setBinaryGroup(clip, c.cam, c.mode);
        else
            clip.badCheck = true;
        const auto files = writeP2Clip(dir, clip);
        EXPECT_EQ(CVorn::DescribeClip(files.video.c_str()), name + c.expected);
    }
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
}

TEST(ImportDescribe, FileThatIsNotAVideoClipIsItsBareName)
{
    const int openBefore = vorn::mxfio::openCount();
    const auto dir = scratchDir("bare");
    writeText(dir / "NOTMXF.MXF", "not an MXF file");
    P2Clip clip = smallClip(9, 25, "GOOD01");
    clip.audioChannels = 1;
    setBinaryGroup(clip, 25, 0);
    const auto files = writeP2Clip(dir, clip);

    CVorn engine;
    RecordingCaller caller;
    engine.Import(&caller, (dir / "NOTMXF.MXF").c_str());
    engine.Import(&caller, files.audio[0].c_str());   // an audio file: not a video clip
    engine.Import(&caller, files.video.c_str());
    ASSERT_EQ(engine.FileCount(), 3);
    EXPECT_EQ(caller.pane(), "Adding files from " + (dir / "VIDEO").string() + "/\r\n"
                             "NOTMXFGOOD0100GOOD01,\tDV25 PAL       \t0 min 1 sec,\t shot 25 fps, Interlaced\r\n"
                             "\r\nClick Start to export files\r\n");
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
}

TEST(ImportDescribe, MessagesOfOneDrop)
{
    const auto dir = scratchDir("msgs");
    P2Clip clip = smallClip(6, 50, "A00001");
    setBinaryGroup(clip, 25, 0);
    const auto files = writeP2Clip(dir, clip);

    CVorn engine;
    RecordingCaller caller;
    EXPECT_EQ(engine.Import(&caller, files.video.c_str()), 0);
    EXPECT_EQ(engine.Caller(), &caller);
    ASSERT_EQ(caller.sent.size(), 3u);
    EXPECT_EQ(caller.sent[0].text, "Adding file from " + (dir / "VIDEO").string() + "/\r\n");
    EXPECT_EQ(caller.sent[0].replaceLog, 1);
    EXPECT_EQ(caller.sent[1].text, "A00001,\tDV PAL         \t0 min 2 sec,\t shot 25 fps, Interlaced\r\n");
    EXPECT_EQ(caller.sent[1].replaceLog, 0);
    EXPECT_EQ(caller.sent[2].text, "\r\nClick Start to export files\r\n");
    EXPECT_EQ(caller.sent[2].replaceLog, 0);
    for (const auto& s : caller.sent)
        EXPECT_EQ(s.flag, 1);

    // No path: nothing happens.
    RecordingCaller other;
    EXPECT_EQ(engine.Import(&other, nullptr), 0);
    EXPECT_EQ(engine.Import(&other, ""), 0);
    EXPECT_TRUE(other.sent.empty());
    EXPECT_EQ(engine.FileCount(), 1);
}

TEST(ImportSearch, FolderItsVideoAndContentsVideoInThatOrder)
{
    const auto root = scratchDir("search");
    auto write = [&](const fs::path& path) {
        P2Clip clip = smallClip(9, 25, path.stem().string());
        writeBytes(path, p2VideoFile(clip));
    };
    write(root / "B.MXF");
    write(root / "A.MXF");
    write(root / "lower.mxf");              // lower-case ending: not taken
    write(root / "VIDEO" / "V1.MXF");
    write(root / "CONTENTS" / "VIDEO" / "C1.MXF");
    write(root / "CONTENTS" / "VIDEO" / "C2.MXF");
    write(root / "OTHER" / "O1.MXF");       // other sub-folders are not searched
    write(root / "CONTENTS" / "AUDIO" / "X.MXF");
    fs::create_directories(root / "DIR.MXF");  // a folder, not a file

    CVorn engine;
    RecordingCaller caller;
    engine.Import(&caller, root.c_str());
    const std::string r = root.string();
    const std::vector<std::string> expected = {r + "/A.MXF", r + "/B.MXF", r + "/VIDEO/V1.MXF",
                                               r + "/CONTENTS/VIDEO/C1.MXF", r + "/CONTENTS/VIDEO/C2.MXF"};
    std::vector<std::string> got;
    for (const auto& f : engine.Files())
        got.push_back(f.str());
    EXPECT_EQ(got, expected);
    ASSERT_FALSE(caller.sent.empty());
    EXPECT_EQ(caller.sent[0].text, "Adding Folder " + r + "\r\n");
    EXPECT_EQ(caller.sent.size(), expected.size() + 2);

    // The same folder again, and its VIDEO folder: nothing new, the whole list is described again.
    engine.Import(&caller, root.c_str());
    engine.Import(&caller, (root / "CONTENTS" / "VIDEO").c_str());
    EXPECT_EQ(engine.FileCount(), 5);
    const std::string pane = caller.pane();
    EXPECT_EQ(pane.rfind("Adding Folder " + r + "/CONTENTS/VIDEO\r\nA,\t", 0), 0u) << pane;
    EXPECT_NE(pane.find("\r\nC2,\t"), std::string::npos);

    // A trailing separator does not double it.
    CVorn second;
    second.Import(&caller, (r + "/").c_str());
    ASSERT_EQ(second.FileCount(), 5);
    EXPECT_EQ(second.File(2).str(), r + "/VIDEO/V1.MXF");
}

TEST(ImportSearch, CardRootContentsAndVideoFoldersAllFindTheClips)
{
    const auto root = scratchDir("card");
    const auto files = writeP2Card(root, {smallClip(2, 60, "0001AA"), smallClip(2, 60, "0002BB")});
    for (const auto& drop : {root, root / "CONTENTS", root / "CONTENTS" / "VIDEO"}) {
        SCOPED_TRACE(drop.string());
        CVorn engine;
        RecordingCaller caller;
        engine.Import(&caller, drop.c_str());
        ASSERT_EQ(engine.FileCount(), 2);
        EXPECT_EQ(fs::path(engine.File(0).str()), files[0].video);
        EXPECT_EQ(fs::path(engine.File(1).str()), files[1].video);
    }

    // An empty folder: the heading only.
    const auto empty = scratchDir("empty");
    CVorn engine;
    RecordingCaller caller;
    engine.Import(&caller, empty.c_str());
    ASSERT_EQ(caller.sent.size(), 1u);
    EXPECT_EQ(caller.sent[0].text, "Adding Folder " + empty.string() + "\r\n");
    EXPECT_EQ(engine.FileCount(), 0);
}

TEST(ImportBinaryGroup, DecodeFromDvAndAvcIntraFrames)
{
    std::vector<uint8_t> dv(1000, 0);
    dv[119] = 0x8C;
    dv[120] = 0x24;
    dv[121] = 0x00;
    dv[122] = 0xE5;
    BGinfo bg;
    EXPECT_TRUE(bg.ReadDvBinaryGroup(dv.data(), dv.size()));
    EXPECT_EQ(bg.cameraRate, 24);
    EXPECT_EQ(bg.shootingMode, 8u);
    EXPECT_EQ(bg.modeLowBits, 0u);
    EXPECT_EQ(bg.valid, 1);
    for (int k = 0; k < 256; ++k) {
        if (k == 0xE5)
            continue;
        dv[122] = static_cast<uint8_t>(k);
        ASSERT_FALSE(bg.ReadDvBinaryGroup(dv.data(), dv.size())) << k;
    }
    // Too short to hold the record.
    EXPECT_FALSE(bg.ReadDvBinaryGroup(dv.data(), 122));
    EXPECT_EQ(bg.cameraRate, 0);

    // AVC-Intra: the record 0x64 0xFF M R 0xFF X K at 66, or at 578 in a clip's frame 0.
    std::vector<uint8_t> avc(2000, 0);
    const uint8_t m = 0x93, r = 0x60, x = 0x07;
    const uint8_t rec[7] = {0x64, 0xFF, m, r, 0xFF, x, static_cast<uint8_t>(((m + r + x) & 0xFF) ^ 0x55)};
    std::copy(rec, rec + 7, avc.begin() + 578);
    for (int i = 0; i < 8; ++i)
        avc[554 + i] = static_cast<uint8_t>(i + 1);
    EXPECT_TRUE(bg.ReadAvcBinaryGroup(avc.data(), avc.size(), true));
    EXPECT_EQ(bg.cameraRate, 60);
    EXPECT_EQ(bg.shootingMode, 9u);
    EXPECT_EQ(bg.modeLowBits, 3u);
    EXPECT_EQ(bg.avcExtra[0], 1);
    EXPECT_EQ(bg.avcExtra[7], 8);
    EXPECT_FALSE(bg.ReadAvcBinaryGroup(avc.data(), avc.size(), false));
    std::copy(rec, rec + 7, avc.begin() + 66);
    EXPECT_TRUE(bg.ReadAvcBinaryGroup(avc.data(), avc.size(), false));
    EXPECT_FALSE(bg.ReadAvcBinaryGroup(avc.data(), 584, true));
}

TEST(ImportFormats, TableAndRates)
{
    int known = 0;
    for (VideoFormat code = -1; code < 64; ++code) {
        const auto* f = vorn::videoFormatInfo(code);
        if (!f) {
            EXPECT_EQ(vorn::formatLines(code), 0);
            EXPECT_EQ(vorn::dvFrameBytes(code), 0);
            continue;
        }
        ++known;
        EXPECT_EQ(std::string(f->displayName).size(), vorn::isAvcIntra(code) ? 16u : 15u) << code;
        EXPECT_EQ(vorn::isAvcIntra(code), code >= 32);
        EXPECT_EQ(f->dvFrameBytes == 999999, vorn::isAvcIntra(code));
    }
    EXPECT_EQ(known, 22);
    EXPECT_STREQ(vorn::codecName(6), "DV25_420");
    EXPECT_STREQ(vorn::codecName(33), vorn::codecName(39));
    EXPECT_EQ(vorn::codedWidth(32), 1440);
    EXPECT_EQ(vorn::codedWidth(38), 1920);
    EXPECT_EQ(vorn::plannerGroup(40), vorn::PlannerGroup::None);
    EXPECT_EQ(vorn::plannerGroup(8), vorn::PlannerGroup::G60i);

    struct RateCase { VideoFormat code; float edit; int num, den; } rates[] = {
        {9, 25.0f, 25, 1}, {4, 50.0f, 50, 1}, {5, 29.97003f, 30000, 1001}, {2, 59.94006f, 60000, 1001},
        {41, 25.0f, 25, 1}, {38, 29.97f, 30000, 1001},
    };
    for (const auto& c : rates) {
        const auto f = vorn::nominalFrameRate(c.code, c.edit);
        EXPECT_EQ(f.num, c.num) << c.code;
        EXPECT_EQ(f.den, c.den) << c.code;
    }
}

} // namespace
