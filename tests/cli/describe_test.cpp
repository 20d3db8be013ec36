// `vorn describe PATH...`: successive drops on the log pane, the pane's log printed at the end.
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <sys/stat.h>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

P2Clip clipOf(int32_t code, int64_t frames, const std::string& name, int cam, int mode)
{
    P2Clip clip = p2Clip(code, frames, name);
    clip.frameSize = 1000;
    clip.audioChannels = 1;
    setBinaryGroup(clip, cam, mode);
    return clip;
}

TEST(DescribeCommand, CardAndFilesAsSuccessiveDrops)
{
    const auto dir = scratchDir("card");
    const auto card = dir / "CARD";
    writeP2Card(card, {clipOf(2, 3600, "0001AB", 24, 8), clipOf(38, 60, "0002CD", 30, 0)});
    const auto extra = writeP2Clip(dir / "MORE", clipOf(6, 250, "0003EF", 25, 8));

    const auto r = runVorn("describe " + shellQuote(card.string()) + " " + shellQuote(extra.video.string()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Adding files from " + (dir / "MORE" / "VIDEO").string() + "/\n"
                     "0001AB,\tHD 720p60      \t1 min 0 sec,\t shot 24 fps, w/ 3:2 pulldown\n"
                     "0002CD,\tAVCI 100 1080i60\t0 min 2 sec,\t shot 30 fps, Interlaced\n"
                     "0003EF,\tDV PAL         \t0 min 10 sec,\t shot 25 fps, Progressive\n"
                     "\nClick Start to export files\n");

    const auto one = runVorn("describe " + shellQuote((card / "CONTENTS").string()));
    EXPECT_EQ(one.exitCode, 0);
    EXPECT_EQ(one.out.rfind("Adding Folder " + (card / "CONTENTS").string() + "\n0001AB,\t", 0), 0u) << one.out;
}

TEST(DescribeCommand, MissingPathIsAnErrorAndTheOthersStillRun)
{
    const auto dir = scratchDir("missing");
    const auto files = writeP2Clip(dir, clipOf(9, 25, "0001AB", 25, 0));
    const std::string missing = (dir / "NOPE").string();

    const auto r = runVorn("describe " + shellQuote(missing) + " " + shellQuote(files.video.string()));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "vorn: no such file or folder: " + missing + "\n");
    EXPECT_EQ(r.out, "Adding file from " + (dir / "VIDEO").string() + "/\n"
                     "0001AB,\tDV25 PAL       \t0 min 1 sec,\t shot 25 fps, Interlaced\n"
                     "\nClick Start to export files\n");

    // Only missing paths: the empty log, exit 1.
    const auto none = runVorn("describe " + shellQuote(missing));
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");

    // No path at all is a usage error.
    EXPECT_EQ(runVorn("describe").exitCode, 2);
}

TEST(DescribeCommand, FolderWithoutClipsAndAFileThatIsNoClip)
{
    const auto dir = scratchDir("noclip");
    writeText(dir / "JUNK.MXF", "junk");
    const auto r = runVorn("describe " + shellQuote((dir / "JUNK.MXF").string()));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Adding file from " + dir.string() + "/\nJUNK\nClick Start to export files\n");

    fs::create_directories(dir / "EMPTY");
    const auto e = runVorn("describe " + shellQuote((dir / "EMPTY").string()));
    EXPECT_EQ(e.exitCode, 0);
    EXPECT_EQ(e.out, "Adding Folder " + (dir / "EMPTY").string() + "\n");
}

} // namespace

TEST(DescribeCommand, OnlyRegularFilesAreClips)
{
    // A FIFO named like a clip would block a reader forever; a symlink to a clip is a clip.
    const auto dir = scratchDir("fifo");
    const auto files = writeP2Clip(dir, clipOf(9, 25, "0001AB", 25, 0));
    const auto video = dir / "VIDEO";
    ASSERT_EQ(::mkfifo((video / "0000XX.MXF").c_str(), 0600), 0);
    fs::create_symlink(files.video, video / "0002AB.MXF");

    for (const fs::path& target : {fs::path(dir), video / "0000XX.MXF"}) {
        SCOPED_TRACE(target.string());
        const auto r = runCommand("timeout 60 " + shellQuote(vornPath()) + " describe " + shellQuote(target.string()));
        EXPECT_NE(r.exitCode, 124) << "describe blocked";
        EXPECT_EQ(r.out.find("0000XX"), std::string::npos) << r.out;
        if (target == dir) {
            EXPECT_NE(r.out.find("0001AB,\tDV25 PAL"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("0002AB,\tDV25 PAL"), std::string::npos) << r.out;
        }
    }
}
