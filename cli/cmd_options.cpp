// `vorn options [KEY[=VALUE]]...`: shows and changes the saved options.
#include "Command.h"
#include "OptionsSetup.h"

#include <cstdio>
#include <string>
#include <memory>

namespace {

struct Opts {
    std::vector<std::string> items;
};

int runOptions(const Opts& opts, const vorn::cli::Common& common)
{
    using namespace vorn::cli;
    COptions live = loadOptions(common);

    // Check every argument before anything is shown or saved.
    bool changes = false;
    for (const auto& item : opts.items) {
        if (item.find('=') != std::string::npos) {
            COptions scratch;
            applySetting(scratch, item);
            changes = true;
        } else if (!live.has(item)) {
            throw UsageError("unknown option key: " + item);
        }
    }

    if (opts.items.empty()) {
        for (const auto& [key, value] : live.entries())
            std::printf("%s = %s\n", key.c_str(), value.c_str());
        return kExitOk;
    }

    // Changes are saved on top of the file as it stands, so --set overrides
    // of this run are not written.
    COptions saved;
    std::filesystem::path file = optionsFilePath(common);
    saved.load(QelString(file.string()));
    for (const auto& item : opts.items) {
        if (item.find('=') != std::string::npos) {
            applySetting(live, item);
            applySetting(saved, item);
        } else {
            std::printf("%s\n", live.getString(item).c_str());
        }
    }
    std::fflush(stdout);
    if (changes && !saved.save(file.string().c_str())) {
        const std::string notice = saved.takeSaveFailureNotice();
        if (!notice.empty())
            std::fprintf(stderr, "Quintell: %s\n", notice.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

vorn::cli::Registration reg{90, [](CLI::App& root, const vorn::cli::Common& common) {
    CLI::App* app = root.add_subcommand("options", "Show options, or set and save them (KEY=VALUE)");
    auto opts = std::make_shared<Opts>();
    app->add_option("items", opts->items, "KEY to show one value, KEY=VALUE to set and save it");
    return vorn::cli::Subcommand{app, [opts, &common]() { return runOptions(*opts, common); }};
}};

} // namespace
