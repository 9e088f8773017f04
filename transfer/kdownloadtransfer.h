#pragma once

#include "transfer/kaskdownloadinfo.h"
#include "transfer/kdownloadinfo.h"
#include "transfer/kdownloadrules.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class KDownloadDigest;
class KFileSyncDatabase;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// The network half of a download, run on the thread that owns the network
// manager (the GUI thread in the program): asks the server for an address,
// fetches the file into its partial file (resuming with a Range request when
// the partial is the client's own and of this version), reports progress,
// and on a verified completion moves the file into place, records a sync log
// row and, for a pair with a journal, the journal entry. Nothing here ever
// blocks the owner's thread: requests are asynchronous and the MD5 follows
// the file on a thread of its own. One download at a time; its end clears
// KConstant::IsDownloading, wakes the download thread and emits ended().
class KDownloadTransfer : public QObject
{
    Q_OBJECT
public:
    // The row type of a download on the page.
    static const int DownloadType = 1;
    // The manager's finished signal drives replyFinished; neither the
    // manager nor the store is owned.
    KDownloadTransfer(QNetworkAccessManager* manager, KFileSyncDatabase* database, QObject* parent = nullptr);
    ~KDownloadTransfer() override;

    // The "kaskdownload" request and its reader; askDownload blocks in a
    // nested event loop, parseAskDownload throws what the envelope reader throws.
    static QMap<QString, QString> askDownloadParams(const QString& serverPath);
    static QString askDownload(const QString& serverPath);
    static KAskDownloadInfo parseAskDownload(const QString& text);

    bool isRunning() const { return running; }
    // The address is known and the file is being fetched.
    bool isFetching() const { return downloadReply != nullptr; }
    // Cuts the running download short, as when the program closes: it ends
    // like a failed one, and its partial file stays for the next attempt.
    void abort();
    // Milliseconds since the epoch; tests drive progress with a clock of
    // their own, an empty function restores the real one.
    void setClockForTesting(std::function<qint64()> clock);

    // Bytes the network layer may hold unread for us.
    static constexpr qint64 ReadBufferBytes = 4 * 1024 * 1024;

public slots:
    void downloadFile(QString localpath, QString serverpath, qint64 filesize, QString datahash);
    void download(const KDownloadInfo& job);
    void replyFinished(QNetworkReply* reply);
    void onDownloadProgress(qint64 bytesSent, qint64 bytesTotal);
    void onReadyRead();

signals:
    void refreshProgress(int type, QString localPath, int percent, QString speed, QString progress);
    void deleteFileItem(int type, QString localPath);
    // A download that ended without its file in place; deleteFileItem follows.
    void failFileItem(int type, QString localPath, QString reason);
    // The local file changed while its replacement was on its way: the pair
    // needs a pass to decide again.
    void passWanted(QString pairId);
    // After deleteFileItem: the transfer takes the next job.
    void ended();

private:
    void beginState(const KDownloadInfo& job);
    void planPartial();
    void placeContent();
    void placeThroughPartial();
    void sendAsk();
    void onAskFinished();
    // The server's "not found" answer to the address request.
    static bool fileGone(const QByteArray& answer);
    static const int NotFoundCode = 20;
    void sendGet(const QString& url);
    void onMetaDataChanged();
    void decideBody();
    bool openTempFile(KDownloadRules::BodyAction action);
    void writeAvailable();
    bool writing() const;
    bool hashing() const { return !current.dataHash.isEmpty(); }
    void closeTempFile();
    void verify(qint64 tempSize);
    void onDigest(const QString& hex);
    void conclude(qint64 tempSize);
    void placeFile();
    bool localStillAsSynced();
    void stampWithServerTime();
    bool moveIntoPlace();
    void recordPlaced();
    void logFailure(const QString& reason);
    QString replyFailureText() const;
    void finishDownload();
    void releaseReply(QNetworkReply*& reply);

    QNetworkAccessManager* networkManager;
    KFileSyncDatabase* syncDatabase;
    std::function<qint64()> clock;

    KDownloadInfo current;
    QString tempPath;
    bool running = false;
    bool aborting = false;
    qint64 downloadStartTime = 0;
    qint64 lastProgressTime = 0;
    qint64 resumeOffset = 0;
    qint64 written = 0;
    QNetworkReply* askReply = nullptr;
    QNetworkReply* downloadReply = nullptr;
    QByteArray askBody;
    std::unique_ptr<QFile> downloadFileHandle;
    std::unique_ptr<KDownloadDigest> digest;
    bool bodyDecided = false;
    KDownloadRules::BodyAction bodyAction = KDownloadRules::BodyAction::Discard;
    QString writeFailure;
    QString failure;
    int httpStatus = 0;
    int networkError = 0;
};
