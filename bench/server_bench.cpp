// Throughput of the reference drive server, each figure next to curl moving
// the same bytes to or from the same server in the same run, plus the
// server's peak memory while it serves a 1 GiB download.
//
//   bench_server [--size-mib N] [--small-files N] [--idle-connections N]
//                [--dir DIR]
//
// Not a CTest test: it needs a quiet machine and a few GiB of disk (the data
// goes below DIR, default /tmp, and is removed at the end).

#include "ktestapiclient.h"
#include "ktestserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <cstdio>
#include <unistd.h>

namespace
{
constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 Chunk = KTestApiClient::ChunkSize;

struct Options
{
    qint64 size = 1024 * MiB;
    int smallFiles = 2000;
    int idleConnections = 40;
    QString dir = QStringLiteral("/tmp");
};

Options parseOptions(const QStringList& args)
{
    Options options;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--size-mib"))
            options.size = args[i + 1].toLongLong() * MiB;
        else if (args[i] == QLatin1String("--small-files"))
            options.smallFiles = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--idle-connections"))
            options.idleConnections = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--dir"))
            options.dir = args[i + 1];
    }
    return options;
}

double mibPerSecond(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) / MiB / (double(ms) / 1000.0) : 0.0;
}

void report(const char* what, qint64 bytes, qint64 ms)
{
    std::printf("  %-44s %8.1f MiB/s  (%lld ms)\n", what, mibPerSecond(bytes, ms), static_cast<long long>(ms));
    std::fflush(stdout);
}

// A file of pseudo-random bytes (incompressible, no repeats at part size).
QString makeData(const QString& dir, qint64 size, QString* md5)
{
    const QString path = dir + QStringLiteral("/data.bin");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray block(int(MiB), Qt::Uninitialized);
    quint64 state = 88172645463325252ull;
    for (qint64 done = 0; done < size; done += block.size()) {
        auto* words = reinterpret_cast<quint64*>(block.data());
        for (int i = 0; i < block.size() / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        const QByteArray piece = block.left(int(qMin<qint64>(block.size(), size - done)));
        file.write(piece);
        hash.addData(piece);
    }
    *md5 = QString::fromLatin1(hash.result().toHex());
    return path;
}

// Part files for curl, which cannot send a byte range of one file.
QStringList splitParts(const QString& dataPath, const QString& dir)
{
    QFile data(dataPath);
    data.open(QIODevice::ReadOnly);
    QStringList parts;
    for (int n = 1; !data.atEnd(); ++n) {
        const QString path = dir + QStringLiteral("/part%1").arg(n, 5, 10, QLatin1Char('0'));
        QFile part(path);
        part.open(QIODevice::WriteOnly);
        part.write(data.read(Chunk));
        parts.append(path);
    }
    return parts;
}

QString askToken(KTestApiClient& client, const QString& path, const QString& md5, qint64 size)
{
    const KTestApiClient::Answer answer = client.call(KTestApiClient::spaceOf(path),
        {{"op", "kaskupload"}, {"filepath", path}, {"filemd5", md5}, {"filesize", QString::number(size)},
         {"chunksize", QString::number(Chunk)}, {"iscreatefile", "true"}, {"iscreateversion", "true"},
         {"expiredsecond", "86400"}});
    return answer.data().toObject().value("uptoken").toString();
}

bool runCurl(const QStringList& args, qint64* ms)
{
    QProcess curl;
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"), args);
    const bool ok = curl.waitForFinished(-1) && curl.exitCode() == 0;
    *ms = timer.elapsed();
    if (!ok)
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
    return ok;
}

// curl sends every part of an upload in one process over one kept-alive
// connection, to the addresses kexchangeupload handed out.
bool curlUpload(KTestApiClient& client, const QString& path, const QString& token, const QStringList& parts,
                const QString& dir, qint64* ms)
{
    QFile config(dir + QStringLiteral("/curl-parts.cfg"));
    config.open(QIODevice::WriteOnly);
    for (int n = 1; n <= parts.size(); ++n) {
        const QString url = client.exchange(KTestApiClient::spaceOf(path), token, n).data().toObject().value("httpurl").toString();
        config.write("url = \"" + url.toUtf8() + "\"\nupload-file = \"" + parts[n - 1].toUtf8() + "\"\noutput = \"/dev/null\"\n");
    }
    config.close();
    return runCurl({"-sS", "--fail", "-H", "Expect:", "-K", config.fileName()}, ms);
}

// Like the desktop client: one part in memory at a time, a ticket per part
// (each operation on its own connection), the part bodies as multipart POSTs
// through one access manager that keeps its connection.
bool clientUpload(KTestApiClient& client, const QString& path, const QString& token, const QString& dataPath,
                  qint64 size, qint64* ms)
{
    QFile data(dataPath);
    data.open(QIODevice::ReadOnly);
    QNetworkAccessManager parts;
    QElapsedTimer timer;
    timer.start();
    for (qint64 offset = 0; offset < size; offset += Chunk) {
        const QJsonObject ticket = client.exchange(KTestApiClient::spaceOf(path), token, int(offset / Chunk) + 1).data().toObject();
        const QByteArray boundary = QUuid::createUuid().toByteArray();
        QNetworkRequest request{QUrl(ticket.value("httpurl").toString())};
        request.setRawHeader("Content-Type", "multipart/form-data;boundary=" + boundary);
        request.setRawHeader("TROV-BYTES", QByteArray::number(offset) + '-' + QByteArray::number(offset + Chunk));
        QNetworkReply* reply = parts.post(request, KTestApiClient::multipartBody(boundary, data.read(Chunk)));
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        const bool stored = reply->error() == QNetworkReply::NoError;
        delete reply;
        if (!stored)
            return false;
    }
    const bool committed = client.submit(path, token).code() == 0;
    *ms = timer.elapsed();
    return committed;
}

// A GET written to a file as it arrives, as the client's download does.
bool clientDownload(const QString& url, const QString& target, qint64* bytes, qint64* ms)
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Range", "bytes=0-");
    QFile out(target);
    out.open(QIODevice::WriteOnly);
    QElapsedTimer timer;
    timer.start();
    QNetworkReply* reply = manager.get(request);
    QObject::connect(reply, &QNetworkReply::readyRead, [&] { out.write(reply->readAll()); });
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    out.write(reply->readAll());
    *ms = timer.elapsed();
    *bytes = out.size();
    const bool ok = reply->error() == QNetworkReply::NoError;
    delete reply;
    return ok;
}

// A number from /proc/PID/status, e.g. "VmHWM:" in KiB or "Threads:".
qint64 processStatus(qint64 pid, const QByteArray& key)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool sameFile(const QString& a, const QString& b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(8 * MiB) != fb.read(8 * MiB))
            return false;
    }
    return true;
}

// The whole small-file cycle of the client: node check, ask, ticket, part,
// commit; every operation on a fresh connection as the client sends them.
void smallFiles(KTestApiClient& client, int count)
{
    if (count <= 0)
        return;
    QElapsedTimer timer;
    timer.start();
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("@home-demo/small/d%1/f%2.bin").arg(i / 500).arg(i);
        QByteArray content(4096, char(i));
        content.replace(0, 4, reinterpret_cast<const char*>(&i), 4);
        client.call("home-demo", {{"op", "kgetnodes"}, {"paths", "[\"" + path + "\",\"" + path.section('/', 0, -2) + "\"]"}});
        failed += client.upload(path, content).code() != 0;
    }
    const qint64 ms = timer.elapsed();
    std::printf("  %-44s %8.0f files/s (%d files, %lld ms, %d failed)\n", "4 KiB files, full client cycle",
                ms > 0 ? count * 1000.0 / ms : 0.0, count, static_cast<long long>(ms), failed);
}

// Kept-alive connections, each waiting for its answer to a cheap request
// (the 404 of an unknown address): how long each answer took.
struct KeptConnections
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    std::vector<qint64> waitMs;

    // Sends one request on each connection at once and waits for every answer.
    void askAll(int port)
    {
        QElapsedTimer timer;
        timer.start();
        std::vector<QByteArray> received(sockets.size());
        waitMs.assign(sockets.size(), -1);
        int open = 0;
        QEventLoop loop;
        for (size_t i = 0; i < sockets.size(); ++i) {
            QTcpSocket* socket = sockets[i].get();
            if (socket->state() != QAbstractSocket::ConnectedState)
                socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
            socket->write("GET /nothing HTTP/1.1\r\nHost: bench\r\n\r\n");
            ++open;
            QObject::connect(socket, &QTcpSocket::readyRead, &loop, [&, i, socket] {
                received[i] += socket->readAll();
                if (waitMs[i] < 0 && received[i].endsWith("}")) {
                    waitMs[i] = timer.elapsed();
                    if (--open == 0)
                        loop.quit();
                }
            });
        }
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        for (const auto& socket : sockets)
            socket->disconnect(&loop);
    }

    void report(const char* what) const
    {
        qint64 worst = 0;
        int slow = 0;
        for (const qint64 ms : waitMs) {
            worst = qMax(worst, ms < 0 ? qint64(60000) : ms);
            slow += ms < 0 || ms > 1000;
        }
        std::printf("  %-44s worst %5lld ms, %d of %d over 1 s\n", what, static_cast<long long>(worst), slow, int(waitMs.size()));
    }
};

// Requests while many kept-alive connections sit idle: `count` clients ask at
// once and keep their connections open, then as many new clients ask, each on
// a fresh connection, while the first ones stay open and idle.
void idleConnections(const KTestServer& server, int count)
{
    if (count <= 0)
        return;
    KeptConnections first;
    KeptConnections later;
    for (int i = 0; i < count; ++i) {
        first.sockets.push_back(std::make_unique<QTcpSocket>());
        later.sockets.push_back(std::make_unique<QTcpSocket>());
    }
    first.askAll(server.port());
    later.askAll(server.port());
    std::printf("%d kept-alive connections: server threads %lld, memory %.1f MiB\n", count,
                processStatus(server.pid(), "Threads:"), processStatus(server.pid(), "VmRSS:") / 1024.0);
    first.report("clients asking at once");
    later.report("new clients while those stay open");
}
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app.arguments());
    QTemporaryDir dir(options.dir + QStringLiteral("/wexora-server-bench-XXXXXX"));
    KTestServer server;
    if (!dir.isValid() || !server.start()) {
        std::fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    KTestApiClient client(server.baseUrl());
    client.login(KTestServer::demoUser(), KTestServer::demoPassword());
    QString md5;
    const QString data = makeData(dir.path(), options.size, &md5);
    const QStringList parts = splitParts(data, dir.path());
    ::sync(); // the prepared files are on disk before anything is timed
    std::printf("server %s, %lld MiB in %d parts of 5 MiB\n", qPrintable(server.baseUrl()),
                static_cast<long long>(options.size / MiB), int(parts.size()));

    std::printf("part intake\n");
    qint64 sinkMs = 0;
    runCurl({"-sS", "--fail", "-H", "Expect:", "-H", "X-Admin-Token: " + server.adminToken(), "-T", data, "-o", "/dev/null",
             server.baseUrl() + "/_admin/sink"}, &sinkMs);
    report("curl PUT to a discarding endpoint (baseline)", options.size, sinkMs);
    const QString curlToken = askToken(client, "@home-demo/bench/curl.bin", md5, options.size);
    const QString clientToken = askToken(client, "@home-demo/bench/client.bin", md5, options.size);
    qint64 curlMs = 0;
    const bool curlOk = curlUpload(client, "@home-demo/bench/curl.bin", curlToken, parts, dir.path(), &curlMs);
    report("curl PUT of the parts to the part intake", options.size, curlMs);
    QElapsedTimer commit;
    commit.start();
    const bool curlCommitted = client.submit("@home-demo/bench/curl.bin", curlToken).code() == 0;
    std::printf("  %-44s %8lld ms\n", "commit of the curl upload (MD5 check)", static_cast<long long>(commit.elapsed()));
    qint64 clientMs = 0;
    const bool clientOk = clientUpload(client, "@home-demo/bench/client.bin", clientToken, data, options.size, &clientMs);
    report("client-like upload (tickets, POST, commit)", options.size, clientMs);
    std::printf("  ratio part intake / discarding endpoint      %8.2f\n", double(sinkMs) / double(qMax<qint64>(curlMs, 1)));
    std::printf("  ratio client-like upload / curl intake       %8.2f\n", double(curlMs) / double(qMax<qint64>(clientMs, 1)));

    // A fresh process, so its peak memory is that of the downloads alone.
    server.restart();
    KTestApiClient reader(server.baseUrl());
    reader.login(KTestServer::demoUser(), KTestServer::demoPassword());
    const QString url = reader.downloadUrl("@home-demo/bench/client.bin");
    std::printf("ranged download (Range: bytes=0-)\n");
    qint64 curlGetMs = 0;
    const QString curlTarget = dir.path() + QStringLiteral("/curl.out");
    const bool curlGetOk = runCurl({"-sS", "--fail", "-r", "0-", "-o", curlTarget, url}, &curlGetMs);
    report("curl", options.size, curlGetMs);
    const bool curlSame = sameFile(data, curlTarget);
    QFile::remove(curlTarget);
    qint64 got = 0;
    qint64 clientGetMs = 0;
    const QString clientTarget = dir.path() + QStringLiteral("/client.out");
    const bool clientGetOk = clientDownload(url, clientTarget, &got, &clientGetMs);
    report("client-like QNetworkAccessManager to a file", got, clientGetMs);
    const bool clientSame = sameFile(data, clientTarget);
    QFile::remove(clientTarget);
    std::printf("  ratio client-like / curl                      %8.2f\n", double(curlGetMs) / double(qMax<qint64>(clientGetMs, 1)));
    const qint64 peak = processStatus(server.pid(), "VmHWM:");
    std::printf("server peak memory while serving the downloads: %.1f MiB (limit 100 MiB): %s\n", peak / 1024.0,
                peak > 0 && peak < 100 * 1024 ? "ok" : "TOO HIGH");

    std::printf("small files\n");
    smallFiles(reader, options.smallFiles);
    idleConnections(server, options.idleConnections);
    const bool allOk = curlOk && curlCommitted && clientOk && curlGetOk && clientGetOk && curlSame && clientSame;
    std::printf("checks: uploads committed %s, downloads identical %s\n", curlOk && curlCommitted && clientOk ? "yes" : "NO",
                curlSame && clientSame ? "yes" : "NO");
    server.stop();
    return allOk ? 0 : 1;
}
