// Both-ways folder comparison against the reference server, nothing
// transferred: two identical trees of N files, and two disjoint trees of M
// files each. Timed against `find` listing the local tree in the same run;
// prints requests per file and the comparison's own CPU time on top of the
// two scans.
#include "app/kfiletools.h"
#include "kbenchsupport.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfoldercomparison.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUrlQuery>
#include <ctime>

namespace {

QTextStream out(stdout);

qint64 requests(KTestServer& server)
{
    const auto stats = server.stats();
    return stats.value(QStringLiteral("klistdir")) + stats.value(QStringLiteral("kgetnodes"));
}

void compare(KTestServer& server, const QString& label, const QString& localRoot, const QString& spaceRoot, int files)
{
    KBench::timeFind(localRoot);
    const double find = KBench::timeFind(localRoot);

    double cpu = KBench::threadCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    const int localCount = KFileSyncManager::getALLLocalPaths(localRoot).size();
    const int serverCount = KFileSyncManager::getALLServerPaths(spaceRoot).size();
    const double scansWall = timer.nsecsElapsed() / 1e9;
    const double scansCpu = KBench::threadCpuSeconds() - cpu;

    int uploads = 0;
    int downloads = 0;
    KJobSink sink;
    sink.uploads = [&](const QList<KUploadInfo>& jobs) { uploads += jobs.size(); };
    sink.downloads = [&](const QList<KDownloadInfo>& jobs) { downloads += jobs.size(); };
    const qint64 before = requests(server);
    cpu = KBench::threadCpuSeconds();
    timer.restart();
    KFolderComparison(localRoot, spaceRoot, sink).run(QString());
    const double wall = timer.nsecsElapsed() / 1e9;
    const double totalCpu = KBench::threadCpuSeconds() - cpu;
    const qint64 sent = requests(server) - before;

    out << QStringLiteral("%1: local %2, server %3 files; jobs: %4 up, %5 down\n")
               .arg(label).arg(localCount).arg(serverCount).arg(uploads).arg(downloads);
    out << QStringLiteral("  comparison %1 s wall (find %2 s, ratio %3); scans alone %4 s wall\n")
               .arg(wall, 0, 'f', 3).arg(find, 0, 'f', 3).arg(wall / find, 0, 'f', 1).arg(scansWall, 0, 'f', 3);
    out << QStringLiteral("  CPU: whole pass %1 s, scans %2 s, comparison on top %3 s (aim < 1 s per 100000 files)\n")
               .arg(totalCpu, 0, 'f', 3).arg(scansCpu, 0, 'f', 3).arg(totalCpu - scansCpu, 0, 'f', 3);
    out << QStringLiteral("  requests: %1 (%2 per file)\n").arg(sent).arg(double(sent) / files, 0, 'f', 4);
    out.flush();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int identical = app.arguments().value(1, QStringLiteral("100000")).toInt();
    const int disjoint = app.arguments().value(2, QStringLiteral("20000")).toInt();
    const int perFolder = 100;
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/wexora-bench-sync-XXXXXX"));
    KFileTools::setAppBaseDirForTesting(work.path());
    KTestServer server;
    if (!server.start() || !kLoginTestSession(server)) {
        out << "could not start or log in to the reference server\n";
        return 1;
    }
    const QString space = KTestServer::demoPersonalSpace();

    QStringList same;
    for (int i = 0; i < identical; ++i)
        same << KBench::relPath(i, perFolder);
    out << QStringLiteral("filling %1 identical files on both sides...\n").arg(identical);
    out.flush();
    KBench::writeLocal(work.path() + "/same", same);
    KBench::fillServer(server, space, QStringLiteral("same/"), same);
    compare(server, QStringLiteral("identical trees"), work.path() + "/same", "@" + space + "/same", identical);

    QStringList left;
    QStringList right;
    for (int i = 0; i < disjoint; ++i) {
        left << QStringLiteral("l") + KBench::relPath(i, perFolder);
        right << QStringLiteral("r") + KBench::relPath(i, perFolder);
    }
    out << QStringLiteral("filling %1 + %1 disjoint files...\n").arg(disjoint);
    out.flush();
    KBench::writeLocal(work.path() + "/apart", left);
    KBench::fillServer(server, space, QStringLiteral("apart/"), right);
    compare(server, QStringLiteral("disjoint trees"), work.path() + "/apart", "@" + space + "/apart", 2 * disjoint);
    return 0;
}
