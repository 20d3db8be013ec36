// The process-wide diagnostic log: a developer's trace appended to a text file.
#pragma once

#include <string>

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

// Appends one entry. location may be null; message may be null (empty).
void log(unsigned level, const char* location, const char* message);
void logf(unsigned level, const char* location, const char* format, ...) __attribute__((format(printf, 3, 4)));

namespace vorn {
// The log file path (initially defaultLogFilePath()); empty switches the file off.
std::string logFilePath();
void setLogFilePath(const std::string& path);
// Clears the once-per-run size-warning flag (for tests).
void resetLogSizeWarning();
// Formats one entry line (without writing it); exposed for tests.
std::string formatLogLine(unsigned level, const char* location, const char* message);
} // namespace vorn
