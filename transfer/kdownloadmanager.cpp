#include "transfer/kdownloadmanager.h"

#include "api/khttptools.h"
#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "sync/knodetools.h"
#include "sync/kpairstates.h"
#include "transfer/kbatchdownload.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kuploadoutcome.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

const int KDownloadManager::MAX_SIZE = 100;
const int KDownloadManager::BUFF_SIZE = 4096;
KJobQueue<KDownloadInfo> KDownloadManager::downloadQueue;
KDownloadManager* KDownloadManager::downloadManager = nullptr;
std::atomic_int KDownloadManager::MaxRunning{1};
std::atomic_int KDownloadManager::handedOver{0};
std::mutex KDownloadManager::gateMutex;

namespace {
const int DownloadType = 1;
}

KDownloadManager::KDownloadManager()
    : QThread(nullptr)
{
}

KDownloadManager::~KDownloadManager() = default;

bool KDownloadManager::enqueue(const KDownloadInfo& job)
{
    if (!KInflightJobs::claimBoth(job.localPath, job.serverPath))
        return false;
    KPairStates::instance().jobQueued(job.pairId, DownloadType);
    // The row is announced before the thread can see the job, so the row's
    // end can never reach the main window ahead of its start.
    if (downloadManager)
        emit downloadManager->addFileItem(DownloadType, job.localPath, job.serverPath, job.fileSize);
    downloadQueue.append(job);
    return true;
}

// Every queued job ends here or in the transfer: the path is free again.
void KDownloadManager::jobDone(const KDownloadInfo& job, const QString& failure)
{
    KInflightJobs::releaseBoth(job.localPath, job.serverPath);
    KPairStates::instance().jobEnded(job.pairId, DownloadType, failure);
}

void KDownloadManager::setPollIntervalForTesting(int ms)
{
    pollIntervalMs = ms > 0 ? ms : PollIntervalMs;
}

void KDownloadManager::stop()
{
    requestInterruption();
    downloadQueue.wake();
    wait();
}

void KDownloadManager::run()
{
    qInfo("定时下载任务开始");
    syncDatabase = std::make_unique<KFileSyncDatabase>();
    while (!isInterruptionRequested()) {
        KDownloadInfo job;
        if (!takeNextJob(job))
            continue;
        for (const KDownloadInfo& taken : withBatch(job))
            runJob(taken);
    }
}

// The small jobs right behind a small one come along: their bytes arrive
// in one answer, and each is handed over with them. A client set to one
// download at a time takes its jobs one at a time.
QList<KDownloadInfo> KDownloadManager::withBatch(const KDownloadInfo& job)
{
    QList<KDownloadInfo> jobs{job};
    if (MaxRunning.load() <= 1 || !KBatchDownload::fits(job))
        return jobs;
    const QString apiUrl = KHttpTools::apiUrlFor(job.serverPath);
    if (!KBatchDownload::serverKnowsOperation(apiUrl))
        return jobs;
    qint64 bytes = job.fileSize;
    jobs += downloadQueue.takeWhile(KBatchDownload::MaxFiles - 1, [&](const KDownloadInfo& next) {
        if (bytes + next.fileSize > KBatchDownload::MaxBytes || !KBatchDownload::fits(next)
            || KHttpTools::apiUrlFor(next.serverPath) != apiUrl)
            return false;
        bytes += next.fileSize;
        return true;
    });
    KBatchDownload::fetch(jobs, apiUrl);
    return jobs;
}

// Sleeps until a job can be taken: the queue has one and no download is
// handed over. Appends and the end of a download wake it; the poll interval
// only bounds the sleep.
bool KDownloadManager::takeNextJob(KDownloadInfo& job)
{
    const quint64 seen = downloadQueue.generation();
    if (!KConstant::IsDownloading && downloadQueue.takeFirst(job))
        return true;
    downloadQueue.waitForChange(seen, pollIntervalMs);
    return false;
}

void KDownloadManager::runJob(const KDownloadInfo& job)
{
    try {
        downloadFile(job);
        return;
    } catch (const char* error) {
        failJob(job, QString::fromUtf8(error));
    } catch (...) {
        failJob(job, QStringLiteral("下载异常"));
    }
    refreshGate();
    emit deleteFileItem(DownloadType, job.localPath);
}

void KDownloadManager::downloadFile(KDownloadInfo job)
{
    if (job.localPath.isEmpty())
        throw "no local path";
    if (!localStateAllows(job))
        return;
    KLog::info2(QStringLiteral("downloadFile"), job.localPath, job.serverPath);
    const QString folder = KFileTools::parentPath(job.localPath);
    if (!QDir(folder).exists())
        KFileTools::makePath(folder);
    if (!knowsVersion(job) && !askVersion(job))
        return;
    KLog::info2(QStringLiteral("开始下载文件"), job.serverPath, QString::number(job.fileSize));
    handedOverOne();
    emit downloadFile(job.localPath, job.serverPath, job.fileSize, job.dataHash);
    emit handOver(job);
}

// A pass that listed the file moments ago names its version; the transfer
// then asks for exactly that version, so a newer one cannot slip in.
bool KDownloadManager::knowsVersion(const KDownloadInfo& job)
{
    return job.version > 0 && job.fileSize >= 0 && !job.dataHash.isEmpty();
}

bool KDownloadManager::askVersion(KDownloadInfo& job)
{
    const std::optional<ServerVersion> version = serverVersionOf(KNodeTools::getNode(job.serverPath));
    if (!version) {
        dropJob(QStringLiteral("downloadFile 文件在服务器上不存在"), job.serverPath, job);
        return false;
    }
    job.fileSize = version->size;
    job.dataHash = version->dataHash;
    job.version = version->version;
    job.mtimeMs = version->timeMs;
    return true;
}

// The count and the flag change together: a download that ends on the
// transfer's thread while this thread hands one over must not leave the
// flag set with nothing running, which would stop the queue for good.
void KDownloadManager::handedOverOne()
{
    const std::lock_guard<std::mutex> lock(gateMutex);
    ++handedOver;
    KConstant::IsDownloading = handedOver.load() >= MaxRunning.load();
}

void KDownloadManager::refreshGate()
{
    const std::lock_guard<std::mutex> lock(gateMutex);
    KConstant::IsDownloading = handedOver.load() >= MaxRunning.load();
}

void KDownloadManager::transferEnded()
{
    {
        const std::lock_guard<std::mutex> lock(gateMutex);
        if (handedOver.load() > 0)
            --handedOver;
        KConstant::IsDownloading = handedOver.load() >= MaxRunning.load();
    }
    downloadQueue.wake();
}

// A new file needs a free place; a replacement needs the local file exactly
// as it was last synced.
bool KDownloadManager::localStateAllows(const KDownloadInfo& job)
{
    if (!job.replaces.isValid() && QFileInfo::exists(job.localPath)) {
        dropJob(QStringLiteral("downloadFile 文件存在"), job.localPath, job);
        return false;
    }
    if (job.replaces.isValid() && KFileStamp::of(job.localPath) != job.replaces) {
        dropJob(QStringLiteral("downloadFile 本地文件已修改"), job.localPath, job);
        return false;
    }
    return true;
}

void KDownloadManager::failJob(const KDownloadInfo& job, const QString& reason)
{
    KLog::info2(QStringLiteral("文件下载失败"), job.serverPath, job.localPath);
    jobDone(job, reason);
    if (isInterruptionRequested())
        return;
    KConstant::ErrorMap.replace(job.localPath, KUploadOutcome::errorRow(job.localPath, job.serverPath,
                                                                        QDateTime::currentMSecsSinceEpoch(), reason,
                                                                        QStringLiteral("download")));
    emit failFileItem(DownloadType, job.localPath, reason);
}

void KDownloadManager::dropJob(const QString& tag, const QString& text, const KDownloadInfo& job)
{
    KLog::info(tag, text);
    jobDone(job);
    emit deleteFileItem(DownloadType, job.localPath);
}

std::optional<KDownloadManager::ServerVersion> KDownloadManager::serverVersionOf(const QString& answer)
{
    if (answer.isEmpty())
        return ServerVersion{0, QString(), 0, 0};
    const QList<KNodeInfo> nodes = KNodeTools::parseNodeList(answer);
    if (nodes.size() != 1)
        return std::nullopt;
    const QList<KVersionInfo>& versions = nodes.first().versions;
    if (versions.isEmpty())
        return ServerVersion{-1, QString(), 0, 0};
    const KVersionInfo& current = versions.first();
    return ServerVersion{current.datasize, current.datahash, current.version, current.vtime};
}
