// Exports whose source or destination changes under them while they run:
// the destination turned read-only or removed, the source truncated or
// removed while a clip is read. Each run is checked for its verdict, each
// clip's result and the destination's files with their hashes.
#include "engine/ExportResult.h"
#include "engine/Vorn.h"
#include "engine/helpers/ExportHarness.h"
#include "mxf/ExportMxf.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;
using vorn::ClipOutcome;

constexpr int64_t kFrames = 12;
constexpr int64_t kActAtFrame = 3;
// A file another program writes into the destination.
constexpr const char* kFiller = "filler.bin";

P2Clip palClip(const std::string& name)
{
    auto c = p2Clip(9, kFrames, name);
    setBinaryGroup(c, 25, 0);
    return c;
}

// A tmpfs mounted for one test and unmounted after it; `error` says why
// when this process may not mount.
struct ScratchTmpfs {
    fs::path dir;
    std::string error;
    explicit ScratchTmpfs(const fs::path& at)
    {
        fs::create_directories(at);
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=16m") == 0)
            dir = at;
        else
            error = std::strerror(errno);
    }
    ~ScratchTmpfs()
    {
        if (!dir.empty())
            ::umount2(dir.c_str(), MNT_DETACH);
    }
    ScratchTmpfs(const ScratchTmpfs&) = delete;
    ScratchTmpfs& operator=(const ScratchTmpfs&) = delete;
};

// Whether a file below the destination is one of the exporter's temporaries.
bool isTemporary(const std::string& relative)
{
    return fs::path(relative).filename().string().rfind(".vorn-", 0) == 0;
}

// Cuts a fixture's essence file `kept` bytes into the essence of its element `key`.
void cutEssence(const fs::path& file, const MxfKey& key, int64_t kept)
{
    const auto bytes = readBytes(file);
    const auto at = std::search(bytes.begin(), bytes.end(), key.begin(), key.end());
    ASSERT_NE(at, bytes.end());
    size_t start = static_cast<size_t>(at - bytes.begin()) + key.size();
    ASSERT_LT(start, bytes.size());
    start += (bytes[start] & 0x80) ? 1 + (bytes[start] & 0x7f) : 1;   // BER length
    const size_t cut = start + static_cast<size_t>(kept);
    ASSERT_LT(cut, bytes.size());
    fs::resize_file(file, cut);
}

// Files (not folders) of a snapshot.
std::map<std::string, std::string> filesOf(const std::map<std::string, std::string>& tree)
{
    std::map<std::string, std::string> files;
    for (const auto& [path, digest] : tree)
        if (digest != "dir")
            files[path] = digest;
    return files;
}

enum class When {
    BeforeSecondClip,    // after the first clip is finished, before the second one's files are opened
    InsideSecondClip,    // after the second clip's frame kActAtFrame is read and written
};

struct Expect {
    ClipOutcome outcome;
    const char* message;   // text the clip's message holds ("" when it has none)
    int64_t frames;        // frames in the clip's files on disk (0: the clip has no file)
};

struct HostileCase {
    const char* name;
    bool onTmpfs;   // the destination is a tmpfs of its own
    When when;
    // Changes the source card `src` or the destination `out`.
    std::function<void(const fs::path& src, const fs::path& out, const std::vector<P2ClipFiles>& files)> act;
    const char* verdict;
    std::vector<Expect> clips;
    // Whether the destination's files are gone (else the first clip's files
    // are still those it had when the change was made).
    bool destinationGone;
};

TEST(ExportUnderHostileConditions, EachChangeEndsOnlyTheClipItHits)
{
    const char* withErrors = "\r\n*** Export completed with errors ***\r\n";
    const char* complete = "\r\n*** Export is complete ***\r\n";
    const char* aborted = "\r\n*** Export Aborted ***\r\n";
    // DV25 PAL frames.
    constexpr int64_t frameBytes = 144000;
    constexpr int64_t keptFrames = 8;
    const std::vector<HostileCase> cases = {
        // Nothing more can be written: the export stops at the clip that found it.
        {"destination turned read-only between clips", true, When::BeforeSecondClip,
         [](const fs::path&, const fs::path& out, const std::vector<P2ClipFiles>&) {
             ASSERT_EQ(::mount("tmpfs", out.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=16m"), 0)
                 << std::strerror(errno);
         },
         aborted,
         {{ClipOutcome::Complete, "", kFrames}, {ClipOutcome::Error, "Read-only file system", 0}},
         false},
        {"destination filled by another program while a clip is written", true, When::InsideSecondClip,
         [](const fs::path&, const fs::path& out, const std::vector<P2ClipFiles>&) {
             std::FILE* filler = std::fopen((out / kFiller).c_str(), "wb");
             ASSERT_NE(filler, nullptr);
             const std::vector<char> block(64 * 1024, 'f');
             while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
             }
             std::fclose(filler);
         },
         withErrors,
         {{ClipOutcome::Complete, "", kFrames}, {ClipOutcome::Error, "No space left on device", 0}},
         false},
        {"destination removed while a clip is written", false, When::InsideSecondClip,
         [](const fs::path&, const fs::path& out, const std::vector<P2ClipFiles>&) { fs::remove_all(out); },
         withErrors,
         {{ClipOutcome::Complete, "", kFrames}, {ClipOutcome::Error, "No such file or directory", 0}},
         true},
        // The clip is written again up to the last whole frame and told as damaged.
        {"source video truncated while it is read", false, When::InsideSecondClip,
         [&](const fs::path&, const fs::path&, const std::vector<P2ClipFiles>& files) {
             // Eight whole frames and half of the ninth.
             cutEssence(files[1].video, kFixtureDvElementKey, keptFrames * frameBytes + frameBytes / 2);
         },
         withErrors,
         {{ClipOutcome::Complete, "", kFrames},
          {ClipOutcome::Error, "source frame 8 is incomplete", keptFrames}},
         false},
        // The samples it no longer holds are silence, and the clip is told as damaged.
        {"source audio cut while the clip is read", false, When::InsideSecondClip,
         [&](const fs::path&, const fs::path&, const std::vector<P2ClipFiles>& files) {
             // All but its last 1000 16-bit samples.
             cutEssence(files[1].audio[1], kFixtureSoundElementKey, (kFrames * 1920 - 1000) * 2);
         },
         withErrors,
         {{ClipOutcome::Complete, "", kFrames},
          {ClipOutcome::Error, "audio channel 2 ended early: 1000 of its samples could not be read", kFrames}},
         false},
        // Open files stay readable when their names are removed.
        {"source card removed while a clip is read", false, When::InsideSecondClip,
         [](const fs::path& src, const fs::path&, const std::vector<P2ClipFiles>&) { fs::remove_all(src); },
         complete,
         {{ClipOutcome::Complete, "", kFrames}, {ClipOutcome::Complete, "", kFrames}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir(std::string("export_hostile_") + std::to_string(&c - cases.data()));
        const fs::path src = dir / "SRC";
        const fs::path out = dir / "OUT";
        std::unique_ptr<ScratchTmpfs> tmpfs;
        if (c.onTmpfs) {
            tmpfs = std::make_unique<ScratchTmpfs>(out);
            if (tmpfs->dir.empty()) {
                std::cout << "[  SKIPPED ] " << c.name << ": cannot mount a tmpfs here (" << tmpfs->error
                          << "); this case runs as root\n";
                continue;
            }
        } else {
            fs::create_directories(out);
        }
        const auto files = writeP2Card(src, {palClip("0001AB"), palClip("0002AB")});
        const auto sourceBefore = treeSnapshot(src);

        std::map<std::string, std::string> atChange;
        std::map<std::string, std::string> sourceChanged;
        bool acted = false;
        auto act = [&] {
            if (acted)
                return;
            acted = true;
            atChange = filesOf(treeSnapshot(out));
            EXPECT_EQ(treeSnapshot(src), sourceBefore);
            c.act(src, out, files);
            sourceChanged = treeSnapshot(src);
        };
        const ExportRun run = exportPaths(
            {files[0].video.string(), files[1].video.string()}, out,
            [](ExportSettings& s) { s.desiredRate = 25.0f; },
            [&](CVorn& engine, RecordingCaller& caller) {
                if (c.when == When::BeforeSecondClip) {
                    engine.SetExporterFactory([&](const std::string& path, const std::string& destination) {
                        if (path == files[1].video.string())
                            act();
                        return std::make_unique<vorn::mxf::CExportMxf>(path, destination);
                    });
                } else {
                    caller.onProgress = [&](int) {
                        const auto& p = engine.Progress();
                        if (p.clipIndex == 1 && p.sourceFramesRead >= kActAtFrame)
                            act();
                    };
                }
            });
        ASSERT_TRUE(acted);

        EXPECT_EQ(run.verdict, c.verdict) << run.log;
        ASSERT_EQ(run.results.size(), c.clips.size()) << run.log;
        for (size_t i = 0; i < c.clips.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& r = run.results[i];
            EXPECT_STREQ(vorn::clipOutcomeName(r.outcome), vorn::clipOutcomeName(c.clips[i].outcome))
                << r.message << "\n" << run.log;
            const std::string message = c.clips[i].message;
            if (message.empty()) {
                EXPECT_EQ(r.message, "");
            } else {
                EXPECT_NE(r.message.find(message), std::string::npos) << r.message;
                EXPECT_NE(run.log.find(message), std::string::npos) << run.log;
            }
            if (c.clips[i].frames == 0) {
                EXPECT_TRUE(r.outputFiles.empty());
            } else {
                EXPECT_FALSE(r.outputFiles.empty());
                EXPECT_EQ(r.framesWritten, c.clips[i].frames);
            }
        }

        // The destination holds exactly the files the results name, and no
        // temporary of the clip that failed; the first clip's files are
        // those it had when the change came.
        const auto after = filesOf(treeSnapshot(out));
        if (c.destinationGone) {
            EXPECT_EQ(after, (std::map<std::string, std::string>{}));
        } else {
            std::set<std::string> clipFiles;
            for (const auto& [path, digest] : after) {
                EXPECT_FALSE(isTemporary(path)) << path;
                if (fs::path(path).filename() != "LASTCLIP.TXT" && path != kFiller)
                    clipFiles.insert(path);
            }
            std::set<std::string> reported;
            for (const auto& r : run.results)
                reported.insert(r.outputFiles.begin(), r.outputFiles.end());
            EXPECT_EQ(reported, clipFiles);
            ASSERT_FALSE(run.results[0].outputFiles.empty());
            for (const auto& f : run.results[0].outputFiles) {
                ASSERT_TRUE(atChange.count(f)) << f;
                ASSERT_TRUE(after.count(f)) << f;
                EXPECT_EQ(after.at(f), atChange.at(f)) << f;
            }
        }
        // The source is read, never written.
        EXPECT_EQ(treeSnapshot(src), sourceChanged);
    }
}

} // namespace
