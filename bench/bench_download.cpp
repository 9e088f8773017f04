// Downloads against rclone in the same run: the download thread and the
// transfer (as the main window wires them) fetch a space from the reference
// server; then `rclone copy --transfers=1` fetches the same bytes from
// `rclone serve webdav` on 127.0.0.1. Prints files/s, MB/s, the ratios
// (ours / rclone, higher is better for us) and the client's peak RSS.
//
//   bench_download big|small [--rounds N] [--rclone PATH]
//     big:   one 1 GiB file
//     small: 10,000 files of 4 KiB
// Each round runs the client with MD5 verification (the product path), the
// client without it (for information) and rclone; the best round of each
// counts. Before the first round as many bytes as a round writes are
// written and deleted once, so that no side pays alone for memory the
// machine touches for the first time.
#include "app/kconstant.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/kfilesyncdatabase.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

namespace {

QTextStream out(stdout);

struct BenchCase
{
    QString name;
    int files = 0;
    qint64 fileSize = 0;
};

struct Result
{
    double seconds = 0;
    int landed = 0;
    double cpuSeconds = -1;
};

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

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

// Files of the destination identical to their source.
int countLanded(const QString& dir, const QString& source, const BenchCase& c)
{
    int landed = 0;
    for (int i = 0; i < c.files; ++i)
        landed += sameBytes(dir + QLatin1Char('/') + fileName(c, i), source + QLatin1Char('/') + fileName(c, i)) ? 1 : 0;
    return landed;
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
    BenchClient()
        : transfer(&manager, &database)
    {
        database.initDatabase();
        KDownloadManager::downloadManager = &thread;
        // Without verification the datahash is dropped on its way over.
        QObject::connect(&thread, qOverload<QString, QString, qint64, QString>(&KDownloadManager::downloadFile),
                         &transfer,
                         [this](const QString& local, const QString& server, qint64 size, const QString& hash) {
                             transfer.downloadFile(local, server, size, verify ? hash : QString());
                         }, Qt::QueuedConnection);
        thread.start();
    }

    ~BenchClient()
    {
        thread.stop();
        KDownloadManager::downloadManager = nullptr;
    }

    // Queues every file at once, as a sync pass does, and waits for the last row.
    Result run(const QString& space, const QString& source, const QString& dst, const BenchCase& c, bool verified)
    {
        verify = verified;
        QEventLoop loop;
        int finished = 0;
        const QMetaObject::Connection rows = QObject::connect(&transfer, &KDownloadTransfer::deleteFileItem, &loop, [&] {
            if (++finished == c.files)
                loop.quit();
        });
        QElapsedTimer timer;
        timer.start();
        const double cpuBefore = processCpuSeconds();
        for (int i = 0; i < c.files; ++i)
            KDownloadManager::enqueue(job(space, dst, c, i));
        QTimer::singleShot(900000, &loop, &QEventLoop::quit);
        loop.exec();
        Result result{timer.nsecsElapsed() / 1e9, 0, processCpuSeconds() - cpuBefore};
        QObject::disconnect(rows);
        result.landed = countLanded(dst, source, c);
        return result;
    }

private:
    static KDownloadInfo job(const QString& space, const QString& dst, const BenchCase& c, int i)
    {
        KDownloadInfo info;
        info.localPath = dst + QLatin1Char('/') + fileName(c, i);
        info.serverPath = QStringLiteral("@") + space + QStringLiteral("/bench/") + fileName(c, i);
        info.fileSize = c.fileSize;
        return info;
    }

    QNetworkAccessManager manager;
    KFileSyncDatabase database;
    KDownloadTransfer transfer;
    KDownloadManager thread;
    bool verify = true;
};

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitListening(int port, QProcess& process)
{
    for (int i = 0; i < 300 && process.state() == QProcess::Running; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (socket.waitForConnected(100))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// Serves root; the source is its "src" folder.
Result runRclone(const QString& rclone, const QString& root, const QString& dst, const BenchCase& c)
{
    const int port = freePort();
    QProcess serve;
    serve.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    serve.start(rclone, {QStringLiteral("serve"), QStringLiteral("webdav"), root, QStringLiteral("--addr"),
                         QStringLiteral("127.0.0.1:%1").arg(port)});
    Result result;
    if (!serve.waitForStarted() || !waitListening(port, serve)) {
        out << "rclone serve webdav did not start\n";
        return result;
    }
    const QString remote = QStringLiteral(":webdav,url='http://127.0.0.1:%1':src").arg(port);
    QProcess copy;
    copy.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer timer;
    timer.start();
    copy.start(rclone, {QStringLiteral("copy"), remote, dst, QStringLiteral("--transfers=1")});
    copy.waitForFinished(-1);
    result.seconds = timer.nsecsElapsed() / 1e9;
    serve.terminate();
    serve.waitForFinished(10000);
    result.landed = countLanded(dst, root + QStringLiteral("/src"), c);
    return result;
}

qint64 peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void report(const QString& who, const Result& r, const BenchCase& c)
{
    const double mb = double(c.fileSize) * r.landed / 1e6;
    out << QStringLiteral("%1: %2 of %3 files in %4 s, %5 files/s, %6 MB/s\n")
               .arg(who, -22)
               .arg(r.landed)
               .arg(c.files)
               .arg(r.seconds, 0, 'f', 3)
               .arg(r.landed / r.seconds, 0, 'f', 1)
               .arg(mb / r.seconds, 0, 'f', 1);
    if (r.cpuSeconds >= 0)
        out << QStringLiteral("    client CPU (user+sys, all threads): %1 s\n").arg(r.cpuSeconds, 0, 'f', 2);
}

void keepBest(Result& best, const Result& round)
{
    if (best.landed == 0 || (round.landed >= best.landed && round.seconds < best.seconds))
        best = round;
}

double filesPerSecond(const Result& r)
{
    return r.seconds > 0 ? r.landed / r.seconds : 0;
}

int runCase(const BenchCase& c, int rounds, const QString& rclone)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/wexora-bench-XXXXXX"));
    KTestBaseDir base;
    base.installLogSink();
    const QString source = work.path() + QStringLiteral("/src");
    const QString space = KTestServer::demoPersonalSpace();
    KTestServer server;
    if (!makeSource(source, c) || !server.start() || !kLoginTestSession(server) || !fillServer(server, space, source, c)) {
        out << "setting up the bench failed\n";
        return 1;
    }
    warmPages(work.path(), c.files * c.fileSize);
    out << QStringLiteral("case %1: %2 x %3 bytes, best of %4 rounds\n").arg(c.name).arg(c.files).arg(c.fileSize).arg(rounds);
    out.flush();
    const QString dst = work.path() + QStringLiteral("/dst");
    Result verified, unverified, theirs;
    BenchClient client;
    for (int round = 0; round < rounds; ++round) {
        keepBest(verified, client.run(space, source, dst, c, true));
        QDir(dst).removeRecursively();
        keepBest(unverified, client.run(space, source, dst, c, false));
        QDir(dst).removeRecursively();
        keepBest(theirs, runRclone(rclone, work.path(), dst, c));
        QDir(dst).removeRecursively();
    }
    const qint64 peak = peakRssKiB();
    report(QStringLiteral("wexora (MD5 verified)"), verified, c);
    report(QStringLiteral("wexora (no datahash)"), unverified, c);
    report(QStringLiteral("rclone"), theirs, c);
    out << QStringLiteral("ratio, verified / rclone (files/s, higher is better): %1\n")
               .arg(filesPerSecond(verified) / filesPerSecond(theirs), 0, 'f', 2);
    out << QStringLiteral("ratio, no datahash / rclone: %1\n").arg(filesPerSecond(unverified) / filesPerSecond(theirs), 0, 'f', 2);
    out << QStringLiteral("client peak RSS (VmHWM): %1 MiB\n").arg(peak / 1024.0, 0, 'f', 1);
    out.flush();
    return verified.landed == c.files && unverified.landed == c.files && theirs.landed == c.files ? 0 : 1;
}

}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int roundsAt = args.indexOf(QStringLiteral("--rounds"));
    const int rounds = roundsAt > 0 ? qMax(1, args.value(roundsAt + 1).toInt()) : 2;
    const int rcloneAt = args.indexOf(QStringLiteral("--rclone"));
    const QString rclone = rcloneAt > 0 ? args.value(rcloneAt + 1) : QStringLiteral("rclone");
    if (args.contains(QStringLiteral("big")))
        return runCase({QStringLiteral("big"), 1, qint64(1) << 30}, rounds, rclone);
    if (args.contains(QStringLiteral("small")))
        return runCase({QStringLiteral("small"), 10000, 4096}, rounds, rclone);
    out << "usage: bench_download big|small [--rounds N] [--rclone PATH]\n";
    return 2;
}
