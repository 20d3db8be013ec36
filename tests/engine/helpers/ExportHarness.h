// Runs exports through CVorn's public API as the pane does, and records what
// the engine sends back.
#pragma once

#include "engine/Caller.h"
#include "engine/ExportResult.h"
#include "engine/Vorn.h"

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vorn::test {

// Keeps every text and progress value; the verdict as the pane prints it.
class RecordingCaller : public CCaller {
public:
    void ExportDone() override;
    void MessageString(const QelString& text, int replaceLog, int flag) override;
    void Message(const char* text, int replaceLog, int flag) override;
    void SetProgress(int ignored, int percent) override;

    std::string log() const;
    std::string verdict() const;
    std::vector<int> progress() const;
    int doneCalls() const;

    // Called with each text as it arrives (on the export thread).
    std::function<void(const std::string&)> onMessage;
    // Called with each progress value (on the export thread).
    std::function<void(int)> onProgress;

private:
    mutable std::mutex m_mutex;
    std::string m_log;
    std::string m_verdict;
    std::vector<int> m_progress;
    int m_done = 0;
};

struct ExportSettings {
    bool removePulldown = false;
    bool addPulldown = false;
    float desiredRate = 23.976f;
    // Options set for this export (all others at their defaults).
    std::map<std::string, std::string> options;
};

struct ExportRun {
    std::string log;
    std::string verdict;
    std::vector<int> progress;
    std::vector<vorn::ClipResult> results;
};

// Imports the paths, sets the export up as the pane does at Start and waits
// for the export to end. `prepare` may adjust the engine (exporter factory,
// preview) and the caller before the start.
ExportRun exportPaths(const std::vector<std::string>& paths, const std::filesystem::path& destination,
                      const std::function<void(ExportSettings&)>& configure = {},
                      const std::function<void(CVorn&, RecordingCaller&)>& prepare = {});

// Every file below a folder with its size and a hash of its bytes.
std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& root);

} // namespace vorn::test
