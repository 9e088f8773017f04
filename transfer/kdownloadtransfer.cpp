#include "transfer/kdownloadtransfer.h"

#include "api/khttpclientsync.h"
#include "api/khttptools.h"
#include "api/klowdelay.h"
#include "api/ktlssettings.h"
#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "app/kmd5.h"
#include "main/ktransferlist.h"
#include "store/kfilesyncdatabase.h"
#include "store/kpartialdownloads.h"
#include "store/ksyncjournal.h"
#include "sync/kpairstates.h"
#include "transfer/kdownloaddigest.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kuploadoutcome.h"
#include "transfer/kwholefile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
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

qint64 inodeOf(const QFile& file)
{
    struct stat info;
    return ::fstat(file.handle(), &info) == 0 ? qint64(info.st_ino) : 0;
}

// rename(2) that refuses to replace an existing target.
bool renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    // File systems without the flag: Qt's rename refuses an existing target too.
    return (errno == EINVAL || errno == ENOSYS) && QFile::rename(from, to);
}
} // namespace

KDownloadTransfer::KDownloadTransfer(QNetworkAccessManager* manager, KFileSyncDatabase* database, QObject* parent)
    : QObject(parent)
    , networkManager(manager)
    , syncDatabase(database)
    , clock(systemClock)
{
    connect(networkManager, &QNetworkAccessManager::finished, this, &KDownloadTransfer::replyFinished);
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
    KDownloadInfo job;
    job.localPath = localpath;
    job.serverPath = serverpath;
    job.fileSize = filesize;
    job.dataHash = datahash;
    download(job);
}

void KDownloadTransfer::download(const KDownloadInfo& job)
{
    KLog::info2(QStringLiteral("KMain::downloadFile"), job.localPath, job.serverPath);
    if (running) {
        // The hand-over flag belongs to the running download; leave it alone.
        KLog::info2(FailedTag, job.localPath, QStringLiteral("another download is still running"));
        emit deleteFileItem(DownloadType, job.localPath);
        return;
    }
    beginState(job);
    if (current.contentKnown)
        return placeContent();
    planPartial();
    sendAsk();
}

void KDownloadTransfer::abort()
{
    aborting = true;
    if (askReply)
        askReply->abort();
    if (downloadReply)
        downloadReply->abort();
    if (!running) {
        aborting = false;
        return;
    }
    // Cut while the digest ran: the partial file is complete and stays.
    KLog::info2(FailedTag, current.localPath, QStringLiteral("interrupted"));
    finishDownload();
    aborting = false;
}

void KDownloadTransfer::beginState(const KDownloadInfo& job)
{
    running = true;
    current = job;
    downloadStartTime = clock();
    lastProgressTime = downloadStartTime;
    tempPath.clear();
    resumeOffset = 0;
    written = 0;
    askBody.clear();
    bodyDecided = false;
    bodyAction = KDownloadRules::BodyAction::Discard;
    writeFailure.clear();
    failure.clear();
    httpStatus = 0;
    networkError = 0;
    digest.reset();
}

void KDownloadTransfer::planPartial()
{
    const KPartialPlan plan = KPartialDownloads::plan(current.localPath, current.serverPath, current.fileSize, current.dataHash);
    tempPath = plan.tempPath;
    resumeOffset = plan.resumable ? KDownloadRules::resumeOffsetFor(fileSize(tempPath), current.fileSize) : 0;
}

// Bytes that came with the job: checked against the version's hash, then
// put in place whole, without a partial file.
void KDownloadTransfer::placeContent()
{
    KLog::info2(QStringLiteral("文件下载"), KTransferList::sizeText(current.fileSize),
                KTransferList::sizeText(current.content.size()));
    if (KMd5::of(current.content).compare(current.dataHash, Qt::CaseInsensitive) != 0) {
        logFailure(QStringLiteral("MD5 differs from the server's datahash ") + current.dataHash);
        return finishDownload();
    }
    switch (KWholeFile::place(current.localPath, current.content, current.mtimeMs)) {
    case KWholeFile::Result::Placed:
        recordPlaced();
        break;
    case KWholeFile::Result::Exists:
        KLog::info2(QStringLiteral("文件下载完成但目标已存在"), current.localPath, QString());
        break;
    case KWholeFile::Result::Unsupported:
        return placeThroughPartial();
    case KWholeFile::Result::Failed:
        logFailure(QStringLiteral("cannot write ") + current.localPath);
        break;
    }
    finishDownload();
}

// A file system without unnamed files: the bytes go through a partial
// file and the usual placing.
void KDownloadTransfer::placeThroughPartial()
{
    planPartial();
    const KDownloadRules::BodyAction whole = KDownloadRules::BodyAction::Restart;
    if (!openTempFile(whole) || downloadFileHandle->write(current.content) != current.content.size()) {
        logFailure(QStringLiteral("cannot write ") + tempPath);
        return finishDownload();
    }
    closeTempFile();
    conclude(current.fileSize);
}

// Asynchronous like the GET: several downloads may share this thread.
void KDownloadTransfer::sendAsk()
{
    const QString url = KHttpTools::apiUrlFor(current.serverPath);
    if (url.isEmpty()) {
        logFailure(QStringLiteral("no space holds ") + current.serverPath);
        return finishDownload();
    }
    QMap<QString, QString> params = askDownloadParams(current.serverPath);
    // The version the job was decided on, when it is known: a newer one
    // waits for the next pass instead of arriving under the old one's name.
    if (current.version > 0)
        params.insert(QStringLiteral("datahash"), current.dataHash);
    const QNetworkRequest request
        = KHttpClientSync::buildRequest(url, KHttpTools::signHeaders(QStringLiteral("POST"), url, params));
    askReply = networkManager->post(request, KHttpClientSync::formBody(params));
    KTlsSettings::watch(askReply);
    KLowDelay::follow(askReply);
    // A reply aborted by the time-out drops what it holds unread.
    connect(askReply, &QNetworkReply::readyRead, this, [this] { askBody += askReply->readAll(); });
    connect(askReply, &QNetworkReply::finished, this, &KDownloadTransfer::onAskFinished);
}

void KDownloadTransfer::onAskFinished()
{
    if (askReply->isOpen())
        askBody += askReply->readAll();
    releaseReply(askReply);
    QString url;
    QString reason = QStringLiteral("kaskdownload answered without an address");
    try {
        url = parseAskDownload(KFileTools::utf8UpToZero(askBody)).url;
    } catch (const char* error) {
        reason = QStringLiteral("kaskdownload: ") + QString::fromUtf8(error);
    }
    if (url.isEmpty() && fileGone(askBody)) {
        // Removed on the server since the pass saw it: nothing to fetch, no failure.
        KLog::info2(QStringLiteral("云端文件已不存在"), current.localPath, current.serverPath);
        return finishDownload();
    }
    if (url.isEmpty()) {
        logFailure(reason);
        return finishDownload();
    }
    sendGet(url);
}

bool KDownloadTransfer::fileGone(const QByteArray& answer)
{
    const QJsonValue code = KJsonTools::parseObject(KFileTools::utf8UpToZero(answer)).value(QStringLiteral("code"));
    return code.isDouble() && KJsonTools::toInt64(code.toDouble()) == NotFoundCode;
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
    KLowDelay::follow(downloadReply);
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
// the file does not continue from must never reach the partial file.
void KDownloadTransfer::decideBody()
{
    bodyDecided = true;
    const int status = downloadReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray contentRange = downloadReply->rawHeader("Content-Range");
    bodyAction = KDownloadRules::bodyAction(status, contentRange, resumeOffset);
    if (bodyAction == KDownloadRules::BodyAction::Discard) {
        KLog::info2(QStringLiteral("下载应答不写入文件"), current.localPath,
                    QStringLiteral("HTTP %1 %2").arg(status).arg(QString::fromLatin1(contentRange)));
        return;
    }
    if (!openTempFile(bodyAction)) {
        writeFailure = QStringLiteral("cannot open ") + tempPath;
        bodyAction = KDownloadRules::BodyAction::Discard;
    }
}

// The partial is the client's own (recorded) or new: a file of the user's
// by that name was never chosen, and creating never replaces one.
bool KDownloadTransfer::openTempFile(KDownloadRules::BodyAction action)
{
    const bool restart = action == KDownloadRules::BodyAction::Restart;
    if (restart)
        resumeOffset = 0;
    downloadFileHandle = std::make_unique<QFile>(tempPath);
    QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    if (!restart)
        mode |= QIODevice::Append;
    else if (QFileInfo::exists(tempPath))
        mode |= QIODevice::Truncate;
    else
        mode |= QIODevice::NewOnly;
    if (!downloadFileHandle->open(mode))
        return false;
    KPartialDownloads::opened(tempPath, inodeOf(*downloadFileHandle));
    written = resumeOffset;
    if (hashing()) {
        digest = std::make_unique<KDownloadDigest>(tempPath);
        digest->advance(written);
    }
    return true;
}

void KDownloadTransfer::onReadyRead()
{
    if (!downloadReply)
        return;
    if (!bodyDecided)
        decideBody();
    writeAvailable();
}

void KDownloadTransfer::writeAvailable()
{
    const QByteArray data = downloadReply->readAll();
    if (data.isEmpty() || !writing())
        return;
    if (downloadFileHandle->write(data) != data.size()) {
        writeFailure = QStringLiteral("cannot write ") + tempPath;
        bodyAction = KDownloadRules::BodyAction::Discard;
        return;
    }
    written += data.size();
    if (digest)
        digest->advance(written);
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
    emit refreshProgress(DownloadType, current.localPath, KDownloadRules::percentOf(done, current.fileSize),
                         KTransferList::sizeText(speed) + QStringLiteral("/s"), KTransferList::sizeText(done));
}

void KDownloadTransfer::replyFinished(QNetworkReply* reply)
{
    if (!reply || reply != downloadReply)
        return;
    if (!bodyDecided)
        decideBody();
    writeAvailable();
    httpStatus = downloadReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    networkError = int(downloadReply->error());
    releaseReply(downloadReply);
    closeTempFile();
    const qint64 tempSize = fileSize(tempPath);
    KLog::info2(QStringLiteral("文件下载"), KTransferList::sizeText(current.fileSize), KTransferList::sizeText(tempSize));
    const QString failure = !writeFailure.isEmpty() ? writeFailure
                            : tempSize != current.fileSize || !QFileInfo::exists(tempPath) ? replyFailureText()
                                                                                            : QString();
    if (failure.isEmpty())
        return verify(tempSize);
    logFailure(failure);
    finishDownload();
}

void KDownloadTransfer::closeTempFile()
{
    if (downloadFileHandle)
        downloadFileHandle->close();
    downloadFileHandle.reset();
}

// Size alone cannot tell two versions of a file apart: with a known hash
// the completed bytes must match it. The digest ends on its own thread.
void KDownloadTransfer::verify(qint64 tempSize)
{
    if (!hashing())
        return conclude(tempSize);
    if (!digest)
        digest = std::make_unique<KDownloadDigest>(tempPath);
    digest->finish(tempSize, [this](const QString& hex) {
        QMetaObject::invokeMethod(this, [this, hex] { onDigest(hex); }, Qt::QueuedConnection);
    });
}

void KDownloadTransfer::onDigest(const QString& hex)
{
    if (!running)
        return;
    if (hex.compare(current.dataHash, Qt::CaseInsensitive) != 0) {
        QFile::remove(tempPath);
        KPartialDownloads::forget(tempPath);
        logFailure(QStringLiteral("MD5 differs from the server's datahash ") + current.dataHash);
        return finishDownload();
    }
    conclude(current.fileSize);
}

void KDownloadTransfer::conclude(qint64)
{
    placeFile();
    finishDownload();
}

// A local file is never overwritten unless it is still exactly the one
// last synced: otherwise the completed partial stays (it is the client's
// own) and the next pass decides again.
void KDownloadTransfer::placeFile()
{
    if (current.replaces.isValid() && !localStillAsSynced()) {
        KLog::info2(QStringLiteral("本地文件已修改，暂不替换"), current.localPath, tempPath);
        emit passWanted(current.pairId);
        return;
    }
    if (!current.replaces.isValid() && (QFileInfo::exists(current.localPath) || QFileInfo(current.localPath).isSymLink())) {
        KLog::info2(QStringLiteral("文件下载完成但目标已存在"), current.localPath, tempPath);
        return;
    }
    stampWithServerTime();
    if (!moveIntoPlace())
        return logFailure(QStringLiteral("cannot rename ") + tempPath);
    recordPlaced();
}

bool KDownloadTransfer::localStillAsSynced()
{
    return KFileStamp::of(current.localPath) == current.replaces;
}

// The file carries its version's time: a later edit always changes it, so
// its stamp can be trusted at once.
void KDownloadTransfer::stampWithServerTime()
{
    if (current.mtimeMs > 0)
        ::utimensat(AT_FDCWD, QFile::encodeName(tempPath).constData(), KWholeFile::modifiedAt(current.mtimeMs).data(), 0);
}

bool KDownloadTransfer::moveIntoPlace()
{
    if (current.replaces.isValid())
        return ::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(current.localPath).constData()) == 0;
    return renameNoReplace(tempPath, current.localPath);
}

void KDownloadTransfer::recordPlaced()
{
    if (!tempPath.isEmpty())
        KPartialDownloads::forget(tempPath);
    KLog::info(QStringLiteral("文件下载成功"), current.localPath);
    KConstant::ErrorMap.remove(current.localPath);
    syncDatabase->addSynLog(current.localPath, current.serverPath, QStringLiteral("download"));
    if (current.pairId.isEmpty() || current.relPath.isEmpty())
        return;
    const KFileStamp stamp = KFileStamp::of(current.localPath);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 seen = current.mtimeMs > 0 ? qMax(now, stamp.mtimeMs + KHashCache::RacyMs) : now;
    KSyncJournal(current.pairId)
        .put({current.relPath, stamp, current.dataHash, current.dataHash, current.fileSize, current.version, seen});
}

// A download cut short by a stop is no failure of the file.
void KDownloadTransfer::logFailure(const QString& reason)
{
    KLog::info2(FailedTag, current.localPath, reason);
    if (aborting)
        return;
    failure = reason;
    KConstant::ErrorMap.replace(current.localPath, KUploadOutcome::errorRow(current.localPath, current.serverPath,
                                                                            clock(), reason,
                                                                            QStringLiteral("download")));
    emit failFileItem(DownloadType, current.localPath, reason);
}

// Never the reply's error text: it quotes the signed address.
QString KDownloadTransfer::replyFailureText() const
{
    return QStringLiteral("size differs; HTTP status %1, network error %2").arg(httpStatus).arg(networkError);
}

void KDownloadTransfer::releaseReply(QNetworkReply*& reply)
{
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    reply = nullptr;
}

void KDownloadTransfer::finishDownload()
{
    releaseReply(askReply);
    releaseReply(downloadReply);
    closeTempFile();
    digest.reset();
    current.content = QByteArray();
    running = false;
    KInflightJobs::releaseBoth(current.localPath, current.serverPath);
    KPairStates::instance().jobEnded(current.pairId, DownloadType, failure);
    KDownloadManager::transferEnded();
    emit deleteFileItem(DownloadType, current.localPath);
    emit ended();
}
