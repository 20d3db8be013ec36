#include "Command.h"

#include "foundation/Log.h"
#include "foundation/Platform.h"

#include <algorithm>
#include <cstdio>
#include <exception>

namespace vorn::cli {

std::vector<RegisteredCommand>& registeredCommands()
{
    static std::vector<RegisteredCommand> list;
    return list;
}

Registration::Registration(int order, SetupFn setup)
{
    registeredCommands().push_back({order, std::move(setup)});
}

CLI::App& codecGroup(CLI::App& root)
{
    for (CLI::App* sub : root.get_subcommands([](CLI::App*) { return true; }))
        if (sub->get_name() == "codec")
            return *sub;
    CLI::App* group = root.add_subcommand("codec", "Engineers' codec commands on raw frames and pictures");
    group->require_subcommand(1);
    return *group;
}

} // namespace vorn::cli

int main(int argc, char** argv)
{
    using namespace vorn::cli;
    // The run's diagnostic log.
    vorn::LogFile logFile(vorn::defaultLogFilePath());
    vorn::LogScope logScope(logFile);

    CLI::App app{"vorn: converts and inspects P2 clips (op-atom MXF)"};
    app.require_subcommand(1);
    Common common;
    app.add_option("--options", common.optionsFile, "Read and save options from FILE instead of the Data folder");
    app.add_option("--set", common.settings, "Override an option for this run: KEY=VALUE (repeatable)")
        ->allow_extra_args(false);
    app.fallthrough();

    auto& regs = registeredCommands();
    std::stable_sort(regs.begin(), regs.end(), [](auto& a, auto& b) { return a.order < b.order; });
    std::vector<Subcommand> subs;
    for (auto& r : regs)
        subs.push_back(r.setup(app, common));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    try {
        for (auto& s : subs)
            if (s.app && s.app->parsed() && s.run)
                return s.run();
    } catch (const UsageError& e) {
        std::fprintf(stderr, "vorn: %s\n", e.what());
        return kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorn: %s\n", e.what());
        return kExitFailed;
    }
    return kExitUsage;
}
