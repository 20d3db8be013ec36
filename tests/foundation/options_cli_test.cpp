// `vorn options` end to end, always with --options FILE in a scratch folder.
#include "support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

using vorn::test::readText;
using vorn::test::runVorn;
using vorn::test::scratchDir;
using vorn::test::shellQuote;
using vorn::test::writeText;

std::string withFile(const std::filesystem::path& file, const std::string& rest)
{
    return "--options " + shellQuote(file.string()) + " " + rest;
}

TEST(OptionsCommand, ListsEveryKeyInFileOrder)
{
    auto file = scratchDir("list") / "options.txt";
    writeText(file, "CardSize = 32 GB\nDestinationFolder = /media/two words\n");
    auto r = runVorn(withFile(file, "options"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 16), "AddPulldown = 0\n");
    EXPECT_NE(r.out.find("\nCardSize = 32 GB\nDestinationFolder = /media/two words\nReduceNoise = 0\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 32), "ShowUpdates = 1\nBreadCrumbs = 0\n");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 16);
    EXPECT_EQ(readText(file), "CardSize = 32 GB\nDestinationFolder = /media/two words\n"); // not rewritten
}

TEST(OptionsCommand, ShowsAndSetsValuesAndSavesThem)
{
    auto file = scratchDir("set") / "new" / "Data" / "options.txt";
    auto r = runVorn(withFile(file, "options DesiredFrameRate=25 'DestinationFolder=/out/my cards' DesiredFrameRate"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "25\n");
    std::string saved = readText(file);
    EXPECT_NE(saved.find("\nDesiredFrameRate = 25\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\nDestinationFolder = /out/my cards\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.substr(0, 16), "AddPulldown = 0\n");

    r = runVorn(withFile(file, "options DestinationFolder CardSize"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "/out/my cards\n16\n");
}

TEST(OptionsCommand, SetOverridesThisRunWithoutSavingIt)
{
    auto file = scratchDir("override") / "options.txt";
    writeText(file, "CardSize = 8 GB\n");
    auto r = runVorn(withFile(file, "--set CardSize=64 --set Rotation=1 options CardSize Rotation ReduceNoise=1"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "64\n1\n");
    std::string saved = readText(file);
    EXPECT_NE(saved.find("\nCardSize = 8 GB\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\nRotation = 0\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\nReduceNoise = 1\n"), std::string::npos) << saved;
}

TEST(OptionsCommand, UsageErrorsNameTheKeyAndChangeNothing)
{
    auto dir = scratchDir("errors");
    auto file = dir / "options.txt";
    writeText(file, "CardSize = 8\n");
    struct Case {
        std::string args;
        std::string message;
    };
    const Case cases[] = {
        {"options NoSuchKey", "unknown option key: NoSuchKey"},
        {"options CardSize=4 Bogus=1", "unknown option key: Bogus"},
        {"options =5", "malformed setting '=5'"},
        {"--set cardsize=4 options", "unknown option key: cardsize"},
        {"--set CardSize options", "malformed setting 'CardSize'"},
        {"options 'DestinationFolder=/a\nCardSize = 1'", "the value of option DestinationFolder cannot contain a line break"},
    };
    for (const auto& c : cases) {
        auto r = runVorn(withFile(file, c.args));
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(readText(file), "CardSize = 8\n") << c.args;
    }
}

TEST(OptionsCommand, UnwritableFileFailsWithTheMessage)
{
    auto dir = scratchDir("unwritable");
    writeText(dir / "blocked", "x");
    auto r = runVorn(withFile(dir / "blocked" / "options.txt", "options CardSize=4"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Unable to save options file. Check permissions of folder:"), std::string::npos) << r.err;
}

} // namespace

namespace {

TEST(OptionsCommand, WithoutOptionsFileUsesTheDataFolder)
{
    auto data = scratchDir("datadir") / "deep" / "Data";
    std::string env = "VORN_DATA_DIR=" + shellQuote(data.string()) + " ";
    auto r = vorn::test::runCommand(env + shellQuote(vorn::test::vornPath()) + " options ShowUpdates=0");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(readText(data / "options.txt").find("\nShowUpdates = 0\n"), std::string::npos);
    r = vorn::test::runCommand(env + shellQuote(vorn::test::vornPath()) + " options ShowUpdates");
    EXPECT_EQ(r.out, "0\n");
}

} // namespace
