// The exporter never damages what is already on disk: interrupted, failed
// and discarded clips leave the destination as it was, names already taken
// on any card give the next free name, symlinks are never followed, and the
// temporary files of a killed export are cleared by the next one.
#include "export_helpers.h"

#include "mxf/SafeOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vorn::mxf;
using vorn::test::ExportTest;
using vorn::test::listing;

namespace {

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
        second.extras = [&](CExportMxf& e) { e.CopyIcon((out / "icon.bmp").string()).ignore(); };
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
            useFreeBytes(e);
            e.SetClipName("0001AB");
            e.SetFormatCode(9);
            e.SetFrameCount(3);
            e.SetRateNumerator(25);
            e.SetFrameSize(dvBytes(9));
            ASSERT_TRUE(e.Open(2, true).ok());
            ASSERT_TRUE(e.BeginClip(3, 1, 25, true, 2).ok());
            std::vector<uint8_t> frame(dvBytes(9), 0x11);
            EXPECT_TRUE(e.WriteVideo(frame.data(), frame.size()).ok());
            EXPECT_TRUE(e.WriteAudio(frame.data(), 1000, 1).ok());
            vorn::test::writeText(out / "x.wav", "voice");
            EXPECT_TRUE(e.CopyVoice((out / "x.wav").string(), "WAV").ok());
            fs::remove(out / "x.wav");
            EXPECT_NE(listing(out), before);
            if (!c.discardByDestructor) {
                e.Discard();
                EXPECT_EQ(listing(out), before);
                EXPECT_FALSE(e.Close().ok());   // nothing left to close
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
            const vorn::Status status = e.CopyVoice(source.string(), "WAV");
            copied = status.ok() ? 1 : 0;
            error = status.text();
            EXPECT_EQ(error, e.lastError());
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
    useFreeBytes(e);
    e.SetClipName("0001AB");
    e.SetFormatCode(9);
    e.SetFrameCount(1);
    e.SetRateNumerator(25);
    e.SetFrameSize(dvBytes(9));
    ASSERT_TRUE(e.Open(1, true).ok());
    ASSERT_TRUE(e.BeginClip(1, 1, 25, true, 1).ok());
    std::vector<uint8_t> frame(dvBytes(9), 0x11);
    EXPECT_TRUE(e.WriteVideo(frame.data(), frame.size()).ok());
    fs::rename(out, moved);   // the destination is renamed while the clip is written
    EXPECT_FALSE(e.Close().ok());
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

namespace {

// The clip names of the files in a listing (the part before the extension,
// without an AUDIO file's channel digits), with the number of files of each.
std::map<std::string, int> clipsIn(const std::map<std::string, std::string>& entries)
{
    std::map<std::string, int> out;
    for (const auto& [path, entry] : entries) {
        if (entry == "dir" || path.find("/CONTENTS/") == std::string::npos) continue;
        const fs::path p(path);
        std::string stem = p.stem().string();
        if (p.parent_path().filename() == "AUDIO") stem.resize(stem.size() - 2);
        ++out[stem];
    }
    return out;
}

bool anyTemporary(const std::map<std::string, std::string>& entries)
{
    for (const auto& [path, entry] : entries)
        if (fs::path(path).filename().string().rfind(".vorn-", 0) == 0) return true;
    return false;
}

} // namespace

TEST_F(ExportTest, KilledCommitIsTakenBackByTheNextExport)
{
    // Clip 0002AB (two audio channels and an icon) is given its final names in
    // the steps XML (0), audio (1, 2), icon (3), video (4), then LASTCLIP.TXT
    // (5); its process is killed before the step. Then 0002AB and 0003AB are
    // exported again, as a rerun of the same clips does.
    struct Case { int step; bool clipStays; };
    const Case cases[] = {{0, false}, {1, false}, {2, false}, {4, false}, {5, true}};
    const fs::path icon = vorn::test::scratchDir("killed_commit_icon") / "icon.bmp";
    vorn::test::writeText(icon, "BM-icon");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        const fs::path out = vorn::test::scratchDir("killed_commit");
        ClipRequest first;
        ASSERT_EQ(exportClip(out, first).closed, 1);
        const auto before = listing(out);

        ClipRequest second;
        second.name = "0002AB";
        second.extras = [&](CExportMxf& e) { e.CopyIcon(icon.string()).ignore(); };
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            second.prepare = [&](CExportMxf& e) {
                e.SetCommitHook([&](int step, const fs::path&) {
                    if (step == c.step) ::kill(::getpid(), SIGKILL);
                });
            };
            exportClip(out, second);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

        auto again = exportClip(out, second);
        ClipRequest third;
        third.name = "0003AB";
        auto later = exportClip(out, third);
        ASSERT_EQ(again.closed, 1);
        ASSERT_EQ(later.closed, 1);
        EXPECT_EQ(again.exporter->outputName(), c.clipStays ? "0003AB" : "0002AB");
        EXPECT_EQ(later.exporter->outputName(), c.clipStays ? "0004AB" : "0003AB");

        const auto after = listing(out);
        for (const auto& [path, entry] : before) {
            if (path == "Card1/LASTCLIP.TXT") continue;
            EXPECT_EQ(after.count(path) ? after.at(path) : "missing", entry) << path;
        }
        EXPECT_FALSE(anyTemporary(after));
        std::map<std::string, int> expect{{"0001AB", 4}, {"0002AB", 5}, {"0003AB", 4}};
        if (c.clipStays) expect = {{"0001AB", 4}, {"0002AB", 5}, {"0003AB", 5}, {"0004AB", 4}};
        EXPECT_EQ(clipsIn(after), expect);
    }
}

TEST_F(ExportTest, NameTakenAtCommitTakesTheNextName)
{
    // Another writer puts a file at one of the clip's final names just before
    // it is moved there: the clip is written whole under the next free name,
    // the name inside its files and XML too, and the other file is left alone.
    struct Case { int step; const char* taken; };
    const Case cases[] = {{0, "CLIP/0002AB.XML"}, {2, "AUDIO/0002AB01.MXF"}, {3, "VIDEO/0002AB.MXF"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.taken);
        const fs::path out = vorn::test::scratchDir("taken_at_commit");
        const fs::path contents = out / "Card1" / "CONTENTS";
        bool done = false;
        ClipRequest request;
        request.name = "0002AB";
        request.prepare = [&](CExportMxf& e) {
            e.SetCommitHook([&](int step, const fs::path& finalPath) {
                if (done || step != c.step) return;
                done = true;
                EXPECT_EQ(finalPath, contents / c.taken);
                vorn::test::writeText(finalPath, "another writer's");
            });
        };
        auto r = exportClip(out, request);
        ASSERT_EQ(r.closed, 1);
        EXPECT_TRUE(done);
        EXPECT_EQ(r.exporter->outputName(), "0003AB");
        EXPECT_EQ(r.exporter->renameNotice(), "Clip 0002AB exists in the destination; written as 0003AB");
        EXPECT_EQ(vorn::test::readText(contents / c.taken), "another writer's");
        const auto after = listing(out);
        EXPECT_FALSE(anyTemporary(after));
        EXPECT_EQ(clipsIn(after), (std::map<std::string, int>{{"0002AB", 1}, {"0003AB", 4}}));
        EXPECT_NE(vorn::test::readText(contents / "CLIP" / "0003AB.XML").find("<ClipName>0003AB</ClipName>"),
                  std::string::npos);
        EXPECT_EQ(vorn::test::readText(out / "Card1" / "LASTCLIP.TXT"), "0003AB\n1.0\n2\n");
        // The MXF files name the clip in their header.
        const auto field = MxfEssenceWriter::ClipNameField("0003AB");
        for (const char* file : {"VIDEO/0003AB.MXF", "AUDIO/0003AB00.MXF", "AUDIO/0003AB01.MXF"}) {
            const auto bytes = vorn::test::readBytes(contents / file);
            const auto found = std::search(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 32768),
                                           field.begin(), field.end());
            EXPECT_NE(found, bytes.begin() + std::min<size_t>(bytes.size(), 32768)) << file;
            const auto old = MxfEssenceWriter::ClipNameField("0002AB");
            EXPECT_EQ(std::search(bytes.begin(), bytes.end(), old.begin(), old.end()), bytes.end()) << file;
        }
    }
}

TEST_F(ExportTest, LongClipNamesAndTheirTemporaries)
{
    // A 240-character name: its audio files' names are 246 bytes, their
    // temporary names would pass the 255-byte limit unless shortened.
    const fs::path out = vorn::test::scratchDir("long_name");
    ClipRequest request;
    request.name = std::string(240, 'L');
    auto r = exportClip(out, request);
    ASSERT_EQ(r.closed, 1);
    EXPECT_EQ(r.exporter->outputName(), request.name);
    EXPECT_TRUE(fs::is_regular_file(r.exporter->audioPath(1)));
    EXPECT_FALSE(anyTemporary(listing(out)));

    const fs::path dir = out / "Card1" / "CONTENTS" / "AUDIO";
    std::string accented(200, 'a');
    for (int i = 0; i < 20; ++i) accented += "\xC3\xA9";   // two bytes each
    for (const std::string& name : {std::string(240, 'L') + "00.MXF", std::string(255, 'x'), accented + ".MXF"}) {
        auto parsed = [&](const std::string& finalName) {
            const std::string temp = TemporaryPathFor(dir / finalName).filename().string();
            EXPECT_LE(temp.size(), kMaxFileNameBytes) << temp;
            long pid = 0;
            std::string held;
            EXPECT_TRUE(ParseTemporaryName(temp, pid, held)) << temp;
            EXPECT_EQ(pid, long(::getpid()));
            return held;
        };
        const std::string held = parsed(name);
        EXPECT_EQ(held.find("\xC3~"), std::string::npos);   // not cut inside a character
        // Long names with the same start keep apart.
        EXPECT_NE(parsed(name + "1"), parsed(name + "2"));
    }
    // A stale temporary of the longest form is still swept.
    const std::string stale = ".vorn-99999999-1-" + std::string(255 - 17 - 4, 'L') + ".tmp";
    ASSERT_EQ(stale.size(), 255u);
    vorn::test::writeText(dir / stale, "half");
    EXPECT_EQ(RemoveStaleTemporaries(dir), 1);
    EXPECT_FALSE(fs::exists(dir / stale));
}

TEST(ExportSourceCard, SourceCardConflict)
{
    const fs::path root = vorn::test::scratchDir("source_card");
    const fs::path card = root / "CARD";
    fs::create_directories(card / "CONTENTS" / "VIDEO");
    fs::create_directories(root / "out" / "Card1" / "CONTENTS" / "VIDEO");
    fs::create_directories(root / "loose");
    fs::create_symlink(card / "CONTENTS", root / "link");
    const fs::path clip = card / "CONTENTS" / "VIDEO" / "0001AB.MXF";
    struct Case { fs::path source, dest; fs::path conflict; };
    const Case cases[] = {
        {clip, card, card},                                   // the card itself
        {clip, card / "CONTENTS", card},
        {clip, card / "CONTENTS" / "new" / "out", card},      // below it, not made yet
        {clip, root / "link" / "out", card},                  // through a symlink
        {clip, root, {}},                                     // beside it: Card1 is not CARD
        {clip, root / "out", {}},
        {root / "out" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF", root / "out", root / "out" / "Card1"},
        {root / "out" / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF", root / "out" / ".", root / "out" / "Card1"},
        {root / "out" / "Card12" / "VIDEO" / "0001AB.MXF", root / "out", root / "out" / "Card12"},
        {root / "out" / "Card1" / "clip.MXF", root / "out", root / "out" / "Card1"},
        {root / "out" / "Cardigan" / "VIDEO" / "0001AB.MXF", root / "out", {}},
        {root / "loose" / "clip.MXF", root / "loose" / "out", {}},   // not a card: only its own folder counts
        {root / "loose" / "clip.MXF", root / "loose", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source.string() + " -> " + c.dest.string());
        const fs::path got = SourceCardConflict(c.source, c.dest);
        EXPECT_EQ(got, c.conflict.empty() ? fs::path() : fs::weakly_canonical(c.conflict));
    }
}

TEST_F(ExportTest, DestinationOverlappingTheSourceCardIsRefused)
{
    const fs::path out = vorn::test::scratchDir("into_source");
    ClipRequest earlier;
    ASSERT_EQ(exportClip(out, earlier).closed, 1);
    const auto before = listing(out);
    struct Case { fs::path source, dest; };
    const Case cases[] = {
        {out / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF", out},                 // the card inside the destination
        {out / "Card1" / "CONTENTS" / "VIDEO" / "0001AB.MXF", out / "Card1" / "x"},   // the destination inside the card
    };
    for (const Case& c : cases) {
        messages.clear();
        CExportMxf e(c.source.string(), c.dest.string());
        useFreeBytes(e);
        e.SetClipName("0001AB");
        e.SetFormatCode(9);
        e.SetFrameCount(3);
        EXPECT_FALSE(e.Open(2, true).ok());
        collect(e);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find("overlaps the source card " + fs::weakly_canonical(out / "Card1").string()),
                  std::string::npos)
            << messages[0];
        EXPECT_EQ(listing(out), before);
    }
}

TEST(CommitJournal, OnlyTheFilesOfAnUnfinishedCommitAreTakenBack)
{
    // Journals as a killed process leaves them (its number no longer runs),
    // some damaged or hostile: only files the journal names, below its
    // folder and still the very files it recorded, are removed.
    auto hex = [](const std::string& text) {
        std::string out;
        for (unsigned char c : text) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
        return out;
    };
    auto line = [&](const fs::path& file, const std::string& rel) {
        const FileIdentity id = IdentityOf(file);
        return std::to_string(id.device) + " " + std::to_string(id.file) + " " + hex(rel) + "\n";
    };
    struct Case {
        const char* label;
        std::function<std::string(const fs::path& card)> journal;
        std::vector<std::string> gone;   // files removed, relative to the card
    };
    const std::string heading = "vorn commit journal 1\n";
    const Case cases[] = {
        {"video not moved: the others go",
         [&](const fs::path& card) {
             return heading + line(card / "CLIP/A.XML", "CLIP/A.XML") + line(card / "AUDIO/A00.MXF", "AUDIO/A00.MXF") +
                    "1 2 " + hex("VIDEO/A.MXF") + "\n";
         },
         {"CLIP/A.XML", "AUDIO/A00.MXF"}},
        {"video moved: the clip stays",
         [&](const fs::path& card) {
             return heading + line(card / "CLIP/A.XML", "CLIP/A.XML") + line(card / "VIDEO/B.MXF", "VIDEO/B.MXF");
         },
         {}},
        {"another file at a listed name stays",
         [&](const fs::path& card) {
             return heading + line(card / "AUDIO/A00.MXF", "CLIP/A.XML") + "1 2 " + hex("VIDEO/A.MXF") + "\n";
         },
         {}},
        {"a path out of the card is not followed",
         [&](const fs::path& card) {
             return heading + line(card.parent_path() / "outside", "../outside") + "1 2 " + hex("VIDEO/A.MXF") + "\n";
         },
         {}},
        {"a damaged line ends the journal's use",
         [&](const fs::path& card) {
             return heading + line(card / "CLIP/A.XML", "CLIP/A.XML") + "1 2 zz\n";
         },
         {}},
        {"no heading", [&](const fs::path& card) { return line(card / "CLIP/A.XML", "CLIP/A.XML"); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path root = vorn::test::scratchDir("journal");
        const fs::path card = root / "Card1";
        for (const char* f : {"CLIP/A.XML", "AUDIO/A00.MXF", "VIDEO/B.MXF"}) vorn::test::writeText(card / f, f);
        vorn::test::writeText(root / "outside", "precious");
        const std::string name = ".vorn-99999999-3-A.commit";
        vorn::test::writeText(card / name, c.journal(card));
        const auto before = listing(root);
        RemoveStaleTemporaries(card);
        auto expect = before;
        expect.erase("Card1/" + name);
        for (const auto& g : c.gone) expect.erase("Card1/" + g);
        EXPECT_EQ(listing(root), expect);
    }
}
