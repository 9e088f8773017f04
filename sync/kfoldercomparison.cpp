#include "sync/kfoldercomparison.h"

#include "api/khttptools.h"
#include "app/kfiletools.h"
#include "app/kinterruption.h"
#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "store/kservercapabilities.h"
#include "sync/kpairstates.h"
#include "sync/kfilesyncmanager.h"
#include "sync/knodetools.h"
#include "sync/kservertree.h"
#include "sync/ktwowaypass.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kuploadmanager.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

KJobSink KJobSink::queues()
{
    KJobSink sink;
    sink.uploads = [](const QList<KUploadInfo>& jobs) {
        for (const KUploadInfo& job : jobs)
            KUploadManager::enqueue(job);
    };
    sink.downloads = [](const QList<KDownloadInfo>& jobs) {
        for (const KDownloadInfo& job : jobs)
            KDownloadManager::enqueue(job);
    };
    return sink;
}

KFolderComparison::KFolderComparison(const QString& localRoot, const QString& spaceRoot, KJobSink sink)
    : localRoot(localRoot)
    , spaceRoot(spaceRoot)
    , sink(std::move(sink))
{
}

QString KFolderComparison::parsePath(const QString& path, const QString& fromRoot, const QString& toRoot)
{
    if (!path.startsWith(fromRoot))
        return QString();
    return KFileTools::formatPath(toRoot + QLatin1Char('/') + path.mid(fromRoot.size()));
}

bool KFolderComparison::run(const QString& syncType)
{
    bool finished = true;
    try {
        if (syncType == QLatin1String("1"))
            uploadOnly();
        else if (syncType == QLatin1String("2"))
            downloadOnly();
        else if (syncType == QLatin1String("3"))
            finished = twoWay();
        else
            bothWays();
    } catch (const KInterruption::Interrupted&) {
        // A pass cut short decides nothing: what it had not handed over yet
        // rests on scans that never finished.
        KLog::info2(QStringLiteral("同步比较已中断"), localRoot, spaceRoot);
        uploadBatch.clear();
        downloadBatch.clear();
        return false;
    } catch (...) {
        // An unreadable server listing ends this comparison only.
        KLog::info2(QStringLiteral("同步比较失败"), localRoot, spaceRoot);
        finished = false;
    }
    flushDownloads();
    flushUploads();
    return finished;
}

QString KFolderComparison::mapped(const QString& path, const QString& fromRoot, const QString& toRoot) const
{
    const QString target = parsePath(path, fromRoot, toRoot);
    if (target.isEmpty())
        KLog::info2(QStringLiteral("路径不在同步目录下"), path, fromRoot);
    return target;
}

void KFolderComparison::uploadOnly()
{
    const QStringList files = KFileSyncManager::getALLLocalPaths(localRoot);
    for (int first = 0; first < files.size(); first += NodesPerRequest)
        uploadOnlyChunk(files.mid(first, NodesPerRequest));
}

// One "kgetnodes" answers for the whole chunk; a failed answer counts as
// no node, like a failed single request did.
void KFolderComparison::uploadOnlyChunk(const QStringList& files)
{
    QStringList targets;
    for (const QString& file : files)
        targets.append(mapped(file, localRoot, spaceRoot));
    bool answered = false;
    const QHash<QString, KNodeInfo> nodes = nodesAt(targets, answered);
    for (int i = 0; i < files.size(); ++i) {
        KInterruption::check();
        if (targets[i].isEmpty())
            continue;
        KUploadInfo job = uploadJob(files[i], targets[i]);
        const auto node = nodes.constFind(targets[i]);
        if (node != nodes.constEnd() && hasContent(*node, job.filemd5))
            continue;
        if (answered)
            job.server = node == nodes.constEnd() ? KServerKnown::NewFolder : nodeKnown(*node);
        addUpload(job);
    }
}

// Only a file's node says what the upload will meet; anything else is asked
// about again. A missing file's folder is made once: cheaper than asking per file.
KServerKnown KFolderComparison::nodeKnown(const KNodeInfo& node)
{
    return node.isfile ? KServerKnown::NewVersion : KServerKnown::Unknown;
}

QHash<QString, KNodeInfo> KFolderComparison::nodesAt(const QStringList& targets, bool& answered) const
{
    QStringList asked;
    for (const QString& target : targets) {
        if (!target.isEmpty())
            asked.append(target);
    }
    QHash<QString, KNodeInfo> nodes;
    answered = false;
    if (asked.isEmpty())
        return nodes;
    try {
        for (const KNodeInfo& node : KNodeTools::parseNodeList(KNodeTools::getNodes(asked)))
            nodes.insert(node.path, node);
        answered = true;
    } catch (...) {
    }
    return nodes;
}

void KFolderComparison::downloadOnly()
{
    for (const KNodeInfo& node : KFileSyncManager::getALLServerPaths(spaceRoot)) {
        const QString target = mapped(node.path, spaceRoot, localRoot);
        if (target.isEmpty() || QFile::exists(target))
            continue;
        addDownload(downloadJob(node, target));
    }
}

void KFolderComparison::bothWays()
{
    const QStringList localFiles = KFileSyncManager::getALLLocalPaths(localRoot);
    const QList<KNodeInfo> serverFiles = KFileSyncManager::getALLServerPaths(spaceRoot);
    QSet<QString> serverPaths;
    for (const KNodeInfo& node : serverFiles)
        serverPaths.insert(node.path);
    const QSet<QString> localPaths(localFiles.begin(), localFiles.end());
    const KServerTree server = KServerTree::ofFiles(serverFiles, spaceRoot);
    const QString spacePrefix = KFileTools::formatPath(spaceRoot) + QLatin1Char('/');

    for (const QString& file : localFiles) {
        KInterruption::check();
        const QString target = mapped(file, localRoot, spaceRoot);
        if (target.isEmpty() || serverPaths.contains(target))
            continue;
        KUploadInfo job = uploadJob(file, target);
        job.server = target.startsWith(spacePrefix) ? server.uploadKnown(target.mid(spacePrefix.size()))
                                                     : KServerKnown::Unknown;
        addUpload(job);
    }
    for (const KNodeInfo& node : serverFiles) {
        const QString target = mapped(node.path, spaceRoot, localRoot);
        if (target.isEmpty() || localPaths.contains(target))
            continue;
        addDownload(downloadJob(node, target));
    }
}

bool KFolderComparison::twoWay()
{
    if (pairId.isEmpty())
        pairId = KFileSyncDatabase().pairIdOf(localRoot, spaceRoot);
    if (pairId.isEmpty()) {
        KLog::info2(QStringLiteral("同步比较失败"), localRoot, spaceRoot);
        return false;
    }
    KPassOptions options;
    options.request = request;
    // A server not yet asked is tried; one that refused removal is not asked again.
    const QString server = KHttpTools::apiUrlFor(spaceRoot);
    options.deletionsCarried = KServerCapabilities::removal(server) != KServerCapabilities::Answer::No;
    KPairStates::instance().setDeletionsCarried(pairId, options.deletionsCarried);
    const KPassReport report = KTwoWayPass({pairId, localRoot, spaceRoot}, sink, options).run();
    if (!report.failure.isEmpty())
        KLog::info2(QStringLiteral("同步删除失败"), localRoot, report.failure);
    failureText = report.held ? QStringLiteral("删除的文件较多，等待确认") : report.failure;
    return report.complete && failureText.isEmpty();
}

bool KFolderComparison::hasContent(const KNodeInfo& node, const QString& md5) const
{
    for (const KVersionInfo& version : node.versions) {
        if (version.datahash == md5)
            return true;
    }
    return false;
}

KUploadInfo KFolderComparison::uploadJob(const QString& localFile, const QString& target) const
{
    KUploadInfo job;
    job.localPath = localFile;
    job.serverPath = target;
    const QFileInfo info(localFile);
    job.filesize = info.exists() ? info.size() : 0;
    // Taken before the hashing: the commit checks the file still has it.
    job.stamp = KFileStamp::of(localFile);
    job.filemd5 = KFileSyncDatabase().getFileMd5OrDatabase(localFile);
    job.pairId = pairId;
    return job;
}

KDownloadInfo KFolderComparison::downloadJob(const KNodeInfo& node, const QString& target) const
{
    KDownloadInfo job;
    job.localPath = target;
    job.serverPath = node.path;
    job.fileSize = node.versions.isEmpty() ? -1 : node.versions.first().datasize;
    job.dataHash = node.versions.isEmpty() ? QString() : node.versions.first().datahash;
    // The version just listed: the download asks for it without asking again.
    job.version = node.versions.isEmpty() ? 0 : node.versions.first().version;
    job.pairId = pairId;
    return job;
}

void KFolderComparison::addUpload(const KUploadInfo& job)
{
    // A stop request may have cut the job's hashing short.
    KInterruption::check();
    uploadBatch.append(job);
    if (uploadBatch.size() > BatchLimit)
        flushUploads();
}

void KFolderComparison::addDownload(const KDownloadInfo& job)
{
    downloadBatch.append(job);
    if (downloadBatch.size() > BatchLimit)
        flushDownloads();
}

void KFolderComparison::flushUploads()
{
    if (!uploadBatch.isEmpty() && sink.uploads)
        sink.uploads(uploadBatch);
    uploadBatch.clear();
}

void KFolderComparison::flushDownloads()
{
    if (!downloadBatch.isEmpty() && sink.downloads)
        sink.downloads(downloadBatch);
    downloadBatch.clear();
}
