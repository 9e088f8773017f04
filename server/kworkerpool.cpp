#include "server/kworkerpool.h"

#include <algorithm>
#include <chrono>

KWorkerPool::KWorkerPool(int base, int max, int idleMs)
    : base(base)
    , max(std::max(base, max))
    , idleMs(idleMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < base; ++i)
        startWorker();
}

KWorkerPool::~KWorkerPool()
{
    shutdown();
}

int KWorkerPool::workers() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

void KWorkerPool::enqueue(std::function<void()> job)
{
    joinRetired();
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(std::move(job));
        // Every free worker is already spoken for by a job waiting before
        // this one: this job needs a worker of its own.
        if (free < int(jobs.size()) && running < max)
            startWorker();
    }
    wake.notify_one();
}

void KWorkerPool::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
    }
    wake.notify_all();
    std::list<std::thread> all;
    {
        std::lock_guard<std::mutex> lock(mutex);
        all.swap(threads);
    }
    for (std::thread& thread : all) {
        if (thread.joinable())
            thread.join();
    }
}

// Under the lock.
void KWorkerPool::startWorker()
{
    ++running;
    threads.emplace_back(&KWorkerPool::work, this);
}

void KWorkerPool::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        ++free;
        const bool woken = wake.wait_for(lock, std::chrono::milliseconds(idleMs), [this] { return !jobs.empty() || closing; });
        --free;
        if (jobs.empty() && (closing || (!woken && retire())))
            break;
        if (jobs.empty())
            continue;
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
    --running;
}

// Under the lock: a worker beyond the base that waited in vain ends; its
// thread is joined by the next enqueue (a thread cannot join itself).
bool KWorkerPool::retire()
{
    if (running <= base)
        return false;
    retired.push_back(std::this_thread::get_id());
    return true;
}

void KWorkerPool::joinRetired()
{
    std::list<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = threads.begin(); it != threads.end();) {
            const bool done = std::find(retired.begin(), retired.end(), it->get_id()) != retired.end();
            if (done)
                ended.splice(ended.end(), threads, it++);
            else
                ++it;
        }
        retired.clear();
    }
    for (std::thread& thread : ended)
        thread.join();
}
