#pragma once

#include "cli/ktransfertally.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class KSyncEngine;
class QThread;

// The glue between the command and the sync engine: runs one pass over each
// pair on a thread of its own while the engine's transfer threads carry out
// what the passes queue, and keeps the tally of those transfers from the
// engine's transfer signals. A job is outstanding from its announcement to
// its end; the runner is idle when every pass has returned and no job is
// outstanding. Lives on the thread that owns the engine (an event loop runs
// there).
class KSyncRunner : public QObject
{
    Q_OBJECT
public:
    struct Pair
    {
        QString id;
        QString localPath;
        QString spacePath;
        QString syncType;
    };

    explicit KSyncRunner(KSyncEngine* engine, QObject* parent = nullptr);
    ~KSyncRunner() override;

    // Starts the engine's transfer threads (once) and a pass over the pairs.
    void startPasses(const QList<Pair>& pairs);
    bool passesRunning() const { return passing; }
    bool isIdle() const { return !passesRunning() && counts.outstanding() == 0; }
    // Ends the passes between two files and the engine after the transfer
    // in flight; jobs still queued stay outstanding.
    void stop();

    const KTransferTally& tally() const { return counts; }

signals:
    void queued(int type, QString localPath, QString serverPath, qint64 size);
    void ended(int type, QString localPath, bool failed, QString reason);
    void conflict(QString pairId, QString localRoot, QString relPath, QString copyRelPath);
    // finished is false when the pass could not read both trees or was stopped.
    void passEnded(QString pairId, bool finished);
    void idle();

private:
    void connectEngine();
    void onQueued(int type, const QString& localPath, const QString& serverPath, qint64 size);
    void onProgress(int type, const QString& localPath, int percent);
    void onFailed(int type, const QString& localPath, const QString& reason);
    void onEnded(int type, const QString& localPath);
    void onPassesReturned();
    void checkIdle();
    void runPasses(const QList<Pair>& pairs);
    void reportConflicts(const Pair& pair, const QStringList& before);

    KSyncEngine* engine;
    std::unique_ptr<QThread> passThread;
    KTransferTally counts;
    // Set at the start, cleared when the thread's end has arrived here.
    bool passing = false;
};
