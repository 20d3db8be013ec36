// `vorn plan [--set KEY=VALUE]... PATH...`: prints, for each clip of the list,
// what its export would print before the first frame (path line, warning,
// the planner's decisions, source and destination lines). Writes no file.
#include "Command.h"
#include "ImportDrops.h"
#include "OptionsSetup.h"
#include "engine/Caller.h"
#include "engine/ExportPlan.h"
#include "engine/Vorn.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Opts {
    std::vector<std::string> paths;
};

// Writes the engine's messages to standard output with "\r\n" as "\n".
class PrintingCaller : public CCaller {
public:
    void ExportDone() override {}
    void MessageString(const QelString& text, int replaceLog, int flag) override
    {
        Message(text.c_str(), replaceLog, flag);
    }
    void Message(const char* text, int, int) override
    {
        if (!text)
            return;
        std::string out;
        for (const char* c = text; *c; ++c)
            if (!(c[0] == '\r' && c[1] == '\n'))
                out.push_back(*c);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
};

// Takes the import's heading and descriptions without showing them.
class SilentCaller : public CCaller {
public:
    void ExportDone() override {}
};

int runPlan(const Opts& opts, const vorn::cli::Common& common)
{
    using namespace vorn::cli;
    const COptions options = loadOptions(common);
    const vorn::ExportOptions exportOptions = vorn::exportOptionsFrom(options);

    CVorn engine;
    SilentCaller silent;
    int result = importDrops(engine, silent, opts.paths);

    // The engine's export settings, as the pane hands them over at Start.
    vorn::applyExportOptions(engine, exportOptions);

    PrintingCaller printer;
    engine.m_caller = &printer;
    for (const auto& file : engine.Files()) {
        if (!vorn::planClip(printer, engine, file.c_str(), exportOptions))
            result = kExitFailed;
        std::fflush(stdout);
    }
    return result;
}

vorn::cli::Registration reg{25, [](CLI::App& root, const vorn::cli::Common& common) {
    CLI::App* app = root.add_subcommand(
        "plan", "Print what exporting each clip would print before its first frame (writes nothing)");
    auto opts = std::make_shared<Opts>();
    app->add_option("PATH", opts->paths, "Clip files, folders of clips or P2 card folders")->required();
    return vorn::cli::Subcommand{app, [opts, &common]() { return runPlan(*opts, common); }};
}};

} // namespace
