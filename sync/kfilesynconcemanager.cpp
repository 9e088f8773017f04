#include "sync/kfilesynconcemanager.h"

#include "app/klog.h"
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

void KFileSyncOnceManager::syncRecord(const KSyncConfigItem& item)
{
    if (!KFileSyncManager::pairIsReady(item.localPath, item.spacePath))
        return;
    KFileSyncManager::syncDir(item.localPath, item.spacePath, item.status, item.ignoreType, item.syncType);
    KLog::info2(QStringLiteral("一次性同步文件夹开始"), item.localPath, item.spacePath);
}
