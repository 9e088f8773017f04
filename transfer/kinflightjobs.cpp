#include "transfer/kinflightjobs.h"

#include <QMutexLocker>

namespace {
QMutex mutex;
QSet<QString> paths;
} // namespace

bool KInflightJobs::claim(const QString& localPath)
{
    QMutexLocker lock(&mutex);
    if (paths.contains(localPath))
        return false;
    paths.insert(localPath);
    return true;
}

void KInflightJobs::release(const QString& localPath)
{
    QMutexLocker lock(&mutex);
    paths.remove(localPath);
}

bool KInflightJobs::claimBoth(const QString& localPath, const QString& serverPath)
{
    QMutexLocker lock(&mutex);
    if (paths.contains(localPath) || paths.contains(serverPath))
        return false;
    paths.insert(localPath);
    paths.insert(serverPath);
    return true;
}

void KInflightJobs::releaseBoth(const QString& localPath, const QString& serverPath)
{
    QMutexLocker lock(&mutex);
    paths.remove(localPath);
    paths.remove(serverPath);
}

bool KInflightJobs::contains(const QString& localPath)
{
    QMutexLocker lock(&mutex);
    return paths.contains(localPath);
}

int KInflightJobs::count()
{
    QMutexLocker lock(&mutex);
    return paths.size();
}

void KInflightJobs::clear()
{
    QMutexLocker lock(&mutex);
    paths.clear();
}
