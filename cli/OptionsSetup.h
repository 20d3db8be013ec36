// Loading the options of a command run: the options file
// (--options FILE or the Data folder's options.txt) and then every
// --set KEY=VALUE, in order, for this run only.
#pragma once

#include "Command.h"
#include "foundation/Options.h"

#include <filesystem>
#include <string>

namespace vorn::cli {

// The options file of this run: --options FILE when given, else
// dataDirectory()/"options.txt". This is also where `vorn options` saves.
std::filesystem::path optionsFilePath(const Common& common);

// The command's options: the defaults, then the options file (a missing file
// leaves the defaults), then each --set in order (not saved). Throws
// UsageError for a malformed --set or an unknown key.
COptions loadOptions(const Common& common);

// Applies one "KEY=VALUE" text to the options (the key is trimmed of spaces,
// the value is taken as written). Throws UsageError naming the key when it is
// not an option key, or when the text has no "=" or an empty key.
void applySetting(COptions& options, const std::string& keyEqualsValue);

} // namespace vorn::cli
