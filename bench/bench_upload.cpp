// The upload thread against rclone on the same data in the same run: one
// large file, and many small files in many folders. The client uploads to the
// reference drive server through a real KUploadManager thread (timed from the
// first enqueue to the last job's deleteFileItem); rclone copies the same
// tree with --transfers=1 to `rclone serve webdav` on 127.0.0.1. Prints
// seconds, MB/s, files/s, ratios and the client's peak memory (VmHWM).
//
// bench_upload [--big-mib N] [--files N] [--folders N] [--skip-big] [--skip-many]
#include "ktestserver.h"
#include "ktestsession.h"
#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "transfer/kuploadmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

namespace {

QTextStream out(stdout);

struct Options
{
    qint64 bigMib = 1024;
    int files = 10000;
    int folders = 100;
    bool big = true;
    bool many = true;
};

struct Timing
{
    double seconds = 0;
    qint64 bytes = 0;
    int files = 0;
};

double seconds(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1e9;
}

QString peakRss()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).simplified());
    }
    return QStringLiteral("?");
}

Options parse(const QStringList& args)
{
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--big-mib"))
            o.bigMib = args.value(++i).toLongLong();
        else if (args[i] == QLatin1String("--files"))
            o.files = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--folders"))
            o.folders = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--skip-big"))
            o.big = false;
        else if (args[i] == QLatin1String("--skip-many"))
            o.many = false;
    }
    return o;
}

// Bytes that differ from file to file, so no upload is an instant hit.
void writeFile(const QString& path, qint64 size, quint32 seed)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block(int(qMin<qint64>(size, 1 << 20)), Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (qint64 done = 0; done < size; done += block.size()) {
        for (int i = 0; i < block.size(); i += 4) {
            x = x * 1664525u + 1013904223u;
            memcpy(block.data() + i, &x, size_t(qMin(4, block.size() - i)));
        }
        file.write(block.constData(), qMin<qint64>(block.size(), size - done));
    }
}

QStringList makeMany(const QString& root, int files, int folders)
{
    QStringList paths;
    for (int i = 0; i < files; ++i) {
        const QString folder = QStringLiteral("%1/d%2").arg(root).arg(i % folders, 3, 10, QLatin1Char('0'));
        if (i < folders)
            QDir().mkpath(folder);
        paths << QStringLiteral("%1/f%2.bin").arg(folder).arg(i, 5, 10, QLatin1Char('0'));
        writeFile(paths.last(), 4096, quint32(i + 7));
    }
    return paths;
}

// The jobs as the comparison makes them: the MD5 the way it computes it.
QList<KUploadInfo> makeJobs(const QStringList& paths, const QString& root, const QString& serverRoot, double* md5Seconds)
{
    QElapsedTimer timer;
    timer.start();
    KFileSyncDatabase store;
    QList<KUploadInfo> jobs;
    for (const QString& path : paths)
        jobs.append({path, serverRoot + path.mid(root.size()), QFileInfo(path).size(), store.getFileMd5OrDatabase(path)});
    *md5Seconds = seconds(timer);
    return jobs;
}

Timing uploadAll(const QList<KUploadInfo>& jobs)
{
    KUploadManager manager;
    KUploadManager::uploadManager = &manager;
    manager.start();
    QEventLoop loop;
    int done = 0;
    QObject::connect(&manager, &KUploadManager::deleteFileItem, &loop, [&](int, const QString&) {
        if (++done == jobs.size())
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    for (const KUploadInfo& job : jobs)
        KUploadManager::enqueue(job);
    loop.exec();
    Timing t;
    t.seconds = seconds(timer);
    t.files = jobs.size();
    for (const KUploadInfo& job : jobs)
        t.bytes += job.filesize;
    manager.stop();
    KUploadManager::uploadManager = nullptr;
    return t;
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitForPort(int port)
{
    for (int i = 0; i < 200; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (socket.waitForConnected(100))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// rclone copy of `source` into a fresh webdav server over `target`.
Timing rcloneCopy(const QString& source, const QString& target, const Timing& like)
{
    QDir().mkpath(target);
    const int port = freePort();
    QProcess serve;
    serve.start(QStringLiteral("rclone"), {QStringLiteral("serve"), QStringLiteral("webdav"), target,
                                           QStringLiteral("--addr"), QStringLiteral("127.0.0.1:%1").arg(port),
                                           QStringLiteral("--config"), QStringLiteral("/dev/null")});
    Timing t = like;
    if (!serve.waitForStarted() || !waitForPort(port)) {
        t.seconds = -1;
        return t;
    }
    QProcess copy;
    copy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    copy.start(QStringLiteral("rclone"),
               {QStringLiteral("copy"), source, QStringLiteral(":webdav,url='http://127.0.0.1:%1':dst").arg(port),
                QStringLiteral("--transfers=1"), QStringLiteral("--config"), QStringLiteral("/dev/null")});
    copy.waitForFinished(-1);
    t.seconds = copy.exitCode() == 0 ? seconds(timer) : -1;
    serve.terminate();
    serve.waitForFinished();
    return t;
}

void report(const QString& name, const Timing& ours, const Timing& rclone, double md5Seconds, const QString& aim)
{
    const auto rate = [](const Timing& t) {
        return QStringLiteral("%1 s, %2 MB/s, %3 files/s")
            .arg(t.seconds, 0, 'f', 2)
            .arg(t.bytes / 1e6 / t.seconds, 0, 'f', 1)
            .arg(t.files / t.seconds, 0, 'f', 1);
    };
    out << name << QStringLiteral(": client %1 (+ MD5 by the comparison %2 s)\n").arg(rate(ours)).arg(md5Seconds, 0, 'f', 2);
    out << name << QStringLiteral(": rclone %1\n").arg(rclone.seconds < 0 ? QStringLiteral("FAILED") : rate(rclone));
    out << name << QStringLiteral(": speed ratio client/rclone %1 (%2)\n")
                       .arg(rclone.seconds / ours.seconds, 0, 'f', 2).arg(aim);
    out << name << QStringLiteral(": client peak RSS so far %1\n").arg(peakRss());
    out.flush();
}

// Every file arrived whole: the server's MD5 of each is the client's.
bool verify(KTestServer& server, const QList<KUploadInfo>& jobs)
{
    QMap<QString, QString> md5s;
    for (const QJsonValue& file : server.tree(KTestServer::demoPersonalSpace()).value(QStringLiteral("files")).toArray())
        md5s.insert(file.toObject().value(QStringLiteral("path")).toString(), file.toObject().value(QStringLiteral("md5")).toString());
    const int prefix = KTestServer::demoPersonalSpace().size() + 2; // "@" space "/"
    for (const KUploadInfo& job : jobs) {
        if (md5s.value(job.serverPath.mid(prefix)) != job.filemd5)
            return false;
    }
    return KConstant::ErrorMap.size() == 0;
}

void benchCase(KTestServer& server, const QString& name, const QString& source, const QStringList& paths,
               const QString& work, const QString& aim)
{
    const QString serverRoot = QStringLiteral("@") + KTestServer::demoPersonalSpace() + QLatin1Char('/') + name;
    double md5Seconds = 0;
    const QList<KUploadInfo> jobs = makeJobs(paths, source, serverRoot, &md5Seconds);
    const Timing ours = uploadAll(jobs);
    const bool whole = verify(server, jobs);
    const Timing rclone = rcloneCopy(source, work + QStringLiteral("/webdav-") + name, ours);
    report(name, ours, rclone, md5Seconds, aim);
    if (!whole)
        out << name << ": MISMATCH: the server's files differ from the local ones\n";
    QDir(work + QStringLiteral("/webdav-") + name).removeRecursively();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const Options options = parse(app.arguments());
    QTemporaryDir work(QStringLiteral("/tmp/wexora-upload-bench-XXXXXX"));
    KFileTools::setAppBaseDirForTesting(work.path() + QStringLiteral("/base"));
    KFileTools::makePath(work.path() + QStringLiteral("/base/logs"));
    qInstallMessageHandler(KLog::outputMessage);
    KFileSyncDatabase().initDatabase();

    KTestServer server;
    if (!server.start() || !kLoginTestSession(server)) {
        out << "the reference server did not start\n";
        return 1;
    }
    if (options.big) {
        const QString source = work.path() + QStringLiteral("/big");
        QDir().mkpath(source);
        writeFile(source + QStringLiteral("/big.bin"), options.bigMib << 20, 1);
        benchCase(server, QStringLiteral("big"), source, {source + QStringLiteral("/big.bin")}, work.path(),
                  QStringLiteral("aim >= 1"));
        QDir(source).removeRecursively();
    }
    if (options.many) {
        const QString source = work.path() + QStringLiteral("/many");
        const QStringList paths = makeMany(source, options.files, options.folders);
        benchCase(server, QStringLiteral("many"), source, paths, work.path(), QStringLiteral("aim >= 5"));
    }
    qInstallMessageHandler(nullptr);
    return 0;
}
