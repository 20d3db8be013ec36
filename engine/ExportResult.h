// What an export did, clip by clip, for callers that report it (the command
// line's --report, the user interface). Filled by the export thread; read it
// from a CCaller callback or after ExportDone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

enum class ClipOutcome {
    NotStarted,   // the export ended before this clip
    Complete,     // written to its end
    Error,        // not written, or written with errors (see message)
    Aborted,      // stopped by the user; its files were removed
};

const char* clipOutcomeName(ClipOutcome outcome);   // "not started", "complete", "error", "aborted"

struct ClipResult {
    std::string sourcePath;
    ClipOutcome outcome = ClipOutcome::NotStarted;
    std::string message;            // why a clip ended in error, with the system's reason (empty otherwise)
    // What failed without undoing the clip (an extra file not copied,
    // LASTCLIP.TXT not written after the clip's files were in place). Each
    // makes the export one with errors.
    std::vector<std::string> problems;

    int32_t sourceFormat = 0;
    int64_t sourceFrames = 0;
    int32_t targetFormat = 0;
    int64_t plannedFrames = 0;      // the plan's output frame count
    int64_t framesWritten = 0;
    int32_t rateNum = 0;            // output edit rate
    int32_t rateDen = 1;

    // The planner's decisions.
    std::string pulldownLabel;      // "unchanged", "none", "2:2", "2:3", "2:3:3:2"
    std::string removal;            // "none", "3:2", "2:3:3:2", "720p frame selection"
    std::string addition;           // "none", "2:3", "2:3:3:2", "2:2"
    std::string speedChange;        // "none", "25p to 24p", "24p to 25p"
    bool reencode = false;
    bool crop = false;
    bool rotate = false;
    bool reduceNoise = false;
    int undecodableFrames = 0;      // frames replaced by the previous picture

    // The clip's files on disk when it ended, relative to the destination
    // folder, '/' separated.
    std::vector<std::string> outputFiles;
    double seconds = 0.0;
};

// Where the running export is; updated by the export thread before every
// SetProgress call.
struct ExportProgress {
    int clipIndex = 0;              // from 0
    int clipCount = 0;
    std::string clipName;
    int64_t sourceFramesRead = 0;   // of the current clip
    int64_t framesWritten = 0;
    int64_t plannedFrames = 0;
    double clipSeconds = 0.0;       // since the clip started
};

} // namespace vorn
