#include "transfer/kdownloadtransfer.h"

#include "api/khttptools.h"
#include "api/ktlssettings.h"
#include "app/kconstant.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "main/ktransferlist.h"
#include "store/kfilesyncdatabase.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kuploadoutcome.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
const int DownloadType = 1;
const QString FailedTag = QStringLiteral("文件下载失败");

qint64 systemClock()
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 fileSize(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() ? info.size() : 0;
}
}

KDownloadTransfer::KDownloadTransfer(QNetworkAccessManager* manager, KFileSyncDatabase* database, QObject* parent)
    : QObject(parent)
    , networkManager(manager)
    , syncDatabase(database)
    , clock(systemClock)
{
    connect(networkManager, &QNetworkAccessManager::finished, this, &KDownloadTransfer::replyFinished);
    digest.setDrainedCallback(
        [this] { QMetaObject::invokeMethod(this, &KDownloadTransfer::onHashDrained, Qt::QueuedConnection); });
}

KDownloadTransfer::~KDownloadTransfer() = default;

void KDownloadTransfer::setClockForTesting(std::function<qint64()> testClock)
{
    clock = testClock ? std::move(testClock) : std::function<qint64()>(systemClock);
}

QMap<QString, QString> KDownloadTransfer::askDownloadParams(const QString& serverPath)
{
    return {{QStringLiteral("op"), QStringLiteral("kaskdownload")},
            {QStringLiteral("filepath"), serverPath},
            {QStringLiteral("expiredsecond"), QString()},
            {QStringLiteral("hopesrvs"), QString()},
            {QStringLiteral("datahash"), QString()},
            {QStringLiteral("downfilename"), QString()},
            {QStringLiteral("downmimetype"), QString()}};
}

QString KDownloadTransfer::askDownload(const QString& serverPath)
{
    return KHttpTools::callApi(KHttpTools::apiUrlFor(serverPath), askDownloadParams(serverPath), true);
}

KAskDownloadInfo KDownloadTransfer::parseAskDownload(const QString& text)
{
    const QJsonObject data = KHttpTools::parseResponse(text).toObject();
    QMap<QString, QJsonValue> members;
    for (auto it = data.begin(); it != data.end(); ++it)
        members.insert(it.key(), it.value());
    const QMap<QString, QString> fields = KJsonTools::toStringMap(members);
    KAskDownloadInfo info;
    info.datahash = fields.value(QStringLiteral("datahash"));
    info.downname = fields.value(QStringLiteral("downname"));
    info.datasrv = fields.value(QStringLiteral("datasrv"));
    info.datasize = fields.value(QStringLiteral("datasize"));
    info.url = fields.value(QStringLiteral("url"));
    info.expiredtime = fields.value(QStringLiteral("expiredtime"));
    return info;
}

void KDownloadTransfer::downloadFile(QString localpath, QString serverpath, qint64 filesize, QString datahash)
{
    KLog::info2(QStringLiteral("KMain::downloadFile"), localpath, serverpath);
    if (downloadReply) {
        // The hand-over flag belongs to the running download; leave it alone.
        KLog::info2(FailedTag, localpath, QStringLiteral("another download is still running"));
        emit deleteFileItem(DownloadType, localpath);
        return;
    }
    beginState(localpath, serverpath, filesize, datahash);
    const QString url = askUrl();
    if (url.isEmpty()) {
        finishDownload();
        return;
    }
    sendGet(url);
}

void KDownloadTransfer::abort()
{
    if (downloadReply)
        downloadReply->abort();
}

void KDownloadTransfer::beginState(const QString& localPath, const QString& serverPath, qint64 size,
                                   const QString& dataHash)
{
    downloadStartTime = clock();
    lastProgressTime = downloadStartTime;
    downloadLocalPath = localPath;
    downloadServerPath = serverPath;
    downloadTotal = size;
    downloadDataHash = dataHash;
    resumeOffset = KDownloadRules::resumeOffsetFor(fileSize(tempPath()), size);
    bodyDecided = false;
    bodyAction = KDownloadRules::BodyAction::Discard;
    writeFailure.clear();
    digest.reset();
}

// The address to fetch, "" (after logging why) when the server gave none.
QString KDownloadTransfer::askUrl()
{
    QString reason;
    try {
        const QString url = parseAskDownload(askDownload(downloadServerPath)).url;
        if (!url.isEmpty())
            return url;
        reason = QStringLiteral("kaskdownload answered without an address");
    } catch (const char* error) {
        reason = QStringLiteral("kaskdownload: ") + QString::fromUtf8(error);
    } catch (...) {
        reason = QStringLiteral("kaskdownload failed");
    }
    logFailure(reason);
    return QString();
}

void KDownloadTransfer::sendGet(const QString& url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    KTlsSettings::apply(request);
    // The expected size and hash are of the stored bytes, not of a recoding.
    request.setRawHeader("Accept-Encoding", "identity");
    if (resumeOffset > 0)
        request.setRawHeader("Range", KDownloadRules::rangeHeader(resumeOffset));
    KLog::info2(QStringLiteral("GET"), KDownloadRules::loggableUrl(request.url()),
                QString::fromLatin1(KDownloadRules::rangeHeader(resumeOffset)));
    downloadReply = networkManager->get(request);
    downloadReply->setReadBufferSize(ReadBufferBytes);
    KTlsSettings::watch(downloadReply);
    connect(downloadReply, &QNetworkReply::metaDataChanged, this, &KDownloadTransfer::onMetaDataChanged);
    connect(downloadReply, &QNetworkReply::readyRead, this, &KDownloadTransfer::onReadyRead);
    connect(downloadReply, &QNetworkReply::downloadProgress, this, &KDownloadTransfer::onDownloadProgress);
}

void KDownloadTransfer::onMetaDataChanged()
{
    if (downloadReply && !bodyDecided)
        decideBody();
}

// Decided once per reply, from its status line: an error page or a range
// the file does not continue from must never reach the temporary file.
void KDownloadTransfer::decideBody()
{
    bodyDecided = true;
    const int status = downloadReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray contentRange = downloadReply->rawHeader("Content-Range");
    bodyAction = KDownloadRules::bodyAction(status, contentRange, resumeOffset);
    if (bodyAction == KDownloadRules::BodyAction::Discard) {
        KLog::info2(QStringLiteral("下载应答不写入文件"), downloadLocalPath,
                    QStringLiteral("HTTP %1 %2").arg(status).arg(QString::fromLatin1(contentRange)));
        return;
    }
    if (!openTempFile(bodyAction)) {
        writeFailure = QStringLiteral("cannot open ") + tempPath();
        bodyAction = KDownloadRules::BodyAction::Discard;
    }
}

bool KDownloadTransfer::openTempFile(KDownloadRules::BodyAction action)
{
    const bool restart = action == KDownloadRules::BodyAction::Restart;
    if (restart)
        resumeOffset = 0;
    // A resumed file's digest starts with the bytes already there.
    if (!restart && hashing())
        digest.addFilePrefix(tempPath(), resumeOffset);
    downloadFileHandle = std::make_unique<QFile>(tempPath());
    // Network chunks are large already: skip QFile's own buffer and its copy.
    const QIODevice::OpenMode mode = restart ? QIODevice::WriteOnly | QIODevice::Truncate
                                             : QIODevice::WriteOnly | QIODevice::Append;
    return downloadFileHandle->open(mode | QIODevice::Unbuffered);
}

void KDownloadTransfer::onReadyRead()
{
    if (!downloadReply)
        return;
    if (!bodyDecided)
        decideBody();
    writeAvailable();
}

// Reading pauses while the hashing thread is far behind; at the end of
// the reply everything left is read.
void KDownloadTransfer::writeAvailable(bool all)
{
    if (!all && writing() && hashing() && digest.deferIfBusy(HashBacklogBytes))
        return;
    const QByteArray data = downloadReply->readAll();
    if (data.isEmpty() || !writing())
        return;
    if (downloadFileHandle->write(data) != data.size()) {
        writeFailure = QStringLiteral("cannot write ") + tempPath();
        bodyAction = KDownloadRules::BodyAction::Discard;
        return;
    }
    if (hashing())
        digest.add(data);
}

void KDownloadTransfer::onHashDrained()
{
    if (downloadReply)
        writeAvailable();
}

bool KDownloadTransfer::writing() const
{
    return bodyDecided && bodyAction != KDownloadRules::BodyAction::Discard && downloadFileHandle
           && downloadFileHandle->isOpen();
}

void KDownloadTransfer::onDownloadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    KLog::info2(QStringLiteral("onDownloadProgress"), QString::number(bytesSent), QString::number(bytesTotal));
    // Bytes of an answer that is being dropped are no progress.
    if (!downloadReply || (bodyDecided && !writing()))
        return;
    const qint64 now = clock();
    if (!KDownloadRules::progressDue(now, lastProgressTime))
        return;
    lastProgressTime = now;
    const qint64 speed = KDownloadRules::bytesPerSecond(bytesSent, now - downloadStartTime);
    const qint64 done = bytesSent + resumeOffset;
    emit refreshProgress(DownloadType, downloadLocalPath, KDownloadRules::percentOf(done, downloadTotal),
                         KTransferList::sizeText(speed) + QStringLiteral("/s"), KTransferList::sizeText(done));
}

void KDownloadTransfer::replyFinished(QNetworkReply* reply)
{
    if (!reply || reply != downloadReply)
        return;
    if (!bodyDecided)
        decideBody();
    writeAvailable(true);
    closeTempFile();
    const qint64 tempSize = fileSize(tempPath());
    KLog::info2(QStringLiteral("文件下载"), KTransferList::sizeText(downloadTotal), KTransferList::sizeText(tempSize));
    conclude(tempSize);
    finishDownload();
}

void KDownloadTransfer::closeTempFile()
{
    if (downloadFileHandle)
        downloadFileHandle->close();
    downloadFileHandle.reset();
}

void KDownloadTransfer::conclude(qint64 tempSize)
{
    if (!writeFailure.isEmpty())
        return logFailure(writeFailure);
    if (tempSize != downloadTotal || !QFileInfo::exists(tempPath()))
        return logFailure(replyFailureText());
    if (!contentMatches(tempSize)) {
        QFile::remove(tempPath());
        return logFailure(QStringLiteral("MD5 differs from the server's datahash ") + downloadDataHash);
    }
    placeFile();
}

// Size alone cannot tell two versions of a file apart: with a known hash
// the completed bytes must match it.
bool KDownloadTransfer::contentMatches(qint64 tempSize)
{
    if (!hashing())
        return true;
    const QString actual = digest.fedBytes() == tempSize ? digest.hex() : KDownloadDigest::fileMd5(tempPath());
    return actual.compare(downloadDataHash, Qt::CaseInsensitive) == 0;
}

// A local file is never overwritten: a destination that appeared meanwhile
// wins, and the completed temporary file stays beside it.
void KDownloadTransfer::placeFile()
{
    if (QFileInfo::exists(downloadLocalPath) || QFileInfo(downloadLocalPath).isSymLink()) {
        KLog::info2(QStringLiteral("文件下载完成但目标已存在"), downloadLocalPath, tempPath());
        return;
    }
    if (!QFile::rename(tempPath(), downloadLocalPath))
        return logFailure(QStringLiteral("cannot rename ") + tempPath());
    KLog::info(QStringLiteral("文件下载成功"), downloadLocalPath);
    KConstant::ErrorMap.remove(downloadLocalPath);
    syncDatabase->addSynLog(downloadLocalPath, downloadServerPath, QStringLiteral("download"));
}

void KDownloadTransfer::logFailure(const QString& reason)
{
    KLog::info2(FailedTag, downloadLocalPath, reason);
    KConstant::ErrorMap.replace(downloadLocalPath,
                                KUploadOutcome::errorRow(downloadLocalPath, downloadServerPath, clock(), reason,
                                                         QStringLiteral("download")));
    emit failFileItem(DownloadType, downloadLocalPath, reason);
}

// Never the reply's error text: it quotes the signed address.
QString KDownloadTransfer::replyFailureText() const
{
    const int status = downloadReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return QStringLiteral("size differs; HTTP status %1, network error %2").arg(status).arg(int(downloadReply->error()));
}

void KDownloadTransfer::finishDownload()
{
    if (downloadReply)
        downloadReply->deleteLater();
    downloadReply = nullptr;
    closeTempFile();
    KConstant::IsDownloading = false;
    KDownloadManager::downloadQueue.wake();
    emit deleteFileItem(DownloadType, downloadLocalPath);
}

QString KDownloadTransfer::tempPath() const
{
    return KDownloadRules::tempPathFor(downloadLocalPath);
}
