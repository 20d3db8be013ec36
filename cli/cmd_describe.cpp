// `vorn describe PATH...`: imports each path as a drop on the log pane and
// prints the pane's log as it stands after the last drop.
#include "Command.h"
#include "ImportDrops.h"
#include "engine/Vorn.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Opts {
    std::vector<std::string> paths;
};

int runDescribe(const Opts& opts)
{
    CVorn engine;
    vorn::cli::LogPaneCaller pane;
    const int result = vorn::cli::importDrops(engine, pane, opts.paths);
    const std::string out = vorn::cli::unixLineEnds(pane.log().c_str());
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
