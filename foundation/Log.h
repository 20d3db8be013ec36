// The diagnostic log: a developer's trace appended to a text file. The program
// owns its log (a LogFile) and installs it for the run; log() and logf()
// write to the installed log.
#pragma once

#include <mutex>
#include <string>
#include <utility>

enum LogLevel : unsigned {
    LOG_WARNING = 0x2,
    LOG_ERROR = 0x4,
    LOG_INFO = 0x8,
    LOG_DEBUG = 0x10,
    LOG_DEBUGV = 0x20,
    LOG_ENTERING = 0x40,
    LOG_EXITING = 0x80,
    LOG_MEMORY = 0x100,
};

// Levels that are written; every other level is dropped at once.
constexpr unsigned kLogWrittenLevels = 0x10E;

// Appends one entry to the installed log. location may be null; message may
// be null (empty). With no log installed the entry goes nowhere but to stderr
// under VORN_DEBUG.
void log(unsigned level, const char* location, const char* message);
void logf(unsigned level, const char* location, const char* format, ...) __attribute__((format(printf, 3, 4)));

namespace vorn {

// One log file. Entries are appended to it (its folder is made when
// missing); a file past 10,000,000 bytes gets one warning entry per LogFile.
// An empty path keeps no file. Under VORN_DEBUG every entry is also written
// to stderr.
class LogFile {
public:
    explicit LogFile(std::string path) : m_path(std::move(path)) {}
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    const std::string& path() const { return m_path; }
    // Appends one entry (levels outside kLogWrittenLevels are dropped).
    void write(unsigned level, const char* location, const char* message);

private:
    const std::string m_path;
    std::mutex m_mutex;
    bool m_sizeWarned = false;   // guarded by m_mutex
};

// Installs a log for log() and logf() while the scope lives; the one
// installed before is installed again at its end. The log must outlive the
// scope, and every thread that writes to it must have ended by then.
class LogScope {
public:
    explicit LogScope(LogFile& log);
    ~LogScope();
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;

private:
    LogFile* m_previous;
};

// Formats one entry line (without writing it); exposed for tests.
std::string formatLogLine(unsigned level, const char* location, const char* message);

} // namespace vorn
