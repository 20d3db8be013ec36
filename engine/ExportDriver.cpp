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
    exporter.SetOptionValue1(plan.reencode);
    exporter.SetPlaybackFactor(static_cast<double>(plan.frameRatio));
    exporter.SetSourceTimecodeBase(source.TcBase());
    exporter.SetSourceDropFrame(source.DropFrame());
    mxf::Umid umid{};
    std::copy(source.PackageId(), source.PackageId() + umid.size(), umid.begin());
    exporter.SetBaseUmid(umid);
    exporter.SetBinaryGroup(plan.bgWord);
    exporter.SetTimecode(-1, -1, -1, -1, source.StartTimecode(), source.TcBase(), source.DropFrame());
    exporter.SetOptionValue2(static_cast<int>(source.EditRate()));
    exporter.SetTimecodeText(qelFormat("%02d:%02d:%02d:%02d", source.TcHours(), source.TcMinutes(),
                                       source.TcSeconds(), source.TcFrames()));
    // The start time code at the output rate, also when the source has no clip XML.
    if (auto* mxfExporter = dynamic_cast<mxf::CExportMxf*>(&exporter))
        mxfExporter->ConvertStartTimecode(source.StartTimecode(), source.TcBase(), source.DropFrame());
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

// The source clip's icon (ICON beside its VIDEO folder) is copied, or made
// from frame 0 when the picture is turned or there is none; its proxy files
// (PROXY) and voice memos (VOICE) are copied. Returns what could not be
// copied, with the reason.
std::vector<std::string> copyClipExtras(mxf::CExportBase& exporter, const char* sourcePath, const ClipExport& clip)
{
    using Kind = mxf::ClipExtraFile::Kind;
    const ConversionPlan& plan = clip.plan;
    std::vector<std::string> problems;
    auto failed = [&](const std::string& what) {
        problems.push_back(exporter.lastError().empty() ? "Could not copy " + what : exporter.lastError());
    };
    bool iconCopied = false;
    for (const mxf::ClipExtraFile& extra : mxf::clipExtraFiles(sourcePath ? sourcePath : "")) {
        exporter.ClearLastError();
        switch (extra.kind) {
        case Kind::Icon:
            if (plan.rotate)
                break;
            iconCopied = exporter.CopyIcon(extra.path) != 0;
            if (!iconCopied)
                failed(extra.path);
            break;
        case Kind::Proxy:
            if (!exporter.CopyProxy(extra.path, extra.suffix))
                failed(extra.path);
            break;
        case Kind::Voice:
            if (!exporter.CopyVoice(extra.path, extra.suffix))
                failed(extra.path);
            break;
        }
    }
    if (!iconCopied)
        exporter.WriteThumbnail(clip.buffers.frame0.data(), static_cast<size_t>(std::max(clip.buffers.frame0Size, 0)),
                                plan.sourceFormat, plan.rotate);
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
std::vector<std::string> outputFilesOf(const mxf::CExportBase* exporter, const std::string& destination)
{
    std::vector<std::string> files;
    const auto* mxfExporter = dynamic_cast<const mxf::CExportMxf*>(exporter);
    if (!mxfExporter)
        return files;
    std::vector<fs::path> paths{mxfExporter->videoPath()};
    for (int c = 0; c < mxfExporter->audioChannels(); ++c)
        paths.push_back(mxfExporter->audioPath(c));
    paths.push_back(mxfExporter->clipXmlPath());
    paths.push_back(mxfExporter->iconPath());
    for (const auto& p : mxfExporter->writtenFiles())
        if (std::find(paths.begin(), paths.end(), p) == paths.end())
            paths.push_back(p);
    std::error_code ec;
    for (const auto& p : paths) {
        if (p.empty() || !fs::is_regular_file(p, ec))
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
        if (auto* mxfExporter = dynamic_cast<vorn::mxf::CExportMxf*>(exporter.get())) {
            mxfExporter->SetDestinationIndex(destinationIndex);
            mxfExporter->SetCardSize(m_exportOptions.cardSize);
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

int CVorn::ExportClip(const char* sourcePath, vorn::mxf::CExportBase* exporter)
{
    using namespace vorn;
    CCaller* caller = m_caller;
    const auto started = Clock::now();
    ClipResult local;
    ClipResult* result = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_resultsMutex);
        result = currentResult();
        (result ? *result : local).sourcePath = sourcePath ? sourcePath : "";
    }
    ClipResult& r = result ? *result : local;
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
    // Every clip that ends in error makes the export one with errors.
    auto finish = [&](ClipOutcome outcome, const std::string& message) {
        if (caller && (outcome == ClipOutcome::Error || !r.problems.empty()))
            caller->SetError();
        std::lock_guard<std::mutex> lock(m_resultsMutex);
        r.outcome = outcome;
        if (!message.empty() && r.message.empty())
            r.message = message;
        r.seconds = seconds();
    };
    // The exporter's last failure (with its reason) after a text of the driver's own.
    auto withCause = [&](const std::string& text) {
        return exporter->lastError().empty() ? text : text + ": " + exporter->lastError();
    };
    if (!caller || !exporter) {
        finish(ClipOutcome::Error, "no caller or exporter");
        return 0;
    }

    // 1-7. Open the source, fill the plan, read frame 0 and plan.
    ClipExport clip;
    const ClipStart start = startClipExport(*caller, *this, sourcePath, m_exportOptions, clip, exporter);
    if (start != ClipStart::Planned) {
        finish(ClipOutcome::Error, clip.failure);
        return 0;
    }
    ConversionPlan& plan = clip.plan;
    CMxfFile& source = *clip.clip;
    {
        std::lock_guard<std::mutex> lock(m_resultsMutex);
        r.sourceFormat = plan.sourceFormat;
        r.sourceFrames = source.FrameCount();
        recordDecisions(r, plan);
    }
    m_progress.plannedFrames = plan.frameCount;

    // A format the system does not know is not given to the exporter at all.
    if (source.VideoFormat() == 0) {
        caller->Message("This format is not supported.\r\n", 0, 1);
        finish(ClipOutcome::Error, "this format is not supported");
        return 0;
    }
    // A plan without an output frame would write an empty clip.
    if (plan.frameCount <= 0) {
        caller->Message("The plan gives no output frame for this clip; the clip is not written\r\n", 0, 1);
        finish(ClipOutcome::Error, "no output frame was planned");
        return 0;
    }
    if (const char* missing = pictureSteps::missingOperation(plan)) {
        caller->MessageString(QelString(qelFormat("Vorn cannot do the %s this clip needs; the clip is not written\r\n",
                                                  missing)),
                              0, 1);
        caller->SetError();
        finish(ClipOutcome::Error, std::string("needs ") + missing);
        return 0;
    }

    // Codec tables.
    dv::InitCodecTables();

    // A clip whose source gives fewer frames than planned is written a second
    // time with the count it gave, so that its headers, index and clip XML
    // tell the truth.
    std::string damage;   // what was wrong with the source (the clip is then written with errors)
    for (int pass = 0;; ++pass) {
        // 8. Configure the exporter.
        configureExporter(*exporter, plan, source);

        // 9. Audio channels: DV formats get at least 2, DVCPRO HD and AVC-Intra at least 4.
        // Every channel of the source is taken (not only the first two).
        source.m_audioSelect = 2;
        const int sourceChannels = source.ReadAllAudioHeaders();
        const int channels = outputAudioChannels(sourceChannels, plan.targetFormat);
        if (pass == 0) {
            const std::string audioDamage = checkSourceAudio(*caller, source, sourcePath, sourceChannels);
            if (!audioDamage.empty()) {
                damage += (damage.empty() ? "" : "; ") + audioDamage;
                std::lock_guard<std::mutex> lock(m_resultsMutex);
                if (r.message.empty())
                    r.message = audioDamage;
            }
        }

        // 10. Open the exporter. A failure whose cause lies in this clip's
        // own files fails this clip; any other (the destination) ends the
        // whole export.
        std::string openMessage;
        if (!exporter->Open(openMessage, channels, plan.widescreen != 0)) {
            const std::string why = !openMessage.empty()             ? openMessage
                                    : !exporter->lastError().empty() ? exporter->lastError()
                                                                     : "the exporter could not be initialised";
            caller->MessageString(QelString((why + "\r\n").c_str()), 0, 1);
            exporter->Discard();
            if (exporter->errorKind() == mxf::CExportBase::kErrorClip) {
                caller->Message("The clip is not written\r\n", 0, 1);
                finish(ClipOutcome::Error, why);
                return 0;
            }
            caller->Message("\r\nError encountered during Initialization.\r\n", 0, 1);
            caller->Abort();
            finish(ClipOutcome::Error, why);
            return 0;
        }
        // A name already on the destination: the clip is written under the next free one.
        if (!exporter->renameNotice().empty())
            caller->Message((exporter->renameNotice() + "\r\n").c_str(), 0, 1);
        // The running time code of the binary-group stamping starts where the
        // exporter's (converted) start time code does.
        if (const auto* mxfExporter = dynamic_cast<const mxf::CExportMxf*>(exporter)) {
            const dv::TimecodeCounter& tc = mxfExporter->runningTimecode();
            sharedBGinfo().SetTimecode(tc.hours(), tc.minutes(), tc.seconds(), tc.frames(), tc.dropFrame);
        } else {
            sharedBGinfo().SetTimecode(source.TcHours(), source.TcMinutes(), source.TcSeconds(), source.TcFrames());
        }

        // 11-12. Icon, proxy and voice files. One that cannot be read is
        // told and left out; the clip goes on.
        const std::vector<std::string> extraProblems = copyClipExtras(*exporter, sourcePath, clip);

        // 14. Source and destination lines.
        reportSourceAndDest(*caller, clip);

        // 15-17. File headers, buffers, iterator, audio converter.
        exporter->BeginClip(plan.frameCount, 0, static_cast<uint32_t>(std::max(plan.rateDen, 1)),
                            static_cast<uint32_t>(std::max(plan.rateNum, 1)), plan.widescreen != 0, channels);
        const size_t chunk = audioChunkBytes(plan);
        std::vector<uint8_t> audio;
        std::vector<uint8_t> converted;
        try {
            clip.buffers.allocate(plan, source.FrameSize(), source.LaterFrameSize());
            audio.assign(5 * chunk + 100, 0);
            converted.assign(5 * chunk + 100, 0);
        } catch (const std::bad_alloc&) {
            caller->Message("Could not allocate frame buffer\r\n", 0, 1);
            exporter->Discard();
            finish(ClipOutcome::Error, "could not allocate frame buffers");
            return 0;
        }
        FrameProcesser& processor = *clip.processor;
        processor.SetPreview(m_showFrames ? m_preview : nullptr, m_previewScale);
        processor.PrepareDecoding();
        VideoIterator iterator(&source, plan.removePulldown, plan.addPulldown, plan.remove32, plan.sourceFormat,
                               m_desiredFrameRate);
        // A short frame is undecodable: re-encoded clips take the previous
        // picture for it; copied clips end at the last whole frame.
        iterator.SetTakeShortFrames(plan.reencode != 0);
        static AudioSpeedConverter speedConverter;
        if (plan.convert2425)
            speedConverter.Init(plan.desiredRateRounded == 24);
        bool audioFailed = false;
        auto convertAndWrite = [&](int c, bool final) {
            const size_t ready = final ? speedConverter.Remaining(c) : speedConverter.Available(c);
            size_t left = ready;
            while (left >= (final ? 2 : chunk)) {
                const size_t want = std::min(left, chunk);
                const size_t got = speedConverter.Take(converted.data(), want, c);
                if (got == 0)
                    break;
                if (c < channels && !exporter->WriteAudio(converted.data(), got, c))
                    audioFailed = true;
                left -= got;
            }
        };
        auto stopped = [&] { return caller->IsAborted() || m_stopping.load() != 0; };

        // 18. Frame loop.
        int64_t consumed = 0;
        int64_t written = 0;
        while (true) {
            const int m = iterator.Next(clip.buffers.compressed, clip.buffers.frameSizes);
            if (m == 0 || stopped())
                break;
            if (plan.convert2425) {
                for (int c = 0; c < sourceChannels; ++c) {
                    const int got = source.ReadAudio(audio.data(), static_cast<int>(chunk), c);
                    if (got > 0 && speedConverter.Put(audio.data(), static_cast<size_t>(got), c))
                        convertAndWrite(c, false);
                }
            }
            processor.ProcessStep(consumed, m, written);
            consumed += m;
            m_progress.sourceFramesRead = consumed;
            m_progress.framesWritten = processor.framesWritten();
            m_progress.clipSeconds = seconds();
            caller->SetProgress(0, plan.frameCount > 0 ? static_cast<int>(std::min<int64_t>(written * 100 / plan.frameCount, 100)) : 100);
            if (processor.failed() || written >= plan.frameCount)
                break;
            while (IsPaused() && !stopped())
                std::this_thread::sleep_for(std::chrono::milliseconds(kPausePollMs));
        }

        if (pass == 0 && !stopped() && !processor.failed() && written < plan.frameCount) {
            const int64_t gave = processor.framesWritten();
            exporter->Discard();
            // The source ended before its frame count: a frame it holds only
            // part of, or none of, ends the clip at the last whole frame.
            if (const int64_t at = iterator.endedAt(); at >= 0) {
                const std::string what =
                    iterator.endedBytes() > 0
                        ? qelFormat("source frame %lld is incomplete (%d of %d bytes)", static_cast<long long>(at),
                                    iterator.endedBytes(), iterator.expectedBytes())
                        : qelFormat("source frame %lld is missing", static_cast<long long>(at));
                caller->MessageString(QelString(qelFormat("The clip ends early: %s; it ends at the last whole "
                                                          "frame before it\r\n",
                                                          what.c_str())),
                                      0, 1);
                caller->SetError();
                const std::string ended = "the source ended early: " + what;
                damage += (damage.empty() ? "" : "; ") + ended;
                std::lock_guard<std::mutex> lock(m_resultsMutex);
                if (r.message.empty())
                    r.message = ended;
            }
            if (gave == 0) {
                caller->Message("The source gave no frame for this clip; the clip is not written\r\n", 0, 1);
                caller->SetError();
                source.Close();
                finish(ClipOutcome::Error, "no frame was output");
                return 0;
            }
            caller->MessageString(QelString(qelFormat("The source gave %lld of the %lld planned frames; the clip is "
                                                      "written again to that length\r\n",
                                                      static_cast<long long>(gave),
                                                      static_cast<long long>(plan.frameCount))),
                                  0, 1);
            plan.frameCount = gave;
            clip.processor = std::make_unique<FrameProcesser>(caller, clip.clip.get(), this, &plan, exporter,
                                                              &clip.buffers);
            {
                std::lock_guard<std::mutex> lock(m_resultsMutex);
                r.plannedFrames = gave;
            }
            continue;
        }

        // 19. Audio, unless aborted.
        if (!stopped() && !processor.failed()) {
            caller->Message("Processing audio, please wait...\r\n", 0, 1);
            for (int c = 0; c < sourceChannels && !audioFailed; ++c) {
                while (true) {
                    const int got = source.ReadAudio(audio.data(), static_cast<int>(chunk), c);
                    if (got <= 0) {
                        // The file gave out before the end found when it was
                        // opened: it was cut or became unreadable meanwhile.
                        if (const uint64_t left = source.AudioBytesLeft(c); left > 0) {
                            const std::string what =
                                qelFormat("audio channel %d ended early: %llu of its samples could not be read", c + 1,
                                          static_cast<unsigned long long>(left / 2));
                            caller->MessageString(
                                QelString(qelFormat("Warning: %s; they are written as silence\r\n", what.c_str())), 0,
                                1);
                            caller->SetError();
                            damage += (damage.empty() ? "" : "; ") + what;
                        }
                        break;
                    }
                    if (plan.convert2425) {
                        if (!speedConverter.Put(audio.data(), static_cast<size_t>(got), c))
                            break;
                        convertAndWrite(c, false);
                    } else if (c < channels && !exporter->WriteAudio(audio.data(), static_cast<size_t>(got), c)) {
                        audioFailed = true;
                        break;
                    }
                }
                if (plan.convert2425)
                    convertAndWrite(c, true);
            }
        }
        // 20. A pause still holds the clip open until it is answered.
        while (IsPaused() && !stopped())
            std::this_thread::sleep_for(std::chrono::milliseconds(kPausePollMs));

        {
            std::lock_guard<std::mutex> lock(m_resultsMutex);
            r.framesWritten = processor.framesWritten();
            r.undecodableFrames = processor.undecodableFrames();
        }
        if (stopped()) {
            exporter->Discard();
            source.Close();
            finish(ClipOutcome::Aborted, "");
            return 0;
        }
        if (processor.failed() || audioFailed) {
            const std::string why =
                withCause(processor.failed() ? processor.failure() : std::string("audio could not be written"));
            caller->MessageString(QelString(("The clip could not be written: " + why + "\r\n").c_str()), 0, 1);
            caller->SetError();
            exporter->Discard();
            source.Close();
            finish(ClipOutcome::Error, why);
            return 0;
        }
        // The second pass gave fewer frames again (the source changed under us):
        // the clip is not written rather than written with wrong headers.
        if (written < plan.frameCount) {
            caller->Message("The source gave fewer frames than at the first reading; the clip is not written\r\n", 0, 1);
            caller->SetError();
            exporter->Discard();
            source.Close();
            finish(ClipOutcome::Error, "the source changed while it was read");
            return 0;
        }

        // 21. Finish.
        exporter->ClearLastError();
        const int closed = exporter->Close();
        source.Close();
        if (!closed) {
            const std::string why = withCause("the clip's files could not be finished");
            caller->MessageString(QelString(withCause("The clip's files could not be finished").append("\r\n").c_str()),
                                  0, 1);
            exporter->Discard();
            finish(ClipOutcome::Error, why);
            return 0;
        }
        // What did not undo the clip is told after it.
        std::vector<std::string> problems = extraProblems;
        if (!exporter->lateProblem().empty())
            problems.push_back(exporter->lateProblem());
        for (const auto& problem : problems)
            caller->MessageString(QelString((problem + "\r\n").c_str()), 0, 1);
        {
            std::lock_guard<std::mutex> lock(m_resultsMutex);
            r.outputFiles = vorn::outputFilesOf(exporter, m_destination.str());
            r.problems = std::move(problems);
        }
        const bool withErrors = r.undecodableFrames > 0 || !damage.empty();
        finish(withErrors ? ClipOutcome::Error : ClipOutcome::Complete,
               r.undecodableFrames > 0 ? "frames could not be decoded" : damage);
        return 1;
    }
}
