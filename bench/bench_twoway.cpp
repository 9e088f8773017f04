// The two-way direction over large trees against the reference server,
// nothing transferred: the first pass over N identical files (every file
// hashed once, the journal written) next to today's fill pass over the same
// trees; a second pass over the unchanged trees (CPU on top of the scans and
// bytes hashed: the journal and the hash cache should make it read nothing);
// the journal's size and the memory it takes at 1,000,000 entries; and the
// requests of an upload-only pass over unchanged files.
#include "app/kfiletools.h"
#include "kbenchsupport.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/kfilesyncdatabase.h"
#include "store/kstoresql.h"
#include "store/ksyncjournal.h"
#include "sync/klocaltree.h"
#include "sync/kfoldercomparison.h"
#include "sync/kservertree.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

QTextStream out(stdout);

struct Measure
{
    double wall = 0;
    double cpu = 0;
    qint64 hashed = 0;
    qint64 requests = 0;
    int jobs = 0;
};

qint64 listingRequests(KTestServer& server)
{
    const auto stats = server.stats();
    return stats.value(QStringLiteral("klistdir")) + stats.value(QStringLiteral("kgetnodes"));
}

Measure pass(KTestServer& server, const QString& local, const QString& remote, const QString& type)
{
    Measure m;
    KJobSink sink;
    sink.uploads = [&m](const QList<KUploadInfo>& jobs) { m.jobs += jobs.size(); };
    sink.downloads = [&m](const QList<KDownloadInfo>& jobs) { m.jobs += jobs.size(); };
    KFolderComparison comparison(local, remote, sink);
    comparison.setPairId(QStringLiteral("bench-") + type);
    const qint64 hashedBefore = KFileSyncDatabase::bytesHashed();
    const qint64 requestsBefore = listingRequests(server);
    const double cpu = KBench::threadCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    comparison.run(type);
    m.wall = timer.nsecsElapsed() / 1e9;
    m.cpu = KBench::threadCpuSeconds() - cpu;
    m.hashed = KFileSyncDatabase::bytesHashed() - hashedBefore;
    m.requests = listingRequests(server) - requestsBefore;
    return m;
}

double scansCpu(const QString& local, const QString& remote)
{
    const double cpu = KBench::threadCpuSeconds();
    KLocalTree::scan(local);
    KServerTree::scan(remote);
    return KBench::threadCpuSeconds() - cpu;
}

void print(const QString& label, const Measure& m)
{
    out << QStringLiteral("  %1: %2 s wall, %3 s CPU, %4 bytes hashed, %5 listing requests, %6 jobs\n")
               .arg(label).arg(m.wall, 0, 'f', 3).arg(m.cpu, 0, 'f', 3).arg(m.hashed).arg(m.requests).arg(m.jobs);
    out.flush();
}

void firstAndSecondPass(KTestServer& server, const QString& space, const QString& work, int files)
{
    QStringList rels;
    for (int i = 0; i < files; ++i)
        rels << KBench::relPath(i, 100);
    out << QStringLiteral("filling %1 identical files on both sides...\n").arg(files);
    out.flush();
    KBench::writeLocal(work + "/tree", rels);
    KBench::fillServer(server, space, QStringLiteral("tree/"), rels);
    const QString remote = "@" + space + "/tree";

    out << QStringLiteral("first pass over %1 identical files:\n").arg(files);
    const Measure fill = pass(server, work + "/tree", remote, QStringLiteral("0"));
    print(QStringLiteral("fill direction \"0\" (today)"), fill);
    const Measure first = pass(server, work + "/tree", remote, QStringLiteral("3"));
    print(QStringLiteral("two-way direction \"3\""), first);
    out << QStringLiteral("  ratio two-way / fill: %1 x wall\n").arg(first.wall / fill.wall, 0, 'f', 2);

    const double scans = scansCpu(work + "/tree", remote);
    const Measure second = pass(server, work + "/tree", remote, QStringLiteral("3"));
    out << QStringLiteral("second two-way pass, nothing changed:\n");
    print(QStringLiteral("two-way direction \"3\""), second);
    out << QStringLiteral("  CPU on top of the scans (%1 s): %2 s (aim < 1 s); bytes hashed %3 (aim 0)\n")
               .arg(scans, 0, 'f', 3).arg(second.cpu - scans, 0, 'f', 3).arg(second.hashed);
    out.flush();
}

void bigJournal(int entries)
{
    out << QStringLiteral("journal of %1 entries:\n").arg(entries);
    out.flush();
    const KSyncJournal journal(QStringLiteral("bench-big"));
    QElapsedTimer timer;
    timer.start();
    {
        KStoreBatch batch(5000, 1000);
        for (int i = 0; i < entries; ++i) {
            journal.put({KBench::relPath(i, 100), {i, 1700000000000 + i, 1000000 + i},
                         QStringLiteral("0123456789abcdef0123456789abcdef"),
                         QStringLiteral("0123456789abcdef0123456789abcdef"), i, 1, 1700000000000});
            batch.wrote();
        }
    }
    const double write = timer.nsecsElapsed() / 1e9;
    const qint64 bytes = QFileInfo(KFileSyncDatabase::databasePath()).size()
                         + QFileInfo(KFileSyncDatabase::databasePath() + "-wal").size();
    const double rssBefore = KBench::rssMiB();
    timer.restart();
    const auto loaded = journal.load(); // held while its memory is measured
    const double held = KBench::rssMiB() - rssBefore;
    out << QStringLiteral("  written in %1 s; store file %2 MiB; loaded %3 entries in %4 s; "
                          "the loaded journal holds %5 MiB (process peak %6 MiB; aim < 200 MiB)\n")
               .arg(write, 0, 'f', 2).arg(bytes / 1048576.0, 0, 'f', 1).arg(loaded.size())
               .arg(timer.nsecsElapsed() / 1e9, 0, 'f', 2).arg(held, 0, 'f', 1)
               .arg(KBench::peakRssMiB(), 0, 'f', 1);
    out.flush();
}

void uploadOnly(KTestServer& server, const QString& space, const QString& work, int files)
{
    QStringList rels;
    for (int i = 0; i < files; ++i)
        rels << KBench::relPath(i, 100);
    KBench::writeLocal(work + "/up", rels);
    KBench::fillServer(server, space, QStringLiteral("up/"), rels);
    const QString remote = "@" + space + "/up";
    pass(server, work + "/up", remote, QStringLiteral("1"));
    out << QStringLiteral("upload-only pass over %1 unchanged files (second pass):\n").arg(files);
    const Measure again = pass(server, work + "/up", remote, QStringLiteral("1"));
    print(QStringLiteral("upload only \"1\""), again);
    out << QStringLiteral("  kgetnodes requests %1 (aim <= 10)\n").arg(again.requests);
    out.flush();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int files = app.arguments().value(1, QStringLiteral("100000")).toInt();
    const int entries = app.arguments().value(2, QStringLiteral("1000000")).toInt();
    const int uploadFiles = app.arguments().value(3, QStringLiteral("10000")).toInt();
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/wexora-bench-twoway-XXXXXX"));
    KFileTools::setAppBaseDirForTesting(work.path() + QStringLiteral("/base"));
    KFileSyncDatabase().initDatabase();
    KTestServer server;
    if (!server.start() || !kLoginTestSession(server)) {
        out << "could not start or log in to the reference server\n";
        return 1;
    }
    const QString space = KTestServer::demoPersonalSpace();
    firstAndSecondPass(server, space, work.path(), files);
    uploadOnly(server, space, work.path(), uploadFiles);
    bigJournal(entries);
    return 0;
}
