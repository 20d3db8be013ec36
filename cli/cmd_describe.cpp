// `vorn describe PATH...`: imports each path as a drop on the log pane and
// prints the pane's log as it stands after the last drop.
#include "Command.h"
#include "engine/Caller.h"
#include "engine/Vorn.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

struct Opts {
    std::vector<std::string> paths;
};

// Keeps the text of the log pane: a replacing message replaces it, any other is appended.
class LogPaneCaller : public CCaller {
public:
    void ExportDone() override {}
    void MessageString(const QelString& text, int replaceLog, int flag) override
    {
        Message(text.c_str(), replaceLog, flag);
    }
    void Message(const char* text, int replaceLog, int) override
    {
        if (replaceLog)
            m_log.clear();
        if (text)
            m_log += text;
    }
    const std::string& log() const { return m_log; }

private:
    std::string m_log;
};

// The pane's text with "\r\n" line ends written as "\n".
std::string unixLineEnds(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out.push_back(text[i]);
    }
    return out;
}

int runDescribe(const Opts& opts)
{
    int result = vorn::cli::kExitOk;
    CVorn engine;
    LogPaneCaller pane;
    for (const auto& path : opts.paths) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            std::fprintf(stderr, "vorn: no such file or folder: %s\n", path.c_str());
            result = vorn::cli::kExitFailed;
            continue;
        }
        engine.Import(&pane, path.c_str());
    }
    const std::string out = unixLineEnds(pane.log());
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return result;
}

vorn::cli::Registration reg{20, [](CLI::App& root, const vorn::cli::Common&) {
    CLI::App* app = root.add_subcommand("describe", "Import P2 clips, card folders or MXF files and describe each clip");
    auto opts = std::make_shared<Opts>();
    app->add_option("PATH", opts->paths, "MXF file, folder of MXF files, card root, CONTENTS or VIDEO folder")->required();
    return vorn::cli::Subcommand{app, [opts]() -> int { return runDescribe(*opts); }};
}};

} // namespace
