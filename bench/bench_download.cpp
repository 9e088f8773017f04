// Downloads against rclone in the same run, on loopback or over a simulated
// link: the download thread and the transfer (as the main window wires
// them) fetch from a fresh reference server behind the link; then `rclone
// copy` fetches the same bytes from `rclone serve webdav` behind the same
// kind of link, once per --transfers value. Each line: our figure (MD5
// verified, the product path), the peer's, and the ratio (peer time / our
// time, higher is better for us). For the big file on loopback, md5sum of
// the same file is timed too.
//
//   bench_download [--links loopback,20ms-100mbit,60ms-20mbit] [--jobs 1] [--transfers 4,1]
//                  [--big-mib 1024] [--files 10000] [--skip-big] [--skip-many]
//                  [--rounds N] [--unverified] [--rclone PATH]
// With several rounds the best of each side counts. --unverified adds the
// client without MD5 verification, for information. Before the first round
// as many bytes as a round writes are written and deleted once, so that no
// side pays alone for memory the machine touches for the first time.
#include "kbenchdrive.h"
#include "kbenchfigure.h"
#include "kbenchoptions.h"
#include "kclientjobs.h"
#include "kperfwindow.h"
#include "kprocessusage.h"
#include "ktestbasedir.h"
#include "kwebdavpeer.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kservertree.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadpool.h"
#include "transfer/kdownloadtransfer.h"

#include <QCoreApplication>
#include <memory>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QVector>

namespace {

QTextStream out(stdout);

struct BenchCase
{
    QString name;
    int files = 0;
    qint64 fileSize = 0;

    qint64 bytes() const { return files * fileSize; }
};

QString fileName(const BenchCase& c, int i)
{
    return c.files == 1 ? QStringLiteral("big.bin") : QStringLiteral("f%1.bin").arg(i, 5, 10, QLatin1Char('0'));
}

// Random bytes, a different block for every file and every MiB of a file.
bool writeSourceFile(const QString& path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator generator(seed);
    QByteArray block(int(qMin<qint64>(size, 1 << 20)), Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        if (file.write(block.constData(), qMin<qint64>(left, block.size())) < 0)
            return false;
    }
    return true;
}

bool makeSource(const QString& dir, const BenchCase& c)
{
    QDir().mkpath(dir);
    for (int i = 0; i < c.files; ++i) {
        if (!writeSourceFile(dir + QLatin1Char('/') + fileName(c, i), c.fileSize, quint32(i + 1)))
            return false;
    }
    return true;
}

bool fillServer(KTestServer& server, const QString& space, const QString& dir, const BenchCase& c)
{
    for (int i = 0; i < c.files; ++i) {
        if (!server.putFileFrom(space, QStringLiteral("bench/") + fileName(c, i), dir + QLatin1Char('/') + fileName(c, i)))
            return false;
    }
    return true;
}

bool sameBytes(const QString& a, const QString& b)
{
    QFile first(a);
    QFile second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly) || first.size() != second.size())
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 20) != second.read(1 << 20))
            return false;
    }
    return true;
}

// Every file of the destination identical to its source.
bool allLanded(const QString& dir, const QString& source, const BenchCase& c)
{
    for (int i = 0; i < c.files; ++i) {
        if (!sameBytes(dir + QLatin1Char('/') + fileName(c, i), source + QLatin1Char('/') + fileName(c, i)))
            return false;
    }
    return true;
}

void warmPages(const QString& dir, qint64 bytes)
{
    const QString path = dir + QStringLiteral("/warm.bin");
    writeSourceFile(path, bytes, 99);
    QFile::remove(path);
}

// The download side as the program holds it: one access manager, one
// transfer and one download thread for the whole run, so that repeated
// rounds measure what a long-running client does.
class BenchClient
{
public:
    // The download thread and a pool of transfers, as the engine wires them,
    // with as many downloads at once as the benchmark chose.
    BenchClient()
    {
        database.initDatabase();
        KClientJobs::store();
        qRegisterMetaType<KDownloadInfo>();
        pool = std::make_unique<KDownloadPool>(&manager, &database, KClientJobs::jobs());
        KDownloadManager::MaxRunning = pool->size();
        KDownloadManager::downloadManager = &thread;
        // Without verification the datahash is dropped on its way over.
        QObject::connect(&thread, &KDownloadManager::handOver, pool.get(), [this](KDownloadInfo job) {
            if (!verify)
                job.dataHash.clear();
            pool->download(job);
        }, Qt::QueuedConnection);
        thread.start();
    }

    ~BenchClient()
    {
        thread.stop();
        KDownloadManager::downloadManager = nullptr;
    }

    // Queues every file at once, as a sync pass does, and waits for the last row.
    KBenchFigure run(const QString& space, const QString& dst, const BenchCase& c, bool verified)
    {
        verify = verified;
        QEventLoop loop;
        int finished = 0;
        const QMetaObject::Connection rows = QObject::connect(pool->first(), &KDownloadTransfer::deleteFileItem, &loop, [&] {
            if (++finished == c.files)
                loop.quit();
        });
        const KPerfWindow profiled;
        KProcessUsage::resetPeak();
        const double cpuBefore = KProcessUsage::cpuSeconds();
        QElapsedTimer timer;
        timer.start();
        // A pass lists the folder first; its jobs carry what the listing said.
        const KServerTree listed = KServerTree::scan(QStringLiteral("@") + space + QStringLiteral("/bench"));
        for (int i = 0; i < c.files; ++i)
            KDownloadManager::enqueue(job(space, dst, c, i, listed.files.value(fileName(c, i))));
        QTimer::singleShot(3600000, &loop, &QEventLoop::quit);
        loop.exec();
        KBenchFigure figure;
        figure.seconds = timer.nsecsElapsed() / 1e9;
        figure.cpuSeconds = KProcessUsage::cpuSeconds() - cpuBefore;
        figure.peakKiB = KProcessUsage::peakKiB();
        figure.files = c.files;
        figure.bytes = c.bytes();
        QObject::disconnect(rows);
        return figure;
    }

private:
    static KDownloadInfo job(const QString& space, const QString& dst, const BenchCase& c, int i,
                             const KServerFile& listed)
    {
        KDownloadInfo info;
        info.localPath = dst + QLatin1Char('/') + fileName(c, i);
        info.serverPath = QStringLiteral("@") + space + QStringLiteral("/bench/") + fileName(c, i);
        info.fileSize = c.fileSize;
        info.dataHash = listed.datahash;
        info.version = listed.version;
        return info;
    }

    QNetworkAccessManager manager;
    KFileSyncDatabase database;
    std::unique_ptr<KDownloadPool> pool;
    KDownloadManager thread;
    bool verify = true;
};

// One of our rounds: the figure counts only when every file landed whole.
KBenchFigure ourRound(BenchClient& client, KBenchDrive& drive, const QString& work, const BenchCase& c, bool verified)
{
    const QString dst = work + QStringLiteral("/dst");
    const KLinkProcess::Counters before = drive.link().counters();
    KBenchFigure figure = client.run(KTestServer::demoPersonalSpace(), dst, c, verified);
    figure.wire = drive.link().counters().since(before);
    figure.ok = allLanded(dst, work + QStringLiteral("/src"), c);
    QDir(dst).removeRecursively();
    return figure;
}

// The webdav server serves the work folder; the source is its "src" folder.
KBenchFigure rcloneRound(KWebdavPeer& peer, const QString& work, const BenchCase& c, int transfers)
{
    const QString dst = work + QStringLiteral("/dst");
    const KLinkProcess::Counters before = peer.link().counters();
    const KMeasuredRun run = peer.copy(peer.remote(QStringLiteral("src")), dst, transfers);
    KBenchFigure figure = KBenchFigure::of(run, c.bytes(), c.files, peer.link().counters().since(before));
    figure.ok = figure.ok && allLanded(dst, work + QStringLiteral("/src"), c);
    QDir(dst).removeRecursively();
    return figure;
}

QString label(const QString& link, const BenchCase& c)
{
    const QString what = c.files == 1 ? QStringLiteral("1 x %1 MiB").arg(c.fileSize >> 20) : QStringLiteral("%1 x 4 KiB").arg(c.files);
    return QStringLiteral("download %1 %2 @ %3").arg(c.name, what, link);
}

void md5sumLine(const QString& link, const BenchCase& c, const QString& work, const KBenchFigure& ours)
{
    const KMeasuredRun run = KMeasuredRun::run(QStringLiteral("md5sum"), {work + QStringLiteral("/src/big.bin")});
    out << label(link, c)
        << QStringLiteral("  md5sum of the same file: %1 s; verified download / md5sum time: %2\n")
               .arg(run.seconds, 0, 'f', 2)
               .arg(ours.ok && run.ok() ? ours.seconds / run.seconds : 0, 0, 'f', 2);
}

bool runLink(const KBenchOptions& options, const QString& link, const BenchCase& c, const QString& work)
{
    KBenchDrive drive;
    KWebdavPeer peer(options.rclone);
    if (!drive.start(options.preset(link)) || !fillServer(drive.server(), KTestServer::demoPersonalSpace(), work + QStringLiteral("/src"), c)
        || !peer.start(work, options.preset(link))) {
        out << label(link, c) << ": setting up the servers or the links failed\n";
        return false;
    }
    KBenchFigure verified, unverified;
    QVector<KBenchFigure> theirs(options.transfers.size());
    BenchClient client;
    for (int round = 0; round < options.roundsOn(link); ++round) {
        verified.keepBest(ourRound(client, drive, work, c, true));
        if (options.unverified)
            unverified.keepBest(ourRound(client, drive, work, c, false));
        for (int i = 0; i < options.transfers.size(); ++i)
            theirs[i].keepBest(rcloneRound(peer, work, c, options.transfers[i]));
    }
    for (int i = 0; i < options.transfers.size(); ++i) {
        const QString peerName = QStringLiteral("rclone --transfers=%1").arg(options.transfers[i]);
        out << KBenchFigure::line(label(link, c), verified, peerName, theirs[i]) << '\n';
        if (options.unverified)
            out << KBenchFigure::line(label(link, c) + QStringLiteral(" (no MD5)"), unverified, peerName, theirs[i]) << '\n';
    }
    if (c.files == 1 && link == QLatin1String("loopback"))
        md5sumLine(link, c, work, verified);
    out.flush();
    return verified.ok;
}

bool runCase(const KBenchOptions& options, const BenchCase& c)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/wexora-bench-XXXXXX"));
    KTestBaseDir base;
    base.installLogSink();
    if (!makeSource(work.path() + QStringLiteral("/src"), c)) {
        out << "writing the source files failed\n";
        return false;
    }
    warmPages(work.path(), c.bytes());
    bool whole = true;
    for (const QString& link : options.links)
        whole = runLink(options, link, c, work.path()) && whole;
    return whole;
}

}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const KBenchOptions options = KBenchOptions::parse(app.arguments().mid(1));
    if (!options.error.isEmpty() || !KClientJobs::apply(options.jobs)) {
        out << (options.error.isEmpty() ? QStringLiteral("the client cannot run %1 jobs at once").arg(options.jobs) : options.error)
            << '\n' << KBenchOptions::usage(QStringLiteral("bench_download"));
        return 2;
    }
    bool whole = true;
    if (options.big)
        whole = runCase(options, {QStringLiteral("big"), 1, options.bigMib << 20}) && whole;
    if (options.many)
        whole = runCase(options, {QStringLiteral("many"), options.files, 4096}) && whole;
    return whole ? 0 : 1;
}
