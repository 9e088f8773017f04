#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

// The HTTP library's task queue, grown on demand. Each job serves one
// connection for as long as it stays open, a kept-alive idle one included,
// so a fixed pool lets idle connections starve new requests. Here `base`
// workers always wait for jobs; a job that finds none free starts another
// worker, up to `max`, and a worker beyond the base ends once it has had
// nothing to do for `idleMs`. Only past `max` do jobs queue.
class KWorkerPool : public httplib::TaskQueue
{
public:
    static constexpr int DefaultIdleMs = 10000;

    KWorkerPool(int base, int max, int idleMs = DefaultIdleMs);
    ~KWorkerPool() override;
    KWorkerPool(const KWorkerPool&) = delete;
    KWorkerPool& operator=(const KWorkerPool&) = delete;

    void enqueue(std::function<void()> job) override;
    // Runs the jobs still queued, then joins every worker.
    void shutdown() override;

    int workers() const;

private:
    void work();
    bool retire();
    void startWorker();
    void joinRetired();

    const int base;
    const int max;
    const int idleMs;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    std::list<std::thread> threads;
    std::vector<std::thread::id> retired; // ended workers not joined yet
    int running = 0;
    int free = 0;
    bool closing = false;
};
