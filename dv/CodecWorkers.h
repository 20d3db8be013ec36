// Fork-join of the codec's passes on the program's worker pool. A pass splits
// N units (DIF sequences, video segments or rows) over n workers: worker i
// takes units i*N/n .. (i+1)*N/n - 1; the caller waits for every worker before
// it goes on.
#pragma once

#include "foundation/WorkerPool.h"

#include <functional>
#include <string>

namespace vorn::dv {

inline constexpr int kMaxWorkers = kMaxPoolWorkers;

using UnitRange = WorkRange;
constexpr UnitRange workerRange(int index, int workers, int units) { return workRange(index, workers, units); }

// Runs work(i) for i = 0..workers-1 on the worker pool and returns when all
// have finished. If a worker cannot be started, nothing of the pass runs, the
// message box `failureText` (title "Quintell") is shown and false is returned;
// the pass is then incomplete. workers is limited to 1..kMaxWorkers.
bool runWorkers(int workers, const std::function<void(int worker)>& work, const std::string& failureText);

// Like runWorkers, but with fewer than 2 workers the work runs on the calling
// thread (the decoders' rule).
bool runWorkersOrInline(int workers, const std::function<void(int worker)>& work,
                        const std::string& failureText);

// Test hook: makes the start of worker number `failingWorker` fail (-1 = never).
void setWorkerStartFailureForTest(int failingWorker);

} // namespace vorn::dv
