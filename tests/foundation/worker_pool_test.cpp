#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
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
    WorkerPool pool;
    for (int units : {0, 1, 10, 45, 270, 1080})
        for (int n : {1, 2, 3, 7, 16}) {
            std::vector<std::atomic<int>> seen(static_cast<size_t>(units));
            ASSERT_TRUE(pool.forkJoin(
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
    WorkerPool pool;
    for (int units : {1, 2, 40, 45, 1080})
        for (int n : {1, 2, 4, 16}) {
            std::vector<std::atomic<int>> seen(static_cast<size_t>(units));
            std::atomic<int> busy[kMaxPoolWorkers] = {};
            std::atomic<bool> overlap{false}, slotOutOfRange{false};
            ASSERT_TRUE(pool.forEachUnit(
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
    WorkerPool pool;
    EXPECT_EQ(pool.helperCount(), 0);
    ASSERT_TRUE(pool.forkJoin(4, [](int) {}, "x"));
    const int helpers = pool.helperCount();
    EXPECT_GE(helpers, 3);
    std::mutex m;
    std::set<std::thread::id> threads;
    for (int pass = 0; pass < 50; ++pass)
        ASSERT_TRUE(pool.forEachUnit(4, 16, [&](int, int) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            std::lock_guard lock(m);
            threads.insert(std::this_thread::get_id());
        }, "x"));
    EXPECT_EQ(pool.helperCount(), helpers);
    EXPECT_GE(threads.size(), 2u);
}

// A worker that cannot start: the pass fails with the caller's message, runs
// nothing, and the pool works normally afterwards. The transitional free
// passes over the default pool show that message as a box, once.
TEST(WorkerPool, WorkerThatCannotStartIsReported)
{
    struct Case {
        int workers;
        int failing;
        bool fails;
    };
    for (const Case& c : {Case{4, 2, true}, Case{2, 1, true}, Case{1, 0, true}, Case{2, 5, false}, Case{3, -1, false}}) {
        WorkerPool pool;
        std::atomic<int> ran{0};
        pool.failStartForTest(c.failing);
        const Status status = pool.forEachUnit(c.workers, 20, [&](int, int) { ++ran; }, "Could not create Test thread");
        pool.failStartForTest(-1);
        EXPECT_EQ(status.ok(), !c.fails) << c.workers << "/" << c.failing;
        EXPECT_EQ(ran.load(), c.fails ? 0 : 20);
        if (c.fails) {
            EXPECT_EQ(status.message(), "Could not create Test thread");
        }
        ran = 0;
        EXPECT_TRUE(pool.forEachUnit(c.workers, 20, [&](int, int) { ++ran; }, "x"));
        EXPECT_EQ(ran.load(), 20);

        MessageBoxes boxes;
        ran = 0;
        setPoolStartFailureForTest(c.failing);
        const bool ok = forEachUnit(c.workers, 20, [&](int, int) { ++ran; }, "Could not create Test thread");
        setPoolStartFailureForTest(-1);
        EXPECT_EQ(ok, !c.fails);
        EXPECT_EQ(ran.load(), c.fails ? 0 : 20);
        if (c.fails) {
            ASSERT_EQ(boxes.texts.size(), 1u);
            EXPECT_EQ(boxes.texts[0], "Quintell|Could not create Test thread");
        } else {
            EXPECT_TRUE(boxes.texts.empty());
        }
    }
}

// A two-worker pass on a pool that has started many helpers runs on two
// threads every time: the pass must wake helper 1, not whichever helper the
// system picks (which would find nothing to do and sleep again, leaving the
// caller to do all the work). Each item waits for the other to start, so the
// caller cannot take both.
TEST(WorkerPool, EveryPassWakesTheHelpersItNeeds)
{
    WorkerPool pool;
    ASSERT_TRUE(pool.forkJoin(kMaxPoolWorkers, [](int) {}, "x"));
    ASSERT_EQ(pool.helperCount(), kMaxPoolWorkers - 1);
    for (int workers : {2, 3}) {
        for (int pass = 0; pass < 200; ++pass) {
            std::atomic<int> started{0};
            std::mutex m;
            std::set<std::thread::id> threads;
            ASSERT_TRUE(pool.forkJoin(
                workers,
                [&](int) {
                    {
                        std::lock_guard lock(m);
                        threads.insert(std::this_thread::get_id());
                    }
                    ++started;
                    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                    while (started.load() < workers && std::chrono::steady_clock::now() < until)
                        std::this_thread::yield();
                },
                "x"));
            ASSERT_EQ(threads.size(), static_cast<size_t>(workers)) << "pass " << pass << " of " << workers << " workers";
        }
    }
}

// Work that throws: the first exception reaches the caller only after every
// participant has stopped (none is still inside the work), the remaining items
// are not started, and the pool runs later passes normally. Throwing on the
// calling thread and on a helper thread, in both kinds of pass.
TEST(WorkerPool, ThrowingWorkIsRethrownOnTheCallerAfterEveryoneStopped)
{
    for (bool onCaller : {true, false})
        for (bool units : {false, true}) {
            WorkerPool pool;
            const std::thread::id caller = std::this_thread::get_id();
            constexpr int kWorkers = 4, kUnits = 400;
            std::atomic<int> inside{0}, started{0}, ran{0};
            std::atomic<bool> thrown{false};
            auto item = [&] {
                ++inside;
                // Every participant first shows up, so the pool really has four threads in the pass.
                if (started.fetch_add(1) < kWorkers) {
                    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                    while (started.load() < kWorkers && std::chrono::steady_clock::now() < until)
                        std::this_thread::yield();
                }
                const bool mine = (std::this_thread::get_id() == caller) == onCaller;
                if (mine && !thrown.exchange(true)) {
                    --inside;
                    throw std::runtime_error("bad unit");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ++ran;
                --inside;
            };
            std::string caught;
            int insideAtCatch = -1;
            try {
                if (units)
                    (void)pool.forEachUnit(kWorkers, kUnits, [&](int, int) { item(); }, "x");
                else
                    (void)pool.forkJoin(kWorkers, [&](int) { item(); }, "x");
            } catch (const std::runtime_error& e) {
                caught = e.what();
                insideAtCatch = inside.load();
            }
            EXPECT_EQ(caught, "bad unit") << onCaller << units;
            EXPECT_EQ(insideAtCatch, 0) << onCaller << units;
            if (units) {
                EXPECT_LT(ran.load(), kUnits - 1) << "items after the throw were still started";
            }
            std::atomic<int> after{0};
            EXPECT_TRUE(pool.forEachUnit(kWorkers, 100, [&](int, int) { ++after; }, "x"));
            EXPECT_EQ(after.load(), 100);
        }
}

// Destroying a pool stops and joins its helpers, including a pool whose
// helpers were started by a failed and a throwing pass.
TEST(WorkerPool, DestroyedPoolJoinsItsHelpers)
{
    for (int round = 0; round < 20; ++round) {
        WorkerPool pool(3);
        EXPECT_EQ(pool.workers(), 3);
        std::atomic<int> ran{0};
        ASSERT_TRUE(pool.forEachUnit(pool.workers(), 30, [&](int, int) { ++ran; }, "x"));
        EXPECT_EQ(ran.load(), 30);
        EXPECT_EQ(pool.helperCount(), 2);
    }
    EXPECT_EQ(WorkerPool(40).workers(), kMaxPoolWorkers);
    EXPECT_EQ(WorkerPool(0).workers(), 1);
}

// A pass started from inside a pass, or from two threads at once, neither
// deadlocks nor loses work.
TEST(WorkerPool, NestedAndConcurrentPassesComplete)
{
    WorkerPool pool;
    std::atomic<int> inner{0};
    ASSERT_TRUE(pool.forkJoin(2, [&](int) { EXPECT_TRUE(pool.forEachUnit(2, 10, [&](int, int) { ++inner; }, "x")); }, "x"));
    EXPECT_EQ(inner.load(), 20);
    // A one-worker pass does not hold the pool: the pass inside it uses the helpers.
    inner = 0;
    ASSERT_TRUE(pool.forEachUnit(2, 1, [&](int, int) { EXPECT_TRUE(pool.forEachUnit(2, 10, [&](int, int) { ++inner; }, "x")); }, "x"));
    EXPECT_EQ(inner.load(), 10);
    // A pass of another pool inside a pass runs on that pool.
    WorkerPool other;
    inner = 0;
    ASSERT_TRUE(pool.forkJoin(2, [&](int) { EXPECT_TRUE(other.forEachUnit(2, 10, [&](int, int) { ++inner; }, "x")); }, "x"));
    EXPECT_EQ(inner.load(), 20);

    std::atomic<int> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            for (int pass = 0; pass < 50; ++pass)
                EXPECT_TRUE(pool.forEachUnit(2, 8, [&](int, int) { ++total; }, "x"));
        });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(total.load(), 3 * 50 * 8);
}

} // namespace
