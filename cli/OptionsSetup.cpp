#include "OptionsSetup.h"

#include "foundation/Platform.h"

namespace vorn::cli {

std::filesystem::path optionsFilePath(const Common& common)
{
    if (!common.optionsFile.empty())
        return std::filesystem::path(common.optionsFile);
    return dataDirectory() / "options.txt";
}

void applySetting(COptions& options, const std::string& keyEqualsValue)
{
    size_t eq = keyEqualsValue.find('=');
    if (eq == std::string::npos)
        throw UsageError("malformed setting '" + keyEqualsValue + "' (expected KEY=VALUE)");
    std::string key = keyEqualsValue.substr(0, eq);
    size_t first = key.find_first_not_of(' ');
    size_t last = key.find_last_not_of(' ');
    key = first == std::string::npos ? std::string() : key.substr(first, last - first + 1);
    if (key.empty())
        throw UsageError("malformed setting '" + keyEqualsValue + "' (expected KEY=VALUE)");
    if (!options.has(key))
        throw UsageError("unknown option key: " + key);
    std::string value = keyEqualsValue.substr(eq + 1);
    if (value.find_first_of("\r\n") != std::string::npos)
        throw UsageError("the value of option " + key + " cannot contain a line break");
    options.setString(key, value);
}

COptions loadOptions(const Common& common)
{
    COptions options;
    options.load(QelString(optionsFilePath(common).string()));
    for (const auto& setting : common.settings)
        applySetting(options, setting);
    return options;
}

} // namespace vorn::cli
