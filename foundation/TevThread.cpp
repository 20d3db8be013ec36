#include "foundation/TevThread.h"

#include "foundation/Log.h"

#include <system_error>

CTevThread::~CTevThread()
{
    if (m_thread.joinable())
        m_thread.detach();
}

void CTevThread::baseThreadFunction(StartFunction function, uintptr_t arg1, uintptr_t arg2)
{
    if (!function) {
        log(LOG_ERROR, "CTevThread::BaseThreadFunction", "");
        return;
    }
    function(arg1, arg2);
}

bool CTevThread::start(StartFunction function, uintptr_t arg1, uintptr_t arg2)
{
    m_function = function;
    m_arg1 = arg1;
    m_arg2 = arg2;
    if (m_thread.joinable())
        m_thread.detach();
    try {
        // The thread gets copies of function and arguments, so it never
        // touches this object and may outlive it.
        m_thread = std::thread(baseThreadFunction, function, arg1, arg2);
    } catch (const std::system_error&) {
        return false;
    }
    m_threadId = m_thread.get_id();
    return true;
}

void CTevThread::join()
{
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}
