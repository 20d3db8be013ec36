#include "engine/ExportPlan.h"

#include "engine/Caller.h"
#include "engine/VideoFormat.h"
#include "engine/Vorn.h"
#include "foundation/Options.h"
#include "foundation/QelString.h"
#include "mxf/MxfFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

namespace vorn {

namespace {
constexpr float kDefaultDesiredRate = 23.976f;

// The system's reason a file cannot be read; "" when it opens and reads (its
// content is then at fault).
std::string unreadableReason(const std::string& path)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec)
        return ec.message();
    if (!std::filesystem::is_regular_file(status))
        return "not a regular file";
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return std::strerror(errno);
    char byte = 0;
    errno = 0;
    const size_t got = std::fread(&byte, 1, 1, file);
    const int error = got == 0 && std::ferror(file) ? (errno ? errno : EIO) : 0;
    std::fclose(file);
    return error ? std::strerror(error) : std::string();
}
} // namespace

ExportOptions exportOptionsFrom(const COptions& options)
{
    ExportOptions out;
    out.removePulldown = options.getBool(OptionKey::RemovePulldown);
    out.addPulldown = options.getBool(OptionKey::AddPulldown);
    out.desiredRate = options.getFloat(OptionKey::DesiredFrameRate, kDefaultDesiredRate);
    // A rate that rounds to 0 or below would give the output no frame rate.
    if (!(out.desiredRate > 0.5f && out.desiredRate < 1000.0f))
        out.desiredRate = kDefaultDesiredRate;
    out.rotate = options.getBool(OptionKey::Rotation);
    out.remove32 = options.getBool(OptionKey::Remove32);
    out.removeAdvanced = options.getBool(OptionKey::RemoveAdvanced);
    out.add32 = options.getBool(OptionKey::Add32);
    out.addAdvanced = options.getBool(OptionKey::AddAdvanced);
    out.reduceNoise = options.getBool(OptionKey::ReduceNoise);
    out.desiredFrameSize = options.getString(OptionKey::DesiredFrameSize).str();
    out.showFrames = options.getBool(OptionKey::ShowFrames);
    out.frameScale = options.getString(OptionKey::FrameScale).str();
    out.cardSizeGB = options.getCardSize();
    return out;
}

void applyExportOptions(CVorn& engine, const ExportOptions& options)
{
    engine.m_removePulldown = options.removePulldown ? 1 : 0;
    engine.m_addPulldown = options.addPulldown ? 1 : 0;
    engine.m_desiredFrameRate = options.desiredRate;
}

int32_t frameSizeChoiceOf(std::string_view text)
{
    static constexpr std::string_view kTests[] = {
        "1920", "1280", "NTSC DVCPRO50", "PAL DVCPRO50", "NTSC DV/DVCPRO25", "PAL DVCPRO25",
    };
    int32_t choice = 0;
    for (int32_t i = 0; i < 6; ++i)
        if (text.find(kTests[i]) != std::string_view::npos)
            choice = i + 1;
    return choice;
}

void fillPlanInputs(ConversionPlan& plan, const CMxfFile& clip, const CVorn& engine, const ExportOptions& options)
{
    plan = ConversionPlan{};
    plan.sourceFrameSize = clip.FrameSize();
    plan.outFrameSize = clip.FrameSize();
    plan.outFrameSizeLater = clip.LaterFrameSize();
    plan.frameCount = clip.FrameCount();
    plan.sourceFormat = clip.VideoFormat();
    plan.targetFormat = plan.sourceFormat;
    plan.sourceRate = roundRate(clip.EditRate());
    plan.desiredRate = engine.m_desiredFrameRate;
    plan.desiredRateRounded = roundRate(plan.desiredRate);
    plan.rotate = options.rotate;
    plan.remove32 = options.remove32;
    plan.removeAdvanced = options.removeAdvanced;
    plan.add32 = options.add32;
    plan.addAdvanced = options.addAdvanced;
    plan.reduceNoise = options.reduceNoise;
    plan.removePulldown = engine.m_removePulldown;
    plan.addPulldown = engine.m_addPulldown;
    plan.widescreen = clip.AspectRatio() > 1.5f;
    plan.frameSizeChoice = frameSizeChoiceOf(options.desiredFrameSize);
    plan.pulldownLabel = kPulldownUnchanged;
    plan.frameRatio = 1.0f;
}

ClipExport::ClipExport() = default;
ClipExport::~ClipExport()
{
    processor.reset();
    if (clip)
        clip->Close();
}

ClipStart startClipExport(CCaller& caller, CVorn& engine, const char* sourcePath,
                          const ExportOptions& options, ClipExport& out, CExportBase* exporter)
{
    out.sourcePath = sourcePath ? sourcePath : "";
    out.clip = std::make_unique<CMxfFile>(out.sourcePath.c_str());
    caller.Message("\r\n", 0, 1);
    caller.Message(out.sourcePath.c_str(), 0, 1);
    caller.Message("\r\n", 0, 1);

    if (out.clip->ReadHeaders() != 1) {
        const std::string reason = unreadableReason(out.sourcePath);
        out.failure = "not recognized as a video MXF file" + (reason.empty() ? "" : ": " + reason);
        const std::string warning =
            "\r\nWarning: The file " + CVorn::ClipName(out.sourcePath.c_str()) + " was " + out.failure + "\r\n";
        caller.MessageString(QelString(warning.c_str()), 0, 1);
        caller.SetError();
        out.clip->Close();
        return ClipStart::NotRecognized;
    }

    // Nothing is planned from a frame rate the format does not have (a rate
    // of 0 or 1000000 would make seconds-long frames and huge audio files).
    if (const std::string why = out.clip->EditRateProblem(); !why.empty()) {
        caller.MessageString(QelString(qelFormat("\r\nThe file %s cannot be read: %s\r\n",
                                                 CVorn::ClipName(out.sourcePath.c_str()).c_str(), why.c_str())),
                             0, 1);
        caller.SetError();
        out.clip->Close();
        out.failure = "the edit rate is not one its format allows: " + why;
        return ClipStart::Unreadable;
    }

    engine.m_desiredFrameRate = options.desiredRate;
    fillPlanInputs(out.plan, *out.clip, engine, options);

    // Only frame 0 is needed before the frame loop: the planner reads its
    // binary group. The buffer is sized for the clip's first frame.
    const int32_t firstSize = std::max(out.clip->FrameSize(), out.clip->LaterFrameSize());
    const size_t capacity = firstSize > 0 && firstSize <= kMaxFrameBufferBytes
                                ? static_cast<size_t>(firstSize) + 512
                                : static_cast<size_t>(kMaxFrameBufferBytes);
    try {
        out.buffers.frame0.assign(capacity, 0);
    } catch (const std::bad_alloc&) {
        caller.Message("Could not allocate frame buffer\r\n", 0, 1);
        out.failure = "could not allocate frame buffer";
        out.clip->Close();
        return ClipStart::NoFrameBuffer;
    }
    out.buffers.frame0Size = out.clip->ReadFrame(out.buffers.frame0, 0);

    out.processor = std::make_unique<FrameProcesser>(&caller, out.clip.get(), &engine, &out.plan, exporter,
                                                     &out.buffers, &out.binaryGroup);
    out.processor->PlanConversion();
    redirectAvcIntraTarget(out.plan, [&caller](const std::string& text) { caller.Message(text.c_str(), 0, 1); });
    return ClipStart::Planned;
}

bool reportSourceAndDest(CCaller& caller, const ClipExport& clipExport)
{
    const CMxfFile& clip = *clipExport.clip;
    const ConversionPlan& plan = clipExport.plan;
    if (clip.VideoFormat() == 0) {
        caller.Message("This format is not supported.\r\n", 0, 1);
        return false;
    }
    QelString line;
    line.format("\r\nSource:\t%6.3f fps, %lld frames, %dW x %dH, aspect ratio = %s\r\n",
                static_cast<double>(clip.EditRate()), static_cast<long long>(clip.FrameCount()), clip.Width(),
                clip.Height(), clip.AspectRatio() > 1.5f ? "16:9" : "4:3");
    caller.MessageString(line, 0, 1);
    const double rate = plan.rateDen != 0 ? static_cast<double>(plan.rateNum) / plan.rateDen : 0.0;
    line.format("Dest:\t%6.3f fps, %lld frames, %dW x %dH, aspect ratio = %s\r\n", rate,
                static_cast<long long>(plan.frameCount), pictureWidth(plan.targetFormat),
                formatLines(plan.targetFormat), plan.widescreen ? "16:9" : "4:3");
    caller.MessageString(line, 0, 1);
    return true;
}

bool planClip(CCaller& caller, CVorn& engine, const char* sourcePath, const ExportOptions& options)
{
    ClipExport clip;
    if (startClipExport(caller, engine, sourcePath, options, clip) != ClipStart::Planned)
        return false;
    // The exporter's configuration, initialisation, icon and proxy copies
    // (which choose a card and write files) come here in an export.
    return reportSourceAndDest(caller, clip);
}

} // namespace vorn
