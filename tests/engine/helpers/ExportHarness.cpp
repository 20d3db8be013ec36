#include "engine/helpers/ExportHarness.h"

#include "foundation/Options.h"
#include "support/TestSupport.h"

#include <functional>

namespace vorn::test {

namespace fs = std::filesystem;

void RecordingCaller::ExportDone()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_done;
    if (IsAborted())
        m_verdict = "\r\n*** Export Aborted ***\r\n";
    else if (HadErrors())
        m_verdict = "\r\n*** Export completed with errors ***\r\n";
    else
        m_verdict = "\r\n*** Export is complete ***\r\n";
}

void RecordingCaller::MessageString(const QelString& text, int replaceLog, int flag)
{
    Message(text.c_str(), replaceLog, flag);
}

void RecordingCaller::Message(const char* text, int replaceLog, int)
{
    const std::string t = text ? text : "";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (replaceLog)
            m_log = t;
        else
            m_log += t;
    }
    if (onMessage)
        onMessage(t);
}

void RecordingCaller::SetProgress(int, int percent)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_progress.push_back(percent);
    }
    if (onProgress)
        onProgress(percent);
}

std::string RecordingCaller::log() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

std::string RecordingCaller::verdict() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_verdict;
}

std::vector<int> RecordingCaller::progress() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_progress;
}

int RecordingCaller::doneCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

ExportRun exportPaths(const std::vector<std::string>& paths, const fs::path& destination,
                      const std::function<void(ExportSettings&)>& configure,
                      const std::function<void(CVorn&, RecordingCaller&)>& prepare)
{
    ExportSettings settings;
    if (configure)
        configure(settings);
    COptions options;
    for (const char* key : {OptionKey::Rotation, OptionKey::Remove32, OptionKey::RemoveAdvanced, OptionKey::Add32,
                            OptionKey::AddAdvanced, OptionKey::ReduceNoise, OptionKey::ShowFrames})
        options.setBool(key, false);
    options.setString(OptionKey::DesiredFrameSize, "no conversion");
    options.setString(OptionKey::FrameScale, "Half size");
    options.setString(OptionKey::CardSize, "0");
    for (const auto& [key, value] : settings.options)
        options.setString(key, value);

    CVorn engine;
    RecordingCaller importCaller;
    for (const auto& p : paths)
        engine.Import(&importCaller, p.c_str());
    RecordingCaller caller;
    if (prepare)
        prepare(engine, caller);
    engine.SetDestination(destination.string().c_str());
    engine.SetPulldown(settings.removePulldown, settings.addPulldown);
    engine.SetDesiredRate(settings.desiredRate);
    engine.SetPreviewTarget(0, 80);
    engine.ClearPause();
    engine.StartExport(&caller, vorn::exportOptionsFrom(options));
    engine.WaitForExport();

    ExportRun run;
    run.log = caller.log();
    run.verdict = caller.verdict();
    run.progress = caller.progress();
    run.results = engine.Results();
    EXPECT_EQ(caller.doneCalls(), 1);
    EXPECT_FALSE(engine.IsExporting());
    return run;
}

std::map<std::string, std::string> treeSnapshot(const fs::path& root)
{
    std::map<std::string, std::string> out;
    std::error_code ec;
    if (!fs::exists(root, ec))
        return out;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path rel = it->path().lexically_relative(root);
        if (it->is_directory()) {
            out[rel.generic_string()] = "dir";
            continue;
        }
        const auto bytes = readBytes(it->path());
        const std::string text(bytes.begin(), bytes.end());
        out[rel.generic_string()] = std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string>{}(text));
    }
    return out;
}

} // namespace vorn::test
