#pragma once

#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class KDownloadManager;
class KDownloadPool;
class KDownloadTransfer;
class KFileSyncDatabase;
class KFileSyncManager;
class KFileSyncOnceManager;
class KPairWatching;
class KUploadManager;
class QNetworkAccessManager;

// The sync engine without a window: the upload, download, periodic and
// one-time sync threads and the download transfers that run on the owner's
// thread. Several uploads and downloads may run at once (KTransferSettings):
// the upload thread then has helpers that take jobs from the same queue and
// speak through it, and the first download transfer speaks for the others. Everything a thread can reach exists before the first thread
// starts; stopping goes in the reverse order of reach (the sync threads that
// queue jobs first, then the transfer threads, then the running download), so
// no thread ever touches an object that is already gone.
class KSyncEngine : public QObject
{
    Q_OBJECT
public:
    // Downloads run on the calling thread with this manager and store; both
    // stay the caller's and must outlive the engine.
    KSyncEngine(QNetworkAccessManager* downloadNetwork, KFileSyncDatabase* store, QObject* parent = nullptr);
    ~KSyncEngine() override;

    // Upload, download, periodic and one-time threads, in that order, then
    // the watching of the pairs.
    void start();
    // Only the upload and download threads: the caller runs the passes
    // itself (KFileSyncManager::syncPair on a thread of its own).
    void startTransfers();
    // With the transfers running: these pairs watched on both sides, their
    // changes passed on the one-time thread.
    void startLive(const QStringList& pairIds);
    // Returns once every thread has ended: a comparison stops between two
    // files, a request waiting for a server is aborted, an upload stops
    // after its current part, the running download is cut (its partial file
    // stays for the next start).
    void stop();
    bool isRunning() const { return running; }

    KUploadManager* uploadThread() const { return uploads.get(); }
    KDownloadManager* downloadThread() const { return downloads.get(); }
    KFileSyncManager* periodicThread() const { return periodic.get(); }
    KFileSyncOnceManager* onceThread() const { return once.get(); }
    // The pairs' local trees and server folders, watched while the engine runs.
    KPairWatching* watching() const { return watchers.get(); }
    KDownloadTransfer* downloadTransfer() const;
    KDownloadPool* downloadPool() const { return pool.get(); }
    int uploadJobs() const { return 1 + int(uploadHelpers.size()); }

    // Longest wait for one thread to end before it is left to the process.
    static const int ThreadEndMs = 10000;

public slots:
    // Queues a pass of one stored pair on the one-time thread.
    void requestPass(const QString& pairId);
    // The user's word on deletions a pass held back: carried out, or the
    // files brought back from the side that still has them.
    void answerDeletions(const QString& pairId, bool confirmed);

private:
    void addUploadHelpers(int count, int partsInFlight);
    void stopSyncThreads();
    void stopTransferThreads();
    void releaseStatics();

    KFileSyncDatabase* store;
    std::unique_ptr<KDownloadPool> pool;
    std::unique_ptr<KUploadManager> uploads;
    std::vector<std::unique_ptr<KUploadManager>> uploadHelpers;
    std::unique_ptr<KDownloadManager> downloads;
    std::unique_ptr<KFileSyncManager> periodic;
    std::unique_ptr<KFileSyncOnceManager> once;
    std::unique_ptr<KPairWatching> watchers;
    bool running = false;
};
