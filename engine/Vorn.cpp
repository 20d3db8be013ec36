#include "engine/Vorn.h"

#include "engine/BGinfo.h"
#include "engine/VideoFormat.h"
#include "foundation/Log.h"
#include "foundation/TevFindFiles.h"
#include "mxf/MxfFile.h"

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string joinPath(const std::string& folder, const char* name)
{
    if (!folder.empty() && isSeparator(folder.back()))
        return folder + name;
    return folder + "/" + name;
}

bool isFolder(const std::string& path)
{
    std::error_code ec;
    const auto st = fs::status(path, ec);
    // A path whose attributes cannot be read counts as a folder.
    return ec || st.type() == fs::file_type::not_found || fs::is_directory(st);
}

// A regular file, directly or through symlinks: FIFOs, devices and sockets
// are no clips (opening a FIFO would wait for a writer forever).
bool isRegularFile(const std::string& path)
{
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// The regular files directly in a folder whose full path ends in ".MXF"
// (exactly, upper case).
std::vector<std::string> findMxfFiles(const std::string& folder)
{
    CTevFindFiles finder(CTevFindFiles::kFiles, ".MXF");
    finder.find(folder, false);
    std::vector<std::string> found;
    for (size_t i = 0; i < finder.count(); ++i)
        if (isRegularFile(finder.path(i).str()))
            found.push_back(finder.path(i).str());
    return found;
}

// Why a video clip cannot be read (empty when it can, or when it is no video
// clip at all: the export reports those).
std::string unreadableReason(const std::string& path)
{
    CMxfFile clip(path.c_str());
    std::string why;
    if (clip.ReadHeaders() == 1)
        why = clip.EditRateProblem();
    clip.Close();
    return why;
}

} // namespace

std::string CVorn::ClipName(const char* path)
{
    std::string p = path ? path : "";
    size_t start = 0;
    for (size_t i = 0; i < p.size(); ++i)
        if (isSeparator(p[i]))
            start = i + 1;
    std::string name = p.substr(start);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

std::string CVorn::FolderOf(const char* path)
{
    std::string p = path ? path : "";
    size_t end = 0;
    for (size_t i = 0; i < p.size(); ++i)
        if (isSeparator(p[i]))
            end = i + 1;
    return p.substr(0, end);
}

void CVorn::AddFile(const char* path)
{
    if (!path)
        return;
    const QelString text(path);
    for (const auto& f : m_files)
        if (f == text)
            return;
    m_files.push_back(text);
}

std::string CVorn::DescribeClip(const char* path)
{
    std::string line = ClipName(path);
    CMxfFile clip(path);
    if (clip.ReadHeaders() != 1) {
        clip.Close();
        return line;
    }
    const int64_t frameCount = clip.FrameCount();
    const VideoFormat code = clip.VideoFormat();
    const float editRate = clip.EditRate();

    // Only the bytes read are looked at, so the buffer needs no clearing.
    const size_t capacity = static_cast<size_t>(vorn::kMaxFrameBufferBytes);
    const auto frame = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    const int got = clip.ReadFrame(frame.get(), capacity, 0);

    const auto* info = vorn::videoFormatInfo(code);
    line += ",\t";
    line += info ? info->displayName : "unknown format";
    line += "\t";

    const double divisorValue = static_cast<double>(editRate) + 0.1;
    const int64_t divisor = divisorValue >= 1.0 && divisorValue < 2147483647.0 ? static_cast<int64_t>(divisorValue) : 0;
    const int64_t seconds = divisor > 0 ? frameCount / divisor : 0;
    line += std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " sec,\t";

    BGinfo bg;
    const size_t size = got > 0 ? static_cast<size_t>(got) : 0;
    if (vorn::isAvcIntra(code))
        bg.ReadAvcBinaryGroup(frame.get(), size, true);
    else
        bg.ReadDvBinaryGroup(frame.get(), size);

    if (!bg.valid) {
        line += " no mode info";
    } else {
        line += " shot " + std::to_string(bg.cameraRate) + " fps, ";
        if (bg.shootingMode == 9)
            line += "w/ VFR pulldown";
        else if ((bg.shootingMode & 8) == 0)
            line += "Interlaced";
        else if (bg.cameraRate == 24 && editRate > 24.0f)
            line += bg.shootingMode == 12 ? "w/ 2:3:3:2 pulldown" : "w/ 3:2 pulldown";
        else if ((bg.cameraRate == 30 && editRate > 30.0f) || (bg.cameraRate == 25 && editRate > 25.0f))
            line += "w/ 2:2 pulldown";
        else
            line += "Progressive";
    }
    line += "\r\n";
    clip.Close();
    return line;
}

int CVorn::Import(CCaller* caller, const char* path)
{
    m_caller = caller;
    if (!path || !*path) {
        log(LOG_ERROR, "CVorn::Import", !path ? "path is null" : "path is empty");
        return 0;
    }
    const std::string p = path;
    std::string heading;
    std::vector<std::string> found;
    if (isFolder(p)) {
        heading = "Adding Folder " + p + "\r\n";
        found = findMxfFiles(p);
        const std::string video = joinPath(p, "VIDEO");
        std::error_code ec;
        if (fs::is_directory(video, ec))
            for (auto& f : findMxfFiles(video))
                found.push_back(std::move(f));
        const std::string contentsVideo = joinPath(joinPath(p, "CONTENTS"), "VIDEO");
        if (fs::is_directory(contentsVideo, ec))
            for (auto& f : findMxfFiles(contentsVideo))
                found.push_back(std::move(f));
    } else {
        heading = (m_files.empty() ? "Adding file from " : "Adding files from ") + FolderOf(path) + "\r\n";
        if (isRegularFile(p))
            found.push_back(p);
        else
            logf(LOG_WARNING, "CVorn::Import", "%s is not a regular file", path);
    }
    // A clip whose edit rate its format does not allow cannot be read (its
    // frame and audio timing is unknown): it is refused here, with the reason.
    std::string refused;
    for (const auto& f : found) {
        const std::string why = unreadableReason(f);
        if (why.empty())
            AddFile(f.c_str());
        else
            refused += ClipName(f.c_str()) + ": refused, " + why + "\r\n";
    }

    if (caller) {
        caller->Message(heading.c_str(), 1, 1);
        if (!refused.empty())
            caller->Message(refused.c_str(), 0, 1);
    }
    if (m_files.empty())
        return 0;
    for (const auto& f : m_files) {
        const std::string line = DescribeClip(f.c_str());
        if (caller)
            caller->Message(line.c_str(), 0, 1);
    }
    if (caller)
        caller->Message("\r\nClick Start to export files\r\n", 0, 1);
    return 0;
}
