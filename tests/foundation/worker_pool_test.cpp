#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vorn;

// Collects message boxes for the life of the object.
struct MessageBoxes {
    std::vector<std::string> texts;
    NotifyHandler previous;
    MessageBoxes()
    {
        previous = setNotifyHandler([this](const std::string& title, const std::string& text) {
            texts.push_back(title + "|" + text);
        });
    }
    ~MessageBoxes() { setNotifyHandler(previous); }
};

TEST(WorkerPool, StaticSplitCoversEveryUnitOnceEvenWithEmptyRanges)
{
    for (int units : {0, 1, 10, 45, 270, 1080})
        for (int n : {1, 2, 3, 7, 16}) {
            std::vector<std::atomic<int>> seen(static_cast<size_t>(units));
            ASSERT_TRUE(forkJoin(
                n,
                [&](int i) {
                    const WorkRange r = workRange(i, n, units);
                    ASSERT_LE(r.first, r.end);
                    for (int u = r.first; u < r.end; ++u)
                        seen[static_cast<size_t>(u)]++;
                },
                "x"));
            for (int u = 0; u < units; ++u)
                ASSERT_EQ(seen[static_cast<size_t>(u)].load(), 1) << units << " units, " << n << " workers";
        }
}

// Every unit runs once, and no slot is used by two threads at the same time
// (per-slot scratch is safe).
TEST(WorkerPool, ClaimedUnitsRunOnceAndSlotsNeverOverlap)
{
    for (int units : {1, 2, 40, 45, 1080})
        for (int n : {1, 2, 4, 16}) {
            std::vector<std::atomic<int>> seen(static_cast<size_t>(units));
            std::atomic<int> busy[kMaxPoolWorkers] = {};
            std::atomic<bool> overlap{false}, slotOutOfRange{false};
            ASSERT_TRUE(forEachUnit(
                n, units,
                [&](int slot, int unit) {
                    if (slot < 0 || slot >= std::min(n, units)) {
                        slotOutOfRange = true;
                        return;
                    }
                    if (busy[slot].fetch_add(1) != 0)
                        overlap = true;
                    seen[static_cast<size_t>(unit)]++;
                    std::this_thread::yield();
                    busy[slot].fetch_sub(1);
                },
                "x"));
            EXPECT_FALSE(overlap);
            EXPECT_FALSE(slotOutOfRange);
            for (int u = 0; u < units; ++u)
                ASSERT_EQ(seen[static_cast<size_t>(u)].load(), 1) << units << " units, " << n << " workers";
        }
}

// With 4 workers the pass really runs on more than one thread, and the
// helpers are kept: later passes start no new threads.
TEST(WorkerPool, HelpersArePersistentAndShareTheWork)
{
    ASSERT_TRUE(forkJoin(4, [](int) {}, "x"));
    const int helpers = poolHelperCount();
    EXPECT_GE(helpers, 3);
    std::mutex m;
    std::set<std::thread::id> threads;
    for (int pass = 0; pass < 50; ++pass)
        ASSERT_TRUE(forEachUnit(4, 16, [&](int, int) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            std::lock_guard lock(m);
            threads.insert(std::this_thread::get_id());
        }, "x"));
    EXPECT_EQ(poolHelperCount(), helpers);
    EXPECT_GE(threads.size(), 2u);
}

// A worker that cannot start: the pass reports the caller's message once,
// runs nothing, and the pool works normally afterwards.
TEST(WorkerPool, WorkerThatCannotStartIsReported)
{
    struct Case {
        int workers;
        int failing;
        bool fails;
    };
    for (const Case& c : {Case{4, 2, true}, Case{2, 1, true}, Case{1, 0, true}, Case{2, 5, false}, Case{3, -1, false}}) {
        MessageBoxes boxes;
        std::atomic<int> ran{0};
        setPoolStartFailureForTest(c.failing);
        const bool ok = forEachUnit(c.workers, 20, [&](int, int) { ++ran; }, "Could not create Test thread");
        setPoolStartFailureForTest(-1);
        EXPECT_EQ(ok, !c.fails) << c.workers << "/" << c.failing;
        EXPECT_EQ(ran.load(), c.fails ? 0 : 20);
        if (c.fails) {
            ASSERT_EQ(boxes.texts.size(), 1u);
            EXPECT_EQ(boxes.texts[0], "Quintell|Could not create Test thread");
        } else {
            EXPECT_TRUE(boxes.texts.empty());
        }
        ran = 0;
        EXPECT_TRUE(forEachUnit(c.workers, 20, [&](int, int) { ++ran; }, "x"));
        EXPECT_EQ(ran.load(), 20);
    }
}

// A pass started from inside a pass, or from two threads at once, neither
// deadlocks nor loses work.
TEST(WorkerPool, NestedAndConcurrentPassesComplete)
{
    std::atomic<int> inner{0};
    ASSERT_TRUE(forkJoin(2, [&](int) { EXPECT_TRUE(forEachUnit(2, 10, [&](int, int) { ++inner; }, "x")); }, "x"));
    EXPECT_EQ(inner.load(), 20);
    // A one-worker pass does not hold the pool: the pass inside it uses the helpers.
    inner = 0;
    ASSERT_TRUE(forEachUnit(2, 1, [&](int, int) { EXPECT_TRUE(forEachUnit(2, 10, [&](int, int) { ++inner; }, "x")); }, "x"));
    EXPECT_EQ(inner.load(), 10);

    std::atomic<int> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            for (int pass = 0; pass < 50; ++pass)
                forEachUnit(2, 8, [&](int, int) { ++total; }, "x");
        });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(total.load(), 3 * 50 * 8);
}

} // namespace
