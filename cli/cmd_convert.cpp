// `vorn convert [--dest DIR] [--report FILE.json] [--quiet] PATH...`: imports
// each path as a drop on the log pane (prints that log), then exports the
// clip list as the pane's Start does: the options are handed to the engine in
// the pane's order and StartExport runs the export on its own thread. Every
// engine message is printed as it arrives, the progress is one redrawn line on
// a terminal's stderr, and SIGINT or SIGTERM answers Yes to "Abort processing?".
#include "Command.h"
#include "ImportDrops.h"
#include "OptionsSetup.h"

#include "engine/Caller.h"
#include "engine/ExportPlan.h"
#include "engine/ExportResult.h"
#include "engine/Vorn.h"
#include "foundation/Cpu.h"
#include "foundation/Notifier.h"
#include "foundation/Options.h"
#include "mxf/XmlNode.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using vorn::cli::unixLineEnds;

struct Opts {
    std::vector<std::string> paths;
    std::string dest;
    std::string report;
    bool quiet = false;
};

// The console as the export's log pane: messages go to stdout as they arrive,
// the progress to one redrawn line on stderr (a terminal only), message boxes
// to stderr. Called from the export thread.
class ConsolePane : public CCaller {
public:
    ConsolePane(const CVorn& engine, bool showProgress) : m_engine(engine), m_showProgress(showProgress) {}

    void ExportDone() override
    {
        const char* verdict = IsAborted()    ? "\r\n*** Export Aborted ***\r\n"
                              : HadErrors() ? "\r\n*** Export completed with errors ***\r\n"
                                            : "\r\n*** Export is complete ***\r\n";
        Message(verdict, 0, 1);
    }
    void MessageString(const QelString& text, int replaceLog, int flag) override
    {
        Message(text.c_str(), replaceLog, flag);
    }
    void Message(const char* text, int, int) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // On a shared terminal the progress line steps aside for the text.
        if (m_stdoutIsTerminal)
            clearProgressLine();
        const std::string out = unixLineEnds(text);
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        if (m_stdoutIsTerminal)
            drawProgressLine();
    }
    void SetProgress(int, int) override
    {
        if (!m_showProgress)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        const vorn::ExportProgress& p = m_engine.Progress();
        if (p.clipName.empty())
            return;   // no clip has started yet
        // At most ten redraws a second, but every clip is shown.
        const auto now = std::chrono::steady_clock::now();
        const std::string clip = std::to_string(p.clipIndex) + p.clipName;
        if (m_shown && clip == m_lastClip && now - m_lastDraw < std::chrono::milliseconds(100))
            return;
        m_lastDraw = now;
        m_lastClip = clip;
        const int percent = p.plannedFrames > 0 ? int(std::min<int64_t>(100, p.framesWritten * 100 / p.plannedFrames)) : 0;
        const double fps = p.clipSeconds > 0.0 ? double(p.sourceFramesRead) / p.clipSeconds : 0.0;
        char left[32] = "--:--";
        if (p.framesWritten > 0 && p.plannedFrames >= p.framesWritten && p.clipSeconds > 0.0) {
            const int64_t s = int64_t(double(p.plannedFrames - p.framesWritten) * p.clipSeconds / double(p.framesWritten) + 0.5);
            std::snprintf(left, sizeof left, "%lld:%02lld", (long long)(s / 60), (long long)(s % 60));
        }
        char line[256];
        std::snprintf(line, sizeof line, "clip %d of %d  %s  %3d%%  %.1f fps  %s left", p.clipIndex + 1, p.clipCount,
                      p.clipName.c_str(), percent, fps, left);
        m_line = line;
        drawProgressLine();
    }
    // Takes the progress line off the terminal (before other output on stderr).
    void clearProgress()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        clearProgressLine();
        m_line.clear();
    }
    // A message box: its title and text on stderr.
    void Notify(const std::string& title, const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        clearProgressLine();
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
        drawProgressLine();
    }

private:
    void clearProgressLine()
    {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
        m_shown = false;
    }
    void drawProgressLine()
    {
        if (!m_showProgress || m_line.empty())
            return;
        std::fprintf(stderr, "\r%s\033[K", m_line.c_str());
        std::fflush(stderr);
        m_shown = true;
    }

    const CVorn& m_engine;
    const bool m_showProgress;
    const bool m_stdoutIsTerminal = ::isatty(STDOUT_FILENO) != 0;
    std::mutex m_mutex;
    std::string m_line;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
    std::string m_lastClip;
};

// True when a clip did not end complete or had a problem after it was written.
bool anyClipFailed(const std::vector<vorn::ClipResult>& results)
{
    for (const vorn::ClipResult& r : results)
        if (r.outcome != vorn::ClipOutcome::Complete || !r.problems.empty())
            return true;
    return false;
}

const char* verdictName(const CCaller& caller, const std::vector<vorn::ClipResult>& results)
{
    return caller.IsAborted()                             ? "Export Aborted"
           : caller.HadErrors() || anyClipFailed(results) ? "Export completed with errors"
                                                          : "Export is complete";
}

// Paths are bytes, JSON text is UTF-8: bytes that are not UTF-8 are written
// as \xHH (a backslash that would read as such as \x5C), which keeps every
// path exactly.
std::string jsonText(const std::string& bytes) { return vorn::mxf::escapeInvalidUtf8(bytes); }

nlohmann::json reportOf(const CVorn& engine, const CCaller& caller, int exitStatus)
{
    const std::vector<vorn::ClipResult> results = engine.Results();
    nlohmann::json clips = nlohmann::json::array();
    for (const vorn::ClipResult& r : results) {
        nlohmann::json c;
        c["source"] = jsonText(r.sourcePath);
        c["result"] = vorn::clipOutcomeName(r.outcome);
        if (!r.message.empty())
            c["message"] = jsonText(r.message);
        if (!r.problems.empty()) {
            nlohmann::json problems = nlohmann::json::array();
            for (const std::string& problem : r.problems)
                problems.push_back(jsonText(problem));
            c["problems"] = std::move(problems);
        }
        c["source_format"] = r.sourceFormat;
        c["source_frames"] = r.sourceFrames;
        c["target_format"] = r.targetFormat;
        c["planned_frames"] = r.plannedFrames;
        c["frames_written"] = r.framesWritten;
        c["edit_rate"] = std::to_string(r.rateNum) + "/" + std::to_string(r.rateDen);
        c["decisions"] = {
            {"pulldown_label", r.pulldownLabel}, {"removal", r.removal},     {"addition", r.addition},
            {"speed_change", r.speedChange},     {"reencode", r.reencode},   {"crop", r.crop},
            {"rotation", r.rotate},              {"noise_reduction", r.reduceNoise},
        };
        c["undecodable_frames"] = r.undecodableFrames;
        nlohmann::json files = nlohmann::json::array();
        for (const std::string& f : r.outputFiles)
            files.push_back(jsonText(f));
        c["output_files"] = std::move(files);
        c["seconds"] = r.seconds;
        clips.push_back(std::move(c));
    }
    return {
        {"destination", jsonText(engine.m_destination.str())},
        {"clips", std::move(clips)},
        {"verdict", verdictName(caller, results)},
        {"exit_status", exitStatus},
    };
}

// Writes a file under a temporary name in its folder and renames it into
// place, so that no existing file (or what a symbolic link points to) is ever
// opened for writing. False with errno set when it fails.
bool writeFileReplacing(const fs::path& path, const std::string& content)
{
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path temp =
            folder / ("." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt));
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        size_t done = 0;
        bool ok = true;
        while (ok && done < content.size()) {
            const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += size_t(n);
        }
        ok = ::close(fd) == 0 && ok;
        const int saved = errno;
        if (ok && ::rename(temp.c_str(), path.c_str()) == 0)
            return true;
        const int renameErrno = ok ? errno : saved;
        ::unlink(temp.c_str());
        errno = renameErrno;
        return false;
    }
    errno = EEXIST;
    return false;
}

int runConvert(const Opts& o, const vorn::cli::Common& common)
{
    using namespace vorn::cli;
    // A reader that goes away (`vorn convert ... | head`) does not end the
    // export half-way: the messages are lost, the clips are still written.
    std::signal(SIGPIPE, SIG_IGN);
    COptions options = loadOptions(common);
    if (!o.dest.empty())
        options.setString(OptionKey::DestinationFolder, o.dest);
    if (!o.report.empty() && fs::is_directory(o.report))
        throw UsageError("--report needs a file name, not a folder: " + o.report);

    // The drops on the log pane, then the pane's log.
    CVorn engine;
    LogPaneCaller importLog;
    int result = importDrops(engine, importLog, o.paths);
    const std::string log = unixLineEnds(importLog.log().c_str());
    std::fwrite(log.data(), 1, log.size(), stdout);
    std::fflush(stdout);

    // Start, as the pane does it.
    ConsolePane pane(engine, !o.quiet && ::isatty(STDERR_FILENO));
    if (!vorn::processorHasSse2()) {
        pane.Message("WARNING: Your processor is not Pentium 4/Athlon 64 compatible. Vorn will not function properly\r\n",
                     0, 1);
        return kExitFailed;
    }
    if (engine.FileCount() == 0) {
        std::fprintf(stderr, "vorn: no clip found\n");
        return kExitFailed;
    }
    const vorn::NotifyHandler previousNotify =
        vorn::setNotifyHandler([&pane](const std::string& title, const std::string& text) { pane.Notify(title, text); });

    // SIGINT and SIGTERM are taken by this thread alone from here on; the
    // export thread and the codec workers inherit the blocked set.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    engine.SetDestination(options.getString(OptionKey::DestinationFolder).c_str());
    engine.SetPulldown(options.getBool(OptionKey::RemovePulldown) ? 1 : 0, options.getBool(OptionKey::AddPulldown) ? 1 : 0);
    const vorn::ExportOptions exportOptions = vorn::exportOptionsFrom(options);
    engine.SetDesiredRate(exportOptions.desiredRate);
    engine.SetPreviewTarget(0, 80);
    engine.ClearPause();
    engine.StartExport(&pane, exportOptions);

    bool userAborted = false;
    while (engine.IsExporting()) {
        const timespec wait{0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig != SIGINT && sig != SIGTERM)
            continue;
        if (userAborted && sig == SIGINT) {
            pane.clearProgress();
            std::fflush(stdout);
            std::_Exit(130);
        }
        // The answer Yes to "Abort processing?".
        userAborted = true;
        engine.SetPause();
        pane.Abort();
        engine.ClearPause();
    }
    engine.WaitForExport();
    pane.clearProgress();
    vorn::setNotifyHandler(previousNotify);

    if (userAborted)
        result = 130;
    else if (pane.IsAborted() || pane.HadErrors() || anyClipFailed(engine.Results()))
        result = kExitFailed;

    if (!o.report.empty()) {
        // Texts are made valid UTF-8 above; any other stray byte is replaced, never thrown on.
        const std::string text =
            reportOf(engine, pane, result).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        if (!writeFileReplacing(o.report, text)) {
            std::fprintf(stderr, "vorn: cannot write the report %s: %s\n", o.report.c_str(), std::strerror(errno));
            if (result == kExitOk)
                result = kExitFailed;
        }
    }
    return result;
}

vorn::cli::Registration reg{30, [](CLI::App& root, const vorn::cli::Common& common) {
    CLI::App* app = root.add_subcommand("convert", "Convert P2 clips into new P2 cards (as the Start button does)");
    auto opts = std::make_shared<Opts>();
    app->add_option("--dest", opts->dest, "Destination folder for this run (the option DestinationFolder)");
    app->add_option("--report", opts->report, "Write a JSON report of every clip and the verdict to FILE.json");
    app->add_flag("--quiet", opts->quiet, "No progress line");
    app->add_option("PATH", opts->paths, "Clip files, folders of clips, P2 card, CONTENTS or VIDEO folders")->required();
    return vorn::cli::Subcommand{app, [opts, &common]() { return runConvert(*opts, common); }};
}};

} // namespace
