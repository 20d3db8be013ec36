// Subcommands of the `vorn` program. Each cmd_*.cpp registers itself with a
// static Registration; main() builds the CLI11 application from the list.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace vorn::cli {

// Exit codes of every command.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,   // a clip or file failed
    kExitUsage = 2,    // a usage error
};

// Options common to all commands, parsed before the subcommand runs.
struct Common {
    std::string optionsFile;              // --options FILE
    std::vector<std::string> settings;    // --set KEY=VALUE, in order
};

// A subcommand adds itself to the application and sets `run`, which main()
// calls after parsing when that subcommand was chosen.
struct Subcommand {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

using SetupFn = std::function<Subcommand(CLI::App& root, const Common& common)>;

struct Registration {
    Registration(int order, SetupFn setup);
};

struct RegisteredCommand {
    int order;
    SetupFn setup;
};
std::vector<RegisteredCommand>& registeredCommands();

// The `codec` command group (created on first use); the engineers' codec
// commands (dv-decode, dv-encode, avci-decode) are its subcommands.
CLI::App& codecGroup(CLI::App& root);

// Raised by a command for a usage error found after parsing (exit code 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace vorn::cli
