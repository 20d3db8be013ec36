// The per-clip frame processor: decides the conversion of a clip
// (PlanConversion) before its frames are processed.
#pragma once

#include "engine/ConversionPlan.h"

#include <array>
#include <cstdint>
#include <functional>
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

// The export driver's per-clip buffer set. Only what a step needs is
// allocated: planning needs decoded[0] alone, which holds the clip's
// compressed frame 0 (frame0Size bytes of it are valid).
struct FrameBuffers {
    static constexpr int kCount = 5;
    std::array<std::vector<uint8_t>, kCount> compressed;
    std::array<std::vector<uint8_t>, kCount> decoded;
    std::array<int32_t, kCount> frameSizes{};
    std::array<std::vector<uint8_t>, kCount> output;
    int32_t frame0Size = 0;
};

// What the planner takes from the binary group of the clip's frame 0.
struct PlannerBinaryGroup {
    bool valid = false;
    int32_t cameraRate = 0;
    int32_t shootingMode = 0;
};

// Decides the conversion of one clip: fills the decisions of `plan` from its
// inputs and the binary group of frame 0, and sends one log line per decision
// (each complete with its "\r\n") to `log`. This is PlanConversion without
// the collaborators, usable on its own.
void planConversion(ConversionPlan& plan, const PlannerBinaryGroup& bg,
                    const std::function<void(const std::string&)>& log);

// The packed output binary group (mode, rate, third and check byte, high byte
// first) of output frame `index`, for a rate argument of `rate` fps.
uint32_t packedBinaryGroup(int32_t rate, int32_t progressive, int32_t addPulldown,
                           int32_t addAdvanced, int64_t index);

// The binary group shared by the planner and the frame pipeline (process-wide;
// used from the export thread only).
BGinfo& sharedBGinfo();

class FrameProcesser {
public:
    FrameProcesser(CCaller* caller, CMxfFile* clip, CVorn* engine, ConversionPlan* plan,
                   CExportBase* exporter, FrameBuffers* buffers);
    virtual ~FrameProcesser() = default;

    FrameProcesser(const FrameProcesser&) = delete;
    FrameProcesser& operator=(const FrameProcesser&) = delete;

    // Decides and logs the conversion of the clip (once, before any frame).
    void PlanConversion();

    // Source frames counted towards pulldown addition.
    int64_t addCounter() const { return m_addCounter; }

private:
    CCaller* m_caller;
    CMxfFile* m_clip;
    CVorn* m_engine;
    ConversionPlan* m_plan;
    CExportBase* m_exporter;
    FrameBuffers* m_buffers;
    std::array<int32_t, FrameBuffers::kCount> m_outSizes{};
    int64_t m_addCounter = 0;
};

} // namespace vorn
