#include "foundation/Log.h"

#include "foundation/Platform.h"
#include "foundation/QelString.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace {

// The log that log() and logf() write to. It is installed by the program
// (LogScope) until the code that writes to it is handed its log.
std::atomic<vorn::LogFile*> g_installed{nullptr};

const char* levelName(unsigned level, char* buf, size_t n)
{
    switch (level) {
    case LOG_WARNING: return "WARNING";
    case LOG_ERROR: return "ERROR";
    case LOG_INFO: return "INFO";
    case LOG_DEBUG: return "DEBUG";
    case LOG_DEBUGV: return "DEBUGV";
    case LOG_ENTERING: return "ENTERING";
    case LOG_EXITING: return "EXITING";
    case LOG_MEMORY: return "MEMORY";
    default: std::snprintf(buf, n, "BADTYPE (%d)", static_cast<int>(level)); return buf;
    }
}

std::string timestampUtc()
{
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d:%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

} // namespace

namespace vorn {

LogScope::LogScope(LogFile& log) : m_previous(g_installed.exchange(&log)) {}

LogScope::~LogScope()
{
    g_installed.store(m_previous);
}

std::string formatLogLine(unsigned level, const char* location, const char* message)
{
    char nameBuf[32];
    const char* name = levelName(level, nameBuf, sizeof nameBuf);
    std::string ts = timestampUtc();
    std::string header = location ? qelFormat("%-10s : %-23s : %-40s", name, ts.c_str(), location)
                                  : qelFormat("%-10s : %-23s", name, ts.c_str());
    if (header.size() > 1023)
        header.resize(1023);
    std::string line = qelFormat("%s : %s\n", header.c_str(), message ? message : "");
    // The line is cut to 4,095 characters; a cut line keeps its line feed so
    // the next entry still starts on a line of its own.
    if (line.size() > 4095) {
        line.resize(4094);
        line += '\n';
    }
    return line;
}


void LogFile::write(unsigned level, const char* location, const char* message)
{
    if (!(level & kLogWrittenLevels))
        return;
    std::string line = formatLogLine(level, location, message);
    if (debugOutputEnabled())
        std::fputs(line.c_str(), stderr);

    if (m_path.empty())
        return;
    std::FILE* f = std::fopen(m_path.c_str(), "a");
    if (!f) {
        // The log's folder (below the user's state folder) may not exist yet.
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), ec);
        f = std::fopen(m_path.c_str(), "a");
        if (!f)
            return;
    }
    std::fseek(f, 0, SEEK_END);
    long length = std::ftell(f);
    bool warn = false;
    {
        std::lock_guard lock(m_mutex);
        if (length > 10000000 && !m_sizeWarned) {
            m_sizeWarned = true;
            warn = true;
        }
    }
    if (warn) {
        std::fclose(f);
        std::string text = qelFormat("Log file is getting big (%ld). Consider deleting or backing up", length);
        write(LOG_WARNING, text.c_str(), "");
        f = std::fopen(m_path.c_str(), "a");
        if (!f)
            return;
    }
    std::fputs(line.c_str(), f);
    std::fclose(f);
}

} // namespace vorn

void log(unsigned level, const char* location, const char* message)
{
    if (!(level & kLogWrittenLevels))
        return;
    if (vorn::LogFile* installed = g_installed.load()) {
        installed->write(level, location, message);
        return;
    }
    if (vorn::debugOutputEnabled())
        std::fputs(vorn::formatLogLine(level, location, message).c_str(), stderr);
}

void logf(unsigned level, const char* location, const char* format, ...)
{
    if (!(level & kLogWrittenLevels))
        return;
    va_list args;
    va_start(args, format);
    std::string message = qelVFormat(format, args);
    va_end(args);
    if (message.size() > 4095)
        message.resize(4095);
    log(level, location, message.c_str());
}
