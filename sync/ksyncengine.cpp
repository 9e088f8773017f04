#include "sync/ksyncengine.h"

#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfilesynconcemanager.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"
#include "transfer/kuploadmanager.h"

#include <QCoreApplication>

namespace {

// A thread stuck past the limit (a hung file system) is left running rather
// than deleted under its own feet.
template <typename Thread>
void release(std::unique_ptr<Thread>& thread)
{
    if (thread->isRunning() && !thread->wait(KSyncEngine::ThreadEndMs))
        (void)thread.release();
}

} // namespace

KSyncEngine::KSyncEngine(QNetworkAccessManager* downloadNetwork, KFileSyncDatabase* store, QObject* parent)
    : QObject(parent)
    , store(store)
    , transfer(std::make_unique<KDownloadTransfer>(downloadNetwork, store))
    , uploads(std::make_unique<KUploadManager>())
    , downloads(std::make_unique<KDownloadManager>())
    , periodic(std::make_unique<KFileSyncManager>())
    , once(std::make_unique<KFileSyncOnceManager>())
{
    qRegisterMetaType<KDownloadInfo>();
    connect(downloads.get(), &KDownloadManager::handOver, transfer.get(), &KDownloadTransfer::download);
    connect(transfer.get(), &KDownloadTransfer::passWanted, this, &KSyncEngine::requestPass);
}

// A pass of the pair on the one-time thread, unless the pair is gone or paused.
void KSyncEngine::requestPass(const QString& pairId)
{
    const QStringList row = store->getSyncConfigById(pairId);
    if (row.size() < 6 || KFileSyncDatabase::isPaused(row))
        return;
    KFileSyncOnceManager::configItemQueue.append({row[0], row[1], row[2], row[4], row[3], row[5]});
}

KSyncEngine::~KSyncEngine()
{
    stop();
}

void KSyncEngine::start()
{
    if (running)
        return;
    startTransfers();
    periodic->start(QThread::InheritPriority);
    once->start(QThread::InheritPriority);
}

void KSyncEngine::startTransfers()
{
    if (running)
        return;
    running = true;
    KUploadManager::uploadManager = uploads.get();
    KDownloadManager::downloadManager = downloads.get();
    uploads->start(QThread::InheritPriority);
    uploads->moveToThread(QCoreApplication::instance()->thread());
    downloads->start(QThread::InheritPriority);
}

void KSyncEngine::stop()
{
    if (!running)
        return;
    running = false;
    stopSyncThreads();
    stopTransferThreads();
    releaseStatics();
}

// They queue jobs through the transfer threads' statics, so they go first.
void KSyncEngine::stopSyncThreads()
{
    once->stop();
    periodic->stop();
    release(once);
    release(periodic);
}

void KSyncEngine::stopTransferThreads()
{
    disconnect(downloads.get(), nullptr, transfer.get(), nullptr);
    uploads->requestInterruption();
    KUploadManager::uploadQueue.wake();
    downloads->requestInterruption();
    KDownloadManager::downloadQueue.wake();
    release(uploads);
    release(downloads);
    transfer->abort();
}

void KSyncEngine::releaseStatics()
{
    if (KUploadManager::uploadManager == uploads.get())
        KUploadManager::uploadManager = nullptr;
    if (KDownloadManager::downloadManager == downloads.get())
        KDownloadManager::downloadManager = nullptr;
}
