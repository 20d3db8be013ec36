#include "foundation/WorkerPool.h"

#include "foundation/Notifier.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vorn {

namespace {

std::atomic<int> g_failingWorker{-1};

// Set on helper threads and on a caller while its pass runs: a pass started
// there runs inline instead of waiting for itself.
thread_local bool t_insidePass = false;

class Pool {
public:
    ~Pool()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (auto& t : m_threads)
            t.join();
    }

    // Starts helpers until `count` exist; returns how many there are (fewer
    // when a thread could not be created).
    int ensureHelpers(int count)
    {
        while (static_cast<int>(m_threads.size()) < count) {
            const int index = static_cast<int>(m_threads.size()) + 1;
            uint64_t generation = 0;
            {
                std::lock_guard lock(m_mutex);
                generation = m_generation;
            }
            try {
                m_threads.emplace_back([this, index, generation] { helperLoop(index, generation); });
            } catch (const std::system_error&) {
                break;
            }
        }
        return static_cast<int>(m_threads.size());
    }

    int helpers() const { return static_cast<int>(m_threads.size()); }

    // Runs job(i) for i = 0..count-1: helpers 1..count-1 are woken, and every
    // participant, the caller included, claims items from a shared counter
    // until none is left, so a helper that is slow to wake costs nothing but
    // its share of the work. Returns when every claimed item has finished.
    void run(int count, const std::function<void(int)>& job)
    {
        {
            std::lock_guard lock(m_mutex);
            m_job = &job;
            m_count = count;
            m_nextItem.store(0, std::memory_order_relaxed);
            m_open = true;
            ++m_generation;
        }
        if (count > 2)
            m_wake.notify_all();
        else
            m_wake.notify_one();
        t_insidePass = true;
        claimItems(job, count);
        t_insidePass = false;
        std::unique_lock lock(m_mutex);
        m_open = false;
        m_done.wait(lock, [this] { return m_running == 0; });
        m_job = nullptr;
    }

private:
    void claimItems(const std::function<void(int)>& job, int count)
    {
        for (int i = m_nextItem.fetch_add(1, std::memory_order_relaxed); i < count;
             i = m_nextItem.fetch_add(1, std::memory_order_relaxed))
            job(i);
    }

    // `seen` is the pass count when the helper was made, so a pass handed
    // out before the thread first runs is not missed.
    void helperLoop(int index, uint64_t seen)
    {
        t_insidePass = true;
        for (;;) {
            const std::function<void(int)>* job = nullptr;
            int count = 0;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [&] { return m_stop || (m_generation != seen && index < m_count); });
                if (m_stop)
                    return;
                seen = m_generation;
                if (!m_open)
                    continue; // that pass has already finished
                ++m_running;
                job = m_job;
                count = m_count;
            }
            claimItems(*job, count);
            {
                std::lock_guard lock(m_mutex);
                if (--m_running == 0)
                    m_done.notify_one();
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::vector<std::thread> m_threads; // helper k is m_threads[k - 1]
    const std::function<void(int)>* m_job = nullptr;
    std::atomic<int> m_nextItem{0};
    uint64_t m_generation = 0;
    int m_count = 0;
    int m_running = 0;
    bool m_open = false;
    bool m_stop = false;
};

Pool& pool()
{
    static Pool instance;
    return instance;
}

std::mutex g_passMutex; // one pass at a time

} // namespace

void setPoolStartFailureForTest(int worker) { g_failingWorker = worker; }

int poolHelperCount()
{
    std::lock_guard pass(g_passMutex);
    return pool().helpers();
}

bool forkJoin(int workers, const std::function<void(int)>& work, const std::string& failureText)
{
    workers = std::clamp(workers, 1, kMaxPoolWorkers);
    const int failing = g_failingWorker.load();
    if (failing >= 0 && failing < workers) {
        notify("Quintell", failureText);
        return false;
    }
    // One worker, or a pass inside a pass: the calling thread runs it without
    // taking the pool, so a one-worker pass can itself start a pass.
    if (workers == 1 || t_insidePass) {
        for (int i = 0; i < workers; ++i)
            work(i);
        return true;
    }
    std::lock_guard pass(g_passMutex);
    Pool& p = pool();
    if (p.ensureHelpers(workers - 1) < workers - 1) {
        notify("Quintell", failureText);
        return false;
    }
    p.run(workers, work);
    return true;
}

bool forEachUnit(int workers, int units, const std::function<void(int, int)>& work, const std::string& failureText)
{
    workers = std::clamp(workers, 1, kMaxPoolWorkers);
    const int participants = std::clamp(units, 1, workers);
    std::atomic<int> next{0};
    return forkJoin(
        participants,
        [&](int slot) {
            for (int u = next.fetch_add(1, std::memory_order_relaxed); u < units;
                 u = next.fetch_add(1, std::memory_order_relaxed))
                work(slot, u);
        },
        failureText);
}

} // namespace vorn
