#include "cli/kclirun.h"

#include "app/kfiletools.h"
#include "cli/kcliconsole.h"
#include "cli/kclioptions.h"
#include "cli/kclipairs.h"
#include "cli/kclireport.h"
#include "cli/ksignalwatcher.h"
#include "store/kfilesyncdatabase.h"
#include "store/kpaircheck.h"
#include "sync/knodetools.h"
#include "sync/kpairwatching.h"
#include "sync/kserverwatcher.h"
#include "sync/ksyncengine.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QLockFile>
#include <QNetworkAccessManager>

namespace {

const int ProgressTickMs = 500;
// Speed over the last few seconds, not since the start.
const qint64 SpeedWindowMs = 5000;

QString serverProblem(KPairRefusal refusal, const QString& spacePath)
{
    switch (refusal) {
    case KPairRefusal::None:
        return QString();
    case KPairRefusal::ServerFile:
        return QStringLiteral("the server path %1 is a file, not a folder").arg(spacePath);
    case KPairRefusal::ServerUnreachable:
        return QStringLiteral("the server did not answer about %1; check the server and try again").arg(spacePath);
    case KPairRefusal::ServerRefused:
        return QStringLiteral("the server refused to show %1; check the login and try again").arg(spacePath);
    default:
        return QStringLiteral("the server folder %1 does not exist").arg(spacePath);
    }
}

} // namespace

KCliRun::KCliRun(KFileSyncDatabase* store, KCliConsole* console, QObject* parent)
    : QObject(parent)
    , store(store)
    , console(console)
{
    progressTimer.setInterval(ProgressTickMs);
    connect(&progressTimer, &QTimer::timeout, this, &KCliRun::showProgress);
    cycleTimer.setSingleShot(true);
    connect(&cycleTimer, &QTimer::timeout, this, &KCliRun::startCycle);
}

QString KCliRun::lockFilePath()
{
    return KFileTools::appBaseDir() + QStringLiteral("/wexora-sync.lock");
}

int KCliRun::exec(const Options& runOptions)
{
    options = runOptions;
    QLockFile lock(lockFilePath());
    if (!lockBase(lock))
        return KCliExitUsage;
    const QList<KSyncRunner::Pair> pairs = selectPairs();
    if (pairs.isEmpty()) {
        if (configErrors == 0)
            console->error(QStringLiteral("no pair to run; add one with 'wexora-sync pair add LOCAL REMOTE'"));
        return KCliExitUsage;
    }
    QNetworkAccessManager network;
    KSyncEngine syncEngine(&network, store);
    engine = &syncEngine;
    for (const KSyncRunner::Pair& pair : pairs)
        pairIds << pair.id;
    KSyncRunner syncRunner(&syncEngine);
    runner = &syncRunner;
    connectRunner();
    KSignalWatcher signalWatcher;
    connect(&signalWatcher, &KSignalWatcher::received, this, &KCliRun::onSignal);
    QEventLoop eventLoop;
    loop = &eventLoop;
    clock.start();
    progressTimer.start();
    runner->startPasses(pairs);
    eventLoop.exec();
    const int status = finish();
    runner = nullptr;
    engine = nullptr;
    return status;
}

bool KCliRun::lockBase(QLockFile& lock)
{
    // Only a holder that is gone makes the lock stale, however long a run lasts.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return true;
    qint64 pid = 0;
    QString host;
    QString application;
    lock.getLockInfo(&pid, &host, &application);
    console->error(QStringLiteral("another 'wexora-sync run' (pid %1) is using %2; stop it first or use another --base")
                       .arg(pid)
                       .arg(KFileTools::appBaseDir()));
    return false;
}

void KCliRun::connectRunner()
{
    connect(runner, &KSyncRunner::queued, this, &KCliRun::onQueued);
    connect(runner, &KSyncRunner::ended, this, &KCliRun::onEnded);
    connect(runner, &KSyncRunner::conflict, this, &KCliRun::onConflict);
    connect(runner, &KSyncRunner::passEnded, this, &KCliRun::onPassEnded);
    connect(runner, &KSyncRunner::idle, this, &KCliRun::onIdle);
}

QList<KSyncRunner::Pair> KCliRun::selectPairs()
{
    QList<KSyncRunner::Pair> pairs;
    const QList<QStringList> rows = options.pairId.isEmpty()
                                        ? store->getSyncConfigs()
                                        : QList<QStringList>{store->getSyncConfigById(options.pairId)};
    for (const QStringList& row : rows) {
        if (row.isEmpty()) {
            console->error(QStringLiteral("no pair with id %1 (see 'wexora-sync pair list')").arg(options.pairId));
            ++configErrors;
            continue;
        }
        if (KFileSyncDatabase::isPaused(row)) {
            console->report(QStringLiteral("pair %1 is paused; skipped").arg(row.value(0)),
                            {{"event", "skipped"}, {"pair", row.value(0)}, {"reason", "paused"}});
            continue;
        }
        const QString problem = pairProblem(row);
        if (!problem.isEmpty()) {
            console->error(QStringLiteral("pair %1: %2").arg(row.value(0), problem));
            ++configErrors;
            continue;
        }
        pairs.append({row.value(0), row.value(1), row.value(2), row.value(5)});
    }
    return pairs;
}

// A pair whose folder is gone must not run: the passes would take the
// missing side for an empty one.
QString KCliRun::pairProblem(const QStringList& row) const
{
    const QString local = KCliPairs::localFolderProblem(row.value(1));
    if (!local.isEmpty())
        return local;
    return serverProblem(KPairCheck::serverFolderVerdict(KNodeTools::getNode(row.value(2))), row.value(2));
}

void KCliRun::startCycle()
{
    const QList<KSyncRunner::Pair> pairs = selectPairs();
    if (pairs.isEmpty())
        cycleTimer.start(options.intervalSeconds * 1000);
    else
        runner->startPasses(pairs);
}

void KCliRun::onQueued(int type, const QString& localPath, const QString& serverPath, qint64 size)
{
    if (console->mode() != KCliConsole::Mode::Terminal)
        console->report(KCliReport::queuedLine(type, localPath, serverPath, size),
                        KCliReport::queuedEvent(type, localPath, serverPath, size));
}

void KCliRun::onEnded(int type, const QString& localPath, bool failed, const QString& reason)
{
    if (failed)
        console->report(KCliReport::failedLine(type, localPath, reason),
                        KCliReport::failedEvent(type, localPath, reason));
    else if (console->mode() != KCliConsole::Mode::Terminal)
        console->report(KCliReport::doneLine(type, localPath), KCliReport::doneEvent(type, localPath));
}

void KCliRun::onConflict(const QString& pairId, const QString& localRoot, const QString& relPath,
                         const QString& copyRelPath)
{
    console->report(KCliReport::conflictLine(localRoot, relPath, copyRelPath),
                    KCliReport::conflictEvent(pairId, relPath, copyRelPath));
}

void KCliRun::onPassEnded(const QString& pairId, bool finished)
{
    if (finished || stopped)
        return;
    ++unfinishedPasses;
    console->error(QStringLiteral("pair %1: the comparison did not finish (a folder could not be read); "
                                  "it is tried again at the next run")
                       .arg(pairId));
}

void KCliRun::onIdle()
{
    if (stopped)
        return;
    if (options.once) {
        loop->quit();
        return;
    }
    goLive();
    showProgress();
    cycleTimer.start(options.intervalSeconds * 1000);
}

void KCliRun::goLive()
{
    if (!engine)
        return;
    engine->watching()->server()->setIntervalMs(options.checkSeconds * 1000);
    engine->startLive(pairIds);
}

void KCliRun::onSignal(int signalNumber)
{
    if (stopped)
        return;
    stopped = true;
    console->endLive();
    console->report(QStringLiteral("signal %1: stopping after the transfer in flight").arg(signalNumber),
                    {{"event", "stopping"}, {"signal", signalNumber}});
    cycleTimer.stop();
    runner->stop();
    loop->quit();
}

qint64 KCliRun::bytesPerSecond()
{
    const qint64 now = clock.elapsed();
    samples.append({now, runner->tally().bytesDone()});
    while (samples.size() > 2 && now - samples.at(1).first >= SpeedWindowMs)
        samples.removeFirst();
    const qint64 span = now - samples.constFirst().first;
    return span > 0 ? (samples.constLast().second - samples.constFirst().second) * 1000 / span : 0;
}

void KCliRun::showProgress()
{
    const qint64 speed = bytesPerSecond();
    const KTransferTally& tally = runner->tally();
    if (console->mode() == KCliConsole::Mode::Terminal)
        console->live(KCliReport::progressLine(tally, speed));
    else if (console->json() && tally.outstanding() > 0)
        console->event(KCliReport::progressEvent(tally, speed));
}

int KCliRun::exitCode() const
{
    if (configErrors > 0)
        return KCliExitUsage;
    const bool unfinished = options.once && stopped && runner->tally().outstanding() > 0;
    return runner->tally().filesFailed() > 0 || unfinishedPasses > 0 || unfinished ? KCliExitTransferFailed
                                                                                    : KCliExitOk;
}

int KCliRun::finish()
{
    progressTimer.stop();
    if (!stopped)
        runner->stop();
    if (console->mode() == KCliConsole::Mode::Terminal)
        console->live(KCliReport::progressLine(runner->tally(), 0));
    console->endLive();
    const KTransferTally& tally = runner->tally();
    const int status = exitCode();
    if (console->json()) {
        console->event(KCliReport::summaryEvent(tally, clock.elapsed(), stopped, status));
        return status;
    }
    console->line(KCliReport::summaryLine(tally, clock.elapsed(), stopped));
    for (const KTransferFailure& failure : tally.failureList())
        console->line(QStringLiteral("  ") + KCliReport::failedLine(failure.type, failure.localPath, failure.reason));
    if (!tally.failureList().isEmpty())
        console->line(QStringLiteral("failed transfers are tried again at the next run"));
    return status;
}
