// The program's one pool of worker threads. Helper threads are started on
// first need and kept for the life of the process; a pass hands them work and
// returns only when all of it has finished (fork-join), the calling thread
// doing its share. Passes run one at a time: a second caller waits for the
// pass in progress, and a pass started from inside a pass runs on the
// calling thread alone.
//
// Two forms of pass:
//  - forkJoin: work(i) once for every i in 0..n-1; with the static split
//    workRange() each i owns a fixed share of the units.
//  - forEachUnit: work(slot, unit) once for every unit, units claimed one at a
//    time by whichever participant is free. `slot` (0..n-1) names the
//    participant, so per-slot scratch is never used by two threads at once.
// Either way the caller must make each item's result independent of which
// thread runs it and when, so the output is the same for any worker count.
#pragma once

#include <functional>
#include <string>

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

// Runs work(i) for i = 0..workers-1 (workers limited to 1..kMaxPoolWorkers)
// and returns true when all have finished. When a helper thread the pass needs
// cannot be started, no work is run: the message box `failureText` (title
// "Quintell") is shown and false is returned.
bool forkJoin(int workers, const std::function<void(int item)>& work, const std::string& failureText);

// Runs work(slot, unit) for unit = 0..units-1 on up to `workers` participants
// (never more than there are units). Failure as for forkJoin.
bool forEachUnit(int workers, int units, const std::function<void(int slot, int unit)>& work,
                 const std::string& failureText);

// Number of helper threads started so far (the calling thread not counted).
int poolHelperCount();

// Test hook: any pass that needs worker number `worker` (>= 0) fails as if
// that worker's thread could not be started; -1 turns the hook off.
void setPoolStartFailureForTest(int worker);

} // namespace vorn
