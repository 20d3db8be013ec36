// The export driver end to end on small fixture cards: CVorn's export API
// (thread, CCaller calls, verdict, per-clip results), the copy paths (rewrap,
// 2:3:3:2 removal, 720p frame selection, AVC-Intra copy), abort, failures
// and the driver's edge cases.
#include "engine/Caller.h"
#include "engine/ExportPlan.h"
#include "engine/ExportResult.h"
#include "engine/VideoFormat.h"
#include "engine/Vorn.h"
#include "foundation/Options.h"
#include "mxf/ExportMxf.h"
#include "mxf/MxfFile.h"
#include "mxf/SafeOutput.h"
#include "engine/helpers/ExportHarness.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vorn::test;
using vorn::ClipOutcome;

// Rewrites the cadence bits (low bits of M) of one frame and its check byte.
void setCadence(const P2Clip& clip, int64_t index, std::vector<uint8_t>& frame, uint8_t bits)
{
    size_t at = 119;
    if (vorn::isAvcIntra(clip.format))
        at = (index == 0 && clip.avcHeaderBytes ? 512 : 0) + 66 + 2;
    uint8_t& m = frame[at];
    m = static_cast<uint8_t>((m & ~3u) | bits);
    const uint8_t r = frame[at + 1];
    if (vorn::isAvcIntra(clip.format)) {
        const uint8_t x = frame[at + 3];
        frame[at + 4] = binaryGroupCheck(m, r, x);
    } else {
        frame[at + 3] = binaryGroupCheck(m, r, frame[at + 2]);
    }
}

P2Clip withCadence(P2Clip clip, std::vector<uint8_t> pattern)
{
    clip.frameHook = [clip, pattern](int64_t index, std::vector<uint8_t>& frame) {
        setCadence(clip, index, frame, pattern[static_cast<size_t>(index) % pattern.size()]);
    };
    return clip;
}

// The frame markers of a written clip's video file, in order.
std::vector<int64_t> markersOf(const fs::path& video)
{
    CMxfFile file(video.string().c_str());
    std::vector<int64_t> out;
    if (file.ReadHeaders() != 1)
        return out;
    std::vector<uint8_t> buffer(static_cast<size_t>(vorn::kMaxFrameBufferBytes));
    for (int64_t i = 0; i < file.FrameCount(); ++i) {
        const int got = file.ReadFrame(buffer, i);
        int64_t marker = got > 0 ? frameMarker(buffer.data(), static_cast<size_t>(got)) : -2;
        // The writer moves the video segments of a 720-line frame placed at
        // the other channel pair; the marker then lies elsewhere in the frame.
        for (int at = 0; marker == -1 && at + 8 <= got; ++at)
            if (buffer[static_cast<size_t>(at)] == 'F' && buffer[static_cast<size_t>(at) + 1] == 'M' &&
                buffer[static_cast<size_t>(at) + 2] == 0 && buffer[static_cast<size_t>(at) + 3] == 0)
                marker = frameMarker(buffer.data() + at, 8);
        out.push_back(marker);
    }
    return out;
}

struct CopyCase {
    const char* name;
    P2Clip clip;
    bool remove;
    float desiredRate;
    int32_t target;
    int32_t rateNum, rateDen;
    std::vector<int64_t> markers;   // source frames kept, in order
    const char* removal;
};

TEST(ExportCopy, CopyPathsKeepTheChosenFramesAndTheirData)
{
    const std::vector<CopyCase> cases = {
        {"rewrap DV25 PAL", [] { auto c = p2Clip(9, 6); setBinaryGroup(c, 25, 0); return c; }(), false, 25.0f, 9, 25, 1,
         {0, 1, 2, 3, 4, 5}, "none"},
        {"2:3:3:2 removal from DVCPRO50 NTSC",
         withCadence([] { auto c = p2Clip(8, 10); setBinaryGroup(c, 24, 12); return c; }(), {2, 2, 1, 0, 2}), true, 23.976f, 8,
         24000, 1001, {0, 1, 3, 4, 5, 6, 8, 9}, "2:3:3:2"},
        {"720p59.94 frame selection of 24p",
         withCadence([] { auto c = p2Clip(2, 10); setBinaryGroup(c, 24, 8); return c; }(), {1, 1, 1, 0, 1}), true, 23.976f, 2,
         24000, 1001, {1, 4, 6, 9}, "720p frame selection"},
        {"AVC-Intra 100 1080i copy", [] { auto c = p2Clip(38, 5); setBinaryGroup(c, 30, 0); return c; }(), false, 29.97f, 38,
         30000, 1001, {0, 1, 2, 3, 4}, "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir(std::string("export_copy_") + std::to_string(&c - cases.data()));
        const auto files = writeP2Card(dir / "SRC", {c.clip});
        const auto before = treeSnapshot(dir / "SRC");
        ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT",
                                    [&](ExportSettings& s) {
                                        s.removePulldown = c.remove;
                                        s.desiredRate = c.desiredRate;
                                    });
        EXPECT_EQ(run.verdict, "\r\n*** Export is complete ***\r\n") << run.log;
        ASSERT_EQ(run.results.size(), 1u);
        const auto& r = run.results[0];
        EXPECT_EQ(r.outcome, ClipOutcome::Complete) << r.message;
        EXPECT_EQ(r.targetFormat, c.target);
        EXPECT_EQ(r.rateNum, c.rateNum);
        EXPECT_EQ(r.rateDen, c.rateDen);
        EXPECT_EQ(r.removal, c.removal);
        EXPECT_FALSE(r.reencode);
        EXPECT_EQ(r.framesWritten, static_cast<int64_t>(c.markers.size()));
        const fs::path video = dir / "OUT" / "Card1" / "CONTENTS" / "VIDEO" / (c.clip.name + ".MXF");
        EXPECT_EQ(markersOf(video), c.markers);
        EXPECT_EQ(treeSnapshot(dir / "SRC"), before);
        // Standard-definition and AVC-Intra frames are the source's bytes but
        // for the restamped time code and binary group (subcode blocks of DV,
        // the header records of AVC-Intra).
        if (c.target == 2)
            continue;
        CMxfFile out(video.string().c_str());
        ASSERT_EQ(out.ReadHeaders(), 1);
        std::vector<uint8_t> frame(static_cast<size_t>(vorn::kMaxFrameBufferBytes));
        for (size_t i = 0; i < c.markers.size(); ++i) {
            SCOPED_TRACE(i);
            const int got = out.ReadFrame(frame, static_cast<int64_t>(i));
            auto want = p2Frame(c.clip, c.markers[i]);
            ASSERT_EQ(got, static_cast<int>(want.size()));
            if (vorn::isAvcIntra(c.target)) {
                const size_t base = (i == 0 ? 512 : 0) + 6;
                for (size_t b = base + 28; b < base + 67; ++b)
                    want[b] = frame[b];
            } else {
                for (size_t seq = 0; seq + 12000 <= want.size(); seq += 12000)
                    std::copy(frame.begin() + static_cast<std::ptrdiff_t>(seq + 80),
                              frame.begin() + static_cast<std::ptrdiff_t>(seq + 240),
                              want.begin() + static_cast<std::ptrdiff_t>(seq + 80));
            }
            EXPECT_TRUE(std::equal(want.begin(), want.end(), frame.begin()));
        }
    }
}

} // namespace

namespace {

struct DriverCase {
    const char* name;
    std::function<std::vector<std::string>(const fs::path& dir)> paths;   // the clip list
    std::function<void(CVorn&, RecordingCaller&)> prepare;
    bool noDestination;
    const char* verdict;
    std::vector<ClipOutcome> outcomes;
    std::function<void(const ExportRun&, const fs::path& out)> more;
};

fs::path videoDir(const fs::path& out) { return out / "Card1" / "CONTENTS" / "VIDEO"; }

size_t filesIn(const fs::path& folder)
{
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

std::vector<std::string> twoPalClips(const fs::path& dir)
{
    auto a = p2Clip(9, 6, "0001AB");
    auto b = p2Clip(9, 6, "0002AB");
    setBinaryGroup(a, 25, 0);
    setBinaryGroup(b, 25, 0);
    const auto files = writeP2Card(dir / "SRC", {a, b});
    return {files[0].video.string(), files[1].video.string()};
}

TEST(ExportDriver, ClipListEdgeCases)
{
    const std::vector<DriverCase> cases = {
        {"an empty list prints nothing and completes", [](const fs::path&) { return std::vector<std::string>{}; }, {},
         false, "\r\n*** Export is complete ***\r\n", {},
         [](const ExportRun& run, const fs::path&) {
             EXPECT_EQ(run.log, "");
             ASSERT_FALSE(run.progress.empty());
             EXPECT_EQ(run.progress.back(), 100);
         }},
        {"no destination aborts at once", twoPalClips, {}, true, "\r\n*** Export Aborted ***\r\n",
         {ClipOutcome::NotStarted, ClipOutcome::NotStarted},
         [](const ExportRun& run, const fs::path&) {
             EXPECT_EQ(run.log, "\r\nNo destination selected (click Options to select)\r\n");
         }},
        {"an audio-only file is warned about and the verdict shows errors",
         [](const fs::path& dir) {
             auto v = p2Clip(9, 6);
             setBinaryGroup(v, 25, 0);
             const auto files = writeP2Card(dir / "SRC", {v});
             return std::vector<std::string>{files[0].video.string(), files[0].audio[0].string()};
         },
         {}, false, "\r\n*** Export completed with errors ***\r\n", {ClipOutcome::Complete, ClipOutcome::Error},
         [](const ExportRun& run, const fs::path&) {
             EXPECT_NE(run.log.find("\r\nWarning: The file 0001AB00 was not recognized as a video MXF file\r\n"),
                       std::string::npos);
         }},
        {"Yes to abort stops the clip, skips its audio and every later clip", twoPalClips,
         [](CVorn&, RecordingCaller& caller) {
             caller.onProgress = [&caller](int percent) {
                 if (percent > 1 && percent < 100)
                     caller.Abort();
             };
         },
         false, "\r\n*** Export Aborted ***\r\n", {ClipOutcome::Aborted, ClipOutcome::NotStarted},
         [](const ExportRun& run, const fs::path& out) {
             EXPECT_EQ(run.log.find("Processing audio"), std::string::npos);
             EXPECT_EQ(run.log.find("0002AB.MXF"), std::string::npos);
             // The card folder made for the aborted clip goes with it.
             EXPECT_EQ(treeSnapshot(out), (std::map<std::string, std::string>{}));
         }},
        {"a pause holds the export until it is cleared", twoPalClips,
         [](CVorn& engine, RecordingCaller& caller) {
             auto paused = std::make_shared<std::atomic<bool>>(false);
             caller.onProgress = [&engine, paused](int percent) {
                 if (percent > 1 && percent < 100 && !paused->exchange(true)) {
                     engine.SetPause();
                     std::thread([&engine] {
                         std::this_thread::sleep_for(std::chrono::milliseconds(50));
                         engine.ClearPause();
                     }).detach();
                 }
             };
         },
         false, "\r\n*** Export is complete ***\r\n", {ClipOutcome::Complete, ClipOutcome::Complete},
         [](const ExportRun&, const fs::path& out) { EXPECT_EQ(filesIn(videoDir(out)), 2u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir(std::string("export_driver_") + std::to_string(&c - cases.data()));
        const auto paths = c.paths(dir);
        const auto before = treeSnapshot(dir / "SRC");
        const fs::path out = c.noDestination ? fs::path() : dir / "OUT";
        const ExportRun run = exportPaths(paths, out, [](ExportSettings& s) { s.desiredRate = 25.0f; }, c.prepare);
        EXPECT_EQ(run.verdict, c.verdict) << run.log;
        ASSERT_EQ(run.results.size(), c.outcomes.size());
        for (size_t i = 0; i < c.outcomes.size(); ++i)
            EXPECT_EQ(vorn::clipOutcomeName(run.results[i].outcome), vorn::clipOutcomeName(c.outcomes[i])) << i;
        if (c.more)
            c.more(run, out);
        EXPECT_EQ(treeSnapshot(dir / "SRC"), before);
    }
}

TEST(ExportDriver, AudioChannelsAreKeptAndRaisedForTheTarget)
{
    struct Row {
        int32_t format;
        int sourceChannels;
        int channels;
    };
    const Row rows[] = {{1, 1, 4}, {9, 1, 2}, {2, 1, 4}, {9, 4, 4}, {8, 3, 3}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.format) + " from " + std::to_string(row.sourceChannels));
        const fs::path dir =
            scratchDir("export_channels_" + std::to_string(row.format) + "_" + std::to_string(row.sourceChannels));
        auto clip = p2Clip(row.format, 3);
        clip.audioChannels = row.sourceChannels;
        setBinaryGroup(clip, row.format == 9 ? 25 : 30, 0);
        const auto files = writeP2Card(dir / "SRC", {clip});
        const ExportRun run = exportPaths({files[0].video.string()}, dir / "OUT", [&](ExportSettings& s) {
            s.desiredRate = row.format == 9 ? 25.0f : 29.97f;
        });
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Complete) << run.log;
        EXPECT_EQ(filesIn(dir / "OUT" / "Card1" / "CONTENTS" / "AUDIO"), static_cast<size_t>(row.channels));
        // Every source channel is copied to its own channel; added ones are silence.
        for (int ch = 0; ch < row.channels; ++ch) {
            SCOPED_TRACE(ch);
            const auto bytes =
                readBytes(dir / "OUT" / "Card1" / "CONTENTS" / "AUDIO" / ("0001AB0" + std::to_string(ch) + ".MXF"));
            const size_t key = findKey(bytes, kFixtureSoundElementKey);
            ASSERT_NE(key, std::string::npos);
            const size_t start = key + 17 + (bytes[key + 16] & 0x7Fu);
            for (int s = 0; s < 32; ++s) {
                const auto v = static_cast<int16_t>(bytes[start + 2 * static_cast<size_t>(s)] |
                                                    (bytes[start + 2 * static_cast<size_t>(s) + 1] << 8));
                EXPECT_EQ(v, ch < row.sourceChannels ? audioSampleValue(ch, s) : 0) << s;
            }
        }
    }
}

TEST(ExportDriver, AudioChunkFollowsTheOutputRate)
{
    struct Row {
        int32_t num, den;
        bool remove32From60i;
        size_t bytes;
    };
    const Row rows[] = {{24000, 1001, false, 4004}, {30000, 1001, false, 3202}, {25, 1, false, 3840},
                        {24000, 1001, true, 20020}, {60000, 1001, false, 1600}};
    for (const auto& row : rows) {
        vorn::ConversionPlan plan;
        plan.rateNum = row.num;
        plan.rateDen = row.den;
        plan.sourceFormat = 1;
        plan.removePulldown = plan.remove32 = row.remove32From60i;
        EXPECT_EQ(vorn::audioChunkBytes(plan), row.bytes) << row.num << "/" << row.den;
    }
}

} // namespace

namespace {

// The destination holds the source card itself (as Card1): the clip is
// written beside it under a free name and the source stays as it was.
TEST(ExportDriver, DestinationHoldingTheSourceCardIsRefused)
{
    // The clip would go into Card1, its own card: the export is refused at
    // its start and nothing is written.
    const fs::path dir = scratchDir("export_into_source");
    auto clip = p2Clip(9, 4);
    setBinaryGroup(clip, 25, 0);
    const auto files = writeP2Card(dir / "Card1", {clip});
    const auto before = treeSnapshot(dir);
    const ExportRun run =
        exportPaths({files[0].video.string()}, dir, [](ExportSettings& s) { s.desiredRate = 25.0f; });
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(treeSnapshot(dir), before);
    EXPECT_EQ(run.verdict, "\r\n*** Export Aborted ***\r\n");
    EXPECT_NE(run.log.find("\r\nThe destination " + dir.string() + " overlaps the source card " +
                           fs::weakly_canonical(dir / "Card1").string() + "; nothing was written\r\n"),
              std::string::npos)
        << run.log;
    EXPECT_EQ(run.results[0].outcome, ClipOutcome::NotStarted);
    EXPECT_TRUE(run.results[0].outputFiles.empty());
}

} // namespace

namespace {

// The program's card size reaches the card writer: a destination whose last
// card holds 1,200 MB takes the clip there with no limit, and starts Card2
// when cards hold 1 GB.
TEST(ExportDriver, CardSizeOptionChoosesTheCard)
{
    struct Row {
        const char* cardSize;
        const char* card;
    };
    for (const Row& row : {Row{"0", "Card1"}, Row{"1", "Card2"}, Row{"2 GB", "Card1"}}) {
        SCOPED_TRACE(row.cardSize);
        const fs::path dir = scratchDir("export_card_size");
        const auto paths = twoPalClips(dir);
        const fs::path old = dir / "OUT" / "Card1" / "CONTENTS" / "VIDEO" / "OLD.MXF";
        fs::create_directories(old.parent_path());
        writeText(old, "x");
        fs::resize_file(old, 1200000000);
        const ExportRun run = exportPaths({paths[0]}, dir / "OUT", [&row](ExportSettings& s) {
            s.desiredRate = 25.0f;
            s.options[OptionKey::CardSize] = row.cardSize;
        });
        EXPECT_EQ(run.verdict, "\r\n*** Export is complete ***\r\n") << run.log;
        ASSERT_EQ(run.results.size(), 1u);
        ASSERT_FALSE(run.results[0].outputFiles.empty());
        for (const std::string& f : run.results[0].outputFiles)
            EXPECT_EQ(f.rfind(std::string(row.card) + "/", 0), 0u) << f;   // relative to the destination
    }
}

// An exporter that cannot start its clip (here: the destination is a file,
// so no card folder can be made) ends the whole export as aborted.
TEST(ExportDriver, ExporterInitialisationFailureAbortsTheExport)
{
    const fs::path dir = scratchDir("export_init_failure");
    const auto paths = twoPalClips(dir);
    const auto before = treeSnapshot(dir / "SRC");
    writeText(dir / "OUT", "not a folder");
    const ExportRun run = exportPaths(paths, dir / "OUT", [](ExportSettings& s) { s.desiredRate = 25.0f; });
    EXPECT_EQ(run.verdict, "\r\n*** Export Aborted ***\r\n");
    EXPECT_NE(run.log.find("\r\nError encountered during Initialization.\r\n"), std::string::npos) << run.log;
    ASSERT_EQ(run.results.size(), 2u);
    EXPECT_EQ(run.results[0].outcome, ClipOutcome::Error);
    EXPECT_EQ(run.results[1].outcome, ClipOutcome::NotStarted);
    EXPECT_EQ(readText(dir / "OUT"), "not a folder");
    EXPECT_EQ(treeSnapshot(dir / "SRC"), before);
}

// The "CardSize" option of the export is the card size every clip's
// exporter splits the output by.
TEST(ExportDriver, CardSizeOptionReachesEveryExporter)
{
    class CardSizeProbe : public vorn::mxf::CExportMxf {
    public:
        CardSizeProbe(const std::string& source, const std::string& dest, std::vector<int>& seen)
            : CExportMxf(source, dest), m_seen(seen)
        {
        }
        vorn::Status Open(int audioChannels, bool wide) override
        {
            m_seen.push_back(m_cardSizeGB);
            return CExportMxf::Open(audioChannels, wide);
        }

    private:
        std::vector<int>& m_seen;
    };
    const fs::path dir = scratchDir("export_card_size");
    std::vector<int> seen;
    const ExportRun run = exportPaths(
        twoPalClips(dir), dir / "OUT",
        [](ExportSettings& s) {
            s.desiredRate = 25.0f;
            s.options["CardSize"] = "7";
        },
        [&seen](CVorn& engine, RecordingCaller&) {
            engine.SetExporterFactory([&seen](const std::string& source, const std::string& dest) {
                return std::make_unique<CardSizeProbe>(source, dest, seen);
            });
        });
    EXPECT_EQ(run.verdict, "\r\n*** Export is complete ***\r\n") << run.log;
    EXPECT_EQ(seen, (std::vector<int>{7, 7}));
}

} // namespace

namespace {

// Destroying the engine while it exports stops the export, discards the
// clip being written and makes no further call to the caller.
TEST(ExportDriver, DestroyingTheEngineStopsTheExport)
{
    const fs::path dir = scratchDir("export_destroyed");
    const auto paths = twoPalClips(dir);
    RecordingCaller caller;
    std::atomic<bool> started{false};
    caller.onProgress = [&started](int percent) {
        if (percent > 1 && percent < 100)
            started = true;
    };
    {
        CVorn engine;
        for (const auto& p : paths)
            engine.Import(&caller, p.c_str());
        engine.SetDestination((dir / "OUT").string().c_str());
        engine.SetDesiredRate(25.0f);
        engine.SetPause();   // held at its first step until the engine goes
        engine.StartExport(&caller, vorn::ExportOptions{});
        while (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(caller.doneCalls(), 0);
    EXPECT_EQ(treeSnapshot(dir / "OUT"), (std::map<std::string, std::string>{}));
}

} // namespace

namespace {

// The files of clips below a destination's cards (not LASTCLIP.TXT), relative
// to it and '/'-separated.
std::set<std::string> clipFilesOnDisk(const fs::path& out)
{
    std::set<std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(out, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code e2;
        if (it->is_regular_file(e2) && it->path().filename() != "LASTCLIP.TXT")
            files.insert(it->path().lexically_relative(out).generic_string());
    }
    return files;
}

std::set<std::string> reportedFiles(const ExportRun& run)
{
    std::set<std::string> files;
    for (const auto& r : run.results)
        files.insert(r.outputFiles.begin(), r.outputFiles.end());
    return files;
}

P2Clip palClip(const std::string& name, int64_t frames = 6)
{
    auto c = p2Clip(9, frames, name);
    setBinaryGroup(c, 25, 0);
    return c;
}

struct ClipExpect {
    ClipOutcome outcome;
    const char* message;   // text the clip's message holds ("" when it has none)
    const char* problem;   // text one of its problems holds ("" when it has none)
};

struct FailureCase {
    const char* name;
    // Writes the source clips below `dir` and prepares the destination `out`; returns the clip list.
    std::function<std::vector<std::string>(const fs::path& dir, const fs::path& out)> setUp;
    const char* failingWrite;   // file name whose writes fail as on a full disk ("" for none)
    bool removePulldown;
    bool unplugAfterImport;   // the source folder goes away between import and export
    const char* verdict;
    std::vector<ClipExpect> clips;
};

// Every failure that ends a clip, or that comes after its files are in
// place, reaches the log, the clip's result and the verdict with its cause;
// each result lists exactly the clip files that are on disk.
TEST(ExportFailures, EachCauseReachesTheLogTheResultAndTheVerdict)
{
    const char* withErrors = "\r\n*** Export completed with errors ***\r\n";
    const std::vector<FailureCase> cases = {
        {"full destination",
         [](const fs::path& dir, const fs::path&) {
             return std::vector<std::string>{writeP2Card(dir / "SRC", {palClip("0001AB")})[0].video.string()};
         },
         "0001AB.MXF", false, false, withErrors, {{ClipOutcome::Error, "0001AB.MXF: No space left on device", ""}}},
        {"full destination when the files are finished",
         [](const fs::path& dir, const fs::path&) {
             return std::vector<std::string>{writeP2Card(dir / "SRC", {palClip("0001AB")})[0].video.string()};
         },
         "0001AB01.MXF", false, false, withErrors,
         {{ClipOutcome::Error, "0001AB01.MXF: No space left on device", ""}}},
        {"unreadable proxy file",
         [](const fs::path& dir, const fs::path&) {
             const auto files = writeP2Card(dir / "SRC", {palClip("0001AB")});
             // Reading this file fails with EIO from its first byte.
             fs::create_symlink("/proc/self/mem", dir / "SRC" / "CONTENTS" / "PROXY" / "0001AB.MP4");
             writeText(dir / "SRC" / "CONTENTS" / "PROXY" / "0001AB.BIN", "proxy index");
             return std::vector<std::string>{files[0].video.string()};
         },
         "", false, false, withErrors, {{ClipOutcome::Complete, "", "0001AB.MP4: Input/output error"}}},
        {"a folder where LASTCLIP.TXT belongs",
         [](const fs::path& dir, const fs::path& out) {
             fs::create_directories(out / "Card1" / "LASTCLIP.TXT");
             return std::vector<std::string>{writeP2Card(dir / "SRC", {palClip("0001AB")})[0].video.string()};
         },
         "", false, false, withErrors, {{ClipOutcome::Complete, "", "LASTCLIP.TXT: Is a directory"}}},
        {"a clip planned to no frame",
         [](const fs::path& dir, const fs::path&) {
             // 2:3:3:2 removal keeps 4 of every 5 frames: none of 4.
             auto clip = p2Clip(8, 4, "0001AB");
             setBinaryGroup(clip, 24, 12);
             return std::vector<std::string>{writeP2Card(dir / "SRC", {clip})[0].video.string()};
         },
         "", true, false, withErrors, {{ClipOutcome::Error, "no output frame", ""}}},
        {"an unsupported format, then a good clip",
         [](const fs::path& dir, const fs::path&) {
             auto unknown = palClip("0001AB");
             unknown.format = 0;
             unknown.frameSize = 144000;
             const auto files = writeP2Card(dir / "SRC", {unknown, palClip("0002AB")});
             return std::vector<std::string>{files[0].video.string(), files[1].video.string()};
         },
         "", false, false, withErrors,
         {{ClipOutcome::Error, "format is not supported", ""}, {ClipOutcome::Complete, "", ""}}},
        {"a malformed clip XML, then a good clip",
         [](const fs::path& dir, const fs::path&) {
             const auto files = writeP2Card(dir / "SRC", {palClip("0001AB"), palClip("0002AB")});
             writeText(dir / "SRC" / "CONTENTS" / "CLIP" / "0001AB.XML", "<P2Main><ClipContent>&bogus;</P2Main>");
             return std::vector<std::string>{files[0].video.string(), files[1].video.string()};
         },
         "", false, false, withErrors,
         {{ClipOutcome::Error, "0001AB.XML is not a readable P2 clip file", ""}, {ClipOutcome::Complete, "", ""}}},
        {"a clip name too long for the output's audio files, then a good clip",
         [](const fs::path& dir, const fs::path&) {
             // NAME.MXF fits the 255-byte name limit, NAME00.MXF does not.
             auto longName = palClip(std::string(250, 'L'));
             longName.audioChannels = 0;
             const auto files = writeP2Card(dir / "SRC", {longName, palClip("0002AB")});
             return std::vector<std::string>{files[0].video.string(), files[1].video.string()};
         },
         "", false, false, withErrors,
         {{ClipOutcome::Error, "File name too long", ""}, {ClipOutcome::Complete, "", ""}}},
        {"a card unplugged after import, then a clip of another card",
         [](const fs::path& dir, const fs::path&) {
             const auto gone = writeP2Card(dir / "SRC", {palClip("0001AB")});
             const auto kept = writeP2Card(dir / "KEPT", {palClip("0002AB")});
             return std::vector<std::string>{gone[0].video.string(), kept[0].video.string()};
         },
         "", false, true, withErrors,
         {{ClipOutcome::Error, "not recognized as a video MXF file: No such file or directory", ""},
          {ClipOutcome::Complete, "", ""}}},
        {"a destination below a file ends the export",
         [](const fs::path& dir, const fs::path& out) {
             writeText(out.parent_path(), "not a folder");
             const auto files = writeP2Card(dir / "SRC", {palClip("0001AB"), palClip("0002AB")});
             return std::vector<std::string>{files[0].video.string(), files[1].video.string()};
         },
         "", false, false, "\r\n*** Export Aborted ***\r\n",
         {{ClipOutcome::Error, "Problem creating MXF folders: ", ""}, {ClipOutcome::NotStarted, "", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir(std::string("export_failure_") + std::to_string(&c - cases.data()));
        const fs::path out = c.clips.back().outcome == ClipOutcome::NotStarted ? dir / "OUT" / "dest" : dir / "OUT";
        if (out == dir / "OUT")
            fs::create_directories(out);
        const auto paths = c.setUp(dir, out);
        const std::string failing = c.failingWrite;
        vorn::mxf::SetWriteFaultHook(
            failing.empty() ? vorn::mxf::WriteFaultHook{}
                            : vorn::mxf::WriteFaultHook([failing](const fs::path& p) { return p.filename() == failing; }));
        const ExportRun run = exportPaths(
            paths, out,
            [&c](ExportSettings& s) {
                s.removePulldown = c.removePulldown;
                s.desiredRate = c.removePulldown ? 23.976f : 25.0f;
            },
            [&](CVorn&, RecordingCaller&) {
                if (c.unplugAfterImport)
                    fs::remove_all(dir / "SRC");
            });
        vorn::mxf::SetWriteFaultHook(nullptr);

        EXPECT_EQ(run.verdict, c.verdict) << run.log;
        ASSERT_EQ(run.results.size(), c.clips.size());
        for (size_t i = 0; i < c.clips.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& r = run.results[i];
            const auto& want = c.clips[i];
            EXPECT_STREQ(vorn::clipOutcomeName(r.outcome), vorn::clipOutcomeName(want.outcome)) << r.message;
            const std::string message = want.message;
            if (message.empty()) {
                EXPECT_EQ(r.message, "");
            } else {
                EXPECT_NE(r.message.find(message), std::string::npos) << r.message;
                EXPECT_NE(run.log.find(message), std::string::npos) << run.log;
            }
            const std::string problem = want.problem;
            if (problem.empty()) {
                EXPECT_TRUE(r.problems.empty()) << (r.problems.empty() ? "" : r.problems[0]);
            } else {
                ASSERT_EQ(r.problems.size(), 1u);
                EXPECT_NE(r.problems[0].find(problem), std::string::npos) << r.problems[0];
                EXPECT_NE(run.log.find(problem), std::string::npos) << run.log;
            }
            if (r.outcome != ClipOutcome::Complete) {
                EXPECT_TRUE(r.outputFiles.empty());
            }
        }
        // The results name exactly the clip files on disk.
        std::error_code ec;
        if (fs::is_directory(out, ec)) {
            EXPECT_EQ(reportedFiles(run), clipFilesOnDisk(out));
        }
    }
}

// An exporter that writes as the card exporter does until the chosen phase,
// whose operation then fails with a cause of its own. The phase's files are
// made first (Close makes none of its own: its temporaries stay pending),
// so that whatever the driver does not take back stays on the disk.
enum class FailAt { Open, Headers, Frames, Audio, Close };

class PhaseFailingExporter : public vorn::mxf::CExportMxf {
public:
    PhaseFailingExporter(const std::string& source, const std::string& dest, FailAt at, std::string cause)
        : CExportMxf(source, dest), m_at(at), m_cause(std::move(cause))
    {
    }
    vorn::Status Open(int audioChannels, bool wide) override
    {
        return failIf(FailAt::Open, CExportMxf::Open(audioChannels, wide));
    }
    vorn::Status BeginClip(int64_t frames, uint32_t den, uint32_t num, bool wide, int audioChannels) override
    {
        return failIf(FailAt::Headers, CExportMxf::BeginClip(frames, den, num, wide, audioChannels));
    }
    vorn::Status WriteVideo(uint8_t* buffer, size_t size) override
    {
        return failIf(FailAt::Frames, CExportMxf::WriteVideo(buffer, size));
    }
    vorn::Status WriteAudio(const uint8_t* buffer, size_t size, int channel) override
    {
        return failIf(FailAt::Audio, CExportMxf::WriteAudio(buffer, size, channel));
    }
    vorn::Status Close() override { return m_at == FailAt::Close ? fail() : CExportMxf::Close(); }

private:
    vorn::Status failIf(FailAt at, vorn::Status done) { return at == m_at && done.ok() ? fail() : done; }
    vorn::Status fail()
    {
        m_lastError = m_cause;
        return vorn::Status::failure(m_cause);
    }
    FailAt m_at;
    std::string m_cause;
};

// A failure in any phase of a clip's export leaves neither the clip's files
// nor a temporary in the destination, and the clip's result, the log and the
// verdict carry its cause.
TEST(ExportFailures, AFailureInAnyPhaseLeavesNoClipAndTellsItsCause)
{
    const char* withErrors = "\r\n*** Export completed with errors ***\r\n";
    struct Case {
        const char* name;
        FailAt at;
        const char* message;   // the clip's result message
        const char* verdict;
    };
    const Case cases[] = {
        {"open", FailAt::Open, "injected failure", "\r\n*** Export Aborted ***\r\n"},
        {"headers", FailAt::Headers, "the clip's headers could not be written: injected failure", withErrors},
        {"frames", FailAt::Frames, "a video frame could not be written: injected failure", withErrors},
        {"audio", FailAt::Audio, "audio could not be written: injected failure", withErrors},
        {"close", FailAt::Close, "the clip's files could not be finished: injected failure", withErrors},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = scratchDir(std::string("export_phase_") + c.name);
        const auto files = writeP2Card(dir / "SRC", {palClip("0001AB")});
        const fs::path out = dir / "OUT";
        const ExportRun run = exportPaths(
            {files[0].video.string()}, out, [](ExportSettings& s) { s.desiredRate = 25.0f; },
            [&c](CVorn& engine, RecordingCaller&) {
                engine.SetExporterFactory([&c](const std::string& source, const std::string& dest) {
                    return std::make_unique<PhaseFailingExporter>(source, dest, c.at, "injected failure");
                });
            });
        EXPECT_EQ(run.verdict, c.verdict) << run.log;
        ASSERT_EQ(run.results.size(), 1u);
        EXPECT_EQ(run.results[0].outcome, ClipOutcome::Error);
        EXPECT_EQ(run.results[0].message, c.message);
        EXPECT_NE(run.log.find("injected failure"), std::string::npos) << run.log;
        EXPECT_TRUE(run.results[0].outputFiles.empty());
        // Nothing of the clip, finished or temporary, is left.
        std::error_code ec;
        for (fs::recursive_directory_iterator it(out, ec), end; !ec && it != end; it.increment(ec))
            EXPECT_FALSE(it->is_regular_file()) << it->path();
    }
}

// The source clip's icon, proxy and voice files are copied byte for byte
// under the name the clip is written as.
TEST(ExportExtras, IconProxyAndVoiceFilesAreCopied)
{
    struct Row {
        const char* name;
        bool nameTaken;        // the destination already holds a clip 0001AB
        const char* written;   // the name the clip is written as
    };
    const Row rows[] = {{"under its own name", false, "0001AB"}, {"under the next free name", true, "0002AB"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = scratchDir(std::string("export_extras_") + (row.nameTaken ? "taken" : "free"));
        const auto files = writeP2Card(dir / "SRC", {palClip("0001AB")});
        const fs::path contents = dir / "SRC" / "CONTENTS";
        // Source name -> output folder and the output name's part after the clip name.
        const std::vector<std::tuple<std::string, std::string, std::string>> extras = {
            {"ICON/0001AB.BMP", "ICON", ".BMP"},
            {"PROXY/0001AB.MP4", "PROXY", ".MP4"},
            {"PROXY/0001AB.BIN", "PROXY", ".BIN"},
            {"VOICE/0001AB00.WAV", "VOICE", "00.WAV"},
            {"VOICE/0001AB01.wav", "VOICE", "01.wav"},
        };
        for (const auto& [source, folder, suffix] : extras) {
            std::vector<uint8_t> bytes(300 + source.size());
            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<uint8_t>(i * 7 + source.size());
            writeBytes(contents / source, bytes);
        }
        writeText(contents / "VOICE" / "0001ABC.WAV", "another clip's memo");
        if (row.nameTaken) {
            const auto other = writeP2Card(dir / "OTHER", {palClip("0001AB")});
            ASSERT_EQ(exportPaths({other[0].video.string()}, dir / "OUT", [](ExportSettings& s) { s.desiredRate = 25.0f; })
                          .results[0]
                          .outcome,
                      ClipOutcome::Complete);
        }
        const ExportRun run =
            exportPaths({files[0].video.string()}, dir / "OUT", [](ExportSettings& s) { s.desiredRate = 25.0f; });
        EXPECT_EQ(run.verdict, "\r\n*** Export is complete ***\r\n") << run.log;
        ASSERT_EQ(run.results.size(), 1u);
        const auto& r = run.results[0];
        EXPECT_EQ(r.outcome, ClipOutcome::Complete) << r.message;
        const fs::path outContents = dir / "OUT" / "Card1" / "CONTENTS";
        for (const auto& [source, folder, suffix] : extras) {
            SCOPED_TRACE(source);
            const fs::path copy = outContents / folder / (row.written + suffix);
            ASSERT_TRUE(fs::is_regular_file(copy));
            EXPECT_EQ(readBytes(copy), readBytes(contents / source));
            const std::string rel = copy.lexically_relative(dir / "OUT").generic_string();
            EXPECT_NE(std::find(r.outputFiles.begin(), r.outputFiles.end(), rel), r.outputFiles.end()) << rel;
        }
        EXPECT_FALSE(fs::exists(outContents / "VOICE" / (std::string(row.written) + "C.WAV")));
    }
}

} // namespace
