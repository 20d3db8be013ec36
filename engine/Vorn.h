// The conversion engine: the list of source clips, their import and
// description, and (later) the export over the list.
#pragma once

#include "engine/BGinfo.h"
#include "engine/Caller.h"
#include "engine/VideoFormat.h"
#include "foundation/QelString.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CMxfFile;

class CVorn {
public:
    CVorn() = default;
    CVorn(const CVorn&) = delete;
    CVorn& operator=(const CVorn&) = delete;
    virtual ~CVorn() = default;

    // Adds the MXF files of a file or folder path to the clip list and writes
    // a heading and the description of every clip in the list to the caller.
    // Returns 0.
    int Import(CCaller* caller, const char* path);

    // Appends path unless an equal path is already in the list.
    void AddFile(const char* path);

    int FileCount() const { return static_cast<int>(m_files.size()); }
    const QelString& File(int index) const { return m_files.at(static_cast<size_t>(index)); }
    const std::vector<QelString>& Files() const { return m_files; }
    void ClearFiles() { m_files.clear(); }

    CCaller* Caller() const { return m_caller; }

    // The description line of one clip (with its "\r\n", or the bare name when
    // the file does not open as a video clip).
    static std::string DescribeClip(const char* path);

    // The file name of a path without folder and extension ("\" or "/" separate folders).
    static std::string ClipName(const char* path);
    // The folder part of a path, ending in its separator ("" when there is none).
    static std::string FolderOf(const char* path);

    // Members used by the export.
    std::vector<QelString> m_files;
    CCaller* m_caller = nullptr;
    QelString m_destination;
    float m_desiredFrameRate = 0.0f;
    std::atomic<int32_t> m_exporting{0};
    int32_t m_previewWindow = 0;
    int32_t m_previewSize = 0;
    int32_t m_removePulldown = 0;
    int32_t m_addPulldown = 0;
    std::atomic<int32_t> m_paused{0};
};
