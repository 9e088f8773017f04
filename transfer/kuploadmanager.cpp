#include "transfer/kuploadmanager.h"

#include "api/khttptools.h"
#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/klog.h"
#include "main/ktransferlist.h"
#include "store/kfilesyncdatabase.h"
#include "store/ksyncjournal.h"
#include "sync/knodetools.h"
#include "sync/kpairstates.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kuploadcache.h"
#include "transfer/kuploadoutcome.h"
#include "transfer/kuploadpart.h"
#include "transfer/kpartsinflight.h"
#include "transfer/kuploadpartsender.h"
#include "transfer/kuploadrequests.h"
#include "transfer/kuploadrules.h"

#include <QDateTime>
#include <QDebug>
#include <QMutex>
#include <QHash>
#include <QFile>
#include <QNetworkAccessManager>

const qint64 KUploadManager::SEGMENT_SIZE = 5242880;
const qint64 KUploadManager::MAX_SIZE = 100;
KJobQueue<KUploadInfo> KUploadManager::uploadQueue;
KUploadManager* KUploadManager::uploadManager = nullptr;

namespace {

const QString UploadExpirySeconds = QStringLiteral("86400");
const QString Yes = QStringLiteral("true");

QString send(const QString& path, const QMap<QString, QString>& params)
{
    return KHttpTools::callApi(KHttpTools::apiUrlFor(path), params, true);
}

} // namespace

KUploadManager::KUploadManager()
    : QThread(nullptr)
    , now(&QDateTime::currentMSecsSinceEpoch)
{
}

KUploadManager::~KUploadManager()
{
    if (isRunning())
        stop();
    releaseWorker();
    if (uploadManager == this)
        uploadManager = nullptr;
}

bool KUploadManager::enqueue(const KUploadInfo& job)
{
    if (!KInflightJobs::claimBoth(job.localPath, job.serverPath))
        return false;
    KPairStates::instance().jobQueued(job.pairId, 2);
    // The row is announced before the thread can see the job, so the row's
    // end can never reach the main window ahead of its start.
    if (uploadManager)
        emit uploadManager->addFileItem(2, job.localPath, job.serverPath, job.filesize);
    uploadQueue.append(job);
    return true;
}

// --- operations ------------------------------------------------------------

QString KUploadManager::makeDirs(QString dirPath)
{
    return send(dirPath, KUploadRequests::makeDirs(dirPath));
}

QString KUploadManager::askUpload(QString filePath, QString fileMd5, QString fileSize, QString chunkSize,
                                  QString expiredSecond, QString hopeSrvs, QString isCreateFile,
                                  QString isCreateVersion, QString baseUrl)
{
    return send(filePath, KUploadRequests::askUpload(filePath, fileMd5, fileSize, chunkSize, expiredSecond, hopeSrvs,
                                                     isCreateFile, isCreateVersion, baseUrl));
}

QString KUploadManager::queryUploaded(QString filePath, QString upToken)
{
    return send(filePath, KUploadRequests::queryUploaded(upToken));
}

QString KUploadManager::exchangeUpload(QString filePath, QString upToken, QString partNumber, QString baseUrl)
{
    return send(filePath, KUploadRequests::exchangeUpload(upToken, partNumber, baseUrl));
}

QString KUploadManager::submitUpload(QString filePath, QString upToken, QString isCreateFile,
                                     QString isCreateVersion)
{
    return send(filePath, KUploadRequests::submitUpload(filePath, upToken, isCreateFile, isCreateVersion));
}

KUploadTicket KUploadManager::parseTicket(const QString& body)
{
    return KUploadTicket::parse(body);
}

QList<KUploadedPart> KUploadManager::parseUploadedParts(const QString& body)
{
    return KUploadedPart::parseList(body);
}

int KUploadManager::doneParts(const QList<KUploadedPart>& parts)
{
    return KUploadRules::doneParts(parts, SEGMENT_SIZE);
}

QByteArray KUploadManager::multipartBody(const QString& boundary, const QByteArray& bytes)
{
    return KUploadPart::multipartBody(boundary, bytes);
}

QByteArray KUploadManager::trovBytes(qint64 offset)
{
    return KUploadPart::trovBytes(offset, SEGMENT_SIZE);
}

// --- resume cache ----------------------------------------------------------

QString KUploadManager::uploadCacheDir()
{
    return KUploadCache::rootDir();
}

QString KUploadManager::uploadTokenDir(const QString& localPath, const QString& serverPath, const QString& fileMd5)
{
    return KUploadCache::entryDir(localPath, serverPath, fileMd5);
}

QString KUploadManager::readUploadToken(const QString& localPath, const QString& serverPath, const QString& fileMd5)
{
    return KUploadCache::readToken(localPath, serverPath, fileMd5);
}

void KUploadManager::writeUploadToken(const QString& localPath, const QString& serverPath, const QString& fileMd5,
                                      const QString& token)
{
    KUploadCache::writeToken(localPath, serverPath, fileMd5, token);
}

void KUploadManager::deleteUploadToken(const QString& localPath, const QString& serverPath, const QString& fileMd5)
{
    KUploadCache::deleteToken(localPath, serverPath, fileMd5);
}

bool KUploadManager::removeDir(const QString& path)
{
    return KUploadCache::removeDir(path);
}

// --- the thread ------------------------------------------------------------

void KUploadManager::run()
{
    qInfo() << QStringLiteral("文件上传定时任务开始");
    prepareWorker();
    while (!isInterruptionRequested()) {
        KUploadInfo job;
        if (uploadQueue.takeOrWait(job, pollMs))
            runJob(job);
    }
    releaseWorker();
}

void KUploadManager::runJob(const KUploadInfo& job)
{
    jobFailure.clear();
    try {
        uploadFile(job);
    } catch (const char* error) {
        failUnlessStopping(job, QString::fromUtf8(error));
    } catch (...) {
        failUnlessStopping(job, QStringLiteral("上传异常"));
    }
    KInflightJobs::releaseBoth(job.localPath, job.serverPath);
    KPairStates::instance().jobEnded(job.pairId, 2, jobFailure);
    emit deleteFileItem(2, job.localPath);
}

void KUploadManager::prepareWorker()
{
    if (!networkManager)
        networkManager = new QNetworkAccessManager;
    if (!database)
        database = new KFileSyncDatabase;
}

void KUploadManager::releaseWorker()
{
    delete networkManager;
    networkManager = nullptr;
    delete database;
    database = nullptr;
}

void KUploadManager::stop()
{
    requestInterruption();
    uploadQueue.wake();
    wait();
}

void KUploadManager::setClock(std::function<qint64()> clock)
{
    now = std::move(clock);
}

// --- one job ---------------------------------------------------------------

void KUploadManager::uploadFile(KUploadInfo job)
{
    if (!QFile::exists(job.localPath))
        return;
    KLog::info(QStringLiteral("上传文件"), job.localPath);
    uploadAttempt(job, true);
}

// An upload whose parts the server refused (it ended meanwhile, for example
// committed by a run that was killed while its commit was on the way, or a
// copy of a part it was still taking in) is looked at once more from the
// start: the file may be there already, or a new upload goes through.
void KUploadManager::uploadAttempt(const KUploadInfo& job, bool mayRetry)
{
    sessionGone = false;
    partBusy = false;
    retryAllowed = mayRetry;
    bool isCreateFile = true;
    if (!serverAllows(job, isCreateFile))
        return;
    const QString token = readUploadToken(job.localPath, job.serverPath, job.filemd5);
    if (token.isEmpty() || !resume(job, token, isCreateFile))
        startFresh(job, isCreateFile);
    if (partBusy) {
        // The upload goes on, from the parts the server holds, one at a time.
        uploadAttempt(job, false);
        return;
    }
    if (!sessionGone)
        return;
    KLog::info2(QStringLiteral("上传会话已结束，重新开始"), job.localPath, job.serverPath);
    deleteUploadToken(job.localPath, job.serverPath, job.filemd5);
    KUploadInfo again = job;
    again.server = KServerKnown::Unknown;
    uploadAttempt(again, false);
}

// The pass that queued the job listed the folder moments ago: asking the
// server again would only cost a round trip.
bool KUploadManager::knownTarget(const KUploadInfo& job, bool& isCreateFile)
{
    switch (job.server) {
    case KServerKnown::NewFile:
        return true;
    case KServerKnown::NewVersion:
        isCreateFile = false;
        return true;
    case KServerKnown::NewFolder:
        makeFolderOnce(KFileTools::parentPath(job.serverPath));
        return true;
    case KServerKnown::Unknown:
        break;
    }
    return false;
}

// The files of a new folder all name it; the first job that gets there makes
// it, the others (on other upload threads) need not ask again for a while. A
// folder removed on the server later is made again by a later pass's jobs.
void KUploadManager::makeFolderOnce(const QString& folder)
{
    static QMutex mutex;
    static QHash<QString, qint64> madeAt;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        QMutexLocker lock(&mutex);
        if (now - madeAt.value(folder, -MadeFolderTrustMs) < MadeFolderTrustMs)
            return;
    }
    makeDirs(folder);
    QMutexLocker lock(&mutex);
    if (madeAt.size() >= MadeFoldersKept)
        madeAt.clear();
    madeAt.insert(folder, now);
}

bool KUploadManager::serverAllows(const KUploadInfo& job, bool& isCreateFile)
{
    if (knownTarget(job, isCreateFile))
        return true;
    const QString parent = KFileTools::parentPath(job.serverPath);
    const QString body = KNodeTools::getNodes({job.serverPath, parent});
    if (body.isEmpty())
        return true;
    const QList<KNodeInfo> nodes = KNodeTools::parseNodeList(body);
    switch (KUploadRules::serverVerdict(nodes, job.filesize, job.filemd5)) {
    case KServerVerdict::Identical:
        KLog::info2(QStringLiteral("本地文件和服务器上的文件相同"), job.localPath, job.serverPath);
        KConstant::ErrorMap.remove(job.localPath);
        if (stillAsHashed(job))
            recordSynced(job, currentVersion(nodes, job.serverPath));
        return false;
    case KServerVerdict::NewVersion:
        isCreateFile = false;
        break;
    case KServerVerdict::MissingFolder:
        makeDirs(parent);
        break;
    case KServerVerdict::NewFile:
        break;
    }
    return true;
}

bool KUploadManager::resume(const KUploadInfo& job, const QString& token, bool isCreateFile)
{
    const QList<KUploadedPart> parts = parseUploadedParts(queryUploaded(job.serverPath, token));
    if (parts.isEmpty()) {
        deleteUploadToken(job.localPath, job.serverPath, job.filemd5);
        return false;
    }
    const int done = doneParts(parts);
    if (done == 0)
        return false;
    uploadFile(job, token, done, isCreateFile);
    return true;
}

void KUploadManager::startFresh(const KUploadInfo& job, bool isCreateFile)
{
    const QString reply = askUpload(job.serverPath, job.filemd5, QString::number(job.filesize),
                                    QString::number(SEGMENT_SIZE), UploadExpirySeconds, QString(),
                                    KUploadRequests::flag(isCreateFile), Yes, QString());
    const KUploadTicket ticket = parseTicket(reply);
    if (ticket.isHit()) {
        // Judged like any commit: the sync log shows every file that arrived.
        qInfo() << QStringLiteral("开始上传文件 命中秒传");
        commit(job, ticket.uptoken, isCreateFile);
        return;
    }
    if (ticket.uptoken.isEmpty()) {
        // Refused (a folder in the way, no permission): no upload exists to send parts to.
        failJob(job, KUploadOutcome::errorText(reply, QStringLiteral("申请上传")));
        return;
    }
    writeUploadToken(job.localPath, job.serverPath, job.filemd5, ticket.uptoken);
    uploadFile(job, ticket.uptoken, 0, isCreateFile);
}

void KUploadManager::uploadFile(KUploadInfo job, QString upToken, int doneParts, bool isCreateFile)
{
    // With no part left to send (an empty file, or every part already on the
    // server) the commit carries the job's own token.
    QString commitToken = upToken;
    if (!sendParts(job, upToken, doneParts, commitToken))
        return;
    commit(job, commitToken, isCreateFile);
    emit sendrefreshProgress(2, job.localPath, 100, QString(), KTransferList::sizeText(job.filesize));
}

bool KUploadManager::sendParts(const KUploadInfo& job, const QString& upToken, int doneParts, QString& commitToken)
{
    beginProgress(doneParts * SEGMENT_SIZE);
    QFile file(job.localPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(startOffset)) {
        failJob(job, QStringLiteral("本地文件无法读取: ") + file.errorString());
        return false;
    }
    KUploadPartSender sender(networkManager, SEGMENT_SIZE);
    KPartsInFlight inFlight(partsInFlight);
    int partNumber = doneParts;
    for (qint64 offset = startOffset; offset < job.filesize; offset += SEGMENT_SIZE) {
        // Stopping leaves the job to the next start: the server keeps the
        // parts sent so far and the cache keeps the token.
        if (isInterruptionRequested())
            return false;
        while (!inFlight.reserve()) {
            if (!partArrived(job, inFlight, sender, commitToken))
                return false;
        }
        const QString failure = startPart(job, upToken, ++partNumber, offset, sender, file, inFlight);
        if (!failure.isEmpty())
            return partFailed(job, partNumber, failure);
    }
    while (!inFlight.isEmpty()) {
        if (!partArrived(job, inFlight, sender, commitToken))
            return false;
    }
    return true;
}

QString KUploadManager::startPart(const KUploadInfo& job, const QString& upToken, int partNumber, qint64 offset,
                                  KUploadPartSender& sender, QFile& file, KPartsInFlight& inFlight)
{
    const QString reply = exchangeUpload(job.serverPath, upToken, QString::number(partNumber), QString());
    const KUploadTicket ticket = parseTicket(reply);
    KLog::info2(QStringLiteral("当前进度=第%1片").arg(partNumber), QString::number(offset),
                QString::number(job.filesize));
    KLog::info(QStringLiteral("URL="), KUploadOutcome::redactUrl(ticket.httpurl, upToken));
    if (ticket.httpurl.isEmpty()) {
        sessionGone = retryAllowed && KUploadOutcome::isRefusal(reply);
        return KUploadOutcome::errorText(reply, QStringLiteral("获取上传地址"));
    }
    QNetworkReply* sent = sender.start(ticket, offset, file, qMin(SEGMENT_SIZE, job.filesize - offset));
    inFlight.add({sent, partNumber, offset, ticket.uptoken, ticket.isPut()});
    return QString();
}

// A lost part ends the job at once: later parts would only waste bandwidth
// before a commit that must fail. The cached token stays, so the next attempt
// resumes from the parts the server kept.
bool KUploadManager::partArrived(const KUploadInfo& job, KPartsInFlight& inFlight, KUploadPartSender& sender,
                                 QString& commitToken)
{
    KPartResult result;
    const KPartsInFlight::Part part = inFlight.takeOldest(sender, result);
    // The part address answered and refused: the upload is no more, or this
    // part of it is not taken; a network failure leaves it to a resume.
    if (result.status == 409 && partsInFlight > 1) {
        KLog::info2(QStringLiteral("服务器一次只接收一片，改为逐片上传"), job.localPath, job.serverPath);
        partsInFlight = 1;
        partBusy = retryAllowed;
    } else if (result.status >= 400) {
        sessionGone = retryAllowed;
    }
    if (!result.ok)
        return partFailed(job, part.number, result.reason);
    commitToken = part.token;
    refreshProgress(job.localPath, part.offset, job.filesize);
    return true;
}

// A part cut off by a stop request is no failure of the file.
bool KUploadManager::partFailed(const KUploadInfo& job, int partNumber, const QString& failure)
{
    if (!isInterruptionRequested() && !sessionGone && !partBusy)
        failJob(job, QStringLiteral("第%1片上传失败: %2").arg(partNumber).arg(failure));
    return false;
}

bool KUploadManager::commit(const KUploadInfo& job, const QString& token, bool isCreateFile)
{
    // Bytes read from a file that changed after it was hashed must not be
    // committed under the old digest; the next pass decides again.
    if (!stillAsHashed(job)) {
        KLog::info2(QStringLiteral("文件在上传期间被修改，放弃提交"), job.localPath, job.serverPath);
        return false;
    }
    const QString reply = submitUpload(job.serverPath, token, KUploadRequests::flag(isCreateFile), Yes);
    const QString logged = KUploadOutcome::redactTokens(reply);
    // Only code 0 is a success: a lost connection must not enter the sync
    // log as an upload that never happened.
    if (KUploadOutcome::isSuccess(reply)) {
        KLog::info2(QStringLiteral("上传文件完成=") + logged, job.localPath, job.serverPath);
        database->addSynLog(job.localPath, job.serverPath, QStringLiteral("upload"));
        KConstant::ErrorMap.remove(job.localPath);
        recordSynced(job, KUploadOutcome::committedVersion(reply));
        return true;
    }
    KLog::info2(QStringLiteral("上传文件失败=") + logged, job.localPath, job.serverPath);
    recordFailure(job, KUploadOutcome::errorText(reply, QStringLiteral("提交上传")));
    return false;
}

void KUploadManager::failJob(const KUploadInfo& job, const QString& text)
{
    KLog::info2(QStringLiteral("上传文件失败=") + text, job.localPath, job.serverPath);
    recordFailure(job, text);
}

bool KUploadManager::stillAsHashed(const KUploadInfo& job) const
{
    return !job.stamp.isValid() || KFileStamp::of(job.localPath) == job.stamp;
}

// The journal of a two-way pair learns what both sides now hold.
void KUploadManager::recordSynced(const KUploadInfo& job, qint64 version) const
{
    if (job.pairId.isEmpty() || job.relPath.isEmpty() || !job.stamp.isValid())
        return;
    KSyncJournal(job.pairId).put({job.relPath, job.stamp, job.filemd5, job.filemd5, job.filesize, version,
                                  QDateTime::currentMSecsSinceEpoch()});
}

qint64 KUploadManager::currentVersion(const QList<KNodeInfo>& nodes, const QString& serverPath)
{
    for (const KNodeInfo& node : nodes) {
        if (node.path == serverPath && !node.versions.isEmpty())
            return node.versions.first().version;
    }
    return 0;
}

// A request cut off by a stop request is no failure of the file.
void KUploadManager::failUnlessStopping(const KUploadInfo& job, const QString& text)
{
    KLog::info2(QStringLiteral("上传文件失败"), job.localPath, job.serverPath);
    if (!isInterruptionRequested())
        recordFailure(job, text);
}

void KUploadManager::recordFailure(const KUploadInfo& job, const QString& text)
{
    KConstant::ErrorMap.replace(job.localPath, KUploadOutcome::errorRow(job.localPath, job.serverPath, now(), text));
    jobFailure = text;
    emit failFileItem(2, job.localPath, text);
}

// --- progress --------------------------------------------------------------

void KUploadManager::beginProgress(qint64 offset)
{
    startOffset = offset;
    startTime = lastRefreshTime = now();
}

void KUploadManager::refreshProgress(QString localPath, qint64 done, qint64 total)
{
    const qint64 time = now();
    KLog::info2(QStringLiteral("currentTime="), QString::number(time), QString::number(lastRefreshTime));
    if (time - lastRefreshTime < ProgressIntervalMs)
        return;
    // Bytes sent in this run only: parts a resumed job found on the server do not count.
    const qint64 speed = (done - startOffset) * 1000 / qMax<qint64>(1, time - startTime);
    lastRefreshTime = time;
    const int percent = total > 0 ? int(qMin<qint64>(100, done * 100 / total)) : 100;
    emit sendrefreshProgress(2, localPath, percent, KTransferList::sizeText(speed) + QStringLiteral("/s"),
                             KTransferList::sizeText(done));
}
