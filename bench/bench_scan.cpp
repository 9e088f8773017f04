// Local tree scan and file hashing against the standard tools on the same
// data in the same run: getALLLocalPaths vs `find -type f`, and
// getFileMd5OrDatabase vs `md5sum`. Prints ratios (ours / theirs).
#include "app/kfiletools.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>

namespace {

QTextStream out(stdout);

double seconds(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1e9;
}

void makeTree(const QString& root, int folders, int filesPerFolder)
{
    const QByteArray content(64, 'x');
    for (int d = 0; d < folders; ++d) {
        const QString folder = QStringLiteral("%1/d%2/sub%3").arg(root).arg(d % 10).arg(d);
        QDir().mkpath(folder);
        for (int f = 0; f < filesPerFolder; ++f) {
            QFile file(QStringLiteral("%1/file%2.txt").arg(folder).arg(f));
            file.open(QIODevice::WriteOnly);
            file.write(content);
        }
    }
}

double timeCommand(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(-1);
    const double elapsed = seconds(timer);
    if (output)
        *output = process.readAllStandardOutput();
    return elapsed;
}

void benchScan(const QString& root, int folders, int perFolder)
{
    makeTree(root, folders, perFolder);
    timeCommand(QStringLiteral("find"), {root, QStringLiteral("-type"), QStringLiteral("f")}); // warm the cache
    QByteArray listing;
    const double find = timeCommand(QStringLiteral("find"), {root, QStringLiteral("-type"), QStringLiteral("f")}, &listing);
    QElapsedTimer timer;
    timer.start();
    const QStringList files = KFileSyncManager::getALLLocalPaths(root);
    const double ours = seconds(timer);
    out << QStringLiteral("scan: %1 files in %2 folders: getALLLocalPaths %3 s, find %4 s, ratio %5 (aim <= 3)\n")
               .arg(files.size()).arg(folders).arg(ours, 0, 'f', 3).arg(find, 0, 'f', 3).arg(ours / find, 0, 'f', 2);
    if (files.size() != listing.count('\n'))
        out << "scan: MISMATCH with find: " << listing.count('\n') << " files\n";
}

void benchHash(const QString& path, qint64 size)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 131) ^ (i >> 7));
    for (qint64 done = 0; done < size; done += block.size())
        file.write(block);
    file.close();
    timeCommand(QStringLiteral("md5sum"), {path}); // warm the cache
    QByteArray md5sumOut;
    const double md5sum = timeCommand(QStringLiteral("md5sum"), {path}, &md5sumOut);
    QElapsedTimer timer;
    timer.start();
    const QString ours = KFileSyncDatabase().getFileMd5OrDatabase(path);
    const double elapsed = seconds(timer);
    out << QStringLiteral("md5: %1 MiB: getFileMd5OrDatabase %2 s, md5sum %3 s, ratio %4 (aim <= 1.3)%5\n")
               .arg(size >> 20).arg(elapsed, 0, 'f', 3).arg(md5sum, 0, 'f', 3).arg(elapsed / md5sum, 0, 'f', 2)
               .arg(md5sumOut.startsWith(ours.toLatin1()) ? QString() : QStringLiteral(" MISMATCH"));
    QFile::remove(path);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int folders = args.value(1, QStringLiteral("1000")).toInt();
    const int perFolder = args.value(2, QStringLiteral("100")).toInt();
    const qint64 hashBytes = args.value(3, QStringLiteral("1024")).toLongLong() << 20;
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/wexora-bench-XXXXXX"));
    KFileTools::setAppBaseDirForTesting(work.path());
    benchScan(work.path() + QStringLiteral("/tree"), folders, perFolder);
    benchHash(work.path() + QStringLiteral("/big.bin"), hashBytes);
    out.flush();
    return 0;
}
