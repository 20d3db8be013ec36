// Fork-join of the codec's worker threads. A pass splits N units (DIF
// sequences, video segments or rows) over n workers: worker i takes units
// i*N/n .. (i+1)*N/n - 1; the caller waits for every worker before it goes on.
#pragma once

#include <functional>
#include <string>

namespace vorn::dv {

inline constexpr int kMaxWorkers = 16;

// Half-open unit range [first, end) of worker `index` out of `workers` for `units` units.
struct UnitRange {
    int first = 0;
    int end = 0;
};
constexpr UnitRange workerRange(int index, int workers, int units)
{
    return {static_cast<int>(static_cast<long long>(index) * units / workers),
            static_cast<int>(static_cast<long long>(index + 1) * units / workers)};
}

// Runs work(i) for i = 0..workers-1, each on its own worker, and returns when all
// have finished. If a worker cannot be started, the workers already started are
// joined, the message box `failureText` (title "Quintell") is shown and false is
// returned; the pass is then incomplete. workers is limited to 1..kMaxWorkers.
bool runWorkers(int workers, const std::function<void(int worker)>& work, const std::string& failureText);

// Like runWorkers, but with fewer than 2 workers the work runs on the calling
// thread (the decoders' rule).
bool runWorkersOrInline(int workers, const std::function<void(int worker)>& work,
                        const std::string& failureText);

// Test hook: makes the start of worker number `failingWorker` fail (-1 = never).
void setWorkerStartFailureForTest(int failingWorker);

} // namespace vorn::dv
