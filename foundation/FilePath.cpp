#include "foundation/FilePath.h"

#include "foundation/Platform.h"

#include <filesystem>
#include <system_error>

namespace {

constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

bool isSeparator(char c)
{
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

} // namespace

FilePath::FilePath(std::string_view path, bool stripTrailing) : m_stripTrailing(stripTrailing)
{
    size_t start = 0;
#ifdef _WIN32
    if (path.size() >= 2 && path[1] == ':') {
        m_drive = path.substr(0, 2);
        start = 2;
    }
#endif
    size_t lastSep = std::string_view::npos;
    for (size_t i = start; i < path.size(); ++i)
        if (isSeparator(path[i]))
            lastSep = i;
    size_t fileStart = start;
    if (lastSep != std::string_view::npos) {
        m_directory = path.substr(start, lastSep + 1 - start);
        fileStart = lastSep + 1;
    }
    std::string_view file = path.substr(fileStart);
    size_t dot = file.rfind('.');
    if (dot == std::string_view::npos) {
        m_name = file;
    } else {
        m_name = file.substr(0, dot);
        m_extension = file.substr(dot);
    }
    rebuild();
}

FilePath FilePath::ofModule(bool stripTrailing)
{
    return FilePath(vorn::executablePath().string(), stripTrailing);
}

void FilePath::rebuild()
{
    std::string folder = m_drive.str() + m_directory.str();
    m_fullPath = folder + m_name.str() + m_extension.str();
    if (m_stripTrailing) {
        size_t keep = folder.size();
        while (keep > m_drive.length() + 1 && isSeparator(folder[keep - 1]))
            --keep;
        folder.resize(keep);
    }
    m_folder = std::move(folder);
}

void FilePath::appendFolder(std::string_view name)
{
    std::string dir = m_directory.str();
    if (!dir.empty() && !isSeparator(dir.back()))
        dir += kSeparator;
    dir += name;
    if (dir.empty() || !isSeparator(dir.back()))
        dir += kSeparator;
    m_directory = std::move(dir);
    rebuild();
}

void FilePath::setName(std::string_view name, const char* extension)
{
    if (extension) {
        m_name = name;
        m_extension = extension;
    } else {
        size_t dot = name.find('.');
        m_name = name.substr(0, dot);
        m_extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot);
    }
    rebuild();
}

void FilePath::up(int levels, bool keepName, bool rebuildPaths)
{
    std::string dir = m_directory.str();
    for (int i = 0; i < levels; ++i) {
        // Drop the last level: the text after the separator before the final one.
        size_t end = dir.size();
        while (end > 0 && isSeparator(dir[end - 1]))
            --end;
        if (end == 0)
            break; // at the root (or nothing left)
        size_t cut = end;
        while (cut > 0 && !isSeparator(dir[cut - 1]))
            --cut;
        dir.resize(cut);
    }
    m_directory = std::move(dir);
    if (!keepName) {
        m_name.clear();
        m_extension.clear();
    }
    if (rebuildPaths)
        rebuild();
}

bool FilePath::createFolders() const
{
    std::string folder = m_drive.str() + m_directory.str();
    if (folder.empty())
        return true; // the current folder
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return std::filesystem::is_directory(folder, ec);
}
