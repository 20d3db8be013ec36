#include "dv/CodecWorkers.h"

#include "foundation/Notifier.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vorn::dv {

namespace {

std::atomic<int> g_failingWorker{-1};

// Persistent helper threads in place of threads started per pass. Worker 0 of
// a pass runs on the calling thread, worker k normally on helper k; the pass
// returns only when every share has been run, so the join before each serial
// step is the same as with threads started per pass.
class WorkerPool {
public:
    ~WorkerPool()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (auto& t : m_threads)
            if (t.joinable())
                t.join();
    }

    // Makes sure helpers 1..count-1 exist; returns how many helpers are usable
    // (fewer when a thread could not be created).
    int ensureHelpers(int count)
    {
        while (static_cast<int>(m_threads.size()) + 1 < count) {
            int index = static_cast<int>(m_threads.size()) + 1;
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
        return static_cast<int>(m_threads.size()) + 1;
    }

    // Runs job(0) on the caller and job(1..count-1) on the helpers. A worker's
    // share is claimed under the lock by whoever gets to it first: when a helper
    // has not been scheduled yet by the time the caller has finished its own
    // share, the caller runs that share too. Shares and results are the same
    // either way; the caller returns when every claimed share has finished.
    void run(int count, const std::function<void(int)>* job, bool callerRuns)
    {
        {
            std::lock_guard lock(m_mutex);
            m_job = job;
            m_active = count;
            m_running = 0;
            for (int i = 0; i < kMaxWorkers; ++i)
                m_claimed[i] = false;
            m_claimed[0] = true;
            ++m_generation;
        }
        m_wake.notify_all();
        if (callerRuns)
            (*job)(0);
        for (;;) {
            int index = -1;
            {
                std::lock_guard lock(m_mutex);
                for (int i = 1; i < count && index < 0; ++i)
                    if (!m_claimed[i]) {
                        m_claimed[i] = true;
                        index = i;
                    }
            }
            if (index < 0)
                break;
            (*job)(index);
        }
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [this] { return m_running == 0; });
        m_job = nullptr;
    }

private:
    // `seen` is the pass count when the helper was made, so a pass handed out
    // before the thread first runs is not missed.
    void helperLoop(int index, uint64_t seen)
    {
        for (;;) {
            const std::function<void(int)>* job = nullptr;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [&] { return m_stop || m_generation != seen; });
                if (m_stop)
                    return;
                seen = m_generation;
                if (index >= m_active || m_claimed[index] || !m_job)
                    continue;
                m_claimed[index] = true;
                ++m_running;
                job = m_job;
            }
            (*job)(index);
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
    std::vector<std::thread> m_threads;
    const std::function<void(int)>* m_job = nullptr;
    uint64_t m_generation = 0;
    int m_active = 0;
    int m_running = 0;
    bool m_claimed[kMaxWorkers] = {};
    bool m_stop = false;
};

WorkerPool& pool()
{
    static WorkerPool instance;
    return instance;
}

std::mutex g_passMutex; // one pass at a time (the codec is used from one thread)

} // namespace

void setWorkerStartFailureForTest(int failingWorker) { g_failingWorker = failingWorker; }

bool runWorkers(int workers, const std::function<void(int)>& work, const std::string& failureText)
{
    workers = std::clamp(workers, 1, kMaxWorkers);
    std::lock_guard pass(g_passMutex);
    WorkerPool& p = pool();
    int usable = p.ensureHelpers(workers);
    int failing = g_failingWorker.load();
    int started = workers;
    if (usable < workers)
        started = usable;
    if (failing >= 0 && failing < started)
        started = failing;
    if (started < workers) {
        // Could not start every worker: let the ones that did start finish, then
        // report; the pass is incomplete and nothing keeps running.
        if (started > 1)
            p.run(started, &work, true);
        else if (started == 1)
            work(0);
        notify("Quintell", failureText);
        return false;
    }
    if (workers == 1) {
        work(0);
        return true;
    }
    p.run(workers, &work, true);
    return true;
}

bool runWorkersOrInline(int workers, const std::function<void(int)>& work, const std::string& failureText)
{
    if (workers < 2) {
        work(0);
        return true;
    }
    return runWorkers(workers, work, failureText);
}

} // namespace vorn::dv
