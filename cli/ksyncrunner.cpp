#include "cli/ksyncrunner.h"

#include "store/ksyncconflicts.h"
#include "sync/kfilesyncmanager.h"
#include "sync/ksyncengine.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"
#include "transfer/kuploadmanager.h"

#include <QThread>

namespace {

QStringList copiesOf(const QList<KConflict>& conflicts)
{
    QStringList copies;
    for (const KConflict& conflict : conflicts)
        copies << conflict.copyRelPath;
    return copies;
}

} // namespace

KSyncRunner::KSyncRunner(KSyncEngine* engine, QObject* parent)
    : QObject(parent)
    , engine(engine)
{
    connectEngine();
}

KSyncRunner::~KSyncRunner()
{
    stop();
}

// The transfer threads emit from their own threads: the slots run queued,
// here, in the order the signals were sent.
void KSyncRunner::connectEngine()
{
    KUploadManager* uploads = engine->uploadThread();
    connect(uploads, &KUploadManager::addFileItem, this, &KSyncRunner::onQueued);
    connect(uploads, &KUploadManager::sendrefreshProgress, this, &KSyncRunner::onProgress);
    connect(uploads, &KUploadManager::failFileItem, this, &KSyncRunner::onFailed);
    connect(uploads, &KUploadManager::deleteFileItem, this, &KSyncRunner::onEnded);
    KDownloadManager* downloads = engine->downloadThread();
    connect(downloads, &KDownloadManager::addFileItem, this, &KSyncRunner::onQueued);
    connect(downloads, &KDownloadManager::sendrefreshProgress, this, &KSyncRunner::onProgress);
    connect(downloads, &KDownloadManager::failFileItem, this, &KSyncRunner::onFailed);
    connect(downloads, &KDownloadManager::deleteFileItem, this, &KSyncRunner::onEnded);
    KDownloadTransfer* transfer = engine->downloadTransfer();
    connect(transfer, &KDownloadTransfer::refreshProgress, this, &KSyncRunner::onProgress);
    connect(transfer, &KDownloadTransfer::failFileItem, this, &KSyncRunner::onFailed);
    connect(transfer, &KDownloadTransfer::deleteFileItem, this, &KSyncRunner::onEnded);
}

void KSyncRunner::startPasses(const QList<Pair>& pairs)
{
    if (passesRunning())
        return;
    engine->startTransfers();
    if (passThread)
        passThread->wait();
    passing = true;
    passThread.reset(QThread::create([this, pairs] { runPasses(pairs); }));
    // Every job a pass queued was announced before the thread ended, so its
    // end reaches this thread after those announcements.
    connect(passThread.get(), &QThread::finished, this, &KSyncRunner::onPassesReturned);
    passThread->start();
}


// On the pass thread.
void KSyncRunner::runPasses(const QList<Pair>& pairs)
{
    for (const Pair& pair : pairs) {
        if (QThread::currentThread()->isInterruptionRequested())
            return;
        const QStringList before = copiesOf(KSyncConflicts::ofPair(pair.id));
        const bool finished = KFileSyncManager::syncPair(pair.id, pair.localPath, pair.spacePath, pair.syncType);
        reportConflicts(pair, before);
        emit passEnded(pair.id, finished && !QThread::currentThread()->isInterruptionRequested());
    }
}

void KSyncRunner::reportConflicts(const Pair& pair, const QStringList& before)
{
    for (const KConflict& conflict : KSyncConflicts::current(pair.id, pair.localPath)) {
        if (!before.contains(conflict.copyRelPath))
            emit this->conflict(pair.id, pair.localPath, conflict.relPath, conflict.copyRelPath);
    }
}

void KSyncRunner::stop()
{
    if (passThread) {
        passThread->requestInterruption();
        passThread->wait();
    }
    engine->stop();
}

void KSyncRunner::onQueued(int type, const QString& localPath, const QString& serverPath, qint64 size)
{
    counts.queued(type, localPath, size);
    emit queued(type, localPath, serverPath, size);
}

void KSyncRunner::onProgress(int type, const QString& localPath, int percent)
{
    counts.progressed(type, localPath, percent);
}

void KSyncRunner::onFailed(int type, const QString& localPath, const QString& reason)
{
    counts.failed(type, localPath, reason);
}

void KSyncRunner::onEnded(int type, const QString& localPath)
{
    const bool failed = counts.ended(type, localPath);
    emit ended(type, localPath, failed, failed ? counts.failureList().constLast().reason : QString());
    checkIdle();
}

void KSyncRunner::onPassesReturned()
{
    passing = false;
    checkIdle();
}

void KSyncRunner::checkIdle()
{
    if (isIdle())
        emit idle();
}
