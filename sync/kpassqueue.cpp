#include "sync/kpassqueue.h"

#include <QMutexLocker>

void KPassQueue::setWakeUp(std::function<void()> wakeUp)
{
    QMutexLocker lock(&mutex);
    wake = std::move(wakeUp);
}

void KPassQueue::request(const KPassRequest& request)
{
    std::function<void()> wakeUp;
    {
        QMutexLocker lock(&mutex);
        wakeUp = wake;
        auto same = std::find_if(waiting.begin(), waiting.end(),
                                 [&request](const KPassRequest& w) { return w.pairId == request.pairId; });
        if (same != waiting.end())
            same->merge(request);
        else
            waiting.append(request);
    }
    if (wakeUp)
        wakeUp();
}

bool KPassQueue::take(KPassRequest& request)
{
    QMutexLocker lock(&mutex);
    if (waiting.isEmpty())
        return false;
    request = waiting.takeFirst();
    return true;
}

bool KPassQueue::isWaiting(const QString& pairId) const
{
    QMutexLocker lock(&mutex);
    return std::any_of(waiting.begin(), waiting.end(), [&pairId](const KPassRequest& w) { return w.pairId == pairId; });
}

int KPassQueue::size() const
{
    QMutexLocker lock(&mutex);
    return waiting.size();
}

void KPassQueue::clear()
{
    QMutexLocker lock(&mutex);
    waiting.clear();
}
