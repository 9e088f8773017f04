#include "app/kerrormap.h"

#include <QMutexLocker>

void KErrorMap::replace(const QString& localPath, const QStringList& row)
{
    QMutexLocker lock(&mutex);
    entries.remove(localPath);
    entries.insert(localPath, row);
}

void KErrorMap::remove(const QString& localPath)
{
    QMutexLocker lock(&mutex);
    entries.remove(localPath);
}

int KErrorMap::size() const
{
    QMutexLocker lock(&mutex);
    return entries.size();
}

QList<QStringList> KErrorMap::rows() const
{
    QMutexLocker lock(&mutex);
    return entries.values();
}

QMap<QString, QStringList> KErrorMap::snapshot() const
{
    QMutexLocker lock(&mutex);
    return entries;
}

void KErrorMap::clear()
{
    QMutexLocker lock(&mutex);
    entries.clear();
}
