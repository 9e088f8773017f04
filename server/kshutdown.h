#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

// The server's stop as long-running work sees it: a flag to check between
// steps (hashing a large file, streaming a download) and waits that end as
// soon as it is set, so a stop never waits for work that could run for
// minutes.
class KShutdown
{
public:
    void request();
    bool requested() const { return stopping.load(); }
    // Waits up to `ms`; false when the stop cut the wait short.
    bool sleepFor(int ms) const;

private:
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
};
