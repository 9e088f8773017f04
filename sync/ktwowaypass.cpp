#include "sync/ktwowaypass.h"

#include "api/khttptools.h"
#include "app/kfiletools.h"
#include "app/kinterruption.h"
#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "store/kservercapabilities.h"
#include "store/kstoresql.h"
#include "store/ksyncconflicts.h"
#include "sync/kconflictname.h"
#include "sync/kdeletionguard.h"
#include "sync/klocaltrash.h"
#include "sync/kpairstates.h"
#include "sync/kserverremoval.h"
#include "transfer/kinflightjobs.h"

#include <QDateTime>
#include <QFile>
#include <QSet>

#include <algorithm>

KTwoWayPass::KTwoWayPass(const KPairRoots& pair, KJobSink sink, const KPassOptions& options)
    : pair(pair)
    , sink(std::move(sink))
    , options(options)
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
    report.files = inputs.pairFiles;
    {
        // Journal rows and hash cache entries of a big first pass go in
        // transactions of their own size, not one commit each.
        KStoreBatch batch;
        for (const QString& rel : paths) {
            decidePath(rel);
            batch.wrote();
        }
    }
    carryDeletions();
    flush(true);
    report.complete = true;
    return report;
}

bool KTwoWayPass::readTrees()
{
    const KPassRequest& request = options.request;
    inputs = request.full ? KPassInputs::readAll(pair) : KPassInputs::readChanged(pair, request.paths);
    if (inputs.complete)
        return true;
    KLog::info2(QStringLiteral("同步比较失败"), pair.localRoot, pair.spaceRoot);
    return false;
}

QStringList KTwoWayPass::allPaths() const
{
    QSet<QString> all(inputs.local.files.keyBegin(), inputs.local.files.keyEnd());
    for (auto it = inputs.server.files.keyBegin(); it != inputs.server.files.keyEnd(); ++it)
        all.insert(*it);
    for (const QString& rel : inputs.entries.paths())
        all.insert(rel);
    QStringList sorted(all.begin(), all.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

void KTwoWayPass::decidePath(const QString& rel)
{
    KInterruption::check();
    if (KInflightJobs::contains(localPath(rel)) || inputs.local.isUnknown(rel)) {
        ++report.skipped;
        return;
    }
    KSyncStates states = statesOf(rel);
    if (clashes(rel)) {
        if (!settleClash(rel, states))
            ++report.skipped;
        return;
    }
    if (hashIfNeeded(rel, states))
        act(rel, KSyncDecision::decide(states, options.deletionsCarried), states);
}

// False when the local file could not be read right now: the next pass tries again.
bool KTwoWayPass::hashIfNeeded(const QString& rel, KSyncStates& states)
{
    if (!KSyncDecision::needsLocalHash(states))
        return true;
    states.localMd5 = KFileSyncDatabase().getFileMd5OrDatabase(localPath(rel));
    if (!states.localMd5.isEmpty())
        return true;
    ++report.skipped;
    return false;
}

bool KTwoWayPass::clashes(const QString& rel) const
{
    return (inputs.local.files.contains(rel) && inputs.server.folders.contains(rel))
           || (inputs.server.files.contains(rel) && inputs.local.folders.contains(rel));
}

// A file on one side where the other has a folder. The folder side counts
// as "no file here": when that leads to removing the file, or to sending the
// file once the folder is gone, it goes ahead (after the removals of this
// pass); anything else waits and says why.
bool KTwoWayPass::settleClash(const QString& rel, KSyncStates states)
{
    clashing.insert(rel);
    if (inputs.local.folders.contains(rel))
        states.local.reset();
    else
        states.server.reset();
    if (!hashIfNeeded(rel, states))
        return true;
    const KSyncAction action = KSyncDecision::decide(states, options.deletionsCarried);
    const bool goes = action == KSyncAction::RemoveServer || action == KSyncAction::TrashLocal
                      || (options.deletionsCarried && (action == KSyncAction::Upload || action == KSyncAction::Download));
    if (!goes) {
        KLog::info2(QStringLiteral("文件与文件夹同名"), localPath(rel), serverPath(rel));
        return false;
    }
    act(rel, action, states);
    return true;
}

KSyncStates KTwoWayPass::statesOf(const QString& rel) const
{
    KSyncStates states;
    states.journal = inputs.entries.find(rel);
    const auto file = inputs.local.files.constFind(rel);
    if (file != inputs.local.files.constEnd())
        states.local = *file;
    const auto node = inputs.server.files.constFind(rel);
    if (node != inputs.server.files.constEnd())
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
    case KSyncAction::RemoveServer:
        serverRemovals.insert(rel, states.journal->datahash);
        return;
    case KSyncAction::TrashLocal:
        localRemovals.insert(rel, *states.local);
        return;
    case KSyncAction::KeepGone:
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
    job.server = serverKnown(rel);
    KInterruption::check();
    if (job.filemd5.isEmpty())
        return;
    ++report.uploads;
    if (waitsForRemoval(rel))
        return deferredUploads.append(job);
    uploadBatch.append(job);
    flush(false);
}

void KTwoWayPass::download(const QString& rel, const KFileStamp& replaces)
{
    const KServerFile& file = inputs.server.files[rel];
    KDownloadInfo job;
    job.localPath = localPath(rel);
    job.serverPath = serverPath(rel);
    job.fileSize = file.datasize;
    job.dataHash = file.datahash;
    job.pairId = pair.id;
    job.relPath = rel;
    job.version = file.version;
    job.mtimeMs = file.timeMs;
    job.replaces = replaces;
    ++report.downloads;
    if (waitsForRemoval(rel))
        return deferredDownloads.append(job);
    downloadBatch.append(job);
    flush(false);
}

// What the listing of this pass says about an upload's target. A path that
// clashes, or below something this pass removes, is asked about again.
KServerKnown KTwoWayPass::serverKnown(const QString& rel) const
{
    return waitsForRemoval(rel) ? KServerKnown::Unknown : inputs.server.uploadKnown(rel);
}

// A job at a path that clashes, or below a file or folder this pass removes,
// can only work once the removals are done.
bool KTwoWayPass::waitsForRemoval(const QString& rel) const
{
    if (clashing.contains(rel) || serverRemovals.contains(rel) || localRemovals.contains(rel))
        return true;
    for (const QString& folder : KPassInputs::ancestors(rel)) {
        if (clashing.contains(folder) || serverRemovals.contains(folder) || localRemovals.contains(folder))
            return true;
    }
    return false;
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
        if (!inputs.local.files.contains(name) && !inputs.server.files.contains(name)
            && !QFile::exists(localPath(name)))
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

void KTwoWayPass::carryDeletions()
{
    holdUnconfirmed();
    if (!localRemovals.isEmpty())
        trashLocal();
    if (!serverRemovals.isEmpty())
        removeOnServer();
    flushDeferred();
}

// Deletions the user confirmed go ahead; the others go ahead unless the
// guard finds too many, in which case they wait, and so does every job
// that needs them.
void KTwoWayPass::holdUnconfirmed()
{
    const QSet<QString>& confirmed = options.request.confirmedDeletions;
    KPendingDeletions pending;
    for (auto it = localRemovals.keyBegin(); it != localRemovals.keyEnd(); ++it) {
        if (!confirmed.contains(*it))
            pending.local << *it;
    }
    for (auto it = serverRemovals.keyBegin(); it != serverRemovals.keyEnd(); ++it) {
        if (!confirmed.contains(*it))
            pending.server << *it;
    }
    // A whole tree that went empty is suspect even for a few files.
    const bool whole = options.request.full;
    const KDeletionGuard::Side local{int(pending.local.size()), whole && inputs.server.files.isEmpty()};
    const KDeletionGuard::Side server{int(pending.server.size()), whole && inputs.local.files.isEmpty()};
    const bool hold = KDeletionGuard::holds(local, server, inputs.pairFiles);
    KPairStates::instance().setPending(pair.id, hold ? pending : KPendingDeletions());
    if (!hold)
        return;
    KLog::info2(QStringLiteral("删除文件过多，等待确认"), pair.localRoot,
                QStringLiteral("%1 local, %2 server").arg(pending.local.size()).arg(pending.server.size()));
    report.held = true;
    for (const QString& rel : pending.local)
        localRemovals.remove(rel);
    for (const QString& rel : pending.server)
        serverRemovals.remove(rel);
    // What waited for removals is decided again once the user has answered.
    deferredUploads.clear();
    deferredDownloads.clear();
}

void KTwoWayPass::trashLocal()
{
    QStringList trashed;
    for (auto it = localRemovals.begin(); it != localRemovals.end(); ++it) {
        KInterruption::check();
        if (!KLocalTrash::moveFile(localPath(it.key()), it.value())) {
            report.failure = QStringLiteral("无法移入回收站：") + localPath(it.key());
            continue;
        }
        KLog::info2(QStringLiteral("云端已删除，本地文件移入回收站"), localPath(it.key()), serverPath(it.key()));
        journal.remove(it.key());
        trashed << it.key();
    }
    report.movedToTrash += trashed.size();
    trashEmptyLocalFolders(trashed);
}

// A folder whose every file goes, and which is gone locally, goes as one
// trash entry (the server checks it still holds exactly those files); the
// rest file by file. A folder that changed meanwhile goes file by file.
void KTwoWayPass::removeOnServer()
{
    const QHash<QString, QStringList> folders = wholeFoldersGone();
    QList<KRemovalItem> items;
    QSet<QString> covered;
    for (auto it = folders.begin(); it != folders.end(); ++it) {
        items.append({serverPath(it.key()), folderDigest(it.key(), it.value())});
        covered += QSet<QString>(it.value().begin(), it.value().end());
    }
    for (auto it = serverRemovals.begin(); it != serverRemovals.end(); ++it) {
        if (!covered.contains(it.key()))
            items.append({serverPath(it.key()), it.value()});
    }
    KRemovalResult result = KServerRemoval::remove(items);
    retryFoldersFileByFile(folders, result);
    noteRemovalAnswer(!result.unsupported);
    if (!result.failure.isEmpty())
        report.failure = QStringLiteral("云端删除失败：") + result.failure;
    QStringList removed;
    for (auto it = serverRemovals.keyBegin(); it != serverRemovals.keyEnd(); ++it) {
        if (!isRemoved(*it, result))
            continue;
        KLog::info2(QStringLiteral("本地已删除，云端文件移入回收站"), localPath(*it), serverPath(*it));
        journal.remove(*it);
        removed << *it;
    }
    report.removedOnServer += removed.size();
    removeEmptyServerFolders(removed, result);
}

bool KTwoWayPass::isRemoved(const QString& rel, const KRemovalResult& result) const
{
    if (result.removed.contains(serverPath(rel)))
        return true;
    const QStringList above = KPassInputs::ancestors(rel);
    return std::any_of(above.begin(), above.end(),
                       [&](const QString& folder) { return result.removed.contains(serverPath(folder)); });
}

void KTwoWayPass::retryFoldersFileByFile(const QHash<QString, QStringList>& folders, KRemovalResult& result)
{
    QList<KRemovalItem> items;
    for (auto it = folders.begin(); it != folders.end(); ++it) {
        if (!result.changed.contains(serverPath(it.key())))
            continue;
        for (const QString& rel : it.value())
            items.append({serverPath(rel), serverRemovals.value(rel)});
    }
    if (items.isEmpty())
        return;
    const KRemovalResult again = KServerRemoval::remove(items);
    result.removed += again.removed;
    result.changed += again.changed;
    if (!again.failure.isEmpty())
        result.failure = again.failure;
}

// Server folders absent locally whose files (at least one) all go in this
// pass, the topmost of them, with those files.
QHash<QString, QStringList> KTwoWayPass::wholeFoldersGone() const
{
    QHash<QString, QStringList> below;
    QSet<QString> keeping;
    for (auto it = inputs.server.files.keyBegin(); it != inputs.server.files.keyEnd(); ++it) {
        for (const QString& folder : KPassInputs::ancestors(*it)) {
            if (serverRemovals.contains(*it))
                below[folder] << *it;
            else
                keeping.insert(folder);
        }
    }
    const auto qualifies = [&](const QString& folder) {
        return below.contains(folder) && !keeping.contains(folder) && !inputs.local.folders.contains(folder)
               && inputs.server.folders.contains(folder) && inputs.knowsAllBelow(folder);
    };
    QHash<QString, QStringList> gone;
    for (auto it = below.begin(); it != below.end(); ++it) {
        const QStringList above = KPassInputs::ancestors(it.key());
        if (qualifies(it.key()) && std::none_of(above.begin(), above.end(), qualifies))
            gone.insert(it.key(), it.value());
    }
    return gone;
}

QString KTwoWayPass::folderDigest(const QString& folder, const QStringList& files) const
{
    QMap<QString, QString> inside;
    for (const QString& rel : files)
        inside.insert(rel.mid(folder.size() + 1), inputs.server.files.value(rel).datahash);
    return KServerRemoval::treeDigest(inside);
}

// The first answer tells whether this server takes removals at all.
void KTwoWayPass::noteRemovalAnswer(bool supported)
{
    KServerCapabilities::setRemoval(KHttpTools::apiUrlFor(pair.spaceRoot), supported);
    KPairStates::instance().setDeletionsCarried(pair.id, supported);
    if (supported)
        return;
    report.deletionsRefused = true;
    KLog::info(QStringLiteral("服务器不支持删除，删除不会同步"), pair.spaceRoot);
}

// Folders of one side that the other side no longer has, and that this
// pass emptied: at least one file below them went, and none is left. The
// topmost of them.
QStringList KTwoWayPass::emptiedFolders(const QSet<QString>& folders, const QSet<QString>& otherSide,
                                        const QList<QString>& files, const QStringList& gone)
{
    const QSet<QString> goneSet(gone.begin(), gone.end());
    QSet<QString> stillHolding;
    for (const QString& rel : files) {
        if (goneSet.contains(rel))
            continue;
        for (const QString& folder : KPassInputs::ancestors(rel))
            stillHolding.insert(folder);
    }
    QSet<QString> emptied;
    for (const QString& rel : gone) {
        for (const QString& folder : KPassInputs::ancestors(rel)) {
            if (folders.contains(folder) && !otherSide.contains(folder) && !stillHolding.contains(folder))
                emptied.insert(folder);
        }
    }
    QStringList topmost;
    for (const QString& folder : emptied) {
        const QStringList above = KPassInputs::ancestors(folder);
        if (std::none_of(above.begin(), above.end(), [&emptied](const QString& a) { return emptied.contains(a); }))
            topmost << folder;
    }
    return topmost;
}

// Folders left without files once their files went one by one (a folder
// that went as a whole is gone already).
void KTwoWayPass::removeEmptyServerFolders(const QStringList& removed, const KRemovalResult& result)
{
    QList<KRemovalItem> items;
    for (const QString& folder : emptiedFolders(inputs.server.folders, inputs.local.folders,
                                                inputs.server.files.keys(), removed)) {
        if (!isRemoved(folder, result))
            items.append({serverPath(folder), KServerRemoval::emptyFolder()});
    }
    if (!items.isEmpty())
        KServerRemoval::remove(items);
}

void KTwoWayPass::trashEmptyLocalFolders(const QStringList& trashed)
{
    for (const QString& folder : emptiedFolders(inputs.local.folders, inputs.server.folders,
                                                inputs.local.files.keys(), trashed))
        KLocalTrash::moveEmptyFolder(localPath(folder));
}

void KTwoWayPass::flushDeferred()
{
    uploadBatch += deferredUploads;
    downloadBatch += deferredDownloads;
    deferredUploads.clear();
    deferredDownloads.clear();
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
