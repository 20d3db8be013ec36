// The conversion planner: decides the conversion of one clip from its plan's
// inputs and the binary group of its frame 0, and logs each decision.
#pragma once

#include "engine/ConversionPlan.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vorn {

// What the planner takes from the binary group of the clip's frame 0.
struct PlannerBinaryGroup {
    bool valid = false;
    int32_t cameraRate = 0;
    int32_t shootingMode = 0;
    uint32_t word = 0;        // the record as found (M, R, X, K, high byte first)
};

// Decides the conversion of one clip: fills the decisions of `plan` from its
// inputs and the binary group of frame 0, and sends one log line per decision
// (each complete with its "\r\n") to `log`. This is PlanConversion without
// the collaborators, usable on its own.
void planConversion(ConversionPlan& plan, const PlannerBinaryGroup& bg,
                    const std::function<void(const std::string&)>& log);

// There is no AVC-Intra encoder: a plan that re-encodes into an AVC-Intra
// target is sent to the DVCPRO HD format of the same raster (1080 lines at
// 60 Hz: 1, at 50 Hz: 3; 720 lines at 60 Hz: 2, at 50 Hz: 4), logging one line.
// Returns true when the target was changed.
bool redirectAvcIntraTarget(ConversionPlan& plan, const std::function<void(const std::string&)>& log);

// The packed output binary group (mode, rate, third and check byte, high byte
// first) of output frame `index`, for a rate argument of `rate` fps.
uint32_t packedBinaryGroup(int32_t rate, int32_t progressive, int32_t addPulldown,
                           int32_t addAdvanced, int64_t index);

} // namespace vorn
