#include "foundation/Platform.h"

#include <cstdlib>
#ifdef _WIN32
#include <windows.h>
#endif
#include <system_error>

namespace vorn {
namespace {

std::filesystem::path homeSubfolder(const char* xdgVar, const char* fallback)
{
    if (const char* v = std::getenv(xdgVar); v && *v)
        return std::filesystem::path(v);
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / fallback;
}

} // namespace

std::string defaultLogFilePath()
{
    if (const char* v = std::getenv("VORN_LOG_FILE"))
        return v;
#ifdef _WIN32
    return "C:\\QelLog.txt";
#else
    return (homeSubfolder("XDG_STATE_HOME", ".local/state") / "quintell-vorn" / "QelLog.txt").string();
#endif
}

std::filesystem::path executablePath()
{
#ifdef _WIN32
    char buf[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::filesystem::path() : std::filesystem::path(std::string(buf, n));
#else
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : p;
#endif
}

std::filesystem::path executableDirectory()
{
    return executablePath().parent_path();
}

std::filesystem::path dataDirectory()
{
    if (const char* v = std::getenv("VORN_DATA_DIR"); v && *v)
        return std::filesystem::path(v);
#ifdef _WIN32
    return executableDirectory() / "Data";
#else
    return homeSubfolder("XDG_CONFIG_HOME", ".config") / "quintell-vorn" / "Data";
#endif
}

std::string defaultDestinationFolder()
{
#ifdef _WIN32
    return "C:\\quintellFiles";
#else
    return (homeSubfolder("XDG_VIDEOS_DIR", "Videos") / "Quintell Vorn").string();
#endif
}

bool debugOutputEnabled()
{
    return std::getenv("VORN_DEBUG") != nullptr;
}

} // namespace vorn
