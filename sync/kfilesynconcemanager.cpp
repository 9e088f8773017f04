#include "sync/kfilesynconcemanager.h"

#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kpairstates.h"

#include <QDebug>

KJobQueue<KSyncConfigItem> KFileSyncOnceManager::configItemQueue;
KPassQueue KFileSyncOnceManager::passQueue;

KFileSyncOnceManager::KFileSyncOnceManager()
    : QThread(nullptr)
{
    passQueue.setWakeUp([] { configItemQueue.wake(); });
}

void KFileSyncOnceManager::stop()
{
    requestInterruption();
    configItemQueue.wake();
}

void KFileSyncOnceManager::run()
{
    qInfo() << QStringLiteral("一次性同步文件夹开始");
    while (!isInterruptionRequested()) {
        const quint64 seen = configItemQueue.generation();
        if (!takeAndRun())
            configItemQueue.waitForChange(seen, pollMs);
    }
}

bool KFileSyncOnceManager::takeAndRun()
{
    KSyncConfigItem item;
    if (configItemQueue.takeFirst(item)) {
        syncRecord(item);
        return true;
    }
    KPassRequest request;
    if (!passQueue.take(request))
        return false;
    runRequest(request);
    return true;
}

// A pair that is gone, paused or not reachable gets no pass; one whose
// deletions wait for the user gets only the pass that answers them.
void KFileSyncOnceManager::runRequest(const KPassRequest& request)
{
    const QStringList row = KFileSyncDatabase().getSyncConfigById(request.pairId);
    if (row.size() < 6 || KFileSyncDatabase::isPaused(row))
        return;
    const bool held = !KPairStates::instance().state(request.pairId).pending.isEmpty();
    if (held && request.confirmedDeletions.isEmpty())
        return;
    if (!KFileSyncManager::pairIsReady(row[1], row[2]))
        return;
    KFileSyncManager::syncPair(row[0], row[1], row[2], row[5], request);
}

bool KFileSyncOnceManager::isCurrent(const KSyncConfigItem& item, const QStringList& row)
{
    return row.size() >= 6 && row[0] == item.id && row[1] == item.localPath && row[2] == item.spacePath
           && row[3] == item.status && row[4] == item.ignoreType && row[5] == item.syncType;
}

void KFileSyncOnceManager::syncRecord(const KSyncConfigItem& item)
{
    const QStringList row = KFileSyncDatabase().getSyncConfigById(item.id);
    if (!isCurrent(item, row)) {
        KLog::info2(QStringLiteral("同步文件夹已删除或已修改"), item.localPath, item.spacePath);
        return;
    }
    if (KFileSyncDatabase::isPaused(row))
        return;
    if (!KFileSyncManager::pairIsReady(item.localPath, item.spacePath))
        return;
    KFileSyncManager::syncPair(item.id, item.localPath, item.spacePath, item.syncType);
    KLog::info2(QStringLiteral("一次性同步文件夹开始"), item.localPath, item.spacePath);
}
