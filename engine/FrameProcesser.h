// The per-clip frame processor: decides the conversion of a clip
// (PlanConversion), then turns each step of source frames into output frames
// (ProcessStep): drops, repairs, repeats or expands frames, decodes, processes
// and re-encodes pictures when the plan asks for it, stamps binary group and
// time code, and hands the frames to the exporter.
#pragma once

#include "avci/AvcDecoder.h"
#include "dv/DvFormat.h"
#include "engine/ConversionPlan.h"
#include "engine/PictureSteps.h"
#include "engine/Planner.h"
#include "engine/VideoFormat.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class BGinfo;
class CCaller;
class CMxfFile;
class CVorn;

namespace vorn::mxf {
class CExportBase;
}

namespace vorn {

using mxf::CExportBase;
class FramePreview;

// The export driver's per-clip buffer set, sized to the clip's formats (see
// allocate): compressed frames as read or encoded, decoded and output
// pictures. frame0 holds the clip's compressed frame 0 for planning.
struct FrameBuffers {
    static constexpr int kCount = 5;
    std::array<std::vector<uint8_t>, kCount> compressed;
    std::array<int32_t, kCount> frameSizes{};
    std::array<dv::PictureBuffer, kCount> decoded;
    std::array<dv::PictureBuffer, kCount> output;
    std::vector<uint8_t> frame0;
    int32_t frame0Size = 0;

    // Sizes the compressed frames for a planned clip: the larger of source
    // and output frames, plus the 512 header bytes an AVC-Intra output may
    // need in front. Pictures take the clip's rasters when first decoded.
    // Throws std::bad_alloc.
    void allocate(const ConversionPlan& plan, int32_t sourceFrameSize, int32_t laterFrameSize);
    void release();
};

class FrameProcesser {
public:
    // `binaryGroup` is the clip's binary group: the planner reads frame 0's
    // into it, the frame pipeline keeps its running time code. It belongs to
    // the clip's export and outlives the processor.
    FrameProcesser(CCaller* caller, CMxfFile* clip, CVorn* engine, ConversionPlan* plan,
                   CExportBase* exporter, FrameBuffers* buffers, BGinfo* binaryGroup);
    virtual ~FrameProcesser();

    FrameProcesser(const FrameProcesser&) = delete;
    FrameProcesser& operator=(const FrameProcesser&) = delete;

    // Decides and logs the conversion of the clip (once, before any frame).
    void PlanConversion();

    // Before the first step of a re-encoded AVC-Intra clip: decodes its frame
    // 0 once, so that the decoder holds the clip's parameter sets even when
    // frame 0 itself is not output.
    void PrepareDecoding();

    // Preview of decoded and processed pictures (null: none), scale 1, 2 or 4.
    void SetPreview(FramePreview* preview, int scale);

    // Processes the step of stepLength source frames starting at source
    // index stepFirst (in the buffers' compressed frames) and writes its
    // output frames. Returns the output frames the step counted (0 also after
    // an abort) and adds them to written.
    int64_t ProcessStep(int64_t stepFirst, int stepLength, int64_t& written);

    // Source frames counted towards pulldown addition.
    int64_t addCounter() const { return m_addCounter; }
    // Output frames handed to the exporter.
    int64_t framesWritten() const { return m_framesHanded; }
    // True once the exporter refused a frame or a frame could not be encoded;
    // the clip cannot be finished.
    bool failed() const { return m_failed; }
    const std::string& failure() const { return m_failure; }
    int undecodableFrames() const { return m_undecodable; }

private:
    void ProcessFrames();
    void WriteFrames();

    bool decodeAvcFrame(int slot);
    bool decodeDvFrame(int slot);            // the decoding alone: safe to run for several slots at once
    bool finishDecoding(int slot, bool ok);  // the stand-in for an undecodable frame, messages, preview
    void decodeStep();                       // every frame of the step, in order of their bookkeeping
    dv::PictureBuffer& processed(int slot);
    int sourceFirstField() const;
    bool fieldsToFrames(dv::PictureBuffer& picture);
    bool weaveFrame(const dv::PictureBuffer& picture);
    bool encodePicture(const dv::PictureBuffer& picture, int slot);
    void copyPathMove();
    void writeFirstFrameForm();
    void writeFrame(uint8_t* data, size_t size);
    // Stamps output frame `index`, made from source slot `slot` of the step.
    void stampFrame(uint8_t* data, size_t size, bool first, int64_t index, int slot);
    void waitWhilePaused();
    bool aborted() const;
    void preview(const dv::PictureBuffer& picture, VideoFormat format, int window);
    void fail(const std::string& why);
    // The engine's picture codecs (this processor's own without an engine).
    PictureCodecs& codecs();

    CCaller* m_caller;
    CMxfFile* m_clip;
    CVorn* m_engine;
    ConversionPlan* m_plan;
    CExportBase* m_exporter;
    FrameBuffers* m_buffers;
    BGinfo* m_bg;
    FramePreview* m_preview = nullptr;
    int m_scale = 2;

    int64_t m_stepFirst = 0;
    int m_stepLength = 0;
    int64_t m_written = 0;
    int m_ready = 0;
    int m_repeats = 0;
    std::array<int32_t, FrameBuffers::kCount> m_outSizes{};
    std::array<uint32_t, FrameBuffers::kCount> m_mixedFlags{};
    std::array<std::array<uint8_t, 4>, FrameBuffers::kCount> m_sourceRecords{};   // M R X K of the step's frames
    std::array<bool, FrameBuffers::kCount> m_sourceRecordValid{};
    int32_t m_outFps = 0;
    int32_t m_tcRate = 0;
    int64_t m_encodeCounter = 0;
    int64_t m_addCounter = 0;
    int32_t m_selectCounter = 0;                 // 720-line frame selection
    std::array<uint8_t, 512> m_savedHeader{};    // AVC-Intra: frame 0's header bytes
    bool m_haveSavedHeader = false;
    std::vector<uint8_t> m_firstForm;            // AVC-Intra: header + a later frame
    std::vector<uint8_t> m_fill720p50;           // 720p50 frame whose sequences 10 and 11 fill a moved 720p60 frame
    std::array<dv::PictureBuffer, 5> m_gathered; // pulldown addition into 60i: four pictures in, five out
    dv::PictureBuffer m_previous;                // last good decoded picture (stands in for an undecodable one)
    dv::PictureBuffer m_saved;                   // 3:2 removal: the previous group's last picture
    dv::PictureBuffer m_fieldPicture;            // the second field's frame, or the frame being woven
    int64_t m_pairCounter = 0;                   // frames woven so far
    avci::AvcDecoder m_avcDecoder;               // AVC-Intra decoder of the clip
    std::vector<uint16_t> m_planar;              // AVC-Intra decoder output
    std::unique_ptr<PictureCodecs> m_ownCodecs;  // made when there is no engine
    size_t m_capacity = 0;                       // bytes of every picture buffer of the clip
    int64_t m_framesHanded = 0;
    bool m_failed = false;
    std::string m_failure;
    int m_undecodable = 0;
};

} // namespace vorn
