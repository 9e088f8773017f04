#include "sync/kpairlock.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex registryMutex;
QHash<QString, std::weak_ptr<QMutex>> registry;

std::shared_ptr<QMutex> mutexOf(const QString& pairId)
{
    QMutexLocker lock(&registryMutex);
    std::shared_ptr<QMutex> mutex = registry.value(pairId).lock();
    if (!mutex) {
        mutex = std::make_shared<QMutex>();
        registry.insert(pairId, mutex);
    }
    return mutex;
}

} // namespace

KPairLock::KPairLock(const QString& pairId)
    : mutex(mutexOf(pairId))
{
    mutex->lock();
}

KPairLock::~KPairLock()
{
    mutex->unlock();
}
