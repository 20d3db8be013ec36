// The export driver: CVorn's export of its clip list on the export thread,
// and the export of one clip (plan, exporter, frame loop, audio).
#include "dv/CodecTables.h"
#include "dv/DvSystemData.h"
#include "engine/AudioSpeedConverter.h"
#include "engine/BGinfo.h"
#include "engine/ExportPlan.h"
#include "engine/FramePreview.h"
#include "engine/FrameProcesser.h"
#include "engine/PictureSteps.h"
#include "engine/VideoFormat.h"
#include "engine/VideoIterator.h"
#include "engine/Vorn.h"
#include "foundation/Notifier.h"
#include "foundation/Options.h"
#include "foundation/QelString.h"
#include "mxf/AudioSamples.h"
#include "mxf/ClipPaths.h"
#include "mxf/ExportMxf.h"
#include "mxf/MxfFile.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <new>
#include <thread>

namespace fs = std::filesystem;

namespace vorn {

// Bytes of 16-bit audio at 48 kHz for one output frame.
size_t audioChunkBytes(const ConversionPlan& plan)
{
    if (plan.rateNum <= 0 || plan.rateDen <= 0)
        return 3840;
    size_t chunk = static_cast<size_t>((int64_t{48000} * plan.rateDen) / plan.rateNum) * 2;
    if (plan.removePulldown && plan.remove32 && plannerGroup(plan.sourceFormat) == PlannerGroup::G60i)
        chunk *= 5;
    return std::max<size_t>(chunk, 2);
}


const char* clipOutcomeName(ClipOutcome outcome)
{
    switch (outcome) {
    case ClipOutcome::NotStarted: return "not started";
    case ClipOutcome::Complete: return "complete";
    case ClipOutcome::Error: return "error";
    case ClipOutcome::Aborted: return "aborted";
    }
    return "";
}

namespace {

using Clock = std::chrono::steady_clock;

void recordDecisions(ClipResult& r, const ConversionPlan& plan)
{
    r.targetFormat = plan.targetFormat;
    r.plannedFrames = plan.frameCount;
    r.rateNum = plan.rateNum;
    r.rateDen = plan.rateDen;
    r.pulldownLabel = plan.pulldownLabel ? plan.pulldownLabel : "none";
    const PlannerGroup source = plannerGroup(plan.sourceFormat);
    if (plan.removePulldown && plan.remove32 && source == PlannerGroup::G60i)
        r.removal = "3:2";
    else if (plan.removePulldown && plan.removeAdvanced && source == PlannerGroup::G60i)
        r.removal = "2:3:3:2";
    else if (plan.removePulldown && (source == PlannerGroup::G720p60 || source == PlannerGroup::G720p50))
        r.removal = "720p frame selection";
    else
        r.removal = "none";
    r.addition = "none";
    if (plan.addPulldown) {
        switch (plannerGroup(plan.targetFormat)) {
        case PlannerGroup::G60i: r.addition = plan.add32 ? "2:3" : "2:3:3:2"; break;
        case PlannerGroup::G720p60:
            if (plan.cameraRate == 24)
                r.addition = "2:3";
            else if (plan.cameraRate == 30)
                r.addition = "2:2";
            break;
        case PlannerGroup::G50i:
        case PlannerGroup::G720p50: r.addition = "2:2"; break;
        case PlannerGroup::None: break;
        }
    }
    r.speedChange = !plan.convert2425             ? "none"
                    : plan.desiredRateRounded == 24 ? "25p to 24p"
                                                    : "24p to 25p";
    r.reencode = plan.reencode != 0;
    r.crop = plan.cropTo169 != 0;
    r.rotate = plan.rotate != 0;
    r.reduceNoise = plan.reduceNoise != 0;
}

// Hands the plan and the source's time code and identity to the exporter.
void configureExporter(mxf::CExportBase& exporter, const ConversionPlan& plan, const CMxfFile& source)
{
    const bool avcTarget = isAvcIntra(plan.targetFormat);
    exporter.SetFrameCount(plan.frameCount);
    exporter.SetRateNumerator(static_cast<uint32_t>(std::max(plan.rateNum, 1)));
    exporter.SetRateDenominator(static_cast<uint32_t>(std::max(plan.rateDen, 1)));
    exporter.SetFrameSize(static_cast<uint32_t>(avcTarget ? source.FrameSize() : plan.outFrameSize));
    exporter.SetLaterFrameSize(static_cast<uint32_t>(avcTarget ? source.LaterFrameSize() : plan.outFrameSizeLater));
    exporter.SetPictureLines(formatLines(plan.targetFormat));
    exporter.SetFormatCode(plan.targetFormat);
    exporter.SetReencoded(plan.reencode != 0);
    exporter.SetPlaybackFactor(static_cast<double>(plan.frameRatio));
    exporter.SetSourceTimecodeBase(source.TcBase());
    exporter.SetSourceDropFrame(source.DropFrame());
    mxf::Umid umid{};
    std::copy(source.PackageId(), source.PackageId() + umid.size(), umid.begin());
    exporter.SetBaseUmid(umid);
    exporter.SetBinaryGroup(plan.bgWord);
    exporter.SetTimecode(-1, -1, -1, -1, source.StartTimecode(), source.TcBase(), source.DropFrame());
    exporter.SetSourceEditRate(static_cast<int>(source.EditRate()));
    exporter.SetTimecodeText(qelFormat("%02d:%02d:%02d:%02d", source.TcHours(), source.TcMinutes(),
                                       source.TcSeconds(), source.TcFrames()));
    // The start time code at the output rate, also when the source has no clip XML.
    exporter.ConvertStartTimecode(source.StartTimecode(), source.TcBase(), source.DropFrame());
    exporter.SetPulldown(plan.pulldownLabel ? plan.pulldownLabel : "");
}

// Audio channels of the output: DV formats get at least 2, DVCPRO HD and
// AVC-Intra at least 4, none more than 8.
int outputAudioChannels(int sourceChannels, VideoFormat target)
{
    int channels = sourceChannels;
    if (target >= 5 && target <= 10)
        channels = std::max(channels, 2);
    else if ((target >= 1 && target <= 4) || isAvcIntra(target))
        channels = std::max(channels, 4);
    return std::clamp(channels, 0, 8);
}

// Shows the exporter's notices as message boxes, in the order they came.
void tellNotices(mxf::CExportBase& exporter)
{
    for (const std::string& text : exporter.TakeNotices())
        notify("Quintell", text);
}

// The source clip's icon (ICON beside its VIDEO folder) is copied, or made
// from frame 0 when the picture is turned or there is none; its proxy files
// (PROXY) and voice memos (VOICE) are copied. Returns what could not be
// copied, with the reason.
std::vector<std::string> copyClipExtras(mxf::CExportBase& exporter, const char* sourcePath, const ClipExport& clip)
{
    using Kind = mxf::ClipExtraFile::Kind;
    const ConversionPlan& plan = clip.plan;
    std::vector<std::string> problems;
    auto copied = [&](const Status& status, const std::string& what) {
        tellNotices(exporter);
        if (!status.ok())
            problems.push_back(status.message().empty() ? "Could not copy " + what : status.message());
        return status.ok();
    };
    bool iconCopied = false;
    for (const mxf::ClipExtraFile& extra : mxf::clipExtraFiles(sourcePath ? sourcePath : "")) {
        exporter.ClearLastError();
        switch (extra.kind) {
        case Kind::Icon:
            if (plan.rotate)
                break;
            iconCopied = copied(exporter.CopyIcon(extra.path), extra.path);
            break;
        case Kind::Proxy: copied(exporter.CopyProxy(extra.path, extra.suffix), extra.path); break;
        case Kind::Voice: copied(exporter.CopyVoice(extra.path, extra.suffix), extra.path); break;
        }
    }
    // A clip whose icon cannot be made is written without one.
    if (!iconCopied)
        exporter.WriteThumbnail(clip.buffers.frame0.data(), static_cast<size_t>(std::max(clip.buffers.frame0Size, 0)),
                                plan.sourceFormat, plan.rotate != 0)
            .ignore();
    tellNotices(exporter);
    exporter.ClearLastError();
    return problems;
}

// Every audio channel the source names must hold the samples of its frames.
// A channel whose file is missing or cut short is told (which channel, how
// many samples are missing) and sets the caller's error flag; its place in
// the output keeps the channel layout and is filled with silence. Returns
// what was wrong, empty when nothing was.
std::string checkSourceAudio(CCaller& caller, const CMxfFile& source, const char* sourcePath, int sourceChannels)
{
    const uint64_t expected = mxf::audioSamplesOfFrames(
        static_cast<uint64_t>(std::max<int64_t>(source.FrameCount(), 0)),
        static_cast<uint32_t>(std::max(source.EditRateNumerator(), 0)),
        static_cast<uint32_t>(std::max(source.EditRateDenominator(), 0)));
    std::string damage;
    for (int c = 0; c < sourceChannels; ++c) {
        std::string what;
        const char* filled = nullptr;
        if (!source.AudioChannelFound(c)) {
            what = qelFormat("audio channel %d (%s%02d.MXF) is missing", c + 1, CVorn::ClipName(sourcePath).c_str(), c);
            filled = "it is written as silence";
        } else if (const uint64_t held = source.AudioChannelSamples(c); held < expected) {
            what = qelFormat("audio channel %d is short: %llu of its %llu samples are missing", c + 1,
                             static_cast<unsigned long long>(expected - held), static_cast<unsigned long long>(expected));
            filled = "they are written as silence";
        } else {
            continue;
        }
        caller.MessageString(QelString(qelFormat("Warning: %s; %s\r\n", what.c_str(), filled)), 0, 1);
        caller.SetError();
        damage += (damage.empty() ? "" : "; ") + what;
    }
    return damage;
}

// The clip's files on the destination, relative to it, once it is finished.
std::vector<std::string> outputFilesOf(const mxf::CExportBase& exporter, const std::string& destination)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& p : exporter.outputPaths()) {
        if (!fs::is_regular_file(p, ec))
            continue;
        files.push_back(p.lexically_relative(fs::path(destination)).generic_string());
    }
    return files;
}

} // namespace

} // namespace vorn

using vorn::ClipOutcome;
using vorn::ClipResult;

CVorn::~CVorn()
{
    m_stopping.store(1);
    m_paused.store(0);
    m_thread.join();
}

void CVorn::SetDestination(const char* path) { m_destination = QelString(path ? path : ""); }

void CVorn::SetPulldown(int remove, int add)
{
    m_removePulldown = remove ? 1 : 0;
    m_addPulldown = add ? 1 : 0;
}

void CVorn::SetDesiredRate(float rate) { m_desiredFrameRate = rate; }

void CVorn::SetPreviewTarget(int32_t window, int32_t size)
{
    m_previewWindow = window;
    m_previewSize = size;
}

std::vector<ClipResult> CVorn::Results() const
{
    std::lock_guard<std::mutex> lock(m_resultsMutex);
    return m_results;
}

ClipResult* CVorn::currentResult()
{
    if (m_currentClip < 0 || static_cast<size_t>(m_currentClip) >= m_results.size())
        return nullptr;
    return &m_results[static_cast<size_t>(m_currentClip)];
}

int CVorn::StartExport(CCaller* caller, const vorn::ExportOptions& options)
{
    // A second Start while an export runs is not started.
    if (m_exporting.exchange(1) != 0)
        return 0;
    m_thread.join();   // the previous run has ended; collect its thread
    if (caller)
        caller->ResetFlags();

    m_exportOptions = options;
    // The pane's settings (SetPulldown, SetDesiredRate) rule over the options file's.
    m_exportOptions.removePulldown = m_removePulldown != 0;
    m_exportOptions.addPulldown = m_addPulldown != 0;
    if (m_desiredFrameRate > 0.5f && m_desiredFrameRate < 1000.0f)
        m_exportOptions.desiredRate = m_desiredFrameRate;
    m_showFrames = options.showFrames;
    const std::string& scale = options.frameScale;
    if (scale == "Full scale")
        m_previewScale = 1;
    else if (scale == "Half scale")
        m_previewScale = 2;
    else if (scale == "Quarter scale")
        m_previewScale = 4;
    {
        std::lock_guard<std::mutex> lock(m_resultsMutex);
        m_results.clear();
        for (const auto& f : m_files) {
            ClipResult r;
            r.sourcePath = f.str();
            m_results.push_back(std::move(r));
        }
        m_currentClip = -1;
    }
    m_progress = vorn::ExportProgress{};
    m_progress.clipCount = FileCount();

    m_caller = caller;
    if (m_destination.isEmpty()) {
        if (caller) {
            caller->Message("\r\nNo destination selected (click Options to select)\r\n", 0, 1);
            caller->Abort();
        }
        ExportFinished();
        return 0;
    }
    // Nothing is written into the card a clip comes from, nor into a card holding one.
    for (const auto& f : m_files) {
        const auto card = vorn::mxf::SourceCardConflict(f.str(), m_destination.str());
        if (card.empty())
            continue;
        if (caller) {
            caller->Message(("\r\nThe destination " + m_destination.str() + " overlaps the source card " +
                             card.string() + "; nothing was written\r\n").c_str(), 0, 1);
            caller->Abort();
        }
        ExportFinished();
        return 0;
    }
    if (!m_thread.start(&CVorn::exportThread, reinterpret_cast<uintptr_t>(this), 0)) {
        if (caller) {
            caller->Message("\r\nThe export could not be started\r\n", 0, 1);
            caller->Abort();
        }
        ExportFinished();
    }
    return 0;
}

void CVorn::ExportFinished()
{
    m_exporting.store(0);
    // An engine being destroyed does not call back: its caller may be gone.
    if (m_caller && !m_stopping.load())
        m_caller->ExportDone();
}

void CVorn::WaitForExport() { m_thread.join(); }

void CVorn::exportThread(uintptr_t engine, uintptr_t)
{
    reinterpret_cast<CVorn*>(engine)->runExport();
}

void CVorn::runExport()
{
    CCaller* caller = m_caller;
    const int n = FileCount();
    if (n > 0 && caller) {
        caller->SetProgress(0, 1);
        caller->Message("\r\nDestination folder: ", 0, 1);
        caller->Message(m_destination.c_str(), 0, 1);
        caller->Message("\r\n", 0, 1);
    }
    const std::string destination = m_destination.str();
    // The destination's clip names and card space are read once for the run.
    const auto destinationIndex = std::make_shared<vorn::mxf::DestinationIndex>(destination);
    for (int i = 0; i < n && m_exporting.load() && !m_stopping.load() && !(caller && caller->IsAborted()); ++i) {
        const std::string path = File(i).str();
        {
            std::lock_guard<std::mutex> lock(m_resultsMutex);
            m_currentClip = i;
        }
        m_progress.clipIndex = i;
        m_progress.clipName = ClipName(path.c_str());
        m_progress.sourceFramesRead = m_progress.framesWritten = m_progress.plannedFrames = 0;
        m_progress.clipSeconds = 0.0;
        std::unique_ptr<vorn::mxf::CExportBase> exporter;
        if (m_exporterFactory)
            exporter = m_exporterFactory(path, destination);
        else
            exporter = std::make_unique<vorn::mxf::CExportMxf>(path, destination);
        if (exporter) {
            exporter->SetDestinationIndex(destinationIndex);
            exporter->SetCardSize(m_exportOptions.cardSizeGB);
        }
        ExportClip(path.c_str(), exporter.get());
        if (caller)
            caller->SetProgress(0, (i + 1) * 100 / n);
    }
    {
        std::lock_guard<std::mutex> lock(m_resultsMutex);
        m_currentClip = -1;
    }
    if (caller)
        caller->SetProgress(0, 100);
    ExportFinished();
}

// The export of one clip, in phases: open (the source and its plan),
// configure (the exporter described, opened and its headers written), frames,
// audio and close. Every phase that fails ends the clip through end(), which
// discards what the exporter wrote; the destructor discards too when a phase
// left by any other way, so that no failure leaves a clip's files behind.
class CVorn::ClipJob {
public:
    ClipJob(CVorn& engine, const char* sourcePath, vorn::mxf::CExportBase* exporter)
        : m_engine(engine), m_caller(engine.m_caller), m_exporter(exporter), m_sourcePath(sourcePath),
          m_started(vorn::Clock::now())
    {
        std::lock_guard<std::mutex> lock(m_engine.m_resultsMutex);
        ClipResult* result = m_engine.currentResult();
        m_result = result ? result : &m_local;
        m_result->sourcePath = sourcePath ? sourcePath : "";
    }
    ~ClipJob()
    {
        if (!m_closed)
            discard();
    }
    ClipJob(const ClipJob&) = delete;
    ClipJob& operator=(const ClipJob&) = delete;

    // 1 when the clip ran to its end, 0 when it stopped early.
    int run()
    {
        if (!m_caller || !m_exporter) {
            finish(ClipOutcome::Error, "no caller or exporter");
            return 0;
        }
        if (!open())
            return 0;
        // A clip whose source gives fewer frames than planned is written a
        // second time with the count it gave, so that its headers, index and
        // clip XML tell the truth.
        for (int pass = 0;; ++pass) {
            if (!configure(pass))
                return 0;
            const FramesEnd end = frames(pass);
            if (end == FramesEnd::Stopped)
                return 0;
            if (end == FramesEnd::Again)
                continue;
            break;
        }
        writeAudio();
        return close();
    }

private:
    enum class FramesEnd { Done, Again, Stopped };

    // ---- Phase open: the source, the plan, and the checks that come before
    // the exporter is touched.
    bool open()
    {
        using namespace vorn;
        const ClipStart start =
            startClipExport(*m_caller, m_engine, m_sourcePath, m_engine.m_exportOptions, m_clip, m_exporter);
        if (start != ClipStart::Planned) {
            end(ClipOutcome::Error, m_clip.failure);
            return false;
        }
        const ConversionPlan& plan = m_clip.plan;
        const CMxfFile& source = *m_clip.clip;
        {
            std::lock_guard<std::mutex> lock(m_engine.m_resultsMutex);
            m_result->sourceFormat = plan.sourceFormat;
            m_result->sourceFrames = source.FrameCount();
            recordDecisions(*m_result, plan);
        }
        m_engine.m_progress.plannedFrames = plan.frameCount;

        // A format the system does not know is not given to the exporter at all.
        if (source.VideoFormat() == 0) {
            m_caller->Message("This format is not supported.\r\n", 0, 1);
            end(ClipOutcome::Error, "this format is not supported");
            return false;
        }
        // A plan without an output frame would write an empty clip.
        if (plan.frameCount <= 0) {
            m_caller->Message("The plan gives no output frame for this clip; the clip is not written\r\n", 0, 1);
            end(ClipOutcome::Error, "no output frame was planned");
            return false;
        }
        if (const char* missing = pictureSteps::missingOperation(plan)) {
            m_caller->MessageString(
                QelString(qelFormat("Vorn cannot do the %s this clip needs; the clip is not written\r\n", missing)), 0,
                1);
            m_caller->SetError();
            end(ClipOutcome::Error, std::string("needs ") + missing);
            return false;
        }
        // Codec tables.
        dv::InitCodecTables();
        return true;
    }

    // ---- Phase configure: the exporter is described and opened, the extra
    // files copied, the headers written and the clip's buffers made.
    bool configure(int pass)
    {
        using namespace vorn;
        ConversionPlan& plan = m_clip.plan;
        CMxfFile& source = *m_clip.clip;
        mxf::CExportBase& exporter = *m_exporter;
        configureExporter(exporter, plan, source);

        // Audio channels: DV formats get at least 2, DVCPRO HD and AVC-Intra
        // at least 4. Every channel of the source is taken (not only the first two).
        source.m_audioSelect = 2;
        m_sourceChannels = source.ReadAllAudioHeaders();
        m_channels = outputAudioChannels(m_sourceChannels, plan.targetFormat);
        if (pass == 0) {
            const std::string audioDamage = checkSourceAudio(*m_caller, source, m_sourcePath, m_sourceChannels);
            if (!audioDamage.empty())
                addDamage(audioDamage);
        }

        // A failure whose cause lies in this clip's own files fails this
        // clip; any other (the destination) ends the whole export.
        const Status opened = exporter.Open(m_channels, plan.widescreen != 0);
        vorn::tellNotices(exporter);
        if (!opened.ok()) {
            const std::string why = !opened.message().empty()       ? opened.message()
                                    : !exporter.lastError().empty() ? exporter.lastError()
                                                                    : "the exporter could not be initialised";
            m_caller->MessageString(QelString((why + "\r\n").c_str()), 0, 1);
            discard();
            if (exporter.errorKind() == mxf::CExportBase::kErrorClip) {
                m_caller->Message("The clip is not written\r\n", 0, 1);
                end(ClipOutcome::Error, why);
                return false;
            }
            m_caller->Message("\r\nError encountered during Initialization.\r\n", 0, 1);
            m_caller->Abort();
            end(ClipOutcome::Error, why);
            return false;
        }
        // A name already on the destination: the clip is written under the next free one.
        if (!exporter.renameNotice().empty())
            m_caller->Message((exporter.renameNotice() + "\r\n").c_str(), 0, 1);
        // The running time code of the binary-group stamping starts where the
        // exporter's (converted) start time code does.
        if (const dv::TimecodeCounter* tc = exporter.runningTimecode())
            m_clip.binaryGroup.SetTimecode(tc->hours(), tc->minutes(), tc->seconds(), tc->frames(), tc->dropFrame);
        else
            m_clip.binaryGroup.SetTimecode(source.TcHours(), source.TcMinutes(), source.TcSeconds(), source.TcFrames());

        // Icon, proxy and voice files. One that cannot be read is told and
        // left out; the clip goes on.
        m_extraProblems = copyClipExtras(exporter, m_sourcePath, m_clip);

        // Source and destination lines.
        reportSourceAndDest(*m_caller, m_clip);

        const Status begun = exporter.BeginClip(plan.frameCount, static_cast<uint32_t>(std::max(plan.rateDen, 1)),
                                                static_cast<uint32_t>(std::max(plan.rateNum, 1)),
                                                plan.widescreen != 0, m_channels);
        vorn::tellNotices(exporter);
        if (!begun.ok()) {
            const std::string why =
                "the clip's headers could not be written" + (begun.message().empty() ? "" : ": " + begun.message());
            m_caller->MessageString(QelString(("The clip could not be written: " + why + "\r\n").c_str()), 0, 1);
            m_caller->SetError();
            end(ClipOutcome::Error, why);
            return false;
        }

        // Buffers, iterator, audio converter.
        m_chunk = audioChunkBytes(plan);
        try {
            m_clip.buffers.allocate(plan, source.FrameSize(), source.LaterFrameSize());
            m_audio.assign(5 * m_chunk + 100, 0);
            m_converted.assign(5 * m_chunk + 100, 0);
        } catch (const std::bad_alloc&) {
            m_caller->Message("Could not allocate frame buffer\r\n", 0, 1);
            end(ClipOutcome::Error, "could not allocate frame buffers");
            return false;
        }
        FrameProcesser& processor = *m_clip.processor;
        processor.SetPreview(m_engine.m_showFrames ? m_engine.m_preview : nullptr, m_engine.m_previewScale);
        processor.PrepareDecoding();
        m_iterator = std::make_unique<VideoIterator>(&source, plan.removePulldown != 0, plan.remove32 != 0,
                                                     plan.sourceFormat);
        // A short frame is undecodable: re-encoded clips take the previous
        // picture for it; copied clips end at the last whole frame.
        m_iterator->SetTakeShortFrames(plan.reencode != 0);
        if (plan.convert2425)
            m_speedConverter.Init(plan.desiredRateRounded == 24);
        m_audioFailed = false;
        return true;
    }

    // ---- Phase frames: every output frame through the frame pipeline (and,
    // for a speed change, the audio with it). Again when the source gave
    // fewer frames than planned and the clip is to be written to that length.
    FramesEnd frames(int pass)
    {
        using namespace vorn;
        ConversionPlan& plan = m_clip.plan;
        CMxfFile& source = *m_clip.clip;
        FrameProcesser& processor = *m_clip.processor;
        ExportProgress& progress = m_engine.m_progress;
        int64_t consumed = 0;
        m_written = 0;
        while (true) {
            const int m = m_iterator->Next(m_clip.buffers.compressed, m_clip.buffers.frameSizes);
            if (m == 0 || stopped())
                break;
            if (plan.convert2425) {
                for (int c = 0; c < m_sourceChannels; ++c) {
                    const int got = source.ReadAudio(m_audio.data(), static_cast<int>(m_chunk), c);
                    if (got > 0 && m_speedConverter.Put(m_audio.data(), static_cast<size_t>(got), c))
                        convertAndWrite(c, false);
                }
            }
            processor.ProcessStep(consumed, m, m_written);
            consumed += m;
            progress.sourceFramesRead = consumed;
            progress.framesWritten = processor.framesWritten();
            progress.clipSeconds = seconds();
            m_caller->SetProgress(
                0, plan.frameCount > 0 ? static_cast<int>(std::min<int64_t>(m_written * 100 / plan.frameCount, 100))
                                       : 100);
            if (processor.failed() || m_written >= plan.frameCount)
                break;
            while (m_engine.IsPaused() && !stopped())
                std::this_thread::sleep_for(std::chrono::milliseconds(kPausePollMs));
        }

        if (pass > 0 || stopped() || processor.failed() || m_written >= plan.frameCount)
            return FramesEnd::Done;
        const int64_t gave = processor.framesWritten();
        discard();
        // The source ended before its frame count: a frame it holds only
        // part of, or none of, ends the clip at the last whole frame.
        if (const int64_t at = m_iterator->endedAt(); at >= 0) {
            const std::string what =
                m_iterator->endedBytes() > 0
                    ? qelFormat("source frame %lld is incomplete (%d of %d bytes)", static_cast<long long>(at),
                                m_iterator->endedBytes(), m_iterator->expectedBytes())
                    : qelFormat("source frame %lld is missing", static_cast<long long>(at));
            m_caller->MessageString(QelString(qelFormat("The clip ends early: %s; it ends at the last whole "
                                                        "frame before it\r\n",
                                                        what.c_str())),
                                    0, 1);
            m_caller->SetError();
            addDamage("the source ended early: " + what);
        }
        if (gave == 0) {
            m_caller->Message("The source gave no frame for this clip; the clip is not written\r\n", 0, 1);
            m_caller->SetError();
            end(ClipOutcome::Error, "no frame was output");
            return FramesEnd::Stopped;
        }
        m_caller->MessageString(QelString(qelFormat("The source gave %lld of the %lld planned frames; the clip is "
                                                    "written again to that length\r\n",
                                                    static_cast<long long>(gave),
                                                    static_cast<long long>(plan.frameCount))),
                                0, 1);
        plan.frameCount = gave;
        m_clip.processor = std::make_unique<FrameProcesser>(m_caller, m_clip.clip.get(), &m_engine, &plan, m_exporter,
                                                            &m_clip.buffers, &m_clip.binaryGroup);
        {
            std::lock_guard<std::mutex> lock(m_engine.m_resultsMutex);
            m_result->plannedFrames = gave;
        }
        return FramesEnd::Again;
    }

    // ---- Phase audio: every channel of the source, unless the clip was
    // stopped or failed; then a pause still holds the clip open until it is
    // answered.
    void writeAudio()
    {
        using namespace vorn;
        const ConversionPlan& plan = m_clip.plan;
        CMxfFile& source = *m_clip.clip;
        if (!stopped() && !m_clip.processor->failed()) {
            m_caller->Message("Processing audio, please wait...\r\n", 0, 1);
            for (int c = 0; c < m_sourceChannels && !m_audioFailed; ++c) {
                while (true) {
                    const int got = source.ReadAudio(m_audio.data(), static_cast<int>(m_chunk), c);
                    if (got <= 0) {
                        // The file gave out before the end found when it was
                        // opened: it was cut or became unreadable meanwhile.
                        if (const uint64_t left = source.AudioBytesLeft(c); left > 0) {
                            const std::string what =
                                qelFormat("audio channel %d ended early: %llu of its samples could not be read", c + 1,
                                          static_cast<unsigned long long>(left / 2));
                            m_caller->MessageString(
                                QelString(qelFormat("Warning: %s; they are written as silence\r\n", what.c_str())), 0,
                                1);
                            m_caller->SetError();
                            m_damage += (m_damage.empty() ? "" : "; ") + what;
                        }
                        break;
                    }
                    if (plan.convert2425) {
                        if (!m_speedConverter.Put(m_audio.data(), static_cast<size_t>(got), c))
                            break;
                        convertAndWrite(c, false);
                    } else if (!writeAudioChunk(m_audio.data(), static_cast<size_t>(got), c)) {
                        break;
                    }
                }
                if (plan.convert2425)
                    convertAndWrite(c, true);
            }
        }
        while (m_engine.IsPaused() && !stopped())
            std::this_thread::sleep_for(std::chrono::milliseconds(kPausePollMs));
    }

    // ---- Phase close: an aborted or failed clip is discarded; a whole one
    // is finished and put in place.
    int close()
    {
        using namespace vorn;
        const ConversionPlan& plan = m_clip.plan;
        const FrameProcesser& processor = *m_clip.processor;
        {
            std::lock_guard<std::mutex> lock(m_engine.m_resultsMutex);
            m_result->framesWritten = processor.framesWritten();
            m_result->undecodableFrames = processor.undecodableFrames();
        }
        if (stopped()) {
            end(ClipOutcome::Aborted, "");
            return 0;
        }
        if (processor.failed() || m_audioFailed) {
            const std::string why =
                withCause(processor.failed() ? processor.failure() : std::string("audio could not be written"));
            m_caller->MessageString(QelString(("The clip could not be written: " + why + "\r\n").c_str()), 0, 1);
            m_caller->SetError();
            end(ClipOutcome::Error, why);
            return 0;
        }
        // The second pass gave fewer frames again (the source changed under us):
        // the clip is not written rather than written with wrong headers.
        if (m_written < plan.frameCount) {
            m_caller->Message("The source gave fewer frames than at the first reading; the clip is not written\r\n",
                              0, 1);
            m_caller->SetError();
            end(ClipOutcome::Error, "the source changed while it was read");
            return 0;
        }

        m_exporter->ClearLastError();
        const Status closed = m_exporter->Close();
        vorn::tellNotices(*m_exporter);
        m_clip.clip->Close();
        if (!closed.ok()) {
            const std::string why = withCause("the clip's files could not be finished");
            m_caller->MessageString(QelString(withCause("The clip's files could not be finished").append("\r\n").c_str()),
                                    0, 1);
            end(ClipOutcome::Error, why);
            return 0;
        }
        m_closed = true;
        // What did not undo the clip is told after it.
        std::vector<std::string> problems = m_extraProblems;
        if (!m_exporter->lateProblem().empty())
            problems.push_back(m_exporter->lateProblem());
        for (const auto& problem : problems)
            m_caller->MessageString(QelString((problem + "\r\n").c_str()), 0, 1);
        {
            std::lock_guard<std::mutex> lock(m_engine.m_resultsMutex);
            m_result->outputFiles = vorn::outputFilesOf(*m_exporter, m_engine.m_destination.str());
            m_result->problems = std::move(problems);
        }
        const bool withErrors = m_result->undecodableFrames > 0 || !m_damage.empty();
        finish(withErrors ? ClipOutcome::Error : ClipOutcome::Complete,
               m_result->undecodableFrames > 0 ? "frames could not be decoded" : m_damage);
        return 1;
    }

    // Writes converted audio: what the converter can give now, or (final) all
    // that is left of the channel.
    void convertAndWrite(int c, bool final)
    {
        const size_t ready = final ? m_speedConverter.Remaining(c) : m_speedConverter.Available(c);
        size_t left = ready;
        while (left >= (final ? 2 : m_chunk)) {
            const size_t want = std::min(left, m_chunk);
            const size_t got = m_speedConverter.Take(m_converted.data(), want, c);
            if (got == 0)
                break;
            writeAudioChunk(m_converted.data(), got, c);
            left -= got;
        }
    }

    // Channels beyond the output's are read and dropped. False when the
    // exporter refused the samples (the clip then fails).
    bool writeAudioChunk(const uint8_t* data, size_t size, int c)
    {
        if (c >= m_channels)
            return true;
        const vorn::Status written = m_exporter->WriteAudio(data, size, c);
        vorn::tellNotices(*m_exporter);
        if (!written.ok())
            m_audioFailed = true;
        return written.ok();
    }

    bool stopped() const { return m_caller->IsAborted() || m_engine.m_stopping.load() != 0; }
    double seconds() const { return std::chrono::duration<double>(vorn::Clock::now() - m_started).count(); }

    // What was wrong with the source (the clip is then written with errors);
    // the first becomes the clip's message.
    void addDamage(const std::string& what)
    {
        m_damage += (m_damage.empty() ? "" : "; ") + what;
        std::lock_guard<std::mutex> lock(m_engine.m_resultsMutex);
        if (m_result->message.empty())
            m_result->message = what;
    }

    // The exporter's last failure (with its reason) after a text of the driver's own.
    std::string withCause(const std::string& text) const
    {
        return m_exporter->lastError().empty() ? text : text + ": " + m_exporter->lastError();
    }

    // Takes back whatever the exporter has written of the clip.
    void discard()
    {
        if (!m_exporter)
            return;
        m_exporter->Discard();
        vorn::tellNotices(*m_exporter);
    }

    // Ends a clip that is not written: its files are discarded.
    void end(ClipOutcome outcome, const std::string& message)
    {
        discard();
        finish(outcome, message);
    }

    // Every clip that ends in error makes the export one with errors.
    void finish(ClipOutcome outcome, const std::string& message)
    {
        ClipResult& r = *m_result;
        if (m_caller && (outcome == ClipOutcome::Error || !r.problems.empty()))
            m_caller->SetError();
        std::lock_guard<std::mutex> lock(m_engine.m_resultsMutex);
        r.outcome = outcome;
        if (!message.empty() && r.message.empty())
            r.message = message;
        r.seconds = seconds();
    }

    CVorn& m_engine;
    CCaller* m_caller;
    vorn::mxf::CExportBase* m_exporter;
    const char* m_sourcePath;
    const vorn::Clock::time_point m_started;
    ClipResult m_local;
    ClipResult* m_result = nullptr;
    bool m_closed = false;   // Close put the clip in place

    vorn::ClipExport m_clip;
    std::string m_damage;
    std::vector<std::string> m_extraProblems;
    int m_sourceChannels = 0;
    int m_channels = 0;
    size_t m_chunk = 0;
    std::vector<uint8_t> m_audio;
    std::vector<uint8_t> m_converted;
    std::unique_ptr<vorn::VideoIterator> m_iterator;
    vorn::AudioSpeedConverter m_speedConverter;
    bool m_audioFailed = false;
    int64_t m_written = 0;
};

int CVorn::ExportClip(const char* sourcePath, vorn::mxf::CExportBase* exporter)
{
    ClipJob job(*this, sourcePath, exporter);
    return job.run();
}
