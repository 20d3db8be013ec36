// A pool of worker threads owned by an object. Helper threads are started on
// first need and kept until the pool is destroyed (the destructor stops and
// joins them); a pass hands them work and returns only when all of it has
// finished (fork-join), the calling thread doing its share. Passes on one pool
// run one at a time: a second caller waits for the pass in progress, and a
// pass started from inside a pass of the same pool (on the caller or a helper)
// runs on the calling thread alone.
//
// Two forms of pass:
//  - forkJoin: work(i) once for every i in 0..n-1; with the static split
//    workRange() each i owns a fixed share of the units.
//  - forEachUnit: work(slot, unit) once for every unit, units claimed one at a
//    time by whichever participant is free. `slot` (0..n-1) names the
//    participant, so per-slot scratch is never used by two threads at once.
// Either way the caller must make each item's result independent of which
// thread runs it and when, so the output is the same for any worker count.
//
// When work throws, the pass stops handing out items, waits for every
// participant to finish the item in hand and rethrows the first exception on
// the caller; the pool stays usable.
#pragma once

#include "foundation/Status.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn {

inline constexpr int kMaxPoolWorkers = 16;

// Half-open unit range [first, end) of worker `index` out of `workers` for
// `units` units: i * N / n .. (i + 1) * N / n - 1 in integer arithmetic.
struct WorkRange {
    int first = 0;
    int end = 0;
};
constexpr WorkRange workRange(int index, int workers, int units)
{
    return {static_cast<int>(static_cast<long long>(index) * units / workers),
            static_cast<int>(static_cast<long long>(index + 1) * units / workers)};
}

class WorkerPool {
public:
    // `workers` (limited to 1..kMaxPoolWorkers) is the participant count the
    // pool's owner chose for its passes (workers()); a pass may ask for any
    // count in that range. No thread starts before the first pass needs it.
    explicit WorkerPool(int workers = 1);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int workers() const { return m_workers.load(std::memory_order_relaxed); }
    // Changes workers() (limited to 1..kMaxPoolWorkers), e.g. for a --threads option.
    void setWorkers(int workers);

    // Runs work(i) for i = 0..workers-1 (workers limited to 1..kMaxPoolWorkers)
    // and returns when all have finished. When a helper thread the pass needs
    // cannot be started, no work runs and the failure carries `failureText`.
    Status forkJoin(int workers, const std::function<void(int item)>& work, const std::string& failureText);

    // Runs work(slot, unit) for unit = 0..units-1 on up to `workers`
    // participants (never more than there are units). Failure as for forkJoin.
    Status forEachUnit(int workers, int units, const std::function<void(int slot, int unit)>& work,
                       const std::string& failureText);

    // Number of helper threads started so far (the calling thread not counted).
    int helperCount();

    // Test hook: any pass that needs worker number `worker` (>= 0) fails as if
    // that worker's thread could not be started; -1 turns the hook off.
    void failStartForTest(int worker);

private:
    struct Helper;
    bool onPassThread();
    int ensureHelpers(int count);
    void run(int count, const std::function<void(int)>& job);
    void claimItems(const std::function<void(int)>& job, int count);
    void helperLoop(Helper& self);

    std::atomic<int> m_workers;
    std::mutex m_passMutex; // one pass at a time
    std::mutex m_mutex;     // guards the pass state below
    std::condition_variable m_done;
    std::vector<std::unique_ptr<Helper>> m_helpers; // helper k is m_helpers[k - 1]
    const std::function<void(int)>* m_job = nullptr;
    std::atomic<int> m_nextItem{0};
    std::exception_ptr m_error;
    std::thread::id m_caller; // the thread running the current pass
    uint64_t m_generation = 0;
    int m_count = 0;
    int m_running = 0;
    std::atomic<int> m_failingWorker{-1};
    bool m_open = false;
    bool m_stop = false;
};

// Transitional: one default pool for code that is not yet handed a pool or a
// worker count. Its workers() is the affinity processor count unless the
// program sets another. The free passes below run on it; a failure shows the
// message box `failureText` (title "Quintell") and returns false, as before.
WorkerPool& defaultWorkerPool();
bool forkJoin(int workers, const std::function<void(int item)>& work, const std::string& failureText);
bool forEachUnit(int workers, int units, const std::function<void(int slot, int unit)>& work,
                 const std::string& failureText);
void setPoolStartFailureForTest(int worker);

} // namespace vorn
