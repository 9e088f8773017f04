#include "sync/kfilesynconcemanager.h"

#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"

#include <QDebug>

KJobQueue<KSyncConfigItem> KFileSyncOnceManager::configItemQueue;

KFileSyncOnceManager::KFileSyncOnceManager()
    : QThread(nullptr)
{
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
        KSyncConfigItem item;
        if (configItemQueue.takeOrWait(item, pollMs))
            syncRecord(item);
    }
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
