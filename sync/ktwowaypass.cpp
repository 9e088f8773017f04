#include "sync/ktwowaypass.h"

#include "app/kfiletools.h"
#include "app/kinterruption.h"
#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "store/kpartialdownloads.h"
#include "store/kstoresql.h"
#include "store/ksyncconflicts.h"
#include "sync/kconflictname.h"
#include "transfer/kinflightjobs.h"

#include <QDateTime>
#include <QFile>
#include <QSet>

#include <algorithm>

KTwoWayPass::KTwoWayPass(const KPairRoots& pair, KJobSink sink)
    : pair(pair)
    , sink(std::move(sink))
    , journal(pair.id)
{
}

QString KTwoWayPass::localPath(const QString& rel) const
{
    return KFileTools::formatPath(pair.localRoot + QLatin1Char('/') + rel);
}

QString KTwoWayPass::serverPath(const QString& rel) const
{
    return KFileTools::formatPath(pair.spaceRoot + QLatin1Char('/') + rel);
}

KPassReport KTwoWayPass::run()
{
    if (!readTrees())
        return report;
    const QStringList paths = allPaths();
    report.files = paths.size();
    {
        // Journal rows and hash cache entries of a big first pass go in
        // transactions of their own size, not one commit each.
        KStoreBatch batch;
        for (const QString& rel : paths) {
            decidePath(rel);
            batch.wrote();
        }
    }
    flush(true);
    report.complete = true;
    return report;
}

bool KTwoWayPass::readTrees()
{
    entries = journal.load();
    local = KLocalTree::scan(pair.localRoot, KPartialDownloads::below(pair.localRoot));
    server = KServerTree::scan(pair.spaceRoot);
    if (local.complete && server.complete)
        return true;
    KLog::info2(QStringLiteral("同步比较失败"), pair.localRoot, pair.spaceRoot);
    return false;
}

QStringList KTwoWayPass::allPaths() const
{
    QSet<QString> all(local.files.keyBegin(), local.files.keyEnd());
    for (auto it = server.files.keyBegin(); it != server.files.keyEnd(); ++it)
        all.insert(*it);
    for (auto it = entries.keyBegin(); it != entries.keyEnd(); ++it)
        all.insert(*it);
    QStringList sorted(all.begin(), all.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

void KTwoWayPass::decidePath(const QString& rel)
{
    KInterruption::check();
    if (KInflightJobs::contains(localPath(rel)) || local.isUnknown(rel) || clashes(rel)) {
        ++report.skipped;
        return;
    }
    KSyncStates states = statesOf(rel);
    if (KSyncDecision::needsLocalHash(states))
        states.localMd5 = KFileSyncDatabase().getFileMd5OrDatabase(localPath(rel));
    if (states.local && states.localMd5.isEmpty() && KSyncDecision::needsLocalHash(states)) {
        ++report.skipped; // unreadable right now; the next pass tries again
        return;
    }
    act(rel, KSyncDecision::decide(states, false), states);
}

// A file on one side where the other has a folder: neither may replace the
// other without a deletion, so the path waits and says so.
bool KTwoWayPass::clashes(const QString& rel) const
{
    const bool clash = (local.files.contains(rel) && server.folders.contains(rel))
                       || (server.files.contains(rel) && local.folders.contains(rel));
    if (clash)
        KLog::info2(QStringLiteral("文件与文件夹同名"), localPath(rel), serverPath(rel));
    return clash;
}

KSyncStates KTwoWayPass::statesOf(const QString& rel) const
{
    KSyncStates states;
    const auto entry = entries.constFind(rel);
    if (entry != entries.constEnd())
        states.journal = *entry;
    const auto file = local.files.constFind(rel);
    if (file != local.files.constEnd())
        states.local = *file;
    const auto node = server.files.constFind(rel);
    if (node != server.files.constEnd())
        states.server = *node;
    return states;
}

void KTwoWayPass::act(const QString& rel, KSyncAction action, const KSyncStates& states)
{
    switch (action) {
    case KSyncAction::Upload:
        return upload(rel, *states.local, states.localMd5);
    case KSyncAction::Download:
        return download(rel, KFileStamp());
    case KSyncAction::ReplaceLocal:
        return download(rel, *states.local);
    case KSyncAction::Conflict:
        return conflict(rel, states);
    case KSyncAction::Record:
        return record(rel, states);
    case KSyncAction::Forget:
        return journal.remove(rel);
    case KSyncAction::KeepGone:
    case KSyncAction::RemoveServer:
    case KSyncAction::TrashLocal:
        ++report.keptGone;
        return;
    case KSyncAction::Nothing:
        return;
    }
}

void KTwoWayPass::upload(const QString& rel, const KFileStamp& stamp, const QString& md5)
{
    KUploadInfo job;
    job.localPath = localPath(rel);
    job.serverPath = serverPath(rel);
    job.filesize = stamp.size;
    job.filemd5 = md5.isEmpty() ? KFileSyncDatabase().getFileMd5OrDatabase(job.localPath) : md5;
    job.pairId = pair.id;
    job.relPath = rel;
    job.stamp = stamp;
    KInterruption::check();
    if (job.filemd5.isEmpty())
        return;
    uploadBatch.append(job);
    ++report.uploads;
    flush(false);
}

void KTwoWayPass::download(const QString& rel, const KFileStamp& replaces)
{
    const KServerFile& file = server.files[rel];
    KDownloadInfo job;
    job.localPath = localPath(rel);
    job.serverPath = serverPath(rel);
    job.fileSize = file.datasize;
    job.dataHash = file.datahash;
    job.pairId = pair.id;
    job.relPath = rel;
    job.version = file.version;
    job.replaces = replaces;
    downloadBatch.append(job);
    ++report.downloads;
    flush(false);
}

// The local content moves aside to its conflict copy, which then uploads
// like any new file; the server's version comes down to the original name.
void KTwoWayPass::conflict(const QString& rel, const KSyncStates& states)
{
    const QString copyRel = freeCopyName(rel);
    const QString original = localPath(rel);
    if (KFileStamp::of(original) != *states.local || !QFile::rename(original, localPath(copyRel))) {
        ++report.skipped;
        return;
    }
    KLog::info2(QStringLiteral("同步冲突"), original, localPath(copyRel));
    KSyncConflicts::add({pair.id, rel, copyRel, QDateTime::currentMSecsSinceEpoch()});
    ++report.conflicts;
    upload(copyRel, KFileStamp::of(localPath(copyRel)), states.localMd5);
    download(rel, KFileStamp());
}

QString KTwoWayPass::freeCopyName(const QString& rel) const
{
    const QDateTime now = QDateTime::currentDateTime();
    for (int attempt = 0;; ++attempt) {
        const QString name = KConflictName::make(rel, now, attempt);
        if (!local.files.contains(name) && !server.files.contains(name) && !QFile::exists(localPath(name)))
            return name;
    }
}

void KTwoWayPass::record(const QString& rel, const KSyncStates& states)
{
    const KServerFile& file = *states.server;
    journal.put({rel, *states.local, states.localMd5.isEmpty() ? file.datahash : states.localMd5, file.datahash,
                 file.datasize, file.version, QDateTime::currentMSecsSinceEpoch()});
    ++report.recorded;
}

void KTwoWayPass::flush(bool all)
{
    if (!uploadBatch.isEmpty() && (all || uploadBatch.size() > KFolderComparison::BatchLimit)) {
        if (sink.uploads)
            sink.uploads(uploadBatch);
        uploadBatch.clear();
    }
    if (!downloadBatch.isEmpty() && (all || downloadBatch.size() > KFolderComparison::BatchLimit)) {
        if (sink.downloads)
            sink.downloads(downloadBatch);
        downloadBatch.clear();
    }
}
