#pragma once

#include <QString>

#include <memory>

class QMutex;

// One pass of a pair at a time, whichever thread runs it (the periodic
// thread, the one-time thread, a command's own): two passes of one pair
// side by side would both see a conflict and both move the file aside.
class KPairLock
{
public:
    explicit KPairLock(const QString& pairId);
    ~KPairLock();
    KPairLock(const KPairLock&) = delete;
    KPairLock& operator=(const KPairLock&) = delete;

private:
    std::shared_ptr<QMutex> mutex;
};
