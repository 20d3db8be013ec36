#include "foundation/WorkerPool.h"

#include "foundation/Cpu.h"
#include "foundation/Notifier.h"

#include <algorithm>
#include <system_error>

namespace vorn {

// Each helper sleeps on its own condition variable, so a pass wakes exactly
// the helpers it needs (1..count-1) and no other.
struct WorkerPool::Helper {
    int index = 0;      // 1..kMaxPoolWorkers-1
    uint64_t seen = 0;  // the last pass it looked at
    std::condition_variable wake;
    std::thread thread;
    std::thread::id id;
};

WorkerPool::WorkerPool(int workers) : m_workers(std::clamp(workers, 1, kMaxPoolWorkers)) {}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        for (auto& h : m_helpers)
            h->wake.notify_one();
    }
    for (auto& h : m_helpers)
        h->thread.join();
}

void WorkerPool::setWorkers(int workers) { m_workers.store(std::clamp(workers, 1, kMaxPoolWorkers)); }

void WorkerPool::failStartForTest(int worker) { m_failingWorker.store(worker); }

int WorkerPool::helperCount()
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_helpers.size());
}

bool WorkerPool::onPassThread()
{
    const std::thread::id me = std::this_thread::get_id();
    std::lock_guard lock(m_mutex);
    if (m_caller == me)
        return true;
    return std::any_of(m_helpers.begin(), m_helpers.end(), [&](const auto& h) { return h->id == me; });
}

// Starts helpers until `count` exist; returns how many there are (fewer when a
// thread could not be created). Called with the pass mutex held.
int WorkerPool::ensureHelpers(int count)
{
    while (static_cast<int>(m_helpers.size()) < count) {
        auto helper = std::make_unique<Helper>();
        helper->index = static_cast<int>(m_helpers.size()) + 1;
        {
            // A pass handed out before the thread first runs is not missed.
            std::lock_guard lock(m_mutex);
            helper->seen = m_generation;
        }
        try {
            helper->thread = std::thread([this, h = helper.get()] { helperLoop(*h); });
        } catch (const std::system_error&) {
            break;
        }
        std::lock_guard lock(m_mutex);
        helper->id = helper->thread.get_id();
        m_helpers.push_back(std::move(helper));
    }
    return static_cast<int>(m_helpers.size());
}

// Every participant claims items from a shared counter until none is left, so
// a helper that is slow to wake costs nothing but its share of the work. The
// first exception stops the claiming; it is kept for the caller.
void WorkerPool::claimItems(const std::function<void(int)>& job, int count)
{
    try {
        for (int i = m_nextItem.fetch_add(1, std::memory_order_relaxed); i < count;
             i = m_nextItem.fetch_add(1, std::memory_order_relaxed))
            job(i);
    } catch (...) {
        m_nextItem.store(count, std::memory_order_relaxed);
        std::lock_guard lock(m_mutex);
        if (!m_error)
            m_error = std::current_exception();
    }
}

// Runs job(i) for i = 0..count-1 with helpers 1..count-1 and the caller, and
// returns when every claimed item has finished.
void WorkerPool::run(int count, const std::function<void(int)>& job)
{
    {
        std::lock_guard lock(m_mutex);
        m_job = &job;
        m_count = count;
        m_nextItem.store(0, std::memory_order_relaxed);
        m_error = nullptr;
        m_caller = std::this_thread::get_id();
        m_open = true;
        ++m_generation;
        for (int k = 0; k < count - 1; ++k)
            m_helpers[static_cast<size_t>(k)]->wake.notify_one();
    }
    claimItems(job, count);
    std::exception_ptr error;
    {
        std::unique_lock lock(m_mutex);
        m_open = false;
        m_done.wait(lock, [this] { return m_running == 0; });
        m_job = nullptr;
        m_caller = std::thread::id();
        std::swap(error, m_error);
    }
    if (error)
        std::rethrow_exception(error);
}

void WorkerPool::helperLoop(Helper& self)
{
    for (;;) {
        const std::function<void(int)>* job = nullptr;
        int count = 0;
        {
            std::unique_lock lock(m_mutex);
            self.wake.wait(lock, [&] { return m_stop || (m_generation != self.seen && self.index < m_count); });
            if (m_stop)
                return;
            self.seen = m_generation;
            if (!m_open)
                continue; // that pass has already finished
            ++m_running;
            job = m_job;
            count = m_count;
        }
        claimItems(*job, count);
        std::lock_guard lock(m_mutex);
        if (--m_running == 0)
            m_done.notify_one();
    }
}

Status WorkerPool::forkJoin(int workers, const std::function<void(int)>& work, const std::string& failureText)
{
    workers = std::clamp(workers, 1, kMaxPoolWorkers);
    const int failing = m_failingWorker.load();
    if (failing >= 0 && failing < workers)
        return Status::failure(failureText);
    // One worker, or a pass inside a pass: the calling thread runs it without
    // taking the pool, so a one-worker pass can itself start a pass.
    if (workers == 1 || onPassThread()) {
        for (int i = 0; i < workers; ++i)
            work(i);
        return okStatus();
    }
    std::lock_guard pass(m_passMutex);
    if (ensureHelpers(workers - 1) < workers - 1)
        return Status::failure(failureText);
    run(workers, work);
    return okStatus();
}

Status WorkerPool::forEachUnit(int workers, int units, const std::function<void(int, int)>& work,
                               const std::string& failureText)
{
    workers = std::clamp(workers, 1, kMaxPoolWorkers);
    const int participants = std::clamp(units, 1, workers);
    std::atomic<int> next{0};
    return forkJoin(
        participants,
        [&](int slot) {
            try {
                for (int u = next.fetch_add(1, std::memory_order_relaxed); u < units;
                     u = next.fetch_add(1, std::memory_order_relaxed))
                    work(slot, u);
            } catch (...) {
                next.store(units, std::memory_order_relaxed); // the others stop after the unit in hand
                throw;
            }
        },
        failureText);
}

WorkerPool& defaultWorkerPool()
{
    static WorkerPool pool(affinityProcessorCount());
    return pool;
}

namespace {

bool reported(const Status& status)
{
    if (!status.ok())
        notify("Quintell", status.message());
    return status.ok();
}

} // namespace

bool forkJoin(int workers, const std::function<void(int)>& work, const std::string& failureText)
{
    return reported(defaultWorkerPool().forkJoin(workers, work, failureText));
}

bool forEachUnit(int workers, int units, const std::function<void(int, int)>& work, const std::string& failureText)
{
    return reported(defaultWorkerPool().forEachUnit(workers, units, work, failureText));
}

void setPoolStartFailureForTest(int worker) { defaultWorkerPool().failStartForTest(worker); }

} // namespace vorn
