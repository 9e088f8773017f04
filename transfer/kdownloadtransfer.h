#pragma once

#include "transfer/kaskdownloadinfo.h"
#include "transfer/kdownloaddigest.h"
#include "transfer/kdownloadrules.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class KFileSyncDatabase;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// The network half of a download, run in the GUI thread: asks the server for
// an address, fetches the file into "<target>.wexora" (resuming with a Range
// request), reports progress, and on a verified completion renames the
// temporary file into place and records a sync log row. One download at a
// time; its end clears KConstant::IsDownloading and wakes the download thread.
class KDownloadTransfer : public QObject
{
    Q_OBJECT
public:
    // The manager's finished signal drives replyFinished; neither the
    // manager nor the store is owned.
    KDownloadTransfer(QNetworkAccessManager* manager, KFileSyncDatabase* database, QObject* parent = nullptr);
    ~KDownloadTransfer() override;

    // The "kaskdownload" request and its reader; askDownload blocks in a
    // nested event loop, parseAskDownload throws what the envelope reader throws.
    static QMap<QString, QString> askDownloadParams(const QString& serverPath);
    static QString askDownload(const QString& serverPath);
    static KAskDownloadInfo parseAskDownload(const QString& text);

    bool isRunning() const { return downloadReply != nullptr; }
    // Cuts the running download short, as when the program closes: it ends
    // like a failed one, and its partial file stays for the next attempt.
    void abort();
    // Milliseconds since the epoch; tests drive progress with a clock of
    // their own, an empty function restores the real one.
    void setClockForTesting(std::function<qint64()> clock);

    // Bytes the network layer may hold unread for us: bounds memory when
    // the disk or the hashing is slower than the network.
    static constexpr qint64 ReadBufferBytes = 4 * 1024 * 1024;
    // Received bytes that may wait for the hashing thread before reading
    // pauses (the reply's read buffer then holds the socket back).
    static constexpr qint64 HashBacklogBytes = 16 * 1024 * 1024;

public slots:
    void downloadFile(QString localpath, QString serverpath, qint64 filesize, QString datahash);
    void replyFinished(QNetworkReply* reply);
    void onDownloadProgress(qint64 bytesSent, qint64 bytesTotal);
    void onReadyRead();

signals:
    void refreshProgress(int type, QString localPath, int percent, QString speed, QString progress);
    void deleteFileItem(int type, QString localPath);
    // A download that ended without its file in place; deleteFileItem follows.
    void failFileItem(int type, QString localPath, QString reason);

private:
    void beginState(const QString& localPath, const QString& serverPath, qint64 size, const QString& dataHash);
    QString askUrl();
    void sendGet(const QString& url);
    void onMetaDataChanged();
    void decideBody();
    bool openTempFile(KDownloadRules::BodyAction action);
    void writeAvailable(bool all = false);
    void onHashDrained();
    bool writing() const;
    bool hashing() const { return !downloadDataHash.isEmpty(); }
    void closeTempFile();
    void conclude(qint64 tempSize);
    bool contentMatches(qint64 tempSize);
    void placeFile();
    void logFailure(const QString& reason);
    QString replyFailureText() const;
    void finishDownload();
    QString tempPath() const;

    QNetworkAccessManager* networkManager;
    KFileSyncDatabase* syncDatabase;
    std::function<qint64()> clock;

    qint64 downloadStartTime = 0;
    qint64 lastProgressTime = 0;
    qint64 resumeOffset = 0;
    qint64 downloadTotal = 0;
    QNetworkReply* downloadReply = nullptr;
    std::unique_ptr<QFile> downloadFileHandle;
    QString downloadLocalPath;
    QString downloadServerPath;

    QString downloadDataHash;
    bool bodyDecided = false;
    KDownloadRules::BodyAction bodyAction = KDownloadRules::BodyAction::Discard;
    QString writeFailure;
    KDownloadDigest digest;
};
