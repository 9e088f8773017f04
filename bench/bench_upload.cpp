// The upload thread against rclone on the same data in the same run, on
// loopback or over a simulated link: one large file, and many small files in
// many folders. The client uploads to a fresh reference drive server through
// a real KUploadManager thread (timed from the first enqueue to the last
// job's deleteFileItem; the MD5s are known beforehand, as the comparison
// computes them); rclone copies the same tree to `rclone serve webdav`
// behind the same kind of link, once per --transfers value. Each line: our
// figure, the peer's, and the ratio (peer time / our time).
//
// bench_upload [--links loopback,20ms-100mbit,60ms-20mbit] [--jobs 1] [--transfers 4,1]
//              [--big-mib 1024] [--files 10000] [--folders 100] [--skip-big] [--skip-many]
#include "kbenchdrive.h"
#include "kbenchfigure.h"
#include "kbenchoptions.h"
#include "kclientjobs.h"
#include "kperfwindow.h"
#include "kprocessusage.h"
#include "kwebdavpeer.h"
#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "sync/ksyncengine.h"
#include "transfer/kuploadmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>
#include <QVector>

namespace {

QTextStream out(stdout);

struct Source
{
    QString name; // "big" or "many"
    QString root;
    QStringList paths;
    qint64 bytes = 0;
};

double seconds(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1e9;
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

Source makeBig(const QString& root, qint64 mib)
{
    Source s{QStringLiteral("big"), root, {root + QStringLiteral("/big.bin")}, mib << 20};
    QDir().mkpath(root);
    writeFile(s.paths.first(), s.bytes, 1);
    return s;
}

Source makeMany(const QString& root, int files, int folders)
{
    Source s{QStringLiteral("many"), root, {}, qint64(files) * 4096};
    for (int i = 0; i < files; ++i) {
        const QString folder = QStringLiteral("%1/d%2").arg(root).arg(i % folders, 3, 10, QLatin1Char('0'));
        if (i < folders)
            QDir().mkpath(folder);
        s.paths << QStringLiteral("%1/f%2.bin").arg(folder).arg(i, 5, 10, QLatin1Char('0'));
        writeFile(s.paths.last(), 4096, quint32(i + 7));
    }
    return s;
}

// The jobs as the comparison makes them: the MD5 the way it computes it.
QList<KUploadInfo> makeJobs(const Source& source, const QString& serverRoot, double* md5Seconds)
{
    QElapsedTimer timer;
    timer.start();
    KFileSyncDatabase store;
    QList<KUploadInfo> jobs;
    for (const QString& path : source.paths) {
        jobs.append({path, serverRoot + path.mid(source.root.size()), QFileInfo(path).size(), store.getFileMd5OrDatabase(path)});
        // What a two-way pass learns from its listing of a fresh server: no
        // folder of the tree is there yet.
        jobs.last().server = KServerKnown::NewFolder;
    }
    *md5Seconds = seconds(timer);
    return jobs;
}

// The engine's transfer threads, as the program runs them (with the number
// of jobs in flight the benchmark chose).
KBenchFigure uploadAll(const QList<KUploadInfo>& jobs, const Source& source)
{
    QNetworkAccessManager network;
    KFileSyncDatabase store;
    KSyncEngine engine(&network, &store);
    engine.startTransfers();
    KUploadManager& manager = *engine.uploadThread();
    QEventLoop loop;
    int done = 0;
    QObject::connect(&manager, &KUploadManager::deleteFileItem, &loop, [&](int, const QString&) {
        if (++done == jobs.size())
            loop.quit();
    });
    const KPerfWindow profiled;
    KProcessUsage::resetPeak();
    const double cpuBefore = KProcessUsage::cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    for (const KUploadInfo& job : jobs)
        KUploadManager::enqueue(job);
    loop.exec();
    KBenchFigure figure;
    figure.seconds = seconds(timer);
    figure.cpuSeconds = KProcessUsage::cpuSeconds() - cpuBefore;
    figure.peakKiB = KProcessUsage::peakKiB();
    figure.files = jobs.size();
    figure.bytes = source.bytes;
    engine.stop();
    return figure;
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

KBenchFigure ourUpload(KBenchDrive& drive, const Source& source, double* md5Seconds, bool* whole)
{
    const QString serverRoot = QStringLiteral("@") + KTestServer::demoPersonalSpace() + QLatin1Char('/') + source.name;
    const QList<KUploadInfo> jobs = makeJobs(source, serverRoot, md5Seconds);
    const KLinkProcess::Counters before = drive.link().counters();
    KBenchFigure ours = uploadAll(jobs, source);
    ours.wire = drive.link().counters().since(before);
    *whole = verify(drive.server(), jobs);
    ours.ok = *whole;
    return ours;
}

// rclone copy of the source into a fresh webdav folder behind the link.
KBenchFigure rcloneUpload(const KBenchOptions& options, const QString& preset, const Source& source,
                          const QString& work, int transfers)
{
    const QString target = work + QStringLiteral("/webdav-") + source.name;
    QDir().mkpath(target);
    KWebdavPeer peer(options.rclone);
    KBenchFigure figure;
    if (peer.start(target, preset)) {
        const KLinkProcess::Counters before = peer.link().counters();
        const KMeasuredRun run = peer.copy(source.root, peer.remote(QStringLiteral("dst")), transfers);
        figure = KBenchFigure::of(run, source.bytes, source.paths.size(), peer.link().counters().since(before));
    }
    QDir(target).removeRecursively();
    return figure;
}

QString label(const QString& link, const Source& source)
{
    const QString what = source.paths.size() == 1 ? QStringLiteral("1 x %1 MiB").arg(source.bytes >> 20)
                                                  : QStringLiteral("%1 x 4 KiB").arg(source.paths.size());
    return QStringLiteral("upload %1 %2 @ %3").arg(source.name, what, link);
}

// Each round uploads to a fresh server, so no upload is an instant hit.
void benchCase(const KBenchOptions& options, const QString& link, const Source& source, const QString& work)
{
    double md5Seconds = 0;
    bool whole = true;
    KBenchFigure ours;
    QVector<KBenchFigure> theirs(options.transfers.size());
    for (int round = 0; round < options.roundsOn(link); ++round) {
        KBenchDrive drive;
        if (!drive.start(options.preset(link))) {
            out << label(link, source) << ": the reference server or the link did not start\n";
            return;
        }
        bool roundWhole = false;
        double roundMd5 = 0;
        ours.keepBest(ourUpload(drive, source, &roundMd5, &roundWhole));
        // Later rounds find the MD5s in the hash cache: the first round's cost is the one to show.
        if (round == 0)
            md5Seconds = roundMd5;
        whole = whole && roundWhole;
        for (int i = 0; i < options.transfers.size(); ++i)
            theirs[i].keepBest(rcloneUpload(options, options.preset(link), source, work, options.transfers[i]));
    }
    for (int i = 0; i < options.transfers.size(); ++i) {
        const QString peerName = QStringLiteral("rclone --transfers=%1").arg(options.transfers[i]);
        out << KBenchFigure::line(label(link, source), ours, peerName, theirs[i]) << '\n';
        out.flush();
    }
    out << label(link, source) << QStringLiteral("  (MD5 by the comparison beforehand: %1 s)\n").arg(md5Seconds, 0, 'f', 2);
    if (!whole)
        out << label(link, source) << ": MISMATCH: the server's files differ from the local ones\n";
    out.flush();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const KBenchOptions options = KBenchOptions::parse(app.arguments().mid(1));
    if (!options.error.isEmpty() || !KClientJobs::apply(options.jobs)) {
        out << (options.error.isEmpty() ? QStringLiteral("the client cannot run %1 jobs at once").arg(options.jobs) : options.error)
            << '\n' << KBenchOptions::usage(QStringLiteral("bench_upload"));
        return 2;
    }
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/wexora-upload-bench-XXXXXX"));
    KFileTools::setAppBaseDirForTesting(work.path() + QStringLiteral("/base"));
    KFileTools::makePath(work.path() + QStringLiteral("/base/logs"));
    qInstallMessageHandler(KLog::outputMessage);
    KFileSyncDatabase().initDatabase();
    KClientJobs::store();
    QList<Source> sources;
    if (options.big)
        sources << makeBig(work.path() + QStringLiteral("/big"), options.bigMib);
    if (options.many)
        sources << makeMany(work.path() + QStringLiteral("/many"), options.files, options.folders);
    for (const QString& link : options.links) {
        for (const Source& source : sources)
            benchCase(options, link, source, work.path());
    }
    qInstallMessageHandler(nullptr);
    return 0;
}
