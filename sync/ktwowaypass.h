#pragma once

#include "sync/kfoldercomparison.h"
#include "sync/kpassinputs.h"
#include "sync/kpassrequest.h"
#include "sync/kserverremoval.h"
#include "sync/ksyncdecision.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// What one pass decided and did.
struct KPassReport
{
    bool complete = false; // both trees were read and every path decided
    int uploads = 0;
    int downloads = 0;
    int conflicts = 0;
    int recorded = 0;
    int keptGone = 0;
    int skipped = 0; // waiting jobs, unreadable folders, a file where the other side has a folder
    int files = 0;   // paths the pair holds on either side
    int removedOnServer = 0;
    int movedToTrash = 0;
    bool held = false;             // deletions wait for the user's word
    bool deletionsRefused = false; // the server has no removal
    QString failure;               // a deletion that could not be carried out
};

struct KPassOptions
{
    // The server takes removals: deletions on one side are carried to the other.
    bool deletionsCarried = false;
    KPassRequest request;
};

// One pass of the two-way direction: reads the journal and both trees
// (whole, or only where a watcher saw changes), decides every path
// (KSyncDecision) and carries the decisions out: jobs are queued, a
// conflicting local file becomes its conflict copy, the journal learns what
// both sides agree on, and deletions go to the trash of the other side,
// unless so many would go at once that the user must confirm them first.
// Jobs that need a removal to happen first wait for it. A pass that cannot
// read what it needs decides nothing.
class KTwoWayPass
{
public:
    explicit KTwoWayPass(const KPairRoots& pair, KJobSink sink = KJobSink::queues(),
                         const KPassOptions& options = KPassOptions());

    // Throws KInterruption::Interrupted when the thread is asked to stop.
    KPassReport run();

    QString localPath(const QString& rel) const;
    QString serverPath(const QString& rel) const;

private:
    bool readTrees();
    QStringList allPaths() const;
    void decidePath(const QString& rel);
    bool hashIfNeeded(const QString& rel, KSyncStates& states);
    bool clashes(const QString& rel) const;
    bool settleClash(const QString& rel, KSyncStates states);
    KSyncStates statesOf(const QString& rel) const;
    void act(const QString& rel, KSyncAction action, const KSyncStates& states);
    void upload(const QString& rel, const KFileStamp& stamp, const QString& md5);
    void download(const QString& rel, const KFileStamp& replaces);
    void conflict(const QString& rel, const KSyncStates& states);
    QString freeCopyName(const QString& rel) const;
    void record(const QString& rel, const KSyncStates& states);

    bool waitsForRemoval(const QString& rel) const;
    KServerKnown serverKnown(const QString& rel) const;
    void carryDeletions();
    void holdUnconfirmed();
    void trashLocal();
    void removeOnServer();
    QHash<QString, QStringList> wholeFoldersGone() const;
    QString folderDigest(const QString& folder, const QStringList& files) const;
    void retryFoldersFileByFile(const QHash<QString, QStringList>& folders, KRemovalResult& result);
    bool isRemoved(const QString& rel, const KRemovalResult& result) const;
    void noteRemovalAnswer(bool supported);
    static QStringList emptiedFolders(const QSet<QString>& folders, const QSet<QString>& otherSide,
                                      const QList<QString>& files, const QStringList& gone);
    void removeEmptyServerFolders(const QStringList& removed, const KRemovalResult& result);
    void trashEmptyLocalFolders(const QStringList& trashed);
    void flushDeferred();
    void flush(bool all);

    KPairRoots pair;
    KJobSink sink;
    KPassOptions options;
    KSyncJournal journal;
    KPassInputs inputs;
    QList<KUploadInfo> uploadBatch;
    QList<KDownloadInfo> downloadBatch;
    QList<KUploadInfo> deferredUploads;
    QList<KDownloadInfo> deferredDownloads;
    QSet<QString> clashing;
    QMap<QString, QString> serverRemovals;  // rel -> the datahash last synced
    QMap<QString, KFileStamp> localRemovals; // rel -> the stamp the pass saw
    KPassReport report;
};
