#include "mxf/ClipPaths.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace vorn::mxf {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string upper(std::string s)
{
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool isRegularFile(const std::string& path)
{
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// The names of the regular files in a folder (none when it cannot be read), sorted.
std::vector<std::string> filesIn(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder.empty() ? std::string(".") : folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code e2;
        if (it->is_regular_file(e2))
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

ClipPaths clipPathsOf(const std::string& videoPath)
{
    ClipPaths p;
    size_t nameStart = 0;
    for (size_t i = 0; i < videoPath.size(); ++i)
        if (isSeparator(videoPath[i]))
            nameStart = i + 1;
    p.folder = videoPath.substr(0, nameStart);
    const std::string file = videoPath.substr(nameStart);
    const size_t dot = file.find_last_of('.');
    p.name = dot == std::string::npos ? file : file.substr(0, dot);
    p.extension = dot == std::string::npos ? std::string() : file.substr(dot);
    if (p.folder.empty()) {
        p.contents = "../";
        return p;
    }
    p.separator = p.folder.back();
    // The folder's own name ends at its separator; the parent ends before it.
    const std::string trimmed = p.folder.substr(0, p.folder.size() - 1);
    if (trimmed.empty()) {
        p.contents = p.folder;   // the root is its own parent
        return p;
    }
    size_t parentEnd = 0;
    for (size_t i = 0; i < trimmed.size(); ++i)
        if (isSeparator(trimmed[i]))
            parentEnd = i + 1;
    p.contents = trimmed.substr(0, parentEnd);
    return p;
}

std::string ClipPaths::sibling(const char* folderName) const
{
    return contents + folderName + separator;
}

std::string findInSibling(const ClipPaths& paths, const char* folderName, const std::string& fileName)
{
    const std::string folder = paths.sibling(folderName);
    const std::string want = upper(fileName);
    for (const std::string& name : filesIn(folder))
        if (upper(name) == want)
            return folder + name;
    return folder + fileName;
}

std::vector<ClipExtraFile> clipExtraFiles(const std::string& videoPath)
{
    const ClipPaths paths = clipPathsOf(videoPath);
    std::vector<ClipExtraFile> out;
    if (paths.name.empty())
        return out;
    auto add = [&](ClipExtraFile::Kind kind, const char* folder, const char* suffix) {
        const std::string path = findInSibling(paths, folder, paths.name + suffix);
        if (isRegularFile(path))
            out.push_back({kind, path, path.substr(path.size() - std::char_traits<char>::length(suffix))});
    };
    add(ClipExtraFile::Kind::Icon, "ICON", ".BMP");
    add(ClipExtraFile::Kind::Proxy, "PROXY", ".MP4");
    add(ClipExtraFile::Kind::Proxy, "PROXY", ".BIN");

    // Voice memos: NAME.ext or NAMEnn.ext.
    const std::string voice = paths.sibling("VOICE");
    const std::string want = upper(paths.name);
    for (const std::string& name : filesIn(voice)) {
        const std::string u = upper(name);
        if (u.size() <= want.size() || u.compare(0, want.size(), want) != 0)
            continue;
        std::string rest = name.substr(want.size());
        const bool numbered = rest.size() > 3 && std::isdigit(static_cast<unsigned char>(rest[0])) &&
                              std::isdigit(static_cast<unsigned char>(rest[1])) && rest[2] == '.';
        if (rest[0] != '.' && !numbered)
            continue;
        if (rest.find('.') + 1 >= rest.size())
            continue;   // no extension after the dot
        out.push_back({ClipExtraFile::Kind::Voice, voice + name, rest});
    }
    return out;
}

} // namespace vorn::mxf
