#pragma once

#include "sync/kpassrequest.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <functional>

// Passes waiting to run, one per pair at most: a request for a pair that
// already waits is merged into the waiting one, so a flood of changes costs
// one pass. Thread-safe; first come, first served.
class KPassQueue
{
public:
    // Called after every request, outside the lock: wakes the thread that runs passes.
    void setWakeUp(std::function<void()> wakeUp);
    void request(const KPassRequest& request);
    bool take(KPassRequest& request);
    bool isWaiting(const QString& pairId) const;
    int size() const;
    void clear();

private:
    mutable QMutex mutex;
    QList<KPassRequest> waiting;
    std::function<void()> wake;
};
