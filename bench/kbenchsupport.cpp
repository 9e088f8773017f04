#include "kbenchsupport.h"

#include "ktestserver.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QUrlQuery>

#include <ctime>
#include <functional>

namespace KBench {

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void idleMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// A "Vm...:" line of /proc/self/status, in MiB.
static double statusMiB(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

double peakRssMiB()
{
    return statusMiB("VmHWM:");
}

double rssMiB()
{
    return statusMiB("VmRSS:");
}

QString relPath(int i, int perFolder)
{
    return QStringLiteral("d%1/f%2.txt").arg(i / perFolder).arg(i % perFolder);
}

void writeLocal(const QString& root, const QStringList& rels)
{
    const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
    for (const QString& rel : rels) {
        const QString path = root + QLatin1Char('/') + rel;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(rel.toUtf8());
        file.flush();
        file.setFileTime(anHourAgo, QFileDevice::FileModificationTime);
    }
}

void fillServer(const KTestServer& server, const QString& space, const QString& prefix, const QStringList& rels)
{
    QNetworkAccessManager manager;
    int next = 0;
    int running = 0;
    QEventLoop loop;
    std::function<void()> launch = [&] {
        while (running < 6 && next < rels.size()) {
            const QString rel = rels[next++];
            QUrl url(server.baseUrl() + QStringLiteral("/_admin/file"));
            QUrlQuery query;
            query.addQueryItem(QStringLiteral("space"), space);
            query.addQueryItem(QStringLiteral("path"), prefix + rel);
            url.setQuery(query);
            QNetworkRequest request(url);
            request.setRawHeader("X-Admin-Token", server.adminToken().toUtf8());
            QNetworkReply* reply = manager.put(request, rel.toUtf8());
            ++running;
            QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
                reply->deleteLater();
                --running;
                if (next == rels.size() && running == 0)
                    loop.quit();
                else
                    launch();
            });
        }
    };
    launch();
    if (!rels.isEmpty())
        loop.exec();
}

double timeFind(const QString& root)
{
    QProcess find;
    QElapsedTimer timer;
    timer.start();
    find.start(QStringLiteral("find"), {root, QStringLiteral("-type"), QStringLiteral("f")});
    find.waitForFinished(-1);
    return timer.nsecsElapsed() / 1e9;
}

} // namespace KBench
