#include "transfer/kdownloadpool.h"

#include "sync/kpairstates.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"
#include "transfer/kinflightjobs.h"

#include <QNetworkAccessManager>

KDownloadPool::KDownloadPool(QNetworkAccessManager* manager, KFileSyncDatabase* store, int size, QObject* parent)
    : QObject(parent)
{
    for (int i = 0; i < qMax(1, size); ++i) {
        transfers.push_back(std::make_unique<KDownloadTransfer>(managerFor(i, manager), store));
        connect(transfers.back().get(), &KDownloadTransfer::ended, this, &KDownloadPool::startWaiting,
                Qt::QueuedConnection);
        if (i > 0)
            speakThroughFirst(transfers.back().get());
    }
}

KDownloadPool::~KDownloadPool() = default;

// A manager opens at most six connections to one server; each further six
// transfers get a manager of their own, so none waits for a connection.
QNetworkAccessManager* KDownloadPool::managerFor(int index, QNetworkAccessManager* shared)
{
    if (index < ConnectionsPerManager)
        return shared;
    if (index % ConnectionsPerManager == 0)
        managers.push_back(std::make_unique<QNetworkAccessManager>());
    return managers.back().get();
}

void KDownloadPool::speakThroughFirst(KDownloadTransfer* transfer)
{
    KDownloadTransfer* voice = first();
    connect(transfer, &KDownloadTransfer::refreshProgress, voice, &KDownloadTransfer::refreshProgress);
    connect(transfer, &KDownloadTransfer::deleteFileItem, voice, &KDownloadTransfer::deleteFileItem);
    connect(transfer, &KDownloadTransfer::failFileItem, voice, &KDownloadTransfer::failFileItem);
    connect(transfer, &KDownloadTransfer::passWanted, voice, &KDownloadTransfer::passWanted);
}

int KDownloadPool::running() const
{
    return int(std::count_if(transfers.begin(), transfers.end(), [](const auto& t) { return t->isRunning(); }));
}

void KDownloadPool::abort()
{
    // A job that waits here was handed over: it gives back what it holds.
    for (const KDownloadInfo& job : qAsConst(waiting)) {
        KInflightJobs::releaseBoth(job.localPath, job.serverPath);
        KPairStates::instance().jobEnded(job.pairId, KDownloadTransfer::DownloadType, QStringLiteral("interrupted"));
        KDownloadManager::transferEnded();
    }
    waiting.clear();
    for (const auto& transfer : transfers)
        transfer->abort();
}

// A hand-over that finds every transfer busy (an end still on its way)
// waits here for the next free one instead of being lost.
void KDownloadPool::download(const KDownloadInfo& job)
{
    for (const auto& transfer : transfers) {
        if (!transfer->isRunning())
            return transfer->download(job);
    }
    waiting.append(job);
}

void KDownloadPool::startWaiting()
{
    while (!waiting.isEmpty() && running() < size())
        download(waiting.takeFirst());
}
