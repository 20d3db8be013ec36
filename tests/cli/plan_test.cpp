// `vorn plan` end to end on small written cards, always with --options FILE
// in a scratch folder.
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;

P2Clip smallClip(int32_t format, int64_t frames, const std::string& name, int cam, int mode, bool wide)
{
    P2Clip c = p2Clip(format, frames, name);
    c.frameSize = 1000;
    c.wide = wide;
    setBinaryGroup(c, cam, mode);
    return c;
}

struct Cards {
    fs::path dir;
    fs::path options;
    std::string clip1;   // 720p59.94 DVCPRO HD shot at 24 fps, in CARD1
    std::string clip2;   // 4:3 PAL DV shot at 25 fps interlaced, in CARD2
    std::string audio2;  // the first audio file of clip 2
};

Cards writeCards(const std::string& name)
{
    Cards c;
    c.dir = scratchDir(name);
    c.clip1 = writeP2Card(c.dir / "CARD1", {smallClip(2, 1000, "0001AB", 24, 8, true)}).at(0).video.string();
    const auto files2 = writeP2Card(c.dir / "CARD2", {smallClip(9, 10, "0002AB", 25, 8, false)}).at(0);
    c.clip2 = files2.video.string();
    c.audio2 = files2.audio.at(0).string();
    c.options = c.dir / "options.txt";
    writeText(c.options, "RemovePulldown = 0\nDesiredFrameRate = 25\n");
    return c;
}

std::string withOptions(const Cards& c, const std::string& rest)
{
    return "--options " + shellQuote(c.options.string()) + " " + rest;
}

TEST(PlanCommand, PrintsEachClipWithSettingsOfThisRunOnly)
{
    const Cards c = writeCards("plan_cli_ok");
    const std::string before = readText(c.options);
    const CommandResult r = runVorn(withOptions(
        c, std::string("plan --set RemovePulldown=1 --set DesiredFrameRate=23.976 --set ") + shellQuote("DesiredFrameSize=Convert all to 1920 x 1080 DVCPROHD") + " " +
               shellQuote((c.dir / "CARD1").string()) + " " + shellQuote(c.clip2)));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string expected =
        "\n" + c.clip1 + "\n"
        "\nCamera frame rate = 24 fps, shooting mode = 3:2 pulldown\n"
        "Vorn will remove 3:2 pulldown from 720/60P and output 720/24P\n"
        "Vorn will change the video format to 1080-line DVCPROHD\n"
        "\nSource:\t59.940 fps, 1000 frames, 1280W x 720H, aspect ratio = 16:9\n"
        "Dest:\t23.976 fps, 400 frames, 1920W x 1080H, aspect ratio = 16:9\n"
        "\n" + c.clip2 + "\n"
        "\nCamera frame rate = 25 fps, shooting mode = Progressive\n"
        "Vorn\twill convert 25p to 24p\n"
        "Vorn will change the video format to 1080-line DVCPROHD\n"
        "Vorn will crop 4:3 to 16:9 to fit the widescreen format\n"
        "\nSource:\t25.000 fps, 10 frames, 720W x 576H, aspect ratio = 4:3\n"
        "Dest:\t23.976 fps, 10 frames, 1920W x 1080H, aspect ratio = 16:9\n";
    EXPECT_EQ(r.out, expected);
    // The overrides are not saved, and nothing is written beside the clips.
    EXPECT_EQ(readText(c.options), before);
    size_t entries = 0;
    for (const auto& e : fs::recursive_directory_iterator(c.dir)) {
        (void)e;
        ++entries;
    }
    const Cards fresh = writeCards("plan_cli_ok_fresh");
    size_t freshEntries = 0;
    for (const auto& e : fs::recursive_directory_iterator(fresh.dir)) {
        (void)e;
        ++freshEntries;
    }
    EXPECT_EQ(entries, freshEntries);

    // Without the overrides the options file rules: no removal, so the 24p
    // to 25p change finds frames that still carry 3:2 pulldown and is skipped.
    const CommandResult plain = runVorn(withOptions(c, "plan " + shellQuote(c.clip1)));
    EXPECT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.out,
              "\n" + c.clip1 + "\n"
              "\nCamera frame rate = 24 fps, shooting mode = 3:2 pulldown\n"
              "Vorn will not convert 24p to 25p: the video already carries 3:2 pulldown\n"
              "\nSource:\t59.940 fps, 1000 frames, 1280W x 720H, aspect ratio = 16:9\n"
              "Dest:\t59.940 fps, 1000 frames, 1280W x 720H, aspect ratio = 16:9\n");
}

TEST(PlanCommand, FailedClipsAndMissingPathsGiveExitOneAndTheRestStillRuns)
{
    const Cards c = writeCards("plan_cli_fail");
    const std::string missing = (c.dir / "NOPE").string();
    const CommandResult r = runVorn(withOptions(
        c, "plan " + shellQuote(missing) + " " + shellQuote(c.audio2) + " " + shellQuote(c.clip1)));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "vorn: no such file or folder: " + missing + "\n");
    const std::string expected =
        "\n" + c.audio2 + "\n"
        "\nWarning: The file 0002AB00 was not recognized as a video MXF file\n"
        "\n" + c.clip1 + "\n"
        "\nCamera frame rate = 24 fps, shooting mode = 3:2 pulldown\n"
        "Vorn will not convert 24p to 25p: the video already carries 3:2 pulldown\n"
        "\nSource:\t59.940 fps, 1000 frames, 1280W x 720H, aspect ratio = 16:9\n"
        "Dest:\t59.940 fps, 1000 frames, 1280W x 720H, aspect ratio = 16:9\n";
    EXPECT_EQ(r.out, expected);
}

TEST(PlanCommand, UsageErrors)
{
    const Cards c = writeCards("plan_cli_usage");
    const struct {
        std::string args;
        std::string errPart;
    } rows[] = {
        {"plan --set NoSuchKey=1 " + shellQuote(c.clip1), "NoSuchKey"},
        {"plan --set RemovePulldown " + shellQuote(c.clip1), "RemovePulldown"},
        {"plan", "PATH"},
    };
    for (const auto& row : rows) {
        const CommandResult r = runVorn(withOptions(c, row.args));
        EXPECT_EQ(r.exitCode, 2) << row.args;
        EXPECT_EQ(r.out, "") << row.args;
        EXPECT_NE(r.err.find(row.errPart), std::string::npos) << row.args << ": " << r.err;
    }
}

} // namespace
