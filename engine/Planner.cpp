// The conversion planner: from the plan's inputs and the binary group of a
// clip's frame 0 it decides target format, rate, frame count, pulldown
// removal or addition, crop, rotation and noise reduction, and logs one line
// per decision.
#include "engine/Planner.h"

#include "engine/VideoFormat.h"
#include "foundation/QelString.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace vorn {

namespace {

constexpr const char* kCouldNotRemove =
    "Vorn could not determine an appropriate pulldown removal for this file\r\n";
constexpr const char* kDefault1080 = "Vorn by default will change the video format to 1080-line DVCPROHD\r\n";
constexpr const char* kDefault720 = "Vorn by default will change the video format to 720-line DVCPROHD\r\n";

// Frame counts come from the file; keep the arithmetic on them defined.
int64_t saturatingMul(int64_t a, int64_t b)
{
    int64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out))
        return ((a < 0) != (b < 0)) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return out;
}

// n * num / den with a truncating result and no intermediate overflow (den > 0).
int64_t scaleCount(int64_t n, int64_t num, int64_t den)
{
    return saturatingMul(n / den, num) + (n % den) * num / den;
}

// A whole rate in thousandths (for the x/1001 rates), saturated to 32 bits.
int32_t thousandfold(int32_t rate)
{
    constexpr int32_t kLimit = std::numeric_limits<int32_t>::max() / 1000;
    return std::clamp(rate, -kLimit, kLimit) * 1000;
}

// The 720p50 format of a 720p60 source's family.
VideoFormat the720p50Of(VideoFormat source)
{
    if (source >= 38 && source <= 43)
        return 43;
    if (source >= 32 && source <= 37)
        return 37;
    return 4;
}

// Frames of a progressive format: 720-line and 1080-line progressive.
bool progressiveFormat(VideoFormat code)
{
    const VideoFormatInfo* info = videoFormatInfo(code);
    return info && info->progressive;
}

// The mode label of the camera line; also the %s of the removal lines.
const char* modeLabelOf(const ConversionPlan& plan, int32_t cam, int32_t shootingMode, bool advanced)
{
    if (cam == 24 && (plan.rateNum == 60000 || plan.rateNum == 30000))
        return advanced ? "2:3:3:2 pulldown" : "3:2 pulldown";
    if ((cam == 30 && plan.rateNum == 60000) || (cam == 25 && plan.rateNum == 50))
        return "2:2 pulldown";
    if (cam == 60 || cam == 50)
        return "no pulldown";
    if (shootingMode == 9)
        return "VFR pulldown";
    if (shootingMode & 8)
        return "Progressive";
    return "Interlaced";
}

class Planner {
public:
    Planner(ConversionPlan& plan, const PlannerBinaryGroup& bg,
            const std::function<void(const std::string&)>& log)
        : p(plan), m_bg(bg), m_log(log)
    {
    }

    void run();

private:
    void say(const std::string& text) { if (m_log) m_log(text); }
    void setTarget(VideoFormat code)
    {
        p.targetFormat = code;
        p.outFrameSize = dvFrameBytes(code);
        p.outFrameSizeLater = p.outFrameSize;
    }
    void setDvBytesOfTarget() { setTarget(p.targetFormat); }
    void rateAsDesired();
    void decide720p60();
    void decide720p50();
    void decide60i();
    void decide50i();
    void speedChange2524();
    void speedChange2425();
    void frameSizeChoice();
    VideoFormat choiceTarget() const;
    bool sourceHoldsFields() const;
    void fieldsOfOtherTargets();
    void addPulldown();
    bool additionPossible();
    void rotate();
    std::string notWholePictures() const;
    int32_t outputRate() const;

    ConversionPlan& p;
    const PlannerBinaryGroup& m_bg;
    const std::function<void(const std::string&)>& m_log;
    const char* m_label = "";   // mode label (empty when the binary group is invalid)
    bool m_advanced = false;
    bool m_progressiveFrames = false;   // the source's frames hold progressive pictures
};

// The output rate in whole frames a second (23.976 gives 24).
int32_t Planner::outputRate() const
{
    if (p.rateDen <= 0)
        return 0;
    return static_cast<int32_t>((static_cast<int64_t>(p.rateNum) + p.rateDen / 2) / p.rateDen);
}

// Pulldown addition and the 24p <-> 25p speed change take one whole
// progressive camera picture a frame, as the source has it or as a removal
// earlier in the plan makes it. Empty when the frames are such pictures,
// else why not, as the skip line says it.
std::string Planner::notWholePictures() const
{
    if (!m_progressiveFrames)
        return m_bg.valid ? "the video is interlaced" : "the shooting mode is not readable";
    // More frames a second than the camera took pictures: the frames repeat
    // fields or pictures.
    if (p.cameraRate < outputRate()) {
        const std::string_view label(m_label);
        if (label.size() > 9 && label.substr(label.size() - 9) == " pulldown")
            return std::string("the video already carries ") + m_label;
        return "the video already carries pulldown";
    }
    return {};
}

void Planner::rateAsDesired()
{
    if (p.desiredRateRounded == 25) {
        p.rateNum = 25;
        p.rateDen = 1;
        // The output frame size follows the new target like every other target change.
        setTarget(the720p50Of(p.sourceFormat));
    } else {
        p.rateNum = thousandfold(p.desiredRateRounded);
        p.rateDen = 1001;
    }
}

void Planner::decide720p60()
{
    const int32_t cam = p.cameraRate;
    if (!p.removePulldown)
        return;
    const int64_t n = p.frameCount;
    if (p.rateNum != 60000) {
        say(kCouldNotRemove);
        p.removePulldown = 0;
        return;
    }
    auto removalLine = [&] {
        return qelFormat("Vorn will remove %s from 720/60P and output 720/%02dP\r\n", m_label, p.desiredRateRounded);
    };
    if (cam == 24) {
        say(qelFormat("Vorn will remove %s from 720/60P and output 720/24P\r\n", m_label));
        p.rateNum = 24000;
        p.rateDen = 1001;
        p.frameCount = saturatingMul(n / 5, 2);
        p.frameRatio = 0.4f;
        p.pulldownLabel = nullptr;
    } else if (cam == 30) {
        say(removalLine());
        rateAsDesired();
        p.frameCount = n / 2;
        p.frameRatio = 0.5f;
        p.pulldownLabel = nullptr;
        p.progressive = 1;
    } else if (cam == 60) {
        say(qelFormat("Vorn will take 720/60P and output 720/%02dP\r\n", p.desiredRateRounded));
        rateAsDesired();
        p.pulldownLabel = nullptr;
    } else if (cam == 25) {
        say(removalLine());
        rateAsDesired();
        p.frameCount = saturatingMul(n / 12, 5);
        p.frameRatio = 0.41666666f;
        p.pulldownLabel = nullptr;
    } else if (m_bg.shootingMode == 9) {
        say(removalLine());
        rateAsDesired();
        p.frameCount = scaleCount(n, cam, 60);
        p.frameRatio = static_cast<float>(cam) / 60.0f;
        p.pulldownLabel = nullptr;
    } else {
        say(kCouldNotRemove);
        p.removePulldown = 0;
    }
}

void Planner::decide720p50()
{
    if (!p.removePulldown)
        return;
    if (p.rateNum == 50 && p.cameraRate == 25) {
        say(qelFormat("Vorn will remove %s from 720/50P and output 720/25P\r\n", m_label));
        p.rateNum = 25;
        p.rateDen = 1;
        p.frameCount = p.frameCount / 2;
        p.frameRatio = 0.5f;
        p.pulldownLabel = nullptr;
    } else {
        say(kCouldNotRemove);
        p.removePulldown = 0;
    }
}

void Planner::decide60i()
{
    const int32_t cam = p.cameraRate;
    const bool remove = p.removePulldown != 0;
    if (p.rateNum != 30000 && remove) {
        say(kCouldNotRemove);
        p.remove32 = p.removeAdvanced = 0;
    } else if (remove && cam == 24) {
        p.rateNum = 24000;
        p.rateDen = 1001;
        p.frameCount = saturatingMul(p.frameCount / 5, 4);
        p.frameRatio = 0.8f;
        p.pulldownLabel = nullptr;
        if (m_advanced) {
            // Dropping the mixed-field frame needs no decoding. remove32 is
            // cleared too, so that a 3:2 setting from the options file cannot
            // start the field-repairing removal on frames that are not decoded.
            say("Vorn will remove advanced pulldown to make 24p\r\n");
            p.removeAdvanced = 1;
            p.remove32 = 0;
            return;
        }
        p.remove32 = 1;
        p.removeAdvanced = 0;
        p.reencode = 1;
        if (isAvcIntra(p.sourceFormat) && p.frameSizeChoice == 0) {
            // Field repair needs re-encoding, and AVC-Intra cannot be written.
            say("Vorn will remove 60i 3:2 pulldown but it cannot recompress to AVC-Intra format\r\n"
                "Vorn requests you please select a Format Conversion\r\n");
            const bool fifty = is50HzFamily(p.sourceFormat);
            if (formatLines(p.sourceFormat) == 1080) {
                p.targetFormat = fifty ? 3 : 1;
                say(kDefault1080);
            } else {
                p.targetFormat = fifty ? 4 : 2;
                say(kDefault720);
            }
        } else {
            say("Vorn will remove 60i 3:2 pulldown\r\n");
        }
        setDvBytesOfTarget();
    } else if (cam == 30 && p.progressive) {
        p.remove32 = p.removeAdvanced = 0;
        p.pulldownLabel = p.frameSizeChoice == 2 ? nullptr : kPulldown22;
        p.progressive = 1;
    } else if (remove) {
        say(kCouldNotRemove);
        p.remove32 = p.removeAdvanced = 0;
    }
}

void Planner::decide50i()
{
    if (p.removePulldown && p.rateNum == 25 && p.cameraRate == 25) {
        p.remove32 = 0;
        p.pulldownLabel = kPulldown22;
        p.progressive = 1;
    } else if (p.removePulldown) {
        say("Vorn could not determine an appropriate conversion for this file\r\n");
    }
    p.removeAdvanced = 0;
}

void Planner::speedChange2524()
{
    if (const std::string why = notWholePictures(); !why.empty()) {
        say("Vorn will not convert 25p to 24p: " + why + "\r\n");
        p.convert2425 = 0;
        return;
    }
    say("Vorn\twill convert 25p to 24p\r\n");
    p.rateNum = 24000;
    p.rateDen = 1001;
    p.cameraRate = 24;
    if (p.sourceFormat == 4) {
        p.targetFormat = 2;
    } else if (p.frameSizeChoice == 0) {
        switch (formatLines(p.sourceFormat)) {
        case 1080:
            p.targetFormat = 1;
            say(kDefault1080);
            p.reencode = 1;
            break;
        case 720:
            p.targetFormat = 2;
            say(kDefault720);
            p.reencode = 1;
            break;
        case 576:
            p.targetFormat = 8;
            say("Vorn by default will change the video format to 480-line DVCPRO50\r\n");
            p.reencode = 1;
            break;
        default:
            break;
        }
    }
    setDvBytesOfTarget();
}

void Planner::speedChange2425()
{
    if (const std::string why = notWholePictures(); !why.empty()) {
        say("Vorn will not convert 24p to 25p: " + why + "\r\n");
        p.convert2425 = 0;
        return;
    }
    say("Vorn\twill convert 24p to 25p\r\n");
    p.rateNum = 25;
    p.rateDen = 1;
    p.cameraRate = 25;
    if (p.sourceFormat == 2) {
        p.targetFormat = 4;
    } else if (p.frameSizeChoice == 0) {
        switch (formatLines(p.sourceFormat)) {
        case 1080:
            p.targetFormat = 3;
            say(kDefault1080);
            p.pulldownLabel = kPulldown22;
            p.reencode = 1;
            break;
        case 720:
            p.targetFormat = 4;
            say(kDefault720);
            p.reencode = 1;
            break;
        case 480:
            p.targetFormat = 7;
            say("Vorn by default will change the video format to 576-line DVCPRO50\r\n");
            p.reencode = 1;
            break;
        default:
            break;
        }
    }
    setDvBytesOfTarget();
}

// The format name of a frame size choice, as the skip line says it.
const char* choiceFormatName(int32_t choice)
{
    switch (choice) {
    case 1: return "1080-line DVCPROHD";
    case 3: return "NTSC DVCPRO50";
    case 4: return "PAL DVCPRO50";
    case 5: return "NTSC DVCPRO";
    case 6: return "PAL DVCPRO";
    default: return "";
    }
}

// The target of a frame size choice at the current output rate.
VideoFormat Planner::choiceTarget() const
{
    // A 50 Hz output rate (25 frames, or 50 for a 720p50 source) picks the
    // 50 Hz DVCPRO HD format, so that the output format matches its rate.
    const bool fiftyRate = p.rateNum == 25 || (p.rateNum == 50 && p.rateDen == 1);
    switch (p.frameSizeChoice) {
    case 1: return fiftyRate ? 3 : 1;
    case 2: return fiftyRate ? 4 : 2;
    case 3: return 8;
    case 4: return 7;
    case 5: return 10;
    case 6: return 9;
    default: return p.targetFormat;
    }
}

bool Planner::sourceHoldsFields() const
{
    const PlannerGroup group = plannerGroup(p.sourceFormat);
    if (group != PlannerGroup::G60i && group != PlannerGroup::G50i)
        return false;
    // Pulldown removal leaves whole progressive pictures.
    if (group == PlannerGroup::G60i && p.removePulldown && (p.remove32 || p.removeAdvanced))
        return false;
    // One progressive picture per frame only when the camera shot
    // progressively at the frame rate; 24 fps material carries its pictures
    // in fields (pulldown), and an unreadable binary group says nothing.
    const int32_t frameRate = group == PlannerGroup::G60i ? 30 : 25;
    return !(m_bg.valid && (m_bg.shootingMode & 8) && m_bg.cameraRate == frameRate);
}

void Planner::frameSizeChoice()
{
    const VideoFormat target = choiceTarget();
    const PlannerGroup group = plannerGroup(target);
    const bool interlacedTarget = group == PlannerGroup::G60i || group == PlannerGroup::G50i;
    auto rateIs = [&](int32_t num, int32_t den) { return p.rateNum == num && p.rateDen == den; };
    const bool fields = sourceHoldsFields();

    // An interlaced raster carries its own family's frame rates (23.976 and
    // 29.97, or 25) and, woven two frames to one, its field rate; 720-line
    // DVCPRO HD follows the rate. Any other rate would be no P2 format, or a
    // 25 fps raster playing 29.97 fps pictures: the change is skipped for
    // this clip and the rest of the plan stands.
    FieldHandling handling = FieldHandling::Frames;
    bool carried = true;
    if (interlacedTarget) {
        const bool fifty = is50HzFamily(target);
        carried = fifty ? rateIs(25, 1) : (rateIs(24000, 1001) || rateIs(30000, 1001));
        if (fifty ? rateIs(50, 1) : rateIs(60000, 1001))
            handling = FieldHandling::FramePairsToFields;
        else if (fields)
            handling = FieldHandling::FieldByField;
        carried = carried || handling == FieldHandling::FramePairsToFields;
    } else if (fields && (rateIs(30000, 1001) || rateIs(25, 1))) {
        handling = FieldHandling::FieldsToFrames;
    }
    if (!carried) {
        const double outRate = p.rateDen > 0 ? static_cast<double>(p.rateNum) / p.rateDen : 0.0;
        say(qelFormat("Vorn will not change the video format: %s cannot be written at %.2f fps\r\n",
                      choiceFormatName(p.frameSizeChoice), outRate));
        return;
    }
    p.reencode = 1;
    p.fieldHandling = handling;
    const bool fiftyRate = p.rateDen == 1;
    std::string fieldsLine;
    if (handling == FieldHandling::FieldsToFrames) {
        // Each field becomes a 720-line frame: twice the frames at the field
        // rate. Pictures of an interlacing camera are then progressive
        // pictures at the field rate; 24 fps material keeps its pictures,
        // now repeated 2, 3, ... as a 720-line camera records them.
        p.rateNum = fiftyRate ? 50 : 60000;
        p.frameCount = saturatingMul(p.frameCount, 2);
        p.frameRatio *= 2.0f;
        if (!m_bg.valid || !p.progressive) {
            p.cameraRate = fiftyRate ? 50 : 60;
            p.progressive = 1;
        }
        fieldsLine = qelFormat("Vorn will make a frame of each field and output 720/%02dP\r\n", fiftyRate ? 50 : 60);
    } else if (handling == FieldHandling::FramePairsToFields) {
        // Two frames at the field rate become the two fields of one frame;
        // pictures shot at the field rate become interlaced ones.
        p.rateNum = fiftyRate ? 25 : 30000;
        p.frameCount = p.frameCount / 2;
        p.frameRatio *= 0.5f;
        if (p.cameraRate == 60 || p.cameraRate == 50) {
            p.cameraRate /= 2;
            p.progressive = 0;
        }
        fieldsLine = "Vorn will weave each pair of frames into the two fields of one frame\r\n";
    }

    std::string pending;
    auto cropRule = [&] {
        if (p.sourceFormat >= 5 && p.sourceFormat <= 10 && !p.widescreen) {
            p.cropTo169 = 1;
            p.widescreen = 1;
            say(pending);
            pending = "Vorn will crop 4:3 to 16:9 to fit the widescreen format\r\n";
        }
    };
    // Woven frames are 2:2 pulldown when their two pictures are one (30p or
    // 25p in 720p); otherwise the usual labels of the targets.
    const bool woven = handling == FieldHandling::FramePairsToFields;
    auto label22If = [&](bool usual) {
        if (woven ? (p.progressive && p.cameraRate != 24) : usual)
            p.pulldownLabel = kPulldown22;
    };
    p.targetFormat = target;
    switch (p.frameSizeChoice) {
    case 1:
        pending = "Vorn will change the video format to 1080-line DVCPROHD\r\n";
        label22If(p.rateNum == 25 || p.progressive);
        cropRule();
        break;
    case 2:
        pending = "Vorn will change the video format to 720-line DVCPROHD\r\n";
        cropRule();
        break;
    case 3:
        pending = "Vorn will change the video format to NTSC DVCPRO50\r\n";
        label22If(false);
        break;
    case 4:
        pending = "Vorn will change the video format to PAL DVCPRO50\r\n";
        label22If(p.rateNum == 25);
        break;
    case 5:
        pending = "Vorn will change the video format to NTSC DVCPRO\r\n";
        label22If(false);
        break;
    case 6:
        pending = "Vorn will change the video format to PAL DVCPRO\r\n";
        label22If(p.rateNum == 25);
        break;
    default:
        break;
    }
    setDvBytesOfTarget();
    say(pending);
    if (!fieldsLine.empty()) {
        say(fieldsLine);
        if (p.addPulldown) {
            // Every field of the output already holds a picture of its own.
            say("Vorn will not add pulldown: the output already has one picture per field\r\n");
            p.addPulldown = 0;
        }
    }
}

// Whether the frames suit the addition into the target's group; logs why
// not and drops the addition for this clip otherwise.
bool Planner::additionPossible()
{
    std::string why = notWholePictures();
    const int32_t rate = outputRate();
    switch (plannerGroup(p.targetFormat)) {
    case PlannerGroup::G60i:
        // Four pictures become five frames: 24 pictures make 29.97 frames.
        if (why.empty() && rate != 24)
            why = qelFormat("the video is %dp, not 24p", rate);
        break;
    case PlannerGroup::G50i:
    case PlannerGroup::G720p50:
        if (why.empty() && rate != 25)
            why = qelFormat("the video is %dp, not 25p", rate);
        break;
    case PlannerGroup::G720p60:
        if (why.empty() && p.cameraRate != 24 && p.cameraRate != 30) {
            say("Vorn could not determine type add pulldown required\r\n");
            p.addPulldown = 0;
            return false;
        }
        break;
    case PlannerGroup::None:
        return true;
    }
    if (why.empty())
        return true;
    say("Vorn will not add pulldown: " + why + "\r\n");
    p.addPulldown = 0;
    return false;
}

void Planner::addPulldown()
{
    if (!additionPossible())
        return;
    switch (plannerGroup(p.targetFormat)) {
    case PlannerGroup::G60i:
        p.rateNum = 30000;
        p.rateDen = 1001;
        p.pulldownLabel = p.add32 ? kPulldown23 : kPulldown2332;
        p.reencode = 1;
        p.frameRatio *= 1.25f;
        p.frameCount = saturatingMul(p.frameCount / 4, 5);
        say(qelFormat("Vorn will add %s pulldown\r\n", p.pulldownLabel));
        break;
    case PlannerGroup::G720p60:
        if (p.cameraRate == 24) {
            p.pulldownLabel = kPulldown23;
            p.frameRatio *= 2.5f;
            p.frameCount = saturatingMul(p.frameCount / 2, 5);
            say("Vorn will add 2:3 pulldown\r\n");
        } else if (p.cameraRate == 30) {
            p.pulldownLabel = kPulldown22;
            p.frameRatio *= 2.0f;
            p.frameCount = saturatingMul(p.frameCount, 2);
            say("Vorn will add 2:2 pulldown\r\n");
        }
        p.rateNum = 60000;
        p.rateDen = 1001;
        break;
    case PlannerGroup::G50i:
    case PlannerGroup::G720p50:
        // A 25 fps rate still in 1/1001 units becomes the 25 frames of the
        // 50 Hz format.
        if (p.rateDen != 1)
            p.rateNum = 25;
        p.rateDen = 1;
        p.pulldownLabel = kPulldown22;
        if (plannerGroup(p.targetFormat) == PlannerGroup::G720p50) {
            p.rateNum = 50;
            p.frameRatio *= 2.0f;
            p.frameCount = saturatingMul(p.frameCount, 2);
        }
        say("Vorn will add 2:2 pulldown\r\n");
        break;
    case PlannerGroup::None:
        say("Vorn cannot add pulldown to this format\r\n");
        break;
    }
}

void Planner::fieldsOfOtherTargets()
{
    // Targets set by other steps than the frame size choice (speed change,
    // rotation, the DV target of a re-encoded AVC-Intra source) keep the rate:
    // between interlaced formats the fields are scaled one by one.
    if (p.fieldHandling != FieldHandling::Frames || p.targetFormat == p.sourceFormat || !sourceHoldsFields())
        return;
    const PlannerGroup group = plannerGroup(p.targetFormat);
    if (group == PlannerGroup::G60i || group == PlannerGroup::G50i)
        p.fieldHandling = FieldHandling::FieldByField;
}

void Planner::rotate()
{
    say("Vorn will rotate image if possible\r\n");
    if (p.sourceFormat == 2 || p.sourceFormat == 4)
        return;   // DVCPRO HD 720p is turned in the coefficient domain, without re-encoding
    p.reencode = 1;
    if (!isAvcIntra(p.sourceFormat))
        return;
    // A target whose frames were made from fields or woven from frame pairs
    // is the one its rate needs.
    if (p.fieldHandling == FieldHandling::FieldsToFrames || p.fieldHandling == FieldHandling::FramePairsToFields)
        return;
    // AVC-Intra cannot be written: the turned pictures go to DVCPRO HD.
    const bool fiftyRate = p.rateNum == 25 || (p.rateNum == 50 && p.rateDen == 1);
    switch (formatLines(p.sourceFormat)) {
    case 1080:
        p.targetFormat = fiftyRate ? 3 : 1;
        say(kDefault1080);
        if (m_bg.shootingMode & 8)
            p.pulldownLabel = kPulldown22;
        break;
    case 720:
        p.targetFormat = fiftyRate ? 4 : 2;
        say(kDefault720);
        break;
    default:
        break;
    }
    setDvBytesOfTarget();
}

void Planner::run()
{
    // 1. Output rate from the source.
    if (is50HzFamily(p.sourceFormat)) {
        p.rateNum = p.sourceRate;
        p.rateDen = 1;
    } else {
        p.rateNum = thousandfold(p.sourceRate);
        p.rateDen = 1001;
    }

    // 2-3. Camera rate from the binary group of frame 0.
    m_advanced = m_bg.shootingMode == 12;
    if (m_bg.valid) {
        p.cameraRate = m_bg.cameraRate;
    } else {
        p.cameraRate = p.sourceRate;
        say("\r\nVorn: Invalid binary group info, camera rate, mode, and pulldown flags not readable\r\n");
    }

    // 4-5. Progressive unless the camera shot interlaced.
    p.progressive = 1;
    m_progressiveFrames = progressiveFormat(p.sourceFormat) || (m_bg.valid && (m_bg.shootingMode & 8) != 0);
    const int32_t sourceRateNum = p.rateNum, sourceRateDen = p.rateDen;
    if (m_bg.valid) {
        m_label = modeLabelOf(p, p.cameraRate, m_bg.shootingMode, m_advanced);
        if (m_label == std::string_view("Interlaced"))
            p.progressive = 0;
        say(qelFormat("\r\nCamera frame rate = %d fps, shooting mode = %s\r\n", p.cameraRate, m_label));
    }

    // 6-7.
    p.frameRatio = 1.0f;
    p.pulldownLabel = kPulldownUnchanged;
    p.convert2425 = (p.cameraRate == 25 && p.desiredRateRounded == 24) ||
                    (p.cameraRate == 24 && p.desiredRateRounded == 25);

    // 8. Source decision by the planner group of the source.
    switch (plannerGroup(p.sourceFormat)) {
    case PlannerGroup::G720p60: decide720p60(); break;
    case PlannerGroup::G720p50: decide720p50(); break;
    case PlannerGroup::G60i: decide60i(); break;
    case PlannerGroup::G50i: decide50i(); break;
    case PlannerGroup::None: say("Vorn could not determine the format of this file\r\n"); break;
    }

    // 9-10. 24p <-> 25p speed change.
    if (p.convert2425 && p.desiredRateRounded == 24)
        speedChange2524();
    if (p.convert2425 && p.desiredRateRounded == 25)
        speedChange2425();

    // 11-14. Format conversion, pulldown addition, rotation, noise reduction.
    if (p.frameSizeChoice != 0)
        frameSizeChoice();
    if (p.addPulldown)
        addPulldown();
    if (p.rotate)
        rotate();
    if (p.reduceNoise) {
        say("Vorn will apply noise reduction\r\n");
        p.reencode = 1;
    }
    fieldsOfOtherTargets();

    // 15. The output binary group of frame 0. Frames that come out one for
    // one at the source's rate keep their source's binary group: its cadence
    // flags, shooting mode and camera rate still describe them.
    p.keepBinaryGroup = p.frameRatio == 1.0f && !p.convert2425 && !p.addPulldown && p.rateNum == sourceRateNum &&
                        p.rateDen == sourceRateDen;
    if (p.keepBinaryGroup && m_bg.valid)
        p.bgWord = m_bg.word;
    else
        p.bgWord = packedBinaryGroup(p.cameraRate, p.progressive, p.addPulldown, p.addAdvanced, 0);
}

} // namespace

void planConversion(ConversionPlan& plan, const PlannerBinaryGroup& bg,
                    const std::function<void(const std::string&)>& log)
{
    Planner(plan, bg, log).run();
}

bool redirectAvcIntraTarget(ConversionPlan& plan, const std::function<void(const std::string&)>& log)
{
    if (!plan.reencode || !isAvcIntra(plan.targetFormat))
        return false;
    const bool fifty = is50HzFamily(plan.targetFormat);
    const bool lines1080 = formatLines(plan.targetFormat) == 1080;
    plan.targetFormat = lines1080 ? (fifty ? 3 : 1) : (fifty ? 4 : 2);
    plan.outFrameSize = dvFrameBytes(plan.targetFormat);
    plan.outFrameSizeLater = plan.outFrameSize;
    if (log)
        log(lines1080 ? "Vorn cannot encode AVC-Intra; the frames will be written as 1080-line DVCPROHD\r\n"
                      : "Vorn cannot encode AVC-Intra; the frames will be written as 720-line DVCPROHD\r\n");
    return true;
}

uint32_t packedBinaryGroup(int32_t rate, int32_t progressive, int32_t addPulldown,
                           int32_t addAdvanced, int64_t index)
{
    const int32_t p = progressive ? 1 : 0;
    const int32_t a = addAdvanced ? 1 : 0;
    const int k = static_cast<int>(((index % 5) + 5) % 5);
    const bool cadence = rate == 24 && addPulldown && p;
    uint32_t low = 3;
    if (p) {
        static constexpr uint32_t k32[5] = {2, 2, 1, 1, 0};
        static constexpr uint32_t k2332[5] = {2, 2, 1, 0, 2};
        low = cadence ? (a ? k2332[k] : k32[k]) : 2;
    }
    const uint32_t f = (rate == 25 || rate == 50) ? 1 : 0;
    const uint32_t m = ((((static_cast<uint32_t>((a - 2 * p) * 2) & 255u) + f) * 32u) + low) & 255u;
    const uint32_t r = rate < 0 ? 0u : static_cast<uint32_t>((((rate / 10) % 16) << 4) | (rate % 10));
    const uint32_t x = cadence ? static_cast<uint32_t>(k) : 15u;
    const uint32_t check = ((x + r + m) & 255u) ^ 0x55u;
    return (m << 24) | (r << 16) | (x << 8) | check;
}

} // namespace vorn
