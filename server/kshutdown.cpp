#include "server/kshutdown.h"

#include <chrono>

void KShutdown::request()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping.store(true);
    }
    changed.notify_all();
}

bool KShutdown::sleepFor(int ms) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping.load(); });
}
