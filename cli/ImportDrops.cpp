#include "ImportDrops.h"

#include "Command.h"
#include "engine/Vorn.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace vorn::cli {

void LogPaneCaller::MessageString(const QelString& text, int replaceLog, int flag)
{
    Message(text.c_str(), replaceLog, flag);
}

void LogPaneCaller::Message(const char* text, int replaceLog, int)
{
    if (replaceLog)
        m_log.clear();
    if (text)
        m_log += text;
}

int importDrops(CVorn& engine, CCaller& pane, const std::vector<std::string>& paths)
{
    int result = kExitOk;
    for (const auto& path : paths) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            std::fprintf(stderr, "vorn: no such file or folder: %s\n", path.c_str());
            result = kExitFailed;
            continue;
        }
        engine.Import(&pane, path.c_str());
    }
    return result;
}

std::string unixLineEnds(const char* text)
{
    std::string out;
    if (!text)
        return out;
    for (const char* c = text; *c; ++c)
        if (!(c[0] == '\r' && c[1] == '\n'))
            out.push_back(*c);
    return out;
}

} // namespace vorn::cli
