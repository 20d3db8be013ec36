// Where the program keeps its files on this platform.
#pragma once

#include <filesystem>
#include <string>

namespace vorn {

// The diagnostic log file: "C:\QelLog.txt" on Windows; elsewhere
// $XDG_STATE_HOME/quintell-vorn/QelLog.txt (default ~/.local/state/...).
// VORN_LOG_FILE overrides it; an empty value switches the file off.
std::string defaultLogFilePath();

// The Data folder (options.txt, versions.txt): beside the executable on Windows;
// elsewhere $XDG_CONFIG_HOME/quintell-vorn/Data (default ~/.config/...).
// VORN_DATA_DIR overrides it.
std::filesystem::path dataDirectory();

// The running executable's file and its folder (empty when unknown).
std::filesystem::path executablePath();
std::filesystem::path executableDirectory();

// The default destination of exports: "C:\quintellFiles" on Windows; elsewhere
// the user's videos folder ($XDG_VIDEOS_DIR, else ~/Videos) plus "/Quintell Vorn".
std::string defaultDestinationFolder();

// True when debugger output (the log's trace copy) goes to stderr: VORN_DEBUG is set.
bool debugOutputEnabled();

} // namespace vorn
