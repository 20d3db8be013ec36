#include "foundation/Log.h"
#include "support/TestSupport.h"

#include <filesystem>

namespace {

using vorn::test::readText;
using vorn::test::scratchDir;

struct LogFileGuard {
    std::string old = vorn::logFilePath();
    ~LogFileGuard() { vorn::setLogFilePath(old); }
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
    LogFileGuard guard;
    auto dir = scratchDir("log");
    auto path = dir / "QelLog.txt";
    vorn::setLogFilePath(path.string());
    vorn::resetLogSizeWarning();

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
