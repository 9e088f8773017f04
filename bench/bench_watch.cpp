// Change watching of one big pair. Local side: the time to set up the
// watches (against `find` over the same tree), the process CPU while idle
// with the tree watched, the delay from a save to its report, and the cost
// of one rescan (what a pair past the watch limit pays per interval).
// Server side: one check of the whole server tree (wall, client CPU,
// requests, bytes of the answer), against a scan of the same tree on disk.
#include "app/kfiletools.h"
#include "kbenchsupport.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "sync/klocaltree.h"
#include "sync/klocalwatcher.h"
#include "sync/knodetools.h"
#include "sync/kservertree.h"
#include "sync/kserverwatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <ctime>

namespace {

QTextStream out(stdout);

// Runs the event loop until `signal` of `sender` fires (or timeoutMs passes).
template <typename Sender, typename Signal>
bool waitFor(Sender* sender, Signal signal, int timeoutMs)
{
    QEventLoop loop;
    bool fired = false;
    QObject::connect(sender, signal, &loop, [&] {
        fired = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return fired;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.value(values.size() / 2);
}

void local(const QString& root, int files, int idleSeconds)
{
    KBench::timeFind(root);
    const double find = KBench::timeFind(root);
    KLocalWatcher watcher;
    QElapsedTimer timer;
    double cpu = KBench::processCpuSeconds();
    timer.start();
    watcher.watch(QStringLiteral("p"), root);
    if (!waitFor(&watcher, &KLocalWatcher::modeChanged, 600000) || watcher.mode(QStringLiteral("p")) != KLocalWatcher::Live) {
        out << "the watches could not be set up: " << watcher.mode(QStringLiteral("p")) << "\n";
        return;
    }
    const double setup = timer.nsecsElapsed() / 1e9;
    out << QStringLiteral("local: %1 files; watches set up in %2 s wall, %3 s CPU (find %4 s, ratio %5)\n")
               .arg(files).arg(setup, 0, 'f', 3).arg(KBench::processCpuSeconds() - cpu, 0, 'f', 3).arg(find, 0, 'f', 3)
               .arg(setup / find, 0, 'f', 1);
    out.flush();

    cpu = KBench::processCpuSeconds();
    timer.restart();
    KBench::idleMs(idleSeconds * 1000);
    const double idleCpu = KBench::processCpuSeconds() - cpu;
    out << QStringLiteral("  idle %1 s: process CPU %2 s = %3% of a core (aim < 1%)\n")
               .arg(timer.nsecsElapsed() / 1e9, 0, 'f', 1).arg(idleCpu, 0, 'f', 4)
               .arg(100.0 * idleCpu / (timer.nsecsElapsed() / 1e9), 0, 'f', 3);

    QList<double> delays;
    for (int i = 0; i < 5; ++i) {
        timer.restart();
        QFile file(root + QStringLiteral("/d0/saved.txt"));
        file.open(QIODevice::Append);
        file.write("saved\n");
        file.close();
        if (waitFor(&watcher, &KLocalWatcher::changed, 60000))
            delays << timer.nsecsElapsed() / 1e9;
    }
    out << QStringLiteral("  save to report: median %1 s over %2 saves (quiet period 1 s)\n")
               .arg(median(delays), 0, 'f', 3).arg(delays.size());

    cpu = KBench::threadCpuSeconds();
    timer.restart();
    KLocalTree::scan(root);
    const double scanWall = timer.nsecsElapsed() / 1e9;
    const double scanCpu = KBench::threadCpuSeconds() - cpu;
    // The watcher waits at least 30 s, or a hundred times the scan's length.
    const double interval = qMax(30.0, 100 * scanWall);
    out << QStringLiteral("  one rescan (past the watch limit): %1 s wall, %2 s CPU; one per %3 s = %4% of a core\n")
               .arg(scanWall, 0, 'f', 3).arg(scanCpu, 0, 'f', 3).arg(interval, 0, 'f', 0)
               .arg(100.0 * scanCpu / interval, 0, 'f', 2);
    out.flush();
}

void server(KTestServer& server, const QString& spaceRoot, const QString& localRoot, int files)
{
    const QString op = QStringLiteral("klistdir");
    QList<double> walls;
    QList<double> cpus;
    QList<double> scans;
    qint64 requests = 0;
    QString print;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        KLocalTree::scan(localRoot);
        scans << timer.nsecsElapsed() / 1e9;

        const qint64 before = server.stats().value(op);
        const double cpu = KBench::threadCpuSeconds();
        timer.restart();
        const KServerTree tree = KServerTree::scan(spaceRoot);
        print = KServerWatcher::fingerprint(tree);
        walls << timer.nsecsElapsed() / 1e9;
        cpus << KBench::threadCpuSeconds() - cpu;
        requests = server.stats().value(op) - before;
        if (tree.files.size() != files)
            out << QStringLiteral("  the listing held %1 files, not %2\n").arg(tree.files.size()).arg(files);
    }
    const qint64 bytes = KNodeTools::listDir(spaceRoot, true, true, KServerTree::Depth).toUtf8().size();
    out << QStringLiteral("server: one check of %1 files: median %2 s wall, %3 s client CPU, %4 request(s), "
                          "%5 MiB answer\n")
               .arg(files).arg(median(walls), 0, 'f', 3).arg(median(cpus), 0, 'f', 3).arg(requests)
               .arg(bytes / 1048576.0, 0, 'f', 2);
    out << QStringLiteral("  local scan of the same tree %1 s (ratio %2); at one check a minute: %3% of a core\n")
               .arg(median(scans), 0, 'f', 3).arg(median(walls) / median(scans), 0, 'f', 1)
               .arg(100.0 * median(cpus) / 60, 0, 'f', 2);

    // The same through the watcher's own thread.
    KServerWatcher watcher;
    watcher.start();
    QElapsedTimer timer;
    timer.start();
    watcher.watch(QStringLiteral("p"), spaceRoot);
    const bool checked = waitFor(&watcher, &KServerWatcher::checked, 600000);
    out << QStringLiteral("  first check on the watcher thread: %1 s (%2), baseline %3\n")
               .arg(timer.nsecsElapsed() / 1e9, 0, 'f', 3).arg(checked ? "done" : "timed out")
               .arg(watcher.baseline(QStringLiteral("p")) == print ? "as computed above" : "DIFFERENT");
    out.flush();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int files = app.arguments().value(1, QStringLiteral("100000")).toInt();
    const int idleSeconds = app.arguments().value(2, QStringLiteral("30")).toInt();
    const bool withServer = app.arguments().value(3, QStringLiteral("server")) == QLatin1String("server");
    const int perFolder = 100;
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/wexora-bench-watch-XXXXXX"));
    KFileTools::setAppBaseDirForTesting(work.path());

    QStringList rels;
    for (int i = 0; i < files; ++i)
        rels << KBench::relPath(i, perFolder);
    out << QStringLiteral("writing %1 files...\n").arg(files);
    out.flush();
    const QString root = work.path() + QStringLiteral("/tree");
    KBench::writeLocal(root, rels);
    local(root, files, idleSeconds);
    if (!withServer)
        return 0;

    KTestServer testServer;
    if (!testServer.start() || !kLoginTestSession(testServer)) {
        out << "could not start or log in to the reference server\n";
        return 1;
    }
    const QString space = KTestServer::demoPersonalSpace();
    out << QStringLiteral("filling %1 files on the server...\n").arg(files);
    out.flush();
    KBench::fillServer(testServer, space, QStringLiteral("tree/"), rels);
    server(testServer, QStringLiteral("@") + space + QStringLiteral("/tree"), root, files);
    return 0;
}
