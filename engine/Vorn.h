// The conversion engine: the list of source clips, their import and
// description, and the export of the list on a worker thread.
#pragma once

#include "engine/BGinfo.h"
#include "engine/Caller.h"
#include "engine/ExportPlan.h"
#include "engine/ExportResult.h"
#include "engine/VideoFormat.h"
#include "foundation/QelString.h"
#include "foundation/TevThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CMxfFile;

namespace vorn {
class FramePreview;
namespace mxf {
class CExportBase;
}
} // namespace vorn

class CVorn {
public:
    CVorn() = default;
    CVorn(const CVorn&) = delete;
    CVorn& operator=(const CVorn&) = delete;
    // Stops a running export at its next step (its clip is discarded) and
    // waits for its thread; no further CCaller call is made.
    virtual ~CVorn();

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

    // ---- Export (the pane calls these in this order when Start is pressed) ----

    // Copies the destination folder (the option "DestinationFolder").
    void SetDestination(const char* path);
    // The remove-pulldown and add-pulldown flags ("RemovePulldown", "AddPulldown").
    void SetPulldown(int remove, int add);
    // The desired frame rate ("DesiredFrameRate").
    void SetDesiredRate(float rate);
    // The pane's preview window and size; kept, not read by the engine.
    void SetPreviewTarget(int32_t window, int32_t size);
    void ClearPause() { m_paused.store(0); }
    void SetPause() { m_paused.store(1); }
    bool IsPaused() const { return m_paused.load() != 0; }

    // Starts the export of the clip list on the export thread and returns 0.
    // The export's settings ("Rotation", "Remove32", ..., "DesiredFrameSize",
    // "ShowFrames", "FrameScale", "CardSize") are copied from `options` now;
    // the pulldown flags and desired rate set above rule over theirs. Every
    // CCaller call of the export is made on the export thread; the last is
    // ExportDone. The caller must outlive the export (see WaitForExport).
    int StartExport(CCaller* caller, const vorn::ExportOptions& options);
    bool IsExporting() const { return m_exporting.load() != 0; }
    // Clears the exporting flag and calls the caller's ExportDone.
    void ExportFinished();
    // Exports one clip through the exporter; 1 when the clip ran to its end,
    // 0 when it stopped early.
    int ExportClip(const char* sourcePath, vorn::mxf::CExportBase* exporter);
    // Waits until the export thread has ended (returns at once when none runs).
    void WaitForExport();

    // The preview the frame pipeline shows pictures through when "ShowFrames"
    // is on (null: none). Set it before StartExport.
    void SetPreview(vorn::FramePreview* preview) { m_preview = preview; }

    // Per-clip results of the last export, one per clip of the list, in order.
    std::vector<vorn::ClipResult> Results() const;
    // Where the running export is. Read it from a CCaller callback (on the
    // export thread) or after ExportDone.
    const vorn::ExportProgress& Progress() const { return m_progress; }

    // Makes the exporter of each clip (default: the P2 card exporter). For
    // tests and tools that write elsewhere or simulate failures.
    using ExporterFactory =
        std::function<std::unique_ptr<vorn::mxf::CExportBase>(const std::string& sourcePath,
                                                             const std::string& destination)>;
    void SetExporterFactory(ExporterFactory factory) { m_exporterFactory = std::move(factory); }

    // How often a paused export looks at its flags.
    static constexpr int kPausePollMs = 1000;

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
    vorn::PictureCodecs m_pictureCodecs;   // kept from clip to clip and export to export

private:
    // The export of one clip (ExportDriver.cpp).
    class ClipJob;

    static void exportThread(uintptr_t engine, uintptr_t unused);
    void runExport();
    vorn::ClipResult* currentResult();

    CTevThread m_thread;
    vorn::ExportOptions m_exportOptions;
    bool m_showFrames = false;
    int m_previewScale = 2;
    vorn::FramePreview* m_preview = nullptr;
    ExporterFactory m_exporterFactory;
    mutable std::mutex m_resultsMutex;
    std::vector<vorn::ClipResult> m_results;
    int m_currentClip = -1;
    vorn::ExportProgress m_progress;
    std::atomic<int32_t> m_stopping{0};
};
