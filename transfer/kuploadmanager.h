#pragma once

#include "app/kjobqueue.h"
#include "sync/knodeinfo.h"
#include "transfer/kuploadinfo.h"
#include "transfer/kuploadticket.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>

class KFileSyncDatabase;
class KPartsInFlight;
class KUploadPartSender;
class QFile;
class QNetworkAccessManager;

// The upload thread: takes jobs from the shared queue one at a time and runs
// the upload of each to its end (server check, resume, ticket, 5 MiB parts,
// commit, sync log or error map). The object lives in the GUI thread, so its
// signals reach the main window as queued calls.
class KUploadManager : public QThread
{
    Q_OBJECT
public:
    KUploadManager();
    ~KUploadManager() override;

    static const qint64 SEGMENT_SIZE;
    static const qint64 MAX_SIZE;
    static KJobQueue<KUploadInfo> uploadQueue;
    static KUploadManager* uploadManager;
    // Longest sleep of an idle thread; a new job wakes it at once.
    static const int DefaultPollMs = 3000;
    // Fewest milliseconds between two progress signals of a job.
    static const int ProgressIntervalMs = 41;

    // Queues a job (waking the thread) and announces its row; false (nothing
    // queued) while the same local path has a job waiting or running.
    static bool enqueue(const KUploadInfo& job);

    // The upload operations; each returns the raw reply body. The first
    // argument selects the address.
    static QString makeDirs(QString dirPath);
    static QString askUpload(QString filePath, QString fileMd5, QString fileSize, QString chunkSize,
                             QString expiredSecond, QString hopeSrvs, QString isCreateFile, QString isCreateVersion,
                             QString baseUrl);
    static QString queryUploaded(QString filePath, QString upToken);
    static QString exchangeUpload(QString filePath, QString upToken, QString partNumber, QString baseUrl);
    static QString submitUpload(QString filePath, QString upToken, QString isCreateFile, QString isCreateVersion);

    // Both throw "请求异常!" on a body without "code".
    static KUploadTicket parseTicket(const QString& body);
    static QList<KUploadedPart> parseUploadedParts(const QString& body);
    // Parts 1..k all present and full-size: k.
    static int doneParts(const QList<KUploadedPart>& parts);

    static QByteArray multipartBody(const QString& boundary, const QByteArray& bytes);
    static QByteArray trovBytes(qint64 offset);

    // The resume cache (see KUploadCache).
    static QString uploadCacheDir();
    static QString uploadTokenDir(const QString& localPath, const QString& serverPath, const QString& fileMd5);
    static QString readUploadToken(const QString& localPath, const QString& serverPath, const QString& fileMd5);
    static void writeUploadToken(const QString& localPath, const QString& serverPath, const QString& fileMd5,
                                 const QString& token);
    static void deleteUploadToken(const QString& localPath, const QString& serverPath, const QString& fileMd5);
    static bool removeDir(const QString& path);

    // One whole job. A local file that is gone is dropped silently.
    void uploadFile(KUploadInfo job);
    // Sends parts doneParts + 1 onward against upToken, then commits.
    void uploadFile(KUploadInfo job, QString upToken, int doneParts, bool isCreateFile);
    // Throttled progress after a part that began at `done`.
    // Parts of one upload on their way at once (1: each waits for the last).
    void setPartsInFlight(int parts) { partsInFlight = parts; }
    void refreshProgress(QString localPath, qint64 done, qint64 total);

    // What the thread does with one job: the upload inside a catch-all, then
    // the end of the job's row, whatever happened.
    void runJob(const KUploadInfo& job);
    // Creates the network manager and the store of the calling thread; run()
    // does it first. Tests call it to run jobs on their own thread.
    void prepareWorker();
    // Starts the progress clock of a part loop beginning at `offset`.
    void beginProgress(qint64 offset);

    void setPollInterval(int ms) { pollMs = ms; }
    // Milliseconds since the epoch; tests put a fake clock here.
    void setClock(std::function<qint64()> clock);
    // Ends run() after the current part (a job in progress resumes at the
    // next start) and waits for the thread.
    void stop();

signals:
    void sendrefreshProgress(int type, QString localPath, int percent, QString speed, QString progress);
    void addFileItem(int type, QString localPath, QString serverPath, qint64 filesize);
    void deleteFileItem(int type, QString localPath);
    // A job that ended without its file on the server; deleteFileItem follows.
    void failFileItem(int type, QString localPath, QString reason);

protected:
    void run() override;

private:
    void uploadAttempt(const KUploadInfo& job, bool mayRetry);
    bool serverAllows(const KUploadInfo& job, bool& isCreateFile);
    static void makeFolderOnce(const QString& folder);
    static const int MadeFoldersKept = 10000;
    static const int MadeFolderTrustMs = 60000;
    bool knownTarget(const KUploadInfo& job, bool& isCreateFile);
    bool resume(const KUploadInfo& job, const QString& token, bool isCreateFile);
    void startFresh(const KUploadInfo& job, bool isCreateFile);
    bool sendParts(const KUploadInfo& job, const QString& upToken, int doneParts, QString& commitToken);
    // One part against its own ticket; "" when it arrived, else why not.
    QString startPart(const KUploadInfo& job, const QString& upToken, int partNumber, qint64 offset,
                      KUploadPartSender& sender, QFile& file, KPartsInFlight& inFlight);
    bool partArrived(const KUploadInfo& job, KPartsInFlight& inFlight, KUploadPartSender& sender,
                     QString& commitToken);
    bool partFailed(const KUploadInfo& job, int partNumber, const QString& failure);
    bool commit(const KUploadInfo& job, const QString& token, bool isCreateFile);
    void failJob(const KUploadInfo& job, const QString& text);
    void failUnlessStopping(const KUploadInfo& job, const QString& text);
    bool stillAsHashed(const KUploadInfo& job) const;
    void recordSynced(const KUploadInfo& job, qint64 version) const;
    static qint64 currentVersion(const QList<KNodeInfo>& nodes, const QString& serverPath);
    void recordFailure(const KUploadInfo& job, const QString& text);
    void releaseWorker();

    QNetworkAccessManager* networkManager = nullptr;
    qint64 startTime = 0;
    qint64 lastRefreshTime = 0;
    qint64 startOffset = 0;
    KFileSyncDatabase* database = nullptr;
    QString jobFailure;
    bool sessionGone = false;
    // A part answered "busy" while others of its upload were on the way.
    bool partBusy = false;
    bool retryAllowed = false;
    int partsInFlight = 1;

    std::function<qint64()> now;
    std::atomic_int pollMs{DefaultPollMs};
};
