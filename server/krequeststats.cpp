#include "server/krequeststats.h"

#include <QMutexLocker>

void KRequestStats::add(const QString& name, qint64 amount)
{
    QMutexLocker lock(&mutex);
    counters[name] += amount;
}

qint64 KRequestStats::value(const QString& name) const
{
    QMutexLocker lock(&mutex);
    return counters.value(name);
}

QJsonObject KRequestStats::snapshot() const
{
    QMutexLocker lock(&mutex);
    QJsonObject all;
    for (auto it = counters.cbegin(); it != counters.cend(); ++it)
        all.insert(it.key(), double(it.value()));
    return all;
}

void KRequestStats::reset()
{
    QMutexLocker lock(&mutex);
    counters.clear();
}
