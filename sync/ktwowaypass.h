#pragma once

#include "sync/kfoldercomparison.h"
#include "sync/klocaltree.h"
#include "sync/kservertree.h"
#include "sync/ksyncdecision.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// A folder pair as a pass needs it.
struct KPairRoots
{
    QString id;
    QString localRoot;
    QString spaceRoot;
};

// What one pass decided.
struct KPassReport
{
    bool complete = false; // both trees were read whole and every path decided
    int uploads = 0;
    int downloads = 0;
    int conflicts = 0;
    int recorded = 0;
    int keptGone = 0;
    int skipped = 0; // waiting jobs, unreadable folders, a file where the other side has a folder
    int files = 0;   // paths the pair holds on either side
};

// One pass of the two-way direction: reads the journal and both trees,
// decides every path (KSyncDecision) and carries the decision out by
// queueing jobs, renaming a conflicting local file to its conflict copy, or
// writing the journal. A pass that cannot read a whole tree decides nothing.
class KTwoWayPass
{
public:
    explicit KTwoWayPass(const KPairRoots& pair, KJobSink sink = KJobSink::queues());

    // Throws KInterruption::Interrupted when the thread is asked to stop.
    KPassReport run();

    QString localPath(const QString& rel) const;
    QString serverPath(const QString& rel) const;

private:
    bool readTrees();
    QStringList allPaths() const;
    void decidePath(const QString& rel);
    bool clashes(const QString& rel) const;
    KSyncStates statesOf(const QString& rel) const;
    void act(const QString& rel, KSyncAction action, const KSyncStates& states);
    void upload(const QString& rel, const KFileStamp& stamp, const QString& md5);
    void download(const QString& rel, const KFileStamp& replaces);
    void conflict(const QString& rel, const KSyncStates& states);
    QString freeCopyName(const QString& rel) const;
    void record(const QString& rel, const KSyncStates& states);
    void flush(bool all);

    KPairRoots pair;
    KJobSink sink;
    KSyncJournal journal;
    QHash<QString, KJournalEntry> entries;
    KLocalTree local;
    KServerTree server;
    QList<KUploadInfo> uploadBatch;
    QList<KDownloadInfo> downloadBatch;
    KPassReport report;
};
