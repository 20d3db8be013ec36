#include "foundation/TevFindFiles.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {
constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);

bool endsWithSeparator(const std::string& s)
{
#ifdef _WIN32
    return !s.empty() && (s.back() == '\\' || s.back() == '/');
#else
    return !s.empty() && s.back() == '/';
#endif
}
} // namespace

CTevFindFiles::CTevFindFiles(int mode, const char* patterns) : m_mode(mode)
{
    if (!patterns)
        return;
    std::string_view rest(patterns);
    while (true) {
        size_t comma = rest.find(',');
        std::string_view one = rest.substr(0, comma);
        if (!one.empty())
            m_patterns.emplace_back(one);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
}

bool CTevFindFiles::matches(std::string_view path) const
{
    for (const auto& p : m_patterns) {
        std::string_view pattern = p;
        if (path.size() >= pattern.size() && path.substr(path.size() - pattern.size()) == pattern)
            return true;
    }
    return false;
}

bool CTevFindFiles::find(std::string_view folder, bool recurse, FileCallback onFile, FolderCallback onFolder,
                         void* argument)
{
    if (m_mode != kFoldersOnly && m_patterns.empty())
        return true;
    std::vector<std::string> visited;
    return search(std::string(folder), recurse, onFile, onFolder, argument, visited);
}

bool CTevFindFiles::search(const std::string& folder, bool recurse, FileCallback onFile, FolderCallback onFolder,
                           void* argument, std::vector<std::string>& visited)
{
    std::error_code ec;
    // A folder reached again through a link is not searched twice (no endless loops).
    fs::path canonical = fs::canonical(folder.empty() ? "." : folder, ec);
    if (ec)
        return true;
    std::string key = canonical.string();
    if (std::find(visited.begin(), visited.end(), key) != visited.end())
        return true;
    visited.push_back(key);

    struct Entry {
        std::string name;
        bool isDirectory;
    };
    std::vector<Entry> entries;
    fs::directory_iterator it(folder.empty() ? "." : folder, ec);
    if (ec)
        return true;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        entries.push_back({it->path().filename().string(), it->is_directory(typeError)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

    std::string prefix = folder.empty() || endsWithSeparator(folder) ? folder : folder + kSeparator;
    for (const auto& e : entries) {
        std::string path = prefix + e.name;
        if (!e.isDirectory) {
            if (m_mode == kFoldersOnly || !matches(path))
                continue;
            auto found = std::make_unique<QelString>(path);
            if (onFile && !onFile(*found, kFileEntry, argument))
                return false;
            append(found.get());
            m_owned.push_back(std::move(found));
        } else if (recurse && e.name != "." && e.name != "..") {
            if ((m_mode == kFoldersOnly || m_mode == kFilesAndFolders) && onFolder &&
                !onFolder(QelString(path), argument))
                return false;
            if (!search(path, recurse, onFile, onFolder, argument, visited))
                return false;
        }
    }
    return true;
}
