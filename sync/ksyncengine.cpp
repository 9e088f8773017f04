#include "sync/ksyncengine.h"

#include "store/kfilesyncdatabase.h"
#include "store/ktransfersettings.h"
#include "sync/kdeletionanswer.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/kpairwatching.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadpool.h"
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
    , pool(std::make_unique<KDownloadPool>(downloadNetwork, store, KTransferSettings::downloadJobs()))
    , uploads(std::make_unique<KUploadManager>())
    , downloads(std::make_unique<KDownloadManager>())
    , periodic(std::make_unique<KFileSyncManager>())
    , once(std::make_unique<KFileSyncOnceManager>())
    , watchers(std::make_unique<KPairWatching>())
{
    qRegisterMetaType<KDownloadInfo>();
    KDownloadManager::MaxRunning = pool->size();
    const int uploadJobs = KTransferSettings::uploadJobs();
    const int parts = KTransferSettings::partsInFlight(uploadJobs);
    uploads->setPartsInFlight(parts);
    addUploadHelpers(uploadJobs - 1, parts);
    connect(downloads.get(), &KDownloadManager::handOver, pool.get(), &KDownloadPool::download);
    connect(downloadTransfer(), &KDownloadTransfer::passWanted, this, &KSyncEngine::requestPass);
}

KDownloadTransfer* KSyncEngine::downloadTransfer() const
{
    return pool->first();
}

// Helpers take jobs from the same queue; what they report comes out of the
// upload thread's own signals, so its listeners hear every job.
void KSyncEngine::addUploadHelpers(int count, int partsInFlight)
{
    for (int i = 0; i < count; ++i) {
        uploadHelpers.push_back(std::make_unique<KUploadManager>());
        KUploadManager* helper = uploadHelpers.back().get();
        helper->setPartsInFlight(partsInFlight);
        connect(helper, &KUploadManager::sendrefreshProgress, uploads.get(), &KUploadManager::sendrefreshProgress);
        connect(helper, &KUploadManager::deleteFileItem, uploads.get(), &KUploadManager::deleteFileItem);
        connect(helper, &KUploadManager::failFileItem, uploads.get(), &KUploadManager::failFileItem);
    }
}

// A pass of the pair on the one-time thread, unless the pair is gone or paused.
void KSyncEngine::requestPass(const QString& pairId)
{
    KFileSyncOnceManager::passQueue.request(KPassRequest::whole(pairId));
}

void KSyncEngine::answerDeletions(const QString& pairId, bool confirmed)
{
    const KPassRequest request = confirmed ? KDeletionAnswer::confirm(pairId) : KDeletionAnswer::refuse(pairId);
    if (!request.pairId.isEmpty())
        KFileSyncOnceManager::passQueue.request(request);
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
    watchers->start();
}

void KSyncEngine::startLive(const QStringList& pairIds)
{
    startTransfers();
    if (once->isRunning())
        return;
    once->start(QThread::InheritPriority);
    watchers->restrictTo(pairIds);
    watchers->start();
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
    for (const auto& helper : uploadHelpers)
        helper->start(QThread::InheritPriority);
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
    watchers->stop();
    once->stop();
    periodic->stop();
    release(once);
    release(periodic);
}

void KSyncEngine::stopTransferThreads()
{
    disconnect(downloads.get(), nullptr, pool.get(), nullptr);
    uploads->requestInterruption();
    for (const auto& helper : uploadHelpers)
        helper->requestInterruption();
    KUploadManager::uploadQueue.wake();
    downloads->requestInterruption();
    KDownloadManager::downloadQueue.wake();
    release(uploads);
    for (auto& helper : uploadHelpers)
        release(helper);
    release(downloads);
    pool->abort();
}

void KSyncEngine::releaseStatics()
{
    if (KUploadManager::uploadManager == uploads.get())
        KUploadManager::uploadManager = nullptr;
    if (KDownloadManager::downloadManager == downloads.get())
        KDownloadManager::downloadManager = nullptr;
}
