#include "foundation/Log.h"
#include "support/TestSupport.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace {

using vorn::test::readText;
using vorn::test::scratchDir;

// A log at `path`, installed for the life of the object.
struct InstalledLog {
    vorn::LogFile file;
    vorn::LogScope scope{file};
    explicit InstalledLog(const std::filesystem::path& path) : file(path.string()) {}
};

TEST(Log, EntryLayoutPadsColumnsAndKeepsLongLocations)
{
    std::string line = vorn::formatLogLine(LOG_ERROR, "Preferences::update", "");
    // name (10) : timestamp (23) : location (40) : message
    ASSERT_GE(line.size(), 10u + 3 + 23 + 3 + 40 + 3 + 1);
    EXPECT_EQ(line.substr(0, 13), "ERROR      : ");
    EXPECT_EQ(line[17], '-');
    EXPECT_EQ(line.substr(36, 3), " : ");
    EXPECT_EQ(line.substr(39, 40), std::string("Preferences::update") + std::string(21, ' '));
    EXPECT_EQ(line.substr(79), " : \n");

    std::string fifty(50, 'L');
    std::string longLine = vorn::formatLogLine(LOG_INFO, fifty.c_str(), "msg");
    EXPECT_NE(longLine.find(fifty + " : msg\n"), std::string::npos);

    std::string noLocation = vorn::formatLogLine(LOG_WARNING, nullptr, "m");
    EXPECT_EQ(noLocation.size(), 10u + 3 + 23 + 3 + 1 + 1);
}

TEST(Log, DropsUnwrittenLevelsAndWarnsOnceAboutABigFile)
{
    auto dir = scratchDir("log");
    auto path = dir / "QelLog.txt";
    InstalledLog installed(path);

    log(LOG_DEBUG, "Dropped", "x");
    EXPECT_FALSE(std::filesystem::exists(path));

    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fseek(f, 10000000, SEEK_SET);
        std::fputc('x', f); // 10,000,001 bytes
        std::fclose(f);
    }
    log(LOG_ERROR, "First", "one");
    log(LOG_ERROR, "Second", "two");
    std::string tail = readText(path).substr(10000001);
    auto warn = tail.find("Log file is getting big (10000001). Consider deleting or backing up");
    auto first = tail.find("First");
    auto second = tail.find("Second");
    ASSERT_NE(warn, std::string::npos);
    EXPECT_EQ(tail.substr(0, 7), "WARNING");
    EXPECT_LT(warn, first);
    EXPECT_LT(first, second);
    EXPECT_EQ(tail.find("Log file is getting big", warn + 1), std::string::npos);
}

} // namespace

namespace {

std::string utcStamp(std::time_t t)
{
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

TEST(Log, TimestampIsUtcWhateverTheTimeZone)
{
    const char* oldTz = std::getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "XYZ-5:30", 1); // five and a half hours east of UTC
    ::tzset();

    std::time_t before = std::time(nullptr);
    std::string line = vorn::formatLogLine(LOG_INFO, "Here", "");
    std::time_t after = std::time(nullptr);

    if (oldTz)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();

    // "YYYY-MM-DD hh:mm:ss:mmm" in columns 13..35
    std::string stamp = line.substr(13, 23);
    EXPECT_EQ(stamp[19], ':');
    for (int i : {20, 21, 22})
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamp[i]))) << stamp;
    std::string seconds = stamp.substr(0, 19);
    EXPECT_GE(seconds, utcStamp(before));
    EXPECT_LE(seconds, utcStamp(after));
}

TEST(Log, OnlyWarningErrorInfoAndMemoryAreWritten)
{
    auto path = scratchDir("levels") / "QelLog.txt";
    InstalledLog installed(path);

    struct Case {
        unsigned level;
        const char* name;
        bool written;
    };
    const Case cases[] = {
        {LOG_WARNING, "WARNING", true}, {LOG_ERROR, "ERROR", true},       {LOG_INFO, "INFO", true},
        {LOG_DEBUG, "DEBUG", false},    {LOG_DEBUGV, "DEBUGV", false},    {LOG_ENTERING, "ENTERING", false},
        {LOG_EXITING, "EXITING", false}, {LOG_MEMORY, "MEMORY", true},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(path);
        log(c.level, "Loc", "message");
        logf(c.level, "Loc", "%s %d", "formatted", 7);
        std::string text = readText(path);
        if (c.written) {
            std::string head = std::string(c.name) + std::string(10 - std::strlen(c.name), ' ') + " : ";
            ASSERT_EQ(text.size(), 2 * (10 + 3 + 23 + 3 + 40 + 3) + std::strlen("message\nformatted 7\n")) << c.name;
            EXPECT_EQ(text.substr(0, 13), head);
            EXPECT_NE(text.find(" : message\n" + head), std::string::npos) << c.name;
            EXPECT_EQ(text.substr(text.size() - 15), " : formatted 7\n");
        } else {
            EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
        }
    }
}

TEST(Log, DebugEntryProducesNoDebuggerOutput)
{
    InstalledLog installed("");
    const char* old = std::getenv("VORN_DEBUG");
    ::setenv("VORN_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    log(LOG_DEBUG, "Quiet", "not shown");
    log(LOG_ERROR, "Loud", "shown");
    std::string err = testing::internal::GetCapturedStderr();
    if (!old)
        ::unsetenv("VORN_DEBUG");
    EXPECT_EQ(err.find("Quiet"), std::string::npos);
    EXPECT_EQ(err.substr(0, 5), "ERROR");
    EXPECT_NE(err.find("Loud"), std::string::npos);
}

TEST(Log, OverlongHeaderAndLineAreCut)
{
    std::string location(2000, 'h');
    std::string header = vorn::formatLogLine(LOG_INFO, location.c_str(), "tail");
    EXPECT_EQ(header, header.substr(0, 1023) + " : tail\n");
    EXPECT_EQ(header.size(), 1023u + 8);

    std::string message(5000, 'm');
    std::string line = vorn::formatLogLine(LOG_INFO, "L", message.c_str());
    EXPECT_EQ(line.size(), 4095u);
    EXPECT_EQ(line.substr(4090), "mmmm\n"); // a cut line still ends its line
}

TEST(Log, EmptyPathSwitchesTheFileOff)
{
    auto dir = scratchDir("off");
    InstalledLog installed("");
    auto oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    log(LOG_ERROR, "Nowhere", "");
    std::filesystem::current_path(oldCwd);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

} // namespace

namespace {

TEST(Log, MissingFolderOfTheLogFileIsCreated)
{
    auto path = scratchDir("folder") / "state" / "quintell-vorn" / "QelLog.txt";
    InstalledLog installed(path);
    log(LOG_INFO, "First", "entry");
    EXPECT_NE(readText(path).find(" : entry\n"), std::string::npos);
}

} // namespace

namespace {

// Two logs in one process: each warns about its own big file once, and the
// entries of log() go to the log installed last, then to the one before.
TEST(Log, LogsKeepTheirOwnStateAndScopesNest)
{
    auto dir = scratchDir("two_logs");
    const std::filesystem::path paths[] = {dir / "a" / "QelLog.txt", dir / "b" / "QelLog.txt"};
    for (const auto& p : paths) {
        std::filesystem::create_directories(p.parent_path());
        std::FILE* f = std::fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fseek(f, 10000000, SEEK_SET);
        std::fputc('x', f);
        std::fclose(f);
    }
    vorn::LogFile a(paths[0].string()), b(paths[1].string());
    {
        vorn::LogScope outer(a);
        log(LOG_ERROR, "ToA", "1");
        {
            vorn::LogScope inner(b);
            log(LOG_ERROR, "ToB", "2");
            log(LOG_ERROR, "ToB", "3");
        }
        log(LOG_ERROR, "ToA", "4");
    }
    log(LOG_ERROR, "Nowhere", "5");

    const std::string tailA = readText(paths[0]).substr(10000001);
    const std::string tailB = readText(paths[1]).substr(10000001);
    for (const std::string* tail : {&tailA, &tailB}) {
        const auto warn = tail->find("Log file is getting big (10000001)");
        ASSERT_NE(warn, std::string::npos) << *tail;
        EXPECT_EQ(tail->find("Log file is getting big", warn + 1), std::string::npos) << *tail;
        EXPECT_EQ(tail->find("Nowhere"), std::string::npos);
    }
    EXPECT_NE(tailA.find(" : 1\n"), std::string::npos);
    EXPECT_NE(tailA.find(" : 4\n"), std::string::npos);
    EXPECT_EQ(tailA.find("ToB"), std::string::npos);
    EXPECT_NE(tailB.find(" : 2\n"), std::string::npos);
    EXPECT_NE(tailB.find(" : 3\n"), std::string::npos);
    EXPECT_EQ(tailB.find("ToA"), std::string::npos);
}

} // namespace
