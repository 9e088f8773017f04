#pragma once

#include "app/kwakeup.h"
#include "sync/knodeinfo.h"
#include "sync/kpassrequest.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThread>

// The periodic sync thread and the tree scans and comparison it runs. The
// scans keep no member state, so any thread may call them.
class KFileSyncManager : public QThread
{
    Q_OBJECT
public:
    KFileSyncManager();

    static QString DataDIr;

    // Schedule of the periodic pass; tests shorten it.
    struct Schedule
    {
        int firstWaitMs = 10000;
        int checkIntervalMs = 60000;
        qint64 passGapSeconds = 14400;
    };
    void setSchedule(const Schedule& schedule) { timing = schedule; }

    // Compares one folder pair and queues what each side lacks.
    static void syncDir(const QString& localRoot, const QString& spaceRoot, const QString& status,
                        const QString& ignoreType, const QString& syncType);
    // syncDir of a stored pair, which knows its id; the request says how
    // much of it (two-way pairs look only at the paths a watcher saw change).
    // False when the pass could not finish (a tree could not be read, a stop).
    static bool syncPair(const QString& id, const QString& localRoot, const QString& spaceRoot,
                         const QString& syncType, const KPassRequest& request = KPassRequest());
    static QString parsePath(const QString& path, const QString& fromRoot, const QString& toRoot);
    // True when the local folder exists and the server path is a folder.
    static bool pairIsReady(const QString& localRoot, const QString& spaceRoot);
    void clearFile() {}
    void syncFile(const QString& localPath, const QString& serverPath)
    {
        Q_UNUSED(localPath)
        Q_UNUSED(serverPath)
    }

    // Every file below a local folder, depth first in case-insensitive name
    // order; hidden and special entries are left out, links to folders are
    // followed unless they lead back to a folder on the current branch.
    static QStringList getALLLocalPaths(const QString& dir);
    // Every file below a server folder, one "klistdir" per folder; throws what
    // an unreadable listing throws.
    static QList<KNodeInfo> getALLServerPaths(const QString& dir);
    // Direct entries of a local folder: [name, "true"] for files, [name, "false"] otherwise.
    static QList<QStringList> listEntries(const QString& dir, bool withDirs, bool withFiles);

    // A child name a listing may safely map below its folder.
    static bool isSafeChildName(const QString& name);
    // Server folders nested deeper than this are not followed.
    static const int MaxServerDepth = 256;

    // Ends run() soon: a sleep ends at once, a running comparison between two
    // files or requests. Does not wait for the thread.
    void stop();
    // Runs the next check now instead of after the rest of the interval.
    void wakeUp();

signals:
    // After every check of the saved pairs; passes = pairs compared.
    void checkFinished(int passes);

protected:
    void run() override;

private:
    int checkOnce(class KFileSyncDatabase& store);
    // Sleeps up to ms, returning early (false) when the thread is asked to stop.
    bool pause(int ms);

    Schedule timing;
    KWakeup wakeup;

    static void collectLocal(const QString& dir, QSet<QString>& branch, QStringList& files);
    static void collectServer(const QString& dir, int depth, QList<KNodeInfo>& files);
};
