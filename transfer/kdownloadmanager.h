#pragma once

#include "app/kjobqueue.h"
#include "transfer/kdownloadinfo.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class KFileSyncDatabase;

// The download thread: takes one job at a time, checks it against the
// server and hands it to the GUI thread (the downloadFile signal), then waits
// until KConstant::IsDownloading is cleared before it takes the next.
class KDownloadManager : public QThread
{
    Q_OBJECT
public:
    KDownloadManager();
    ~KDownloadManager() override;

    static const int MAX_SIZE;
    static const int BUFF_SIZE;
    static KJobQueue<KDownloadInfo> downloadQueue;
    static KDownloadManager* downloadManager;
    // Downloads that may run at once; KConstant::IsDownloading is set while
    // that many are handed over and not ended (with one, exactly while one runs).
    static std::atomic_int MaxRunning;
    // A handed-over download ended (the transfer calls it): a place is free.
    static void transferEnded();

    // What the server says about one job's file.
    struct ServerVersion
    {
        qint64 size = 0;
        QString dataHash;
        qint64 version = 0;
        qint64 timeMs = 0;
    };

    // Queues a job (waking the thread) and adds its transfer row; false
    // (nothing queued) while the same local path has a job waiting or running.
    static bool enqueue(const KDownloadInfo& job);
    // Checks one job and, when it passes, hands it over for download.
    void downloadFile(KDownloadInfo job);
    // The expected size and hash from a "kgetnodes" answer: an empty answer
    // means size 0; none when it does not name exactly one node. Throws
    // what the answer reader throws.
    static std::optional<ServerVersion> serverVersionOf(const QString& answer);

    // Upper bound of a sleep between two looks at the queue and the flag.
    static constexpr int PollIntervalMs = 3000;
    void setPollIntervalForTesting(int ms);
    // Ends the loop after the current job; the program itself never does.
    void stop();

signals:
    void sendrefreshProgress(int type, QString localPath, int percent, QString speed, QString progress);
    void addFileItem(int type, QString localPath, QString serverPath, qint64 filesize);
    void deleteFileItem(int type, QString localPath);
    // A job that could not be handed over; deleteFileItem follows.
    void failFileItem(int type, QString localPath, QString reason);
    void downloadFile(QString localpath, QString serverpath, qint64 filesize, QString datahash);
    // The same hand-over with everything the job knows (pair, journal path,
    // version, the local file it may replace).
    void handOver(KDownloadInfo job);

protected:
    void run() override;

private:
    bool takeNextJob(KDownloadInfo& job);
    QList<KDownloadInfo> withBatch(const KDownloadInfo& job);
    void runJob(const KDownloadInfo& job);
    void failJob(const KDownloadInfo& job, const QString& reason);
    void dropJob(const QString& tag, const QString& text, const KDownloadInfo& job);
    static void jobDone(const KDownloadInfo& job, const QString& failure = QString());
    bool localStateAllows(const KDownloadInfo& job);
    static bool knowsVersion(const KDownloadInfo& job);
    bool askVersion(KDownloadInfo& job);

    static void handedOverOne();
    static void refreshGate();

    static std::atomic_int handedOver;
    static std::mutex gateMutex;
    std::unique_ptr<KFileSyncDatabase> syncDatabase;
    std::atomic_int pollIntervalMs{PollIntervalMs};
};
