// Where a P2 clip's files lie beside its video file. A clip's video file
// ".../CONTENTS/VIDEO/0001AB.MXF" has its audio, clip XML, icon, proxy and
// voice files in the folders AUDIO, CLIP, ICON, PROXY and VOICE of the same
// CONTENTS folder. Paths are text with "/" or "\" between folders; the
// separator of the video path is kept.
#pragma once

#include <string>
#include <vector>

namespace vorn::mxf {

struct ClipPaths {
    std::string folder;      // the video file's folder with its separator; "" when the path has none
    std::string contents;    // the folder holding that folder, with its separator ("../" when there is none)
    std::string name;        // the video file's name without extension
    std::string extension;   // with its dot; "" when there is none
    char separator = '/';

    // The folder `folderName` beside the video file's folder, ending in the separator.
    std::string sibling(const char* folderName) const;
};

ClipPaths clipPathsOf(const std::string& videoPath);

// The file `fileName` in the sibling folder `folderName`, found without regard
// to letter case; when none is there, the path with the name as given.
std::string findInSibling(const ClipPaths& paths, const char* folderName, const std::string& fileName);

// A file that belongs to a clip beside its essence: its icon, proxy or voice memo.
struct ClipExtraFile {
    enum class Kind { Icon, Proxy, Voice };
    Kind kind = Kind::Icon;
    std::string path;     // the source file
    std::string suffix;   // its name after the clip name: ".BMP", ".MP4", ".BIN", "00.WAV"
};

// The clip's extra files that exist as regular files, in the order icon
// (ICON/NAME.BMP), proxies (PROXY/NAME.MP4, PROXY/NAME.BIN), voice memos
// (VOICE/NAME.ext and VOICE/NAMEnn.ext, by name). Letter case of the names is
// not looked at.
std::vector<ClipExtraFile> clipExtraFiles(const std::string& videoPath);

} // namespace vorn::mxf
