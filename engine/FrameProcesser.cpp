#include "engine/FrameProcesser.h"

#include "avci/AvcDecoder.h"
#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "dv/DvEncoder.h"
#include "dv/DvSystemData.h"
#include "engine/BGinfo.h"
#include "engine/Caller.h"
#include "engine/FramePreview.h"
#include "engine/PictureSteps.h"
#include "engine/VideoFormat.h"
#include "engine/Vorn.h"
#include "foundation/QelString.h"
#include "foundation/WorkerPool.h"
#include "mxf/ExportBase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace vorn {

namespace {

constexpr size_t kHeaderBytes = 512;
constexpr size_t kSequenceBytes = 12000;

bool in720Group(VideoFormat code)
{
    const PlannerGroup g = plannerGroup(code);
    return g == PlannerGroup::G720p60 || g == PlannerGroup::G720p50;
}

// Neutral grey in the packed 4:2:2 layout.
void fillGrey(dv::PictureBuffer& picture)
{
    for (size_t i = 0; i + 1 < picture.bytes.size(); i += 2) {
        picture.bytes[i] = 128;      // Y
        picture.bytes[i + 1] = 128;  // Cb / Cr
    }
}

} // namespace

void FrameBuffers::allocate(const ConversionPlan& plan, int32_t sourceFrameSize, int32_t laterFrameSize)
{
    // Compressed frames hold the larger of source and output frames, and the
    // 720p50 size that a 720-line move needs; pictures are sized by the frame
    // processor to the clip's rasters when it first decodes.
    const int32_t largest = std::max({sourceFrameSize, laterFrameSize, dvFrameBytes(plan.targetFormat),
                                      isAvcIntra(plan.targetFormat) ? 0 : 288000});
    const size_t frameBytes =
        static_cast<size_t>(std::clamp(largest, 0, kMaxFrameBufferBytes)) + kHeaderBytes;
    for (auto& c : compressed)
        c.assign(frameBytes, 0);
    frameSizes.fill(0);
}

void FrameBuffers::release()
{
    for (auto& c : compressed)
        std::vector<uint8_t>().swap(c);
    for (auto& p : decoded)
        p = dv::PictureBuffer();
    for (auto& p : output)
        p = dv::PictureBuffer();
    std::vector<uint8_t>().swap(frame0);
    frameSizes.fill(0);
}

FrameProcesser::FrameProcesser(CCaller* caller, CMxfFile* clip, CVorn* engine, ConversionPlan* plan,
                               CExportBase* exporter, FrameBuffers* buffers, BGinfo* binaryGroup)
    : m_caller(caller), m_clip(clip), m_engine(engine), m_plan(plan), m_exporter(exporter), m_buffers(buffers),
      m_bg(binaryGroup)
{
}

FrameProcesser::~FrameProcesser() = default;

void FrameProcesser::PlanConversion()
{
    if (!m_plan || !m_bg)
        return;
    // The binary group of frame 0, which the driver has read into frame0.
    BGinfo& bg = *m_bg;
    bg.clear();
    if (m_buffers) {
        const std::vector<uint8_t>& frame0 = m_buffers->frame0;
        const size_t size = std::min(frame0.size(), static_cast<size_t>(std::max(m_buffers->frame0Size, 0)));
        if (isAvcIntra(m_plan->sourceFormat))
            bg.ReadAvcBinaryGroup(frame0.data(), size, true);
        else
            bg.ReadDvBinaryGroup(frame0.data(), size);
    }
    PlannerBinaryGroup in;
    in.valid = bg.valid != 0;
    in.cameraRate = bg.cameraRate;
    in.shootingMode = static_cast<int32_t>(bg.shootingMode);
    in.word = (uint32_t{bg.mode} << 24) | (uint32_t{bg.rate} << 16) | (uint32_t{bg.third} << 8) | bg.check;
    CCaller* caller = m_caller;
    planConversion(*m_plan, in, [caller](const std::string& text) {
        if (caller)
            caller->Message(text.c_str(), 0, 1);
    });
    m_addCounter = 0;
}

void FrameProcesser::PrepareDecoding()
{
    if (!m_plan || !m_buffers || !m_plan->reencode || !isAvcIntra(m_plan->sourceFormat))
        return;
    m_capacity = pictureSteps::pictureCapacity(m_plan->sourceFormat, m_plan->targetFormat);
    dv::PictureBuffer picture;
    pictureSteps::decodeAvcIntra(m_avcDecoder, m_buffers->frame0.data(),
                                 static_cast<size_t>(std::max(m_buffers->frame0Size, 0)), m_plan->sourceFormat, true,
                                 false, m_planar, picture, m_capacity);
}

void FrameProcesser::SetPreview(FramePreview* preview, int scale)
{
    m_preview = preview;
    if (scale == 1 || scale == 2 || scale == 4)
        m_scale = scale;
}

bool FrameProcesser::aborted() const { return m_caller && m_caller->IsAborted(); }

void FrameProcesser::waitWhilePaused()
{
    while (m_engine && m_engine->IsPaused() && !aborted())
        std::this_thread::sleep_for(std::chrono::milliseconds(CVorn::kPausePollMs));
}

void FrameProcesser::preview(const dv::PictureBuffer& picture, VideoFormat format, int window)
{
    if (m_preview && !picture.bytes.empty())
        m_preview->ShowFrame(picture, format, m_scale, window);
}

PictureCodecs& FrameProcesser::codecs()
{
    if (m_engine)
        return m_engine->m_pictureCodecs;
    if (!m_ownCodecs)
        m_ownCodecs = std::make_unique<PictureCodecs>();
    return *m_ownCodecs;
}

void FrameProcesser::fail(const std::string& why)
{
    if (!m_failed) {
        m_failed = true;
        m_failure = why;
    }
}

int64_t FrameProcesser::ProcessStep(int64_t stepFirst, int stepLength, int64_t& written)
{
    if (!m_plan || !m_buffers || m_failed)
        return 0;
    ConversionPlan& plan = *m_plan;
    m_stepFirst = stepFirst;
    m_stepLength = std::clamp(stepLength, 0, FrameBuffers::kCount);
    m_written = written;
    m_outSizes = m_buffers->frameSizes;
    m_ready = 0;
    m_repeats = 0;
    m_outFps = plan.rateDen == 1 ? plan.rateNum : plan.rateNum / 1000;
    m_tcRate = (m_outFps == 60 || m_outFps == 50) ? m_outFps / 2 : m_outFps;
    if (m_stepLength == 0)
        return 0;

    // Pulldown addition into 720-line targets repeats the frame: 2, 3, 2, 3
    // copies from material below 30 fps, else 2.
    const PlannerGroup targetGroup = plannerGroup(plan.targetFormat);
    if (plan.addPulldown && targetGroup == PlannerGroup::G720p60) {
        if (plan.cameraRate < 30)
            m_repeats = (m_addCounter++ % 2 == 0) ? 1 : 2;
        else
            m_repeats = 1;
    } else if (plan.addPulldown && targetGroup == PlannerGroup::G720p50) {
        m_repeats = 1;   // the planner adds 2:2 into 720p50 only to 25p pictures
    }

    std::vector<uint8_t>& frame0 = m_buffers->compressed[0];
    const size_t size0 = static_cast<size_t>(std::max(m_buffers->frameSizes[0], 0));
    if (stepFirst == 0 && size0 >= kHeaderBytes) {
        std::memcpy(m_savedHeader.data(), frame0.data(), kHeaderBytes);
        m_haveSavedHeader = true;
    }

    BGinfo& bg = *m_bg;
    BGinfo frameBg;   // the record of this frame; the clip's keeps the running time code
    if (isAvcIntra(plan.sourceFormat))
        frameBg.ReadAvcBinaryGroup(frame0.data(), size0, stepFirst == 0);
    else
        frameBg.ReadDvBinaryGroup(frame0.data(), size0);
    bg.mode = frameBg.mode;
    bg.rate = frameBg.rate;
    bg.third = frameBg.third;
    bg.check = frameBg.check;
    bg.cameraRate = frameBg.cameraRate;
    bg.modeLowBits = frameBg.modeLowBits;
    bg.shootingMode = frameBg.shootingMode;
    bg.valid = frameBg.valid;
    // The records of the step's source frames, for output frames that keep
    // them (read now: re-encoding overwrites the compressed frames).
    m_sourceRecords[0] = frameBg.record();
    m_sourceRecordValid[0] = frameBg.valid != 0;
    for (int i = 1; i < m_stepLength; ++i) {
        const auto s = static_cast<size_t>(i);
        const size_t size = static_cast<size_t>(std::max(m_buffers->frameSizes[s], 0));
        BGinfo other;
        if (isAvcIntra(plan.sourceFormat))
            other.ReadAvcBinaryGroup(m_buffers->compressed[s].data(), size, stepFirst + i == 0);
        else
            other.ReadDvBinaryGroup(m_buffers->compressed[s].data(), size);
        m_sourceRecords[s] = other.record();
        m_sourceRecordValid[s] = other.valid != 0;
    }
    const uint32_t flags = frameBg.valid ? frameBg.modeLowBits : 0;
    const bool advanced = frameBg.valid && frameBg.shootingMode == 12;
    const bool avcCopy = isAvcIntra(plan.sourceFormat) && isAvcIntra(plan.targetFormat);

    if (in720Group(plan.sourceFormat)) {
        // Each frame's flags say how much of a camera picture it carries; a
        // frame is output once they add up to a whole one. A frame without a
        // valid binary group counts as a whole frame, so that such a clip is
        // copied whole rather than not at all.
        m_selectCounter += frameBg.valid ? static_cast<int32_t>((flags & 1) + ((flags & 2) / 2)) : 2;
        if (plan.removePulldown && m_selectCounter < 2)
            return 0;
        m_selectCounter = 0;
        ProcessFrames();
        if (aborted() || m_failed)
            return 0;
        if (avcCopy && written == 0 && stepFirst != 0) {
            writeFirstFrameForm();
            m_ready = 1;
            // The repeats of the first output frame are later frames, without the header bytes.
            for (int j = 0; j < m_repeats; ++j) {
                const int64_t index = written + 1 + j;
                if (index < plan.frameCount) {
                    stampFrame(frame0.data(), size0, false, index, 0);
                    writeFrame(frame0.data(), size0);
                }
            }
        } else {
            WriteFrames();
        }
    } else if (plannerGroup(plan.sourceFormat) == PlannerGroup::G60i && advanced) {
        // 2:3:3:2 removal keeps every frame but the one of mixed fields.
        if (plan.removePulldown && plan.removeAdvanced && flags == 1)
            return 0;
        if (avcCopy && written == 0 && stepFirst != 0) {
            writeFirstFrameForm();
            m_ready = 1;
        } else {
            ProcessFrames();
            if (aborted() || m_failed)
                return 0;
            WriteFrames();
        }
    } else {
        ProcessFrames();
        if (aborted() || m_failed)
            return 0;
        WriteFrames();
    }
    if (m_failed || m_ready < 1)
        return 0;
    const int64_t produced = m_ready + m_repeats;
    written += produced;
    return produced;
}

void FrameProcesser::writeFirstFrameForm()
{
    // An AVC-Intra output whose source frame 0 was dropped starts with the
    // saved header bytes in front of its first frame.
    const size_t size = static_cast<size_t>(std::max(m_buffers->frameSizes[0], 0));
    m_firstForm.resize(size + kHeaderBytes);
    std::memcpy(m_firstForm.data(), m_savedHeader.data(), kHeaderBytes);
    std::memcpy(m_firstForm.data() + kHeaderBytes, m_buffers->compressed[0].data(), size);
    stampFrame(m_firstForm.data(), m_firstForm.size(), true, m_written, 0);
    if (m_written < m_plan->frameCount)
        writeFrame(m_firstForm.data(), m_firstForm.size());
}

void FrameProcesser::copyPathMove()
{
    ConversionPlan& plan = *m_plan;
    std::vector<uint8_t>& frame = m_buffers->compressed[0];
    const size_t size = static_cast<size_t>(std::max(m_buffers->frameSizes[0], 0));
    if ((plan.sourceFormat == 2 || plan.sourceFormat == 4) && plan.rotate) {
        if (!pictureSteps::rotateDifFrame(codecs().rotator, frame.data(), size, plan.sourceFormat)) {
            fail("the frame could not be rotated");
            return;
        }
    }
    if (plan.sourceFormat == 4 && plan.targetFormat == 2 && size >= 288000) {
        // Of each half of the 720p50 frame the first ten of its twelve DIF
        // sequences (those carrying the picture) remain.
        std::memmove(frame.data() + 120000, frame.data() + 144000, 120000);
        m_outSizes[0] = 240000;
    } else if (plan.sourceFormat == 2 && plan.targetFormat == 4 && size >= 240000 && frame.size() >= 288000) {
        std::memmove(frame.data() + 144000, frame.data() + 120000, 120000);
        // Sequences 10 and 11 of each half carry no picture at 720p50; they are
        // filled as an encoded 720p50 frame has them, so that the frame is valid.
        if (m_fill720p50.empty()) {
            dv::PictureBuffer grey(codedWidth(4), formatLines(4));
            fillGrey(grey);
            dv::DifFrame filled;
            const bool ok = codecs().encoder.encode(filled, grey, 4).ok();
            if (!ok || filled.size() < 288000) {
                fail("the 720p50 frame could not be made");
                return;
            }
            m_fill720p50 = std::move(filled.bytes);
        }
        std::memcpy(frame.data() + 120000, m_fill720p50.data() + 120000, 2 * kSequenceBytes);
        std::memcpy(frame.data() + 264000, m_fill720p50.data() + 264000, 2 * kSequenceBytes);
        m_outSizes[0] = 288000;
    }
}

bool FrameProcesser::decodeDvFrame(int slot)
{
    const ConversionPlan& plan = *m_plan;
    const auto s = static_cast<size_t>(slot);
    const size_t size = static_cast<size_t>(std::max(m_buffers->frameSizes[s], 0));
    if (size < static_cast<size_t>(dvFrameBytes(plan.sourceFormat)))
        return false;
    return pictureSteps::decodeDv(m_buffers->compressed[s].data(), size, plan.sourceFormat, plan.rotate != 0,
                                  m_buffers->decoded[s], m_capacity);
}

bool FrameProcesser::decodeAvcFrame(int slot)
{
    const ConversionPlan& plan = *m_plan;
    const auto s = static_cast<size_t>(slot);
    const size_t size = static_cast<size_t>(std::max(m_buffers->frameSizes[s], 0));
    return pictureSteps::decodeAvcIntra(m_avcDecoder, m_buffers->compressed[s].data(), size, plan.sourceFormat,
                                        m_stepFirst + slot == 0, plan.rotate != 0, m_planar, m_buffers->decoded[s],
                                        m_capacity);
}

void FrameProcesser::decodeStep()
{
    // DV frames of a step are decoded side by side, one per worker (each
    // frame's own units then run on its worker), instead of one after another
    // with every frame split over the workers: one fork-join per step, and no
    // worker waits for the last unit of a frame. A step of one frame runs on
    // this thread and still splits over every worker. AVC-Intra frames are
    // decoded one after another below: the clip's decoder takes them in
    // order. The pictures are the same; what follows a frame's decoding (the
    // stand-in for an undecodable frame, messages, the preview) happens in
    // frame order.
    const bool avc = isAvcIntra(m_plan->sourceFormat);
    std::array<bool, FrameBuffers::kCount> decoded{};
    if (!avc &&
        !forEachUnit(
            defaultWorkerPool().workers(), m_stepLength,
            [&](int, int unit) { decoded[static_cast<size_t>(unit)] = decodeDvFrame(unit); },
            dv::kDecodeThreadMessage))
        decoded.fill(false);
    for (int i = 0; i < m_stepLength; ++i) {
        finishDecoding(i, avc ? decodeAvcFrame(i) : decoded[static_cast<size_t>(i)]);
        waitWhilePaused();
        if (aborted())
            return;
    }
}

bool FrameProcesser::finishDecoding(int slot, bool ok)
{
    const ConversionPlan& plan = *m_plan;
    dv::PictureBuffer& picture = m_buffers->decoded[static_cast<size_t>(slot)];
    if (!ok) {
        // The clip goes on with the previous picture (grey for the first).
        ++m_undecodable;
        if (m_previous.bytes.empty()) {
            pictureSteps::fitRaster(m_previous, plan.sourceFormat, m_capacity);
            fillGrey(m_previous);
        }
        pictureSteps::fitRaster(picture, plan.sourceFormat, m_capacity);
        std::copy(m_previous.bytes.begin(), m_previous.bytes.end(), picture.bytes.begin());
        if (m_caller) {
            m_caller->Message(qelFormat("Frame %lld could not be decoded; the previous picture was used instead\r\n",
                                        static_cast<long long>(m_stepFirst + slot)).c_str(),
                              0, 1);
            m_caller->SetError();
        }
    } else {
        pictureSteps::fitRaster(m_previous, plan.sourceFormat, m_capacity);
        std::copy(picture.bytes.begin(), picture.bytes.begin() + static_cast<std::ptrdiff_t>(m_previous.bytes.size()),
                  m_previous.bytes.begin());
    }
    preview(picture, plan.sourceFormat, FramePreview::kDecoded);
    return ok;
}

dv::PictureBuffer& FrameProcesser::processed(int slot)
{
    // Noise reduction into the output picture, then the format change in
    // place; without them the decoded picture is encoded as it is.
    ConversionPlan& plan = *m_plan;
    const auto s = static_cast<size_t>(slot);
    dv::PictureBuffer* picture = &m_buffers->decoded[s];
    if (plan.reduceNoise) {
        if (!pictureSteps::reduceNoise(codecs().noise, *picture, m_buffers->output[s], plan.sourceFormat,
                                       m_stepFirst + slot, m_capacity))
            fail("noise reduction could not run");
        picture = &m_buffers->output[s];
    }
    if (plan.targetFormat != plan.sourceFormat && plan.fieldHandling != FieldHandling::FieldsToFrames &&
        plan.fieldHandling != FieldHandling::FramePairsToFields) {
        // Between interlaced formats each field is scaled on its own, the
        // source's first field in time into the target's first field.
        dv::LineSources lines;
        if (plan.fieldHandling == FieldHandling::FieldByField) {
            const int first = sourceFirstField();
            const int targetFirst = dv::firstFieldParity(plan.targetFormat);
            lines.fromParity[targetFirst] = first;
            lines.fromParity[1 - targetFirst] = 1 - first;
        }
        if (!pictureSteps::changeFormatLines(codecs().formatChanger, *picture, plan.targetFormat, *picture,
                                             plan.sourceFormat, plan.cropTo169 != 0, lines, m_capacity))
            fail("the format could not be changed");
        preview(*picture, plan.targetFormat, FramePreview::kProcessed);
    }
    return *picture;
}

int FrameProcesser::sourceFirstField() const
{
    // A turned picture is stored top-down: its first field lies on the other parity.
    const int first = dv::firstFieldParity(m_plan->sourceFormat);
    return m_plan->rotate ? 1 - first : first;
}

bool FrameProcesser::fieldsToFrames(dv::PictureBuffer& picture)
{
    // The second field into its own picture, then the first in place.
    const ConversionPlan& plan = *m_plan;
    const bool crop = plan.cropTo169 != 0;
    const int first = sourceFirstField();
    dv::LineSources second;
    second.fromParity[0] = second.fromParity[1] = 1 - first;
    dv::LineSources firstLines;
    firstLines.fromParity[0] = firstLines.fromParity[1] = first;
    dv::FormatChanger& changer = codecs().formatChanger;
    if (!pictureSteps::changeFormatLines(changer, m_fieldPicture, plan.targetFormat, picture, plan.sourceFormat, crop,
                                         second, m_capacity) ||
        !pictureSteps::changeFormatLines(changer, picture, plan.targetFormat, picture, plan.sourceFormat, crop,
                                         firstLines, m_capacity)) {
        fail("the format could not be changed");
        return false;
    }
    preview(picture, plan.targetFormat, FramePreview::kProcessed);
    preview(m_fieldPicture, plan.targetFormat, FramePreview::kProcessed);
    return true;
}

bool FrameProcesser::weaveFrame(const dv::PictureBuffer& picture)
{
    // Even frames give the first field of the woven picture, odd ones the second.
    const ConversionPlan& plan = *m_plan;
    const bool firstField = m_pairCounter++ % 2 == 0;
    const int targetFirst = dv::firstFieldParity(plan.targetFormat);
    dv::LineSources lines;
    lines.fromParity[targetFirst] = firstField ? dv::kAllLines : dv::kNoLines;
    lines.fromParity[1 - targetFirst] = firstField ? dv::kNoLines : dv::kAllLines;
    if (!pictureSteps::changeFormatLines(codecs().formatChanger, m_fieldPicture, plan.targetFormat, picture,
                                         plan.sourceFormat, plan.cropTo169 != 0, lines, m_capacity)) {
        fail("the format could not be changed");
        return false;
    }
    if (!firstField)
        preview(m_fieldPicture, plan.targetFormat, FramePreview::kProcessed);
    return !firstField;
}

bool FrameProcesser::encodePicture(const dv::PictureBuffer& picture, int slot)
{
    const auto s = static_cast<size_t>(slot);
    dv::DifFrame frame;
    frame.bytes.swap(m_buffers->compressed[s]);
    // The time code packs are written by the exporter's writer, which keeps
    // the clip's running time code.
    const bool ok = codecs().encoder.encode(frame, picture, m_plan->targetFormat).ok();
    m_buffers->compressed[s].swap(frame.bytes);
    ++m_encodeCounter;
    m_outSizes[s] = dvFrameBytes(m_plan->targetFormat);
    if (!ok)
        fail(qelFormat("frame %lld could not be encoded", static_cast<long long>(m_stepFirst + slot)));
    return ok;
}

void FrameProcesser::ProcessFrames()
{
    ConversionPlan& plan = *m_plan;
    const bool removal32 =
        plan.removePulldown && plan.remove32 && plannerGroup(plan.sourceFormat) == PlannerGroup::G60i;
    const bool addInto60i = plan.addPulldown && plannerGroup(plan.targetFormat) == PlannerGroup::G60i;
    m_ready = 1;

    if (!plan.reencode) {
        copyPathMove();
        return;
    }
    if (m_capacity == 0)
        m_capacity = pictureSteps::pictureCapacity(plan.sourceFormat, plan.targetFormat);

    decodeStep();
    if (aborted())
        return;

    if (removal32) {
        // Five source frames become four.
        m_ready = std::min(m_stepLength, 4);
        for (int i = 0; i < m_stepLength; ++i) {
            BGinfo bg;
            const auto s = static_cast<size_t>(i);
            const size_t size = static_cast<size_t>(std::max(m_buffers->frameSizes[s], 0));
            if (isAvcIntra(plan.sourceFormat))
                bg.ReadAvcBinaryGroup(m_buffers->compressed[s].data(), size, m_stepFirst + i == 0);
            else
                bg.ReadDvBinaryGroup(m_buffers->compressed[s].data(), size);
            m_mixedFlags[s] = bg.valid ? bg.modeLowBits : 0;
        }
        std::array<int, 4> kept{};
        pictureSteps::removePulldown32(m_buffers->decoded, m_saved, m_stepFirst, plan.sourceFormat, plan.rotate != 0,
                                       m_mixedFlags, kept);
        // Bring the kept pictures to the front, in order (kept is ascending).
        for (int j = 0; j < 4; ++j)
            if (kept[static_cast<size_t>(j)] != j)
                std::swap(m_buffers->decoded[static_cast<size_t>(j)],
                          m_buffers->decoded[static_cast<size_t>(kept[static_cast<size_t>(j)])]);
        std::array<dv::PictureBuffer*, 4> out{};
        for (int j = 0; j < m_ready; ++j)
            out[static_cast<size_t>(j)] = &processed(j);
        if (m_failed)
            return;
        if (addInto60i && m_ready == 4) {
            for (size_t j = 0; j < 4; ++j)
                if (out[j] != &m_gathered[j])
                    std::swap(*out[j], m_gathered[j]);
            pictureSteps::addPulldown(m_gathered, plan.targetFormat, plan.add32 != 0, m_capacity);
            m_ready = 5;
            for (int j = 0; j < 5 && !m_failed; ++j)
                encodePicture(m_gathered[static_cast<size_t>(j)], j);
            return;
        }
        for (int j = 0; j < m_ready && !m_failed; ++j)
            encodePicture(*out[static_cast<size_t>(j)], j);
        return;
    }

    dv::PictureBuffer& picture = processed(0);
    if (m_failed)
        return;
    if (plan.fieldHandling == FieldHandling::FieldsToFrames) {
        // One frame of each field: two output frames for the step.
        if (!fieldsToFrames(picture))
            return;
        m_ready = 2;
        if (encodePicture(picture, 0))
            encodePicture(m_fieldPicture, 1);
        return;
    }
    if (plan.fieldHandling == FieldHandling::FramePairsToFields) {
        // Two steps make one woven frame.
        const bool complete = weaveFrame(picture);
        m_ready = complete ? 1 : 0;
        if (complete)
            encodePicture(m_fieldPicture, 0);
        return;
    }
    if (addInto60i) {
        // Four source frames become five: the pictures are gathered, and the
        // fourth brings out all five.
        const auto at = static_cast<size_t>(m_addCounter % 4);
        std::swap(m_gathered[at], picture);
        if (at == 3) {
            pictureSteps::addPulldown(m_gathered, plan.targetFormat, plan.add32 != 0, m_capacity);
            for (int j = 0; j < 5 && !m_failed; ++j)
                encodePicture(m_gathered[static_cast<size_t>(j)], j);
            m_ready = 5;
        } else {
            m_ready = 0;
        }
        ++m_addCounter;
        return;
    }
    encodePicture(picture, 0);
}

void FrameProcesser::stampFrame(uint8_t* data, size_t size, bool first, int64_t index, int slot)
{
    ConversionPlan& plan = *m_plan;
    BGinfo& bg = *m_bg;
    const bool avcTarget = isAvcIntra(plan.targetFormat);
    const auto s = static_cast<size_t>(std::clamp(slot, 0, FrameBuffers::kCount - 1));
    if (plan.keepBinaryGroup && m_sourceRecordValid[s]) {
        // The frame is its source frame's picture at its place in the
        // cadence: it keeps the source's record, only the time code changes.
        // An AVC-Intra output frame is always the source's own bytes. (A
        // source frame without a valid record has nothing to keep.)
        if (avcTarget)
            bg.StampAvcTimecode(data, size, first, m_outFps, m_tcRate, index);
        else
            bg.StampDvRecord(data, size, m_sourceRecords[s], plan.cameraRate, m_tcRate, plan.targetFormat, index);
        return;
    }
    // A converted frame gets the record that describes the output: the
    // camera rate, not the output rate, of an AVC-Intra frame too.
    if (avcTarget)
        bg.StampAvcHeader(data, size, first, plan.cameraRate, m_outFps, m_tcRate, plan.progressive,
                          plan.addPulldown, plan.addAdvanced, index);
    else
        bg.StampDvSubcode(data, size, plan.cameraRate, m_tcRate, plan.targetFormat, plan.progressive,
                          plan.addPulldown, plan.addAdvanced, index);
}

void FrameProcesser::writeFrame(uint8_t* data, size_t size)
{
    if (m_failed)
        return;
    if (!m_exporter || !m_exporter->WriteVideo(data, size)) {
        fail("a video frame could not be written");
        return;
    }
    ++m_framesHanded;
}

void FrameProcesser::WriteFrames()
{
    ConversionPlan& plan = *m_plan;
    const bool avcTarget = isAvcIntra(plan.targetFormat);
    for (int k = 0; k < m_ready && !m_failed; ++k) {
        const auto s = static_cast<size_t>(k);
        const int64_t index = m_written + k;
        uint8_t* data = m_buffers->compressed[s].data();
        const size_t size = static_cast<size_t>(std::max(m_outSizes[s], 0));
        stampFrame(data, size, avcTarget && index == 0, index, k);
        if (index < plan.frameCount)
            writeFrame(data, size);
    }
    // Repeats of the step's first frame. An AVC-Intra frame that carries the
    // clip's header bytes is repeated without them, as every later frame.
    uint8_t* data = m_buffers->compressed[0].data();
    size_t size = static_cast<size_t>(std::max(m_outSizes[0], 0));
    if (avcTarget && m_written == 0 && m_stepFirst == 0 && size > kHeaderBytes) {
        data += kHeaderBytes;
        size -= kHeaderBytes;
    }
    for (int j = 0; j < m_repeats && !m_failed; ++j) {
        const int64_t index = m_written + m_ready + j;
        if (index < plan.frameCount) {
            stampFrame(data, size, false, index, 0);
            writeFrame(data, size);
        }
    }
}

} // namespace vorn
