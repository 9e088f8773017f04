#include "sync/kfilesynconcemanager.h"

KJobQueue<KSyncConfigItem> KFileSyncOnceManager::configItemQueue;

KFileSyncOnceManager::KFileSyncOnceManager()
    : QThread(nullptr)
{
}
