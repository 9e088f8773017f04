#pragma once

#include "cli/ksyncrunner.h"

#include <QStringList>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTimer>

class KSyncEngine;

class KCliConsole;
class KFileSyncDatabase;
class QEventLoop;
class QLockFile;

// The run command: one pass over the saved pairs and their transfers, or
// passes every interval until SIGINT or SIGTERM; live progress, events and a
// summary on the console. One run per base folder at a time.
class KCliRun : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        bool once = false;
        QString pairId; // "" for every pair
        int intervalSeconds = 300;
        int checkSeconds = 60;
    };

    KCliRun(KFileSyncDatabase* store, KCliConsole* console, QObject* parent = nullptr);

    // Needs a logged-in session. Returns the exit status.
    int exec(const Options& options);

    static QString lockFilePath();

private:
    bool lockBase(QLockFile& lock);
    void connectRunner();
    QList<KSyncRunner::Pair> selectPairs();
    QString pairProblem(const QStringList& row) const;
    void startCycle();
    void onQueued(int type, const QString& localPath, const QString& serverPath, qint64 size);
    void onEnded(int type, const QString& localPath, bool failed, const QString& reason);
    void onConflict(const QString& pairId, const QString& localRoot, const QString& relPath,
                    const QString& copyRelPath);
    void onPassEnded(const QString& pairId, bool finished);
    void onIdle();
    void onSignal(int signalNumber);
    void showProgress();
    qint64 bytesPerSecond();
    int finish();
    int exitCode() const;

    KFileSyncDatabase* store;
    KCliConsole* console;
    Options options;
    KSyncRunner* runner = nullptr;
    // Without --once, after the first passes: the pairs are watched and
    // their changes passed as they come (the interval passes stay as a net).
    KSyncEngine* engine = nullptr;
    QStringList pairIds;
    void goLive();
    QEventLoop* loop = nullptr;
    QTimer progressTimer;
    QTimer cycleTimer;
    QElapsedTimer clock;
    QList<QPair<qint64, qint64>> samples; // (ms, bytes done)
    int configErrors = 0;
    int unfinishedPasses = 0;
    bool stopped = false;
};
