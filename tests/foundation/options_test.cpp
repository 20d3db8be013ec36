#include "foundation/Log.h"
#include "foundation/Options.h"
#include "support/TestSupport.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>

namespace {

using vorn::test::readText;
using vorn::test::scratchDir;
using vorn::test::writeText;

const char* const kDefaultFile =
    "AddPulldown = 0\n"
    "RemovePulldown = 0\n"
    "Rotation = 0\n"
    "ShowFrames = 0\n"
    "DesiredFrameRate = 23.976\n"
    "DesiredFrameSize = no conversion\n"
    "FrameScale = Half size\n"
    "CardSize = 16\n"
    "DestinationFolder = /srv/videos/Quintell Vorn\n"
    "ReduceNoise = 0\n"
    "Add32 = 0\n"
    "AddAdvanced = 0\n"
    "Remove32 = 0\n"
    "RemoveAdvanced = 0\n"
    "ShowUpdates = 1\n"
    "BreadCrumbs = 0\n";

struct LogToScratch {
    std::filesystem::path path;
    vorn::LogFile file;
    vorn::LogScope scope{file};
    explicit LogToScratch(const std::filesystem::path& dir) : path(dir / "QelLog.txt"), file(path.string()) {}
    std::string text() const { return readText(path); }
};

// Sets an environment variable for the life of the object (unset when value is null).
struct ScopedEnv {
    std::string name;
    std::optional<std::string> old;
    ScopedEnv(const char* n, const char* value) : name(n)
    {
        if (const char* v = std::getenv(n)) old = v;
        if (value) setenv(n, value, 1); else unsetenv(n);
    }
    ~ScopedEnv() { if (old) setenv(name.c_str(), old->c_str(), 1); else unsetenv(name.c_str()); }
};

TEST(Options, FreshFileHasEveryKeyWithItsDefaultInOrder)
{
    auto dir = scratchDir("fresh");
    ScopedEnv videos("XDG_VIDEOS_DIR", "/srv/videos");
    COptions options;
    ASSERT_TRUE(options.save((dir / "options.txt").c_str()));
    EXPECT_EQ(readText(dir / "options.txt"), kDefaultFile);
    EXPECT_EQ(options.path().str(), (dir / "options.txt").string());
}

TEST(Options, DestinationDefaultsToTheUsersVideosFolder)
{
    struct Case { const char* xdg; const char* home; const char* expected; };
    const Case cases[] = {
        {"/data/clips", "/home/ed", "/data/clips/Quintell Vorn"},
        {nullptr, "/home/ed", "/home/ed/Videos/Quintell Vorn"},
        {"", "/home/ed", "/home/ed/Videos/Quintell Vorn"},
    };
    for (const Case& c : cases) {
        ScopedEnv videos("XDG_VIDEOS_DIR", c.xdg);
        ScopedEnv home("HOME", c.home);
        COptions options;
        EXPECT_EQ(options.getString(OptionKey::DestinationFolder).str(), c.expected);
    }
}

TEST(Options, FileLinesFollowTheReadingRules)
{
    struct Case {
        const char* line;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"DesiredFrameRate=25", "DesiredFrameRate", "25"},
        {"   DesiredFrameRate   =   25   ", "DesiredFrameRate", "25"},
        {"\t\v\fDesiredFrameRate\t= 25", "DesiredFrameRate", "25"},
        {"DestinationFolder = /media/two words", "DestinationFolder", "/media/two words"},
        {"DestinationFolder == = a=b c ", "DestinationFolder", "a=b c"},
        {"FrameScale = Full scale\r", "FrameScale", "Full scale"},
        {"CardSize =", "CardSize", ""},
        {"CardSize", "CardSize", ""},
        {"Cardsize = 8", "CardSize", "16"},         // keys are case-sensitive
        {"= DesiredFrameRate = 25", "DesiredFrameRate", "23.976"}, // empty key
        {"", "DesiredFrameRate", "23.976"},
    };
    auto dir = scratchDir("rules");
    LogToScratch logFile(dir);
    for (const auto& c : cases) {
        COptions options;
        writeText(dir / "o.txt", std::string(c.line) + "\n");
        ASSERT_TRUE(options.load((dir / "o.txt").string()));
        EXPECT_EQ(options.getString(c.key).str(), c.value) << "line: " << c.line;
    }
}

TEST(Options, UnregisteredKeyIsDroppedWithOneErrorEntry)
{
    auto dir = scratchDir("unregistered");
    LogToScratch logFile(dir);
    writeText(dir / "o.txt", "NoSuchKey = 5\nRotation = 1\n");
    COptions options;
    ASSERT_TRUE(options.load((dir / "o.txt").string()));
    EXPECT_FALSE(options.has("NoSuchKey"));
    EXPECT_EQ(options.entries().count(), 16);
    EXPECT_TRUE(options.getBool(OptionKey::Rotation));

    std::string log = logFile.text();
    EXPECT_EQ(log.substr(0, 13), "ERROR      : ");
    EXPECT_NE(log.find(" : Preferences::update" + std::string(40 - 19, ' ') + " : \n"), std::string::npos);
    EXPECT_EQ(log.find('\n'), log.size() - 1) << log; // exactly one entry
}

TEST(Options, LinesLongerThan255CharactersAreReadWhole)
{
    auto dir = scratchDir("long");
    std::string folder = "/" + std::string(400, 'd') + "/card";
    writeText(dir / "o.txt", "DestinationFolder = " + folder + "\nCardSize = 8\n");
    COptions options;
    ASSERT_TRUE(options.load((dir / "o.txt").string()));
    EXPECT_EQ(options.getString(OptionKey::DestinationFolder).str(), folder);
    EXPECT_EQ(options.getCardSize(), 8);
}

TEST(Options, MissingFileLeavesEveryValueAndRemembersThePath)
{
    auto dir = scratchDir("missing");
    COptions options;
    options.setString(OptionKey::CardSize, "32 GB");
    EXPECT_FALSE(options.load(dir.string())); // a folder is no options file
    EXPECT_FALSE(options.load((dir / "none.txt").string()));
    EXPECT_EQ(options.getString(OptionKey::CardSize).str(), "32 GB");
    EXPECT_EQ(options.path().str(), (dir / "none.txt").string());
    ASSERT_TRUE(options.save());
    EXPECT_TRUE(std::filesystem::exists(dir / "none.txt"));
}

TEST(Options, SaveWritesRegistrationOrderWhateverTheLoadedOrder)
{
    auto dir = scratchDir("order");
    writeText(dir / "o.txt", "BreadCrumbs = 1\nShowUpdates = 0\nAddPulldown = 1\nCardSize = 0\n");
    ScopedEnv videos("XDG_VIDEOS_DIR", "/srv/videos");
    COptions options;
    ASSERT_TRUE(options.load((dir / "o.txt").string()));
    ASSERT_TRUE(options.save((dir / "sub" / "deeper" / "saved.txt").c_str())); // folders are created
    std::string expected = kDefaultFile;
    auto replace = [&](const std::string& from, const std::string& to) {
        expected.replace(expected.find(from), from.size(), to);
    };
    replace("AddPulldown = 0", "AddPulldown = 1");
    replace("CardSize = 16", "CardSize = 0");
    replace("ShowUpdates = 1", "ShowUpdates = 0");
    replace("BreadCrumbs = 0", "BreadCrumbs = 1");
    EXPECT_EQ(readText(dir / "sub" / "deeper" / "saved.txt"), expected);
}

TEST(Options, SaveWithoutAPathDoesNothing)
{
    COptions options;
    EXPECT_FALSE(options.save());
    EXPECT_EQ(options.takeSaveFailureNotice(), "");
}

TEST(Options, UnwritableFileIsReportedOncePerStore)
{
    // A folder that is really a file cannot hold the options file, even for root.
    auto dir = scratchDir("unwritable");
    auto blocked = dir / "blocked";
    writeText(blocked, "a file, not a folder");
    const std::string notice =
        "Unable to save options file. Check permissions of folder:\n" + blocked.string() + "/";

    COptions options;
    EXPECT_FALSE(options.save((blocked / "options.txt").c_str()));
    EXPECT_FALSE(options.save((blocked / "options.txt").c_str()));
    EXPECT_EQ(options.takeSaveFailureNotice(), notice);
    EXPECT_FALSE(options.save((blocked / "options.txt").c_str()));
    EXPECT_EQ(options.takeSaveFailureNotice(), "") << "told once per store";

    // Another store in the same process has its own notice.
    COptions other;
    EXPECT_TRUE(other.save((dir / "fine.txt").c_str()));
    EXPECT_EQ(other.takeSaveFailureNotice(), "");
    EXPECT_FALSE(other.save((blocked / "other.txt").c_str()));
    EXPECT_EQ(other.takeSaveFailureNotice(),
              "Unable to save other file. Check permissions of folder:\n" + blocked.string() + "/");

    EXPECT_EQ(readText(blocked), "a file, not a folder");
    EXPECT_EQ(options.getString(OptionKey::CardSize).str(), "16");
}

TEST(Options, TypedGettersConvertOnEveryCall)
{
    COptions options;
    struct BoolCase {
        const char* value;
        bool expected;
    };
    for (const auto& c : {BoolCase{"2", true}, BoolCase{"0", false}, BoolCase{"1", true}, BoolCase{"", true},
                          BoolCase{"yes", true}, BoolCase{"00", true}, BoolCase{" 0", true}}) {
        options.setString(OptionKey::Rotation, c.value);
        EXPECT_EQ(options.getBool(OptionKey::Rotation), c.expected) << "'" << c.value << "'";
    }
    EXPECT_FALSE(options.getBool("Missing"));
    options.setBool(OptionKey::Rotation, true);
    EXPECT_EQ(options.getString(OptionKey::Rotation).str(), "1");
    options.setBool(OptionKey::Rotation, false);
    EXPECT_EQ(options.getString(OptionKey::Rotation).str(), "0");

    struct FloatCase {
        const char* value;
        float expected;
    };
    for (const auto& c : {FloatCase{"0", 23.976f}, FloatCase{"29.97", 29.97f}, FloatCase{"25fps", 25.0f},
                          FloatCase{"", 23.976f}, FloatCase{"abc", 23.976f}, FloatCase{"nan", 23.976f},
                          FloatCase{"1e999", 23.976f}, FloatCase{"-0.0", 23.976f}}) {
        options.setString(OptionKey::DesiredFrameRate, c.value);
        EXPECT_FLOAT_EQ(options.getFloat(OptionKey::DesiredFrameRate, 23.976f), c.expected) << c.value;
    }
    EXPECT_EQ(options.getFloat("Missing", 23.976f), 0.0f);

    struct IntCase {
        const char* value;
        uint64_t asUInt64;
        int asCardSize;
    };
    for (const auto& c : {IntCase{"16", 16, 16}, IntCase{"16 GB", 16, 16}, IntCase{"0", 0, 0},
                          IntCase{"", 0, 0}, IntCase{"GB", 0, 0}, IntCase{"  64", 64, 64}, IntCase{"-4", 0, 0},
                          IntCase{"18446744073709551615", std::numeric_limits<uint64_t>::max(),
                                  std::numeric_limits<int>::max()},
                          IntCase{"99999999999999999999999", std::numeric_limits<uint64_t>::max(),
                                  std::numeric_limits<int>::max()}}) {
        options.setString(OptionKey::CardSize, c.value);
        EXPECT_EQ(options.getUInt64(OptionKey::CardSize), c.asUInt64) << c.value;
        EXPECT_EQ(options.getCardSize(), c.asCardSize) << c.value;
    }
    EXPECT_EQ(options.getUInt64("Missing"), 0u);
}

TEST(Options, SettersAndRegistrationIgnoreWhatTheyCannotApply)
{
    COptions options;
    options.setString("NewKey", "x");
    EXPECT_FALSE(options.has("NewKey"));
    EXPECT_TRUE(options.getString("NewKey").isEmpty());
    options.registerDefault(OptionKey::CardSize, "64"); // already registered: unchanged
    EXPECT_EQ(options.getString(OptionKey::CardSize).str(), "16");
    options.setShowUpdates(false);
    EXPECT_EQ(options.getString(OptionKey::ShowUpdates).str(), "0");
}

} // namespace
