// A worker-thread object: starts one function with two arguments on its own thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>

class CTevThread {
public:
    // The start function; arguments are pointer-sized so an object address fits.
    using StartFunction = void (*)(uintptr_t arg1, uintptr_t arg2);

    CTevThread() = default;
    // A thread still running is left to run to its end (it does not use this object).
    ~CTevThread();
    CTevThread(const CTevThread&) = delete;
    CTevThread& operator=(const CTevThread&) = delete;

    // Starts a thread that calls function(arg1, arg2). Returns false when the
    // thread cannot be created. A missing function is logged (ERROR
    // "CTevThread::BaseThreadFunction") by the new thread, which then ends.
    // A thread started earlier by this object is left to run on its own.
    bool start(StartFunction function, uintptr_t arg1, uintptr_t arg2);

    // Waits until the started thread has ended (nothing to do when none was
    // started or it was already joined). An addition for callers that need to
    // wait, such as the command-line export; the base object never waits itself.
    void join();

    // The lock for whoever shares data with the thread; the object never takes it.
    std::mutex& mutex() { return m_mutex; }
    std::thread::id threadId() const { return m_threadId; }

private:
    static void baseThreadFunction(StartFunction function, uintptr_t arg1, uintptr_t arg2);

    std::mutex m_mutex;
    std::thread m_thread;
    std::thread::id m_threadId;
    StartFunction m_function = nullptr;
    uintptr_t m_arg1 = 0;
    uintptr_t m_arg2 = 0;
};
