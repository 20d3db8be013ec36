// The exporter never damages what is already on disk: interrupted, failed
// and discarded clips leave the destination as it was, names already taken
// on any card give the next free name, symlinks are never followed, and the
// temporary files of a killed export are cleared by the next one.
#include "export_helpers.h"

#include "mxf/SafeOutput.h"

#include <gtest/gtest.h>

#include <map>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vorn::mxf;
using vorn::test::ExportTest;

namespace {

// Every entry under a folder: files with size and content hash, symlinks with
// their target, folders by name.
std::map<std::string, std::string> listing(const fs::path& root)
{
    std::map<std::string, std::string> out;
    if (!fs::exists(root)) return out;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (it->is_symlink()) {
            out[rel] = "-> " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            out[rel] = "dir";
        } else {
            const auto bytes = vorn::test::readBytes(it->path());
            uint64_t h = 1469598103934665603ull;   // FNV-1a
            for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
            out[rel] = std::to_string(bytes.size()) + " " + std::to_string(h);
        }
    }
    return out;
}

// Makes writes to files whose final name is `name` fail while in scope.
struct FailWritesTo {
    explicit FailWritesTo(std::string name)
    {
        SetWriteFaultHook([name](const fs::path& p) { return p.filename() == name; });
    }
    ~FailWritesTo() { SetWriteFaultHook(nullptr); }
};

} // namespace

TEST_F(ExportTest, InterruptedExportLeavesTheDestinationAsItWas)
{
    struct Case { const char* failing; bool openFails; };
    const Case cases[] = {
        {"0002AB.MXF", false},     // the video
        {"0002AB01.MXF", false},   // audio channel 2
        {"0002AB.XML", true},      // the clip XML, written by Open
        {"0002AB.BMP", false},     // the icon copy
        {"LASTCLIP.TXT", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        messages.clear();
        fs::path out = vorn::test::scratchDir("interrupted");
        ClipRequest first;
        first.channels = 4;
        ASSERT_EQ(exportClip(out, first).closed, 1);
        vorn::test::writeText(out / "icon.bmp", "BM-icon");
        const auto before = listing(out);

        FailWritesTo fault(c.failing);
        ClipRequest second;   // same name: written as 0002AB
        second.channels = 3;
        second.extras = [&](CExportMxf& e) { e.CopyIcon((out / "icon.bmp").string()); };
        auto r = exportClip(out, second);
        EXPECT_EQ(r.opened, c.openFails ? 0 : 1);
        EXPECT_EQ(r.closed, 0);
        EXPECT_EQ(listing(out), before);
        if (std::string(c.failing) != "LASTCLIP.TXT") {   // that one has no message box
            ASSERT_FALSE(messages.empty());
            EXPECT_NE(messages.back().find(c.failing), std::string::npos) << messages.back();
        }
    }
}

TEST_F(ExportTest, UnreadableSourceXmlLeavesTheEarlierClip)
{
    // The source clip XML is checked before any file is made.
    fs::path src = vorn::test::scratchDir("bad_source_xml");
    fs::create_directories(src / "CONTENTS" / "CLIP");
    fs::path out = vorn::test::scratchDir("bad_source_xml_out");
    ClipRequest request;
    request.source = (src / "CONTENTS" / "VIDEO" / "clip.MXF").string();
    request.name = "clip";
    ASSERT_EQ(exportClip(out, request).closed, 1);
    const auto before = listing(out);
    vorn::test::writeText(src / "CONTENTS" / "CLIP" / "clip.XML", "<P2Main><ClipContent>&bogus;</ClipContent></P2Main>");
    auto r = exportClip(out, request);
    EXPECT_EQ(r.opened, 0);
    EXPECT_EQ(listing(out), before);
    EXPECT_GT(fs::file_size(out / "Card1" / "CONTENTS" / "VIDEO" / "clip.MXF"), 0u);
}

TEST_F(ExportTest, FailedFirstExportLeavesNothing)
{
    // Also the card and CONTENTS folders made for the clip go.
    fs::path out = vorn::test::scratchDir("failed_first");
    FailWritesTo fault("0001AB.MXF");
    ClipRequest request;
    auto r = exportClip(out, request);
    EXPECT_EQ(r.opened, 1);
    EXPECT_EQ(r.closed, 0);
    EXPECT_TRUE(listing(out).empty());
}

TEST_F(ExportTest, DiscardLeavesNothing)
{
    struct Case { const char* name; bool cardExists; bool discardByDestructor; };
    const Case cases[] = {
        {"new card, Discard", false, false},
        {"existing card, Discard", true, false},
        {"new card, exporter dropped unclosed", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path out = vorn::test::scratchDir("discard");
        if (c.cardExists) {
            ClipRequest earlier;
            earlier.name = "0009XY";
            ASSERT_EQ(exportClip(out, earlier).closed, 1);
        }
        const auto before = listing(out);
        {
            CExportMxf e("/none/CONTENTS/VIDEO/SRC.MXF", out.string());
            e.SetClipName("0001AB");
            e.SetFormatCode(9);
            e.SetFrameCount(3);
            e.SetRateNumerator(25);
            e.SetFrameSize(dvBytes(9));
            std::string msg;
            ASSERT_EQ(e.Open(msg, 2, true), 1);
            ASSERT_EQ(e.BeginClip(3, 0, 1, 25, true, 2), 1);
            std::vector<uint8_t> frame(dvBytes(9), 0x11);
            EXPECT_EQ(e.WriteVideo(frame.data(), frame.size()), 1);
            EXPECT_EQ(e.WriteAudio(frame.data(), 1000, 1), 1);
            vorn::test::writeText(out / "x.wav", "voice");
            EXPECT_EQ(e.CopyVoice((out / "x.wav").string(), "WAV"), 1);
            fs::remove(out / "x.wav");
            EXPECT_NE(listing(out), before);
            if (!c.discardByDestructor) {
                e.Discard();
                EXPECT_EQ(listing(out), before);
                EXPECT_EQ(e.Close(), 0);   // nothing left to close
            }
        }
        EXPECT_EQ(listing(out), before);
    }
}

TEST_F(ExportTest, SecondExportTakesTheNextFreeName)
{
    fs::path out = vorn::test::scratchDir("second_export");
    ClipRequest request;
    request.channels = 4;
    ASSERT_EQ(exportClip(out, request).closed, 1);
    const auto first = listing(out);

    // The same name again, now with one channel: a second clip, the first untouched.
    request.channels = 1;
    auto r = exportClip(out, request);
    ASSERT_EQ(r.closed, 1);
    EXPECT_EQ(r.exporter->outputName(), "0002AB");
    EXPECT_EQ(r.exporter->renameNotice(), "Clip 0001AB exists in the destination; written as 0002AB");
    auto after = listing(out);
    for (const auto& [path, entry] : first) {
        if (path == "Card1/LASTCLIP.TXT") continue;
        EXPECT_EQ(after[path], entry) << path;
    }
    const fs::path contents = out / "Card1" / "CONTENTS";
    EXPECT_TRUE(fs::exists(contents / "VIDEO" / "0002AB.MXF"));
    EXPECT_TRUE(fs::exists(contents / "AUDIO" / "0002AB00.MXF"));
    EXPECT_FALSE(fs::exists(contents / "AUDIO" / "0002AB01.MXF"));
    const std::string xml = vorn::test::readText(contents / "CLIP" / "0002AB.XML");
    EXPECT_NE(xml.find("<ClipName>0002AB</ClipName>"), std::string::npos);
    EXPECT_EQ(vorn::test::readText(out / "Card1" / "LASTCLIP.TXT"), "0002AB\n1.0\n2\n");

    // A name on another card counts too: Card2 is current, 0001AB and 0002AB are on Card1.
    fs::create_directories(out / "Card2");
    auto r3 = exportClip(out, request);
    ASSERT_EQ(r3.closed, 1);
    EXPECT_EQ(r3.exporter->videoPath(), out / "Card2" / "CONTENTS" / "VIDEO" / "0003AB.MXF");

    // A name other than the P2 form gets "_2"; letter case does not make a new name.
    request.name = "Interview";
    ASSERT_EQ(exportClip(out, request).closed, 1);
    request.name = "INTERVIEW";
    auto r4 = exportClip(out, request);
    ASSERT_EQ(r4.closed, 1);
    EXPECT_EQ(r4.exporter->outputName(), "INTERVIEW_2");
}

TEST(ExportNames, UniqueClipName)
{
    struct Case { const char* wanted; std::vector<std::string> taken; const char* expect; };
    const Case cases[] = {
        {"0001AB", {}, "0001AB"},
        {"0001AB", {"0001AB"}, "0002AB"},
        {"0001AB", {"0001AB", "0002AB", "0003ab"}, "0004AB"},
        {"0041X7", {"0041X7"}, "0042X7"},
        {"9998AB", {"9998AB", "9999AB"}, ""},   // nothing free: the clip is not written
        {"A001AB", {"A001AB"}, "A001AB_2"},     // not the P2 form
        {"clip", {"clip", "clip_2"}, "clip_3"},
        {"00001AB", {"00001AB"}, "00001AB_2"},
        {"", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        auto taken = [&](const std::string& n) {
            for (const auto& t : c.taken) {
                std::string a = t, b = n;
                for (auto& ch : a) ch = char(std::toupper(static_cast<unsigned char>(ch)));
                for (auto& ch : b) ch = char(std::toupper(static_cast<unsigned char>(ch)));
                if (a == b) return true;
            }
            return false;
        };
        EXPECT_EQ(CExportMxf::UniqueClipName(c.wanted, taken), c.expect);
    }
}

TEST_F(ExportTest, NoFreeNameIsRefused)
{
    fs::path out = vorn::test::scratchDir("no_free_name");
    ClipRequest request;
    request.name = "9999AB";
    ASSERT_EQ(exportClip(out, request).closed, 1);
    const auto before = listing(out);
    messages.clear();
    auto r = exportClip(out, request);
    EXPECT_EQ(r.opened, 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "unable to generate unique name for clip. Please contact Kestro support");
    EXPECT_EQ(listing(out), before);
}

TEST_F(ExportTest, SymlinksAreNeverFollowed)
{
    fs::path out = vorn::test::scratchDir("symlinks");
    fs::path victim = vorn::test::scratchDir("symlinks_victim") / "SOMEFILE";
    vorn::test::writeText(victim, "precious");
    const fs::path card = out / "Card1";
    fs::create_directories(card / "CONTENTS" / "VIDEO");
    fs::create_directories(card / "CONTENTS" / "AUDIO");
    // At the video name, at an audio name of the next free name, at a name
    // pointing nowhere, and LASTCLIP.TXT.
    fs::create_symlink(victim, card / "CONTENTS" / "VIDEO" / "A.MXF");
    fs::create_symlink(victim, card / "CONTENTS" / "AUDIO" / "A_200.MXF");
    fs::create_symlink(out / "nowhere", card / "CONTENTS" / "VIDEO" / "A_3.MXF");
    fs::create_symlink(victim, card / "LASTCLIP.TXT");

    ClipRequest request;
    request.name = "A";
    auto r = exportClip(out, request);
    ASSERT_EQ(r.closed, 1);
    EXPECT_EQ(r.exporter->outputName(), "A_4");
    EXPECT_EQ(vorn::test::readText(victim), "precious");
    EXPECT_FALSE(fs::exists(out / "nowhere"));
    // LASTCLIP.TXT is now a file of its own; the symlink was replaced, not written through.
    EXPECT_FALSE(fs::is_symlink(card / "LASTCLIP.TXT"));
    EXPECT_EQ(vorn::test::readText(card / "LASTCLIP.TXT"), "A_4\n1.0\n2\n");

    // The file primitive itself refuses an existing entry of any kind.
    std::string error;
    EXPECT_EQ(TempOutputFile::Create(card / "CONTENTS" / "VIDEO" / "A.MXF", victim, error), nullptr);
    EXPECT_EQ(TempOutputFile::Create(card / "CONTENTS" / "VIDEO" / "A_3.MXF", victim, error), nullptr);
    EXPECT_EQ(TempOutputFile::Create(card / "CONTENTS" / "VIDEO" / "A_4.MXF", victim, error), nullptr);
    EXPECT_FALSE(fs::exists(out / "nowhere"));
    EXPECT_EQ(vorn::test::readText(victim), "precious");
    std::error_code ec;
    EXPECT_FALSE(RenameNoReplace(out / "Card1" / "LASTCLIP.TXT", card / "CONTENTS" / "VIDEO" / "A.MXF", ec));
    EXPECT_TRUE(fs::is_symlink(card / "CONTENTS" / "VIDEO" / "A.MXF"));
}

TEST_F(ExportTest, TemporariesOfAKilledExportAreRemoved)
{
    fs::path out = vorn::test::scratchDir("stale");
    const fs::path video = out / "Card1" / "CONTENTS" / "VIDEO";
    fs::create_directories(video);
    // A process that no longer runs, and one that does (this test's parent).
    const std::string stale = ".vorn-99999999-4-0001AB.MXF.tmp";
    const std::string live = ".vorn-" + std::to_string(::getppid()) + "-4-0005AB.MXF.tmp";
    vorn::test::writeText(video / stale, "half a clip");
    vorn::test::writeText(video / live, "being written");
    vorn::test::writeText(video / ".vorn-notes.tmp", "not ours");
    vorn::test::writeText(out / "Card1" / ".vorn-99999999-1-LASTCLIP.TXT.tmp", "x");

    long pid = 0;
    std::string finalName;
    ASSERT_TRUE(ParseTemporaryName(stale, pid, finalName));
    EXPECT_EQ(pid, 99999999);
    EXPECT_EQ(finalName, "0001AB.MXF");
    EXPECT_FALSE(ParseTemporaryName(".vorn-notes.tmp", pid, finalName));
    EXPECT_FALSE(ParseTemporaryName("0001AB.MXF", pid, finalName));
    EXPECT_TRUE(ParseTemporaryName(TemporaryPathFor(video / "0001AB.MXF").filename().string(), pid, finalName));
    EXPECT_EQ(pid, long(::getpid()));

    ClipRequest request;
    request.name = "0005AB";
    auto r = exportClip(out, request);
    ASSERT_EQ(r.closed, 1);
    EXPECT_FALSE(fs::exists(video / stale));
    EXPECT_FALSE(fs::exists(out / "Card1" / ".vorn-99999999-1-LASTCLIP.TXT.tmp"));
    EXPECT_TRUE(fs::exists(video / live));
    EXPECT_TRUE(fs::exists(video / ".vorn-notes.tmp"));
    // The name another export is writing is taken.
    EXPECT_EQ(r.exporter->outputName(), "0006AB");
}

TEST_F(ExportTest, ACopyIsKeptOnlyWhenEverySourceByteWasRead)
{
    struct Case { const char* name; bool readable; };
    const Case cases[] = {{"readable source", true}, {"read error after the open", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path out = vorn::test::scratchDir("copy_read_error");
        const fs::path source = vorn::test::scratchDir("copy_read_error_src") / "memo.wav";
        if (c.readable)
            vorn::test::writeText(source, "a voice memo");
        else
            fs::create_symlink("/proc/self/mem", source);   // opens, then every read fails with EIO
        ClipRequest request;
        int copied = -1;
        std::string error;
        request.extras = [&](CExportMxf& e) {
            copied = e.CopyVoice(source.string(), "WAV");
            error = e.lastError();
        };
        auto r = exportClip(out, request);
        EXPECT_EQ(r.closed, 1);   // the clip itself is written either way
        const fs::path copy = out / "Card1" / "CONTENTS" / "VOICE" / "0001AB.WAV";
        EXPECT_EQ(copied, c.readable ? 1 : 0);
        EXPECT_EQ(fs::exists(copy), c.readable);
        if (c.readable) {
            EXPECT_EQ(vorn::test::readText(copy), "a voice memo");
        } else {
            EXPECT_NE(error.find("memo.wav: Input/output error"), std::string::npos) << error;
        }
        EXPECT_TRUE(fs::exists(out / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF"));
    }
}

TEST_F(ExportTest, TemporariesOfAMovedDestinationAreNamedWithTheirFolder)
{
    fs::path base = vorn::test::scratchDir("moved_destination");
    const fs::path out = base / "OUT", moved = base / "MOVED";
    CExportMxf e("/none/CONTENTS/VIDEO/SRC.MXF", out.string());
    e.SetClipName("0001AB");
    e.SetFormatCode(9);
    e.SetFrameCount(1);
    e.SetRateNumerator(25);
    e.SetFrameSize(dvBytes(9));
    std::string msg;
    ASSERT_EQ(e.Open(msg, 1, true), 1);
    ASSERT_EQ(e.BeginClip(1, 0, 1, 25, true, 1), 1);
    std::vector<uint8_t> frame(dvBytes(9), 0x11);
    EXPECT_EQ(e.WriteVideo(frame.data(), frame.size()), 1);
    fs::rename(out, moved);   // the destination is renamed while the clip is written
    EXPECT_EQ(e.Close(), 0);
    const std::string error = e.lastError();
    EXPECT_NE(error.find("Temporary files of clip 0001AB could not be removed: No such file or directory; their "
                         "folder was moved or removed during the export"),
              std::string::npos)
        << error;
    // Every temporary left behind is named by the path it was made at.
    size_t left = 0;
    for (const auto& entry : fs::recursive_directory_iterator(moved)) {
        long pid = 0;
        std::string finalName;
        if (!ParseTemporaryName(entry.path().filename().string(), pid, finalName)) continue;
        ++left;
        EXPECT_NE(error.find((out / entry.path().lexically_relative(moved)).string()), std::string::npos)
            << entry.path();
    }
    EXPECT_GE(left, 3u);   // video, clip XML, audio
}
