#include "server/kmd5pipeline.h"

#include "app/kmd5.h"

KMd5Pipeline::KMd5Pipeline(KMd5& md5)
    : md5(md5)
    , worker(&KMd5Pipeline::run, this)
{
}

KMd5Pipeline::~KMd5Pipeline()
{
    finish();
}

void KMd5Pipeline::push(const QByteArray& block)
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return waiting.size() < MaxWaiting; });
    waiting.push_back(block);
    changed.notify_all();
}

void KMd5Pipeline::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
    }
    changed.notify_all();
    if (worker.joinable())
        worker.join();
}

void KMd5Pipeline::run()
{
    for (;;) {
        QByteArray block;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return !waiting.empty() || closing; });
            if (waiting.empty())
                return;
            block = waiting.front();
            waiting.pop_front();
        }
        changed.notify_all();
        md5.add(block);
    }
}
