// `vorn convert` end to end on the sample card: the whole card with the
// default options and with pulldown removal, read back by our reader, FFmpeg
// (the frame counter of every output picture) and MediaInfo; the --report
// record; exit statuses; an abort by SIGINT or SIGTERM that leaves no partial
// clip; the progress line on a terminal only. The source card is
// bit-identical after every run.
#include "helpers/SampleCardTools.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <functional>
#include <set>
#include <fcntl.h>
#include <memory>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vorn::test;

namespace {

std::string q(const fs::path& p) { return shellQuote(p.string()); }

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The options file of every run: absent, so every option has its default.
std::string freshOptions(const fs::path& dir) { return "--options " + q(dir / "options.txt") + " "; }

std::vector<fs::path> mxfFilesBelow(const fs::path& dir)
{
    std::vector<fs::path> out;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ".MXF")
            out.push_back(e.path());
    return out;
}

// What one sample clip becomes.
struct Expect {
    const char* name;
    int format;              // output video format code
    const char* display;     // `vorn describe`'s format column
    const char* size;        // FFmpeg's decoded size
    int rateNum, rateDen;
    int frames;
    int channels;
    double toneScale;        // output tone frequency / source tone frequency
    const char* removal;     // the report's removal decision
    // Frame counter of the output pictures 0..9 (top field, bottom field).
    std::vector<std::pair<int, int>> fields;
};

std::vector<std::pair<int, int>> counting(int from = 0)
{
    std::vector<std::pair<int, int>> out;
    for (int i = from; i < from + 10; ++i) out.push_back({i, i});
    return out;
}

struct CardCase {
    const char* label;
    const char* settings;
    std::vector<Expect> clips;
};

const std::vector<CardCase>& cardCases()
{
    static const std::vector<CardCase> cases = {
        {"defaults", "",
         {
             // 60i and 720p material is copied with its cadence; 25p material goes to
             // 23.976, 25i material (shot interlaced) stays as it is.
             {"0001QV", 1, "HD 1080i60     ", "1280x1080", 30000, 1001, 30, 4, 1.0, "none",
              {{0, 0}, {1, 1}, {1, 2}, {2, 3}, {3, 3}, {4, 4}, {5, 5}, {5, 6}, {6, 7}, {7, 7}}},
             {"0002QV", 2, "HD 720p60      ", "960x720", 60000, 1001, 60, 4, 1.0, "none",
              {{0, 0}, {0, 0}, {1, 1}, {1, 1}, {1, 1}, {2, 2}, {2, 2}, {3, 3}, {3, 3}, {3, 3}}},
             {"0003QV", 8, "DV50 NTSC      ", "720x480", 30000, 1001, 30, 4, 1.0, "none",
              {{0, 0}, {1, 1}, {2, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 5}, {6, 6}, {7, 7}}},
             {"0004QV", 8, "DV50 NTSC      ", "720x480", 24000, 1001, 25, 2, 960.0 / 1001, "none", counting()},
             {"0005QV", 10, "DV25 NTSC      ", "720x480", 30000, 1001, 30, 2, 1.0, "none", counting()},
             {"0006QV", 3, "HD 1080i50     ", "1440x1080", 25, 1, 25, 4, 1.0, "none", counting()},
         }},
        {"removal", "--set RemovePulldown=1 ",
         {
             // Every output picture is one whole camera picture, in order.
             {"0001QV", 1, "HD 1080i60     ", "1280x1080", 24000, 1001, 24, 4, 1.0, "3:2", counting()},
             {"0002QV", 2, "HD 720p60      ", "960x720", 24000, 1001, 24, 4, 1.0, "720p frame selection", counting()},
             {"0003QV", 8, "DV50 NTSC      ", "720x480", 24000, 1001, 24, 4, 1.0, "2:3:3:2", counting()},
             {"0004QV", 8, "DV50 NTSC      ", "720x480", 24000, 1001, 25, 2, 960.0 / 1001, "none", counting()},
             {"0005QV", 10, "DV25 NTSC      ", "720x480", 30000, 1001, 30, 2, 1.0, "none", counting()},
             {"0006QV", 3, "HD 1080i50     ", "1440x1080", 25, 1, 25, 4, 1.0, "none", counting()},
         }},
    };
    return cases;
}

TEST(ConvertCommand, WholeCardWithDefaultsAndWithRemoval)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("mediainfo");
    const fs::path card = sharedSampleCard();
    const std::string before = treeDigest(card);
    for (const auto& c : cardCases()) {
        SCOPED_TRACE(c.label);
        const fs::path dir = scratchDir(c.label);
        const fs::path out = dir / "out", report = dir / "report.json";
        const auto r = runVorn(freshOptions(dir) + "convert " + c.settings + "--dest " + q(out) + " --report " +
                               q(report) + " " + q(card));
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.err, "");   // not a terminal: no progress line
        EXPECT_EQ(r.out.rfind("Adding Folder " + card.string() + "\n0001QV,\t", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\nClick Start to export files\n\nDestination folder: " + out.string() + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_TRUE(endsWith(r.out, "\n*** Export is complete ***\n")) << r.out;
        EXPECT_EQ(r.out.find('\r'), std::string::npos);

        // Our reader: one line per clip of the output card.
        const auto described = runVorn("describe " + q(out / "Card1"));
        const nlohmann::json rep = nlohmann::json::parse(readText(report), nullptr, false);
        ASSERT_FALSE(rep.is_discarded()) << readText(report);
        EXPECT_EQ(rep["verdict"], "Export is complete");
        EXPECT_EQ(rep["exit_status"], 0);
        ASSERT_EQ(rep["clips"].size(), c.clips.size());
        for (size_t i = 0; i < c.clips.size(); ++i) {
            const Expect& e = c.clips[i];
            SCOPED_TRACE(e.name);
            const fs::path video = out / "Card1" / "CONTENTS" / "VIDEO" / (std::string(e.name) + ".MXF");
            EXPECT_NE(described.out.find(std::string("\n") + e.name + ",\t" + e.display + "\t"), std::string::npos)
                << described.out;

            auto v = probeStream(video, "v:0", "codec_name,width,height,r_frame_rate,nb_read_frames", true);
            EXPECT_EQ(v["codec_name"], "dvvideo");
            EXPECT_EQ(v["width"] + "x" + v["height"], e.size);
            EXPECT_EQ(v["r_frame_rate"], std::to_string(e.rateNum) + "/" + std::to_string(e.rateDen));
            EXPECT_EQ(v["nb_read_frames"], std::to_string(e.frames));
            EXPECT_EQ(mediaInfoField(video, "Video", "FrameCount"), std::to_string(e.frames));
            // Every channel keeps its own tone (lowered by 960/1001 where 25p became 23.976p)
            // and has the clip's length.
            const int64_t samples = int64_t(e.frames) * 48000 * e.rateDen / e.rateNum;
            for (int ch = 0; ch < e.channels; ++ch) {
                const fs::path audio = out / "Card1" / "CONTENTS" / "AUDIO" /
                                       (std::string(e.name) + "0" + std::to_string(ch) + ".MXF");
                EXPECT_EQ(mediaInfoField(audio, "Audio", "SamplingRate"), "48000") << audio;
                const auto pcm = decodePcm(audio);
                EXPECT_EQ(int64_t(pcm.size()), samples) << audio;
                EXPECT_NEAR(toneFrequency(pcm), 250.0 * (ch + 2) * e.toneScale, 4.0) << audio;
            }

            const LumaFrames luma = decodeLuma(video);
            ASSERT_EQ(int(luma.frames.size()), e.frames);
            for (size_t f = 0; f < e.fields.size(); ++f)
                EXPECT_EQ(std::make_pair(readCounter(luma.frames[f], luma.width, luma.height, 0),
                                         readCounter(luma.frames[f], luma.width, luma.height, 1)),
                          e.fields[f])
                    << "frame " << f;

            const auto& rc = rep["clips"][i];
            EXPECT_EQ(rc["source"], (card / "CONTENTS" / "VIDEO" / (std::string(e.name) + ".MXF")).string());
            EXPECT_EQ(rc["result"], "complete");
            EXPECT_EQ(rc["target_format"], e.format);
            EXPECT_EQ(rc["frames_written"], e.frames);
            EXPECT_EQ(rc["edit_rate"], std::to_string(e.rateNum) + "/" + std::to_string(e.rateDen));
            EXPECT_EQ(rc["decisions"]["removal"], e.removal);
            EXPECT_GE(rc["seconds"].get<double>(), 0.0);
            ASSERT_TRUE(rc["output_files"].is_array());
            EXPECT_GE(rc["output_files"].size(), size_t(1 + e.channels + 1));   // video, audio, clip XML at least
            for (const auto& f : rc["output_files"])
                EXPECT_TRUE(fs::is_regular_file(out / f.get<std::string>())) << f;
        }
    }
    EXPECT_EQ(treeDigest(card), before);
}

// Mounts a small tmpfs (read-only or tiny) when this process may; empty when not.
struct TmpfsMount {
    fs::path dir;
    TmpfsMount(const fs::path& at, const char* options)
    {
        fs::create_directories(at);
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0)
            dir = at;
        else if (std::string(options).find("ro") == 0 && ::geteuid() != 0) {
            // Without privileges a folder without write permission does the same.
            fs::permissions(at, fs::perms::owner_read | fs::perms::owner_exec);
            dir = at;
        }
    }
    ~TmpfsMount()
    {
        if (!dir.empty() && ::umount(dir.c_str()) != 0)
            fs::permissions(dir, fs::perms::owner_all);
    }
};

TEST(ConvertCommand, ExitStatusesAndVerdicts)
{
    const fs::path card = sharedSampleCard();
    const std::string before = treeDigest(card);
    const fs::path dir = scratchDir("status");
    const fs::path clip = card / "CONTENTS" / "VIDEO" / "0005QV.MXF";
    const fs::path audioOnly = card / "CONTENTS" / "AUDIO" / "0005QV00.MXF";
    fs::create_directories(dir / "empty");
    writeText(dir / "file", "x");
    TmpfsMount readOnly(dir / "ro", "ro,size=1m");
    TmpfsMount tiny(dir / "tiny", "size=64k");
    // Passes the space check of the 25 fps clip (6.6 MB of video and audio needed, counted in
    // whole MB: 6 MB) but cannot hold its 6.3 MB of files.
    TmpfsMount fills(dir / "fills", "size=6000k");

    struct Row {
        const char* label;
        std::string args;
        int status;
        std::string inOutput;     // text the output must hold ("" for none)
        fs::path mustStayEmpty;   // destination that must hold no clip file afterwards
    };
    std::vector<Row> rows = {
        {"no path", "convert", 2, "", {}},
        {"unknown option key", "convert --set NoSuchKey=1 " + q(clip), 2, "", {}},
        {"report is a folder", "convert --report " + q(dir) + " " + q(clip), 2, "", {}},
        {"no clip found", "convert --dest " + q(dir / "o1") + " " + q(dir / "empty"), 1, "", dir / "o1"},
        {"missing path", "convert --dest " + q(dir / "o2") + " " + q(dir / "nope"), 1, "", dir / "o2"},
        {"no destination", "convert --set DestinationFolder= " + q(clip), 1,
         "\nNo destination selected (click Options to select)\n\n*** Export Aborted ***\n", {}},
        {"audio-only file", "convert --dest " + q(dir / "o3") + " " + q(clip) + " " + q(audioOnly), 1,
         "\n*** Export completed with errors ***\n", {}},
        {"destination below a file", "convert --dest " + q(dir / "file" / "out") + " " + q(clip), 1,
         "Error encountered during Initialization.\n\n*** Export Aborted ***\n", {}},
    };
    if (!readOnly.dir.empty())
        rows.push_back({"read-only destination", "convert --dest " + q(readOnly.dir / "out") + " " + q(clip), 1,
                        "Error encountered during Initialization.\n\n*** Export Aborted ***\n", readOnly.dir});
    if (!tiny.dir.empty())
        rows.push_back({"full destination", "convert --dest " + q(tiny.dir) + " " + q(clip), 1,
                        "Error encountered during Initialization.\n\n*** Export Aborted ***\n", tiny.dir});
    else
        std::printf("no tmpfs could be mounted: the read-only and full destination cases are not run\n");

    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const auto r = runVorn(freshOptions(dir) + row.args);
        EXPECT_EQ(r.exitCode, row.status) << r.out << r.err;
        if (!row.inOutput.empty()) {
            EXPECT_NE(r.out.find(row.inOutput), std::string::npos) << r.out << r.err;
        }
        if (!row.mustStayEmpty.empty()) {
            EXPECT_TRUE(mxfFilesBelow(row.mustStayEmpty).empty());
        }
    }

    // A clip whose writing fails leaves no file; the export goes on with the
    // next clip. The log and the report give the system's reason.
    if (!fills.dir.empty()) {
        SCOPED_TRACE("disk full during a clip");
        const fs::path report = dir / "full.json";
        const auto r = runVorn(freshOptions(dir) + "convert --dest " + q(fills.dir) + " --report " + q(report) + " " +
                               q(card / "CONTENTS" / "VIDEO" / "0004QV.MXF") + " " + q(clip));
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_TRUE(endsWith(r.out, "\n*** Export completed with errors ***\n")) << r.out;
        EXPECT_NE(r.out.find(": No space left on device\n"), std::string::npos) << r.out;
        std::vector<std::string> names;
        for (const auto& f : mxfFilesBelow(fills.dir))
            names.push_back(f.filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"0005QV.MXF", "0005QV00.MXF", "0005QV01.MXF"}));
        const nlohmann::json rep = nlohmann::json::parse(readText(report), nullptr, false);
        ASSERT_FALSE(rep.is_discarded());
        ASSERT_EQ(rep["clips"].size(), 2u);
        EXPECT_EQ(rep["clips"][0]["result"], "error");
        EXPECT_NE(rep["clips"][0].value("message", "").find("No space left on device"), std::string::npos) << rep.dump(2);
        EXPECT_TRUE(rep["clips"][0]["output_files"].empty());
        EXPECT_EQ(rep["clips"][1]["result"], "complete");
        EXPECT_EQ(rep["verdict"], "Export completed with errors");
        EXPECT_EQ(rep["exit_status"], 1);
    }
    EXPECT_EQ(treeDigest(card), before);
}

TEST(ConvertCommand, AReaderThatGoesAwayDoesNotStopTheExport)
{
    const fs::path card = sharedSampleCard();
    const fs::path dir = scratchDir("pipe");
    const std::string command = shellQuote(vornPath()) + " " + freshOptions(dir) + "convert --dest " +
                                q(dir / "out") + " " + q(card / "CONTENTS" / "VIDEO" / "0005QV.MXF") +
                                " | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}";
    const auto r = runCommand("bash -c " + shellQuote(command));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(mxfFilesBelow(dir / "out").size(), 3u);   // video and two audio channels
}

// A running `vorn` with its standard output read line by line.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;

    explicit Child(const std::vector<std::string>& args)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out = ::fdopen(fds[0], "r");
    }
    // Reads lines until one contains `text`; everything read is appended to `seen`.
    bool readUntil(const std::string& text, std::string& seen)
    {
        char line[4096];
        while (out && std::fgets(line, sizeof line, out)) {
            seen += line;
            if (std::string(line).find(text) != std::string::npos)
                return true;
        }
        return false;
    }
    int finish(std::string& seen)
    {
        char buf[4096];
        size_t n;
        while (out && (n = std::fread(buf, 1, sizeof buf, out)) > 0) seen.append(buf, n);
        if (out) std::fclose(out);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(ConvertCommand, SignalAbortsTheExportAndLeavesNoPartialClip)
{
    const fs::path card = sharedSampleCard();
    const std::string before = treeDigest(card);
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
        const fs::path dir = scratchDir(sig == SIGINT ? "int" : "term");
        const fs::path out = dir / "out", report = dir / "report.json";
        // The 3:2 removal decodes and encodes every frame: the signal comes while it runs.
        Child child({vornPath(), "--options", (dir / "options.txt").string(), "convert", "--set", "RemovePulldown=1",
                     "--dest", out.string(), "--report", report.string(),
                     (card / "CONTENTS" / "VIDEO" / "0001QV.MXF").string(),
                     (card / "CONTENTS" / "VIDEO" / "0002QV.MXF").string()});
        ASSERT_GT(child.pid, 0);
        std::string seen;
        ASSERT_TRUE(child.readUntil("Dest:", seen)) << seen;
        ::kill(child.pid, sig);
        const int status = child.finish(seen);
        EXPECT_EQ(status, 130) << seen;
        EXPECT_TRUE(endsWith(seen, "\n*** Export Aborted ***\n")) << seen;
        EXPECT_EQ(seen.find("Processing audio"), std::string::npos) << seen;   // its audio is skipped
        EXPECT_EQ(seen.find("0002QV.MXF"), std::string::npos) << seen;         // no further clip starts
        EXPECT_TRUE(mxfFilesBelow(out).empty());

        const nlohmann::json rep = nlohmann::json::parse(readText(report), nullptr, false);
        ASSERT_FALSE(rep.is_discarded());
        EXPECT_EQ(rep["verdict"], "Export Aborted");
        EXPECT_EQ(rep["exit_status"], 130);
        ASSERT_EQ(rep["clips"].size(), 2u);
        EXPECT_EQ(rep["clips"][0]["result"], "aborted");
        EXPECT_TRUE(rep["clips"][0]["output_files"].empty());
        EXPECT_EQ(rep["clips"][1]["result"], "not started");
    }
    EXPECT_EQ(treeDigest(card), before);
}

TEST(ConvertCommand, ProgressLineOnATerminalOnly)
{
    VORN_REQUIRE_TOOL("script");
    const fs::path card = sharedSampleCard();
    const fs::path dir = scratchDir("tty");
    const fs::path clip = card / "CONTENTS" / "VIDEO" / "0003QV.MXF";
    for (bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "quiet" : "progress");
        const fs::path out = dir / (quiet ? "q" : "p");
        // `script` runs the command on a terminal; stdout goes to a file, so the
        // terminal's text is what went to stderr.
        const std::string inner = shellQuote(vornPath()) + " " + freshOptions(dir) + "convert " +
                                  (quiet ? "--quiet " : "") + "--dest " + q(out) + " " + q(clip) + " >" +
                                  q(dir / "stdout.txt");
        const auto r = runCommand("script -qec " + shellQuote(inner) + " /dev/null");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(readText(dir / "stdout.txt").find("*** Export is complete ***"), std::string::npos);
        if (quiet) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_NE(r.out.find("\rclip 1 of 1  0003QV  "), std::string::npos) << r.out;
        }
    }
}

// Each clip's entry in the report states its outcome with the cause and the
// files it has on disk; the verdict and the exit status follow every entry.
TEST(ConvertCommand, ReportAndExitStatusFollowEveryClip)
{
    auto pal = [](const std::string& name) {
        auto c = p2Clip(9, 4, name);
        setBinaryGroup(c, 25, 0);
        return c;
    };
    struct ClipWant {
        const char* result;
        const char* cause;   // text of the message, or of a problem when the clip is complete
    };
    struct Row {
        const char* label;
        std::function<void(const fs::path& src, const fs::path& out)> damage;
        std::vector<ClipWant> clips;
    };
    const std::vector<Row> rows = {
        {"a malformed clip XML, then a good clip",
         [](const fs::path& src, const fs::path&) {
             writeText(src / "CONTENTS" / "CLIP" / "0001AB.XML", "<P2Main><ClipContent>&bogus;</P2Main>");
         },
         {{"error", "is not a readable P2 clip file"}, {"complete", ""}}},
        {"a folder where LASTCLIP.TXT belongs",
         [](const fs::path&, const fs::path& out) { fs::create_directories(out / "Card1" / "LASTCLIP.TXT"); },
         {{"complete", "LASTCLIP.TXT: Is a directory"}, {"complete", "LASTCLIP.TXT: Is a directory"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path dir = scratchDir("report_" + std::to_string(&row - rows.data()));
        const fs::path src = dir / "SRC", out = dir / "out", report = dir / "report.json";
        const auto files = writeP2Card(src, {pal("0001AB"), pal("0002AB")});
        fs::create_directories(out);
        row.damage(src, out);
        const auto r = runVorn(freshOptions(dir) + "convert --set DesiredFrameRate=25 --dest " + q(out) + " --report " +
                               q(report) + " " + q(files[0].video) + " " + q(files[1].video));
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_TRUE(endsWith(r.out, "\n*** Export completed with errors ***\n")) << r.out;
        const nlohmann::json rep = nlohmann::json::parse(readText(report), nullptr, false);
        ASSERT_FALSE(rep.is_discarded());
        EXPECT_EQ(rep["verdict"], "Export completed with errors");
        EXPECT_EQ(rep["exit_status"], 1);
        ASSERT_EQ(rep["clips"].size(), row.clips.size());
        std::set<std::string> reported, onDisk;
        for (size_t i = 0; i < row.clips.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& clip = rep["clips"][i];
            EXPECT_EQ(clip["result"], row.clips[i].result) << clip.dump(2);
            const std::string cause = row.clips[i].cause;
            const bool complete = std::string(row.clips[i].result) == "complete";
            std::string told = clip.value("message", "");
            if (clip.contains("problems"))
                for (const auto& p : clip["problems"]) told += p.get<std::string>();
            if (cause.empty()) {
                EXPECT_EQ(told, "");
            } else {
                EXPECT_NE(told.find(cause), std::string::npos) << clip.dump(2);
                EXPECT_NE(r.out.find(cause), std::string::npos) << r.out;
                EXPECT_EQ(clip.contains("message"), !complete);
            }
            EXPECT_EQ(clip["output_files"].empty(), !complete);
            for (const auto& f : clip["output_files"]) reported.insert(f.get<std::string>());
        }
        for (const auto& e : fs::recursive_directory_iterator(out))
            if (e.is_regular_file() && e.path().filename() != "LASTCLIP.TXT")
                onDisk.insert(e.path().lexically_relative(out).generic_string());
        EXPECT_EQ(reported, onDisk);
    }
}

// Every entry below a folder (folders too), with the digest of its files:
// equal listings mean nothing was added, removed or changed.
std::string entriesAndDigest(const fs::path& root)
{
    std::string out;
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root)) names.push_back(fs::relative(e.path(), root).string());
    std::sort(names.begin(), names.end());
    for (const auto& n : names) out += n + "\n";
    return out + treeDigest(root);
}

TEST(ConvertCommand, ADestinationOverlappingTheSourceCardIsRefused)
{
    const fs::path card = sharedSampleCard();
    const fs::path dir = scratchDir("overlap");
    const fs::path out = dir / "out", own = dir / "own";
    const auto first = runVorn(freshOptions(dir) + "convert --dest " + q(out) + " " +
                               q(card / "CONTENTS" / "VIDEO" / "0005QV.MXF"));
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    copyTree(card, own);
    fs::create_symlink(own / "CONTENTS", dir / "link");
    struct Row {
        const char* label;
        fs::path source, dest, watched;
    };
    const Row rows[] = {
        {"an earlier output into the folder holding it", out / "Card1", out, out},
        {"a clip of it likewise", out / "Card1" / "CONTENTS" / "VIDEO" / "0005QV.MXF", out, out},
        {"a card into itself", own, own, own},
        {"a card into its CONTENTS folder", own, own / "CONTENTS", own},
        {"a card into a folder inside it, through a symlink", own, dir / "link" / "new", own},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string before = entriesAndDigest(row.watched);
        const auto r = runVorn(freshOptions(dir) + "convert --dest " + q(row.dest) + " " + q(row.source));
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(" overlaps the source card "), std::string::npos) << r.out;
        EXPECT_TRUE(endsWith(r.out, "\n*** Export Aborted ***\n")) << r.out;
        EXPECT_EQ(entriesAndDigest(row.watched), before);
    }
}

TEST(ConvertCommand, ConcurrentExportsIntoOneDestinationKeepEveryClip)
{
    const fs::path card = sharedSampleCard();
    const fs::path dir = scratchDir("concurrent");
    // A card of six clips: one DV25 clip's files linked under six names.
    const fs::path from = card / "CONTENTS", to = dir / "src" / "CONTENTS";
    for (const char* sub : {"VIDEO", "AUDIO", "CLIP"}) fs::create_directories(to / sub);
    for (int n = 1; n <= 6; ++n) {
        const std::string name = "000" + std::to_string(n) + "QV";
        fs::create_hard_link(from / "VIDEO" / "0005QV.MXF", to / "VIDEO" / (name + ".MXF"));
        fs::create_hard_link(from / "AUDIO" / "0005QV00.MXF", to / "AUDIO" / (name + "00.MXF"));
        fs::create_hard_link(from / "AUDIO" / "0005QV01.MXF", to / "AUDIO" / (name + "01.MXF"));
        fs::create_hard_link(from / "CLIP" / "0005QV.XML", to / "CLIP" / (name + ".XML"));
    }
    const fs::path out = dir / "out";
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < 4; ++i)
        children.push_back(std::make_unique<Child>(std::vector<std::string>{
            vornPath(), "--options", (dir / "options.txt").string(), "convert", "--dest", out.string(),
            (dir / "src").string()}));
    for (auto& child : children) {
        std::string seen;
        ASSERT_GT(child->pid, 0);
        EXPECT_EQ(child->finish(seen), 0) << seen;
        EXPECT_EQ(seen.find("Could not"), std::string::npos) << seen;
    }
    // 24 clips, each whole.
    const fs::path contents = out / "Card1" / "CONTENTS";
    std::vector<std::string> clips;
    for (const auto& e : fs::directory_iterator(contents / "VIDEO")) clips.push_back(e.path().stem().string());
    std::sort(clips.begin(), clips.end());
    ASSERT_EQ(clips.size(), 24u);
    for (const std::string& name : clips) {
        EXPECT_TRUE(fs::is_regular_file(contents / "CLIP" / (name + ".XML"))) << name;
        EXPECT_TRUE(fs::is_regular_file(contents / "AUDIO" / (name + "01.MXF"))) << name;
    }
    for (const auto& e : fs::recursive_directory_iterator(out))
        EXPECT_NE(e.path().filename().string().rfind(".vorn-", 0), 0u) << e.path();
}

} // namespace

TEST(ConvertCommand, SourceNameThatIsNotUtf8)
{
    // A clip whose file name holds a byte that is not UTF-8: the report is
    // written (JSON text, the path escaped without loss) and the clip XML is
    // well-formed UTF-8 naming the clip with U+FFFD for that byte.
    const fs::path dir = scratchDir("convert_bytes");
    const std::string name = "0001A\xFF";
    auto clip = p2Clip(9, 3, name);
    setBinaryGroup(clip, 25, 0);
    const auto files = writeP2Card(dir / "SRC", {clip});
    const fs::path out = dir / "out", report = dir / "report.json";
    const auto r = runVorn(freshOptions(dir) + "convert --set DesiredFrameRate=25 --dest " + q(out) + " --report " +
                           q(report) + " " + q(files[0].video));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    ASSERT_TRUE(fs::exists(report)) << r.out << r.err;
    const nlohmann::json rep = nlohmann::json::parse(readText(report), nullptr, false);
    ASSERT_FALSE(rep.is_discarded()) << readText(report);
    ASSERT_EQ(rep["clips"].size(), 1u);
    const std::string source = rep["clips"][0]["source"].get<std::string>();
    const std::string videoPath = files[0].video.string();
    const std::string escaped = videoPath.substr(0, videoPath.size() - 5) + "\\xFF.MXF";
    EXPECT_EQ(source, escaped);
    EXPECT_EQ(rep["clips"][0]["result"], "complete");
    bool outputNamed = false;
    for (const auto& f : rep["clips"][0]["output_files"])
        outputNamed |= f.get<std::string>() == "Card1/CONTENTS/VIDEO/0001A\\xFF.MXF";
    EXPECT_TRUE(outputNamed) << rep.dump(2);

    // The files keep the name's bytes; the XML names the clip in UTF-8.
    const fs::path contents = out / "Card1" / "CONTENTS";
    EXPECT_TRUE(fs::exists(contents / "VIDEO" / (name + ".MXF")));
    const fs::path xml = contents / "CLIP" / (name + ".XML");
    ASSERT_TRUE(fs::exists(xml));
    EXPECT_NE(readText(xml).find("<ClipName>0001A\xEF\xBF\xBD</ClipName>"), std::string::npos) << readText(xml);
    if (haveTool("xmllint")) {
        const auto lint = runCommand("xmllint --noout " + q(xml));
        EXPECT_EQ(lint.exitCode, 0) << lint.err;
    }
}
