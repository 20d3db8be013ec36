#include "foundation/Notifier.h"

#include <cstdio>
#include <mutex>

namespace vorn {
namespace {
std::mutex g_mutex;
NotifyHandler g_handler;
} // namespace

void notify(const std::string& title, const std::string& text)
{
    NotifyHandler handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    if (handler) {
        handler(title, text);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    std::fflush(stderr);
}

NotifyHandler setNotifyHandler(NotifyHandler handler)
{
    std::lock_guard lock(g_mutex);
    NotifyHandler old = std::move(g_handler);
    g_handler = std::move(handler);
    return old;
}

} // namespace vorn
