// The log pane's import step on the command line: each path is a drop.
#pragma once

#include "engine/Caller.h"

#include <string>
#include <vector>

class CVorn;

namespace vorn::cli {

// Keeps the text of the log pane: a replacing message replaces it, any other is appended.
class LogPaneCaller : public CCaller {
public:
    void ExportDone() override {}
    void MessageString(const QelString& text, int replaceLog, int flag) override;
    void Message(const char* text, int replaceLog, int flag) override;
    const std::string& log() const { return m_log; }

private:
    std::string m_log;
};

// Imports each path into `engine` as a drop on `pane`. A path that does not
// exist is reported on stderr and skipped; returns kExitFailed when any was.
int importDrops(CVorn& engine, CCaller& pane, const std::vector<std::string>& paths);

// The engine's text with "\r\n" line ends written as "\n".
std::string unixLineEnds(const char* text);

} // namespace vorn::cli
