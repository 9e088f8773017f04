// Live sync latency: the whole engine with its threads and watchers against
// the reference server, nobody asking for a pass. A save in a watched pair is
// timed until the server holds the new content, a change made on the server
// until the local file holds it. The peer is one pass of a twin pair (same
// files, not watched) asked for right after the same change: what a user
// without watching waits at best, once they start a pass by hand.
#include "kbenchsupport.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "app/kjsontools.h"
#include "store/kfilesyncdatabase.h"
#include "sync/klocalwatcher.h"
#include "sync/kpairwatching.h"
#include "sync/kserverwatcher.h"
#include "sync/ksyncengine.h"
#include "transfer/kuploadmanager.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace {

QTextStream out(stdout);

const int SeedFiles = 100;
const int PollMs = 20;
// A server commit is confirmed when an upload ends; this slower look covers
// an upload whose end was missed.
const int ServerPollMs = 500;
const int ChangeTimeoutMs = 600000;

struct Options
{
    int changes = 50;
    int checkSeconds = KServerWatcher::DefaultIntervalMs / 1000;
    bool local = true;
    bool server = true;
};

struct Pair
{
    QString id;
    QTemporaryDir local;
    QString folder;
};

// Seconds per change: ours and the peer's; a change that never arrived is counted apart.
struct Figures
{
    QList<double> ours;
    QList<double> peer;
    int lost = 0;
};

// Runs the event loop until done() holds, asking every pollMs and whenever
// check() is called. The time is taken when the asking starts, so the
// asking's own cost is not counted.
class Until : public QObject
{
public:
    Until(const QElapsedTimer& since, std::function<bool()> done, int pollMs)
        : since(since)
        , done(std::move(done))
    {
        connect(&poll, &QTimer::timeout, this, &Until::check);
        poll.start(pollMs);
    }

    // Seconds from `since`, or -1 after timeoutMs.
    double wait(int timeoutMs)
    {
        check();
        if (seconds < 0) {
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return seconds;
    }

    void check()
    {
        // Asking may run a nested event loop (a request to the server).
        if (asking || seconds >= 0)
            return;
        asking = true;
        const double now = since.nsecsElapsed() / 1e9;
        if (done()) {
            seconds = now;
            loop.quit();
        }
        asking = false;
    }

private:
    const QElapsedTimer& since;
    std::function<bool()> done;
    QTimer poll;
    QEventLoop loop;
    double seconds = -1;
    bool asking = false;
};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Nearest rank: the smallest value with at least share of the values at or below it.
double percentile(QList<double> values, double share)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values.at(std::max(0, int(std::ceil(share * values.size())) - 1));
}

class LiveBench
{
public:
    explicit LiveBench(const Options& options)
        : options(options)
    {
    }

    bool setUp();
    void run();

private:
    bool addPair(Pair& pair, const QString& folder);
    bool waitUntilReady();
    double toServer(const Pair& pair, const QString& rel, const QByteArray& bytes, bool askPass);
    double toLocal(const Pair& pair, const QString& rel, const QByteArray& bytes, bool askPass);
    Figures localSaves();
    Figures serverChanges();
    void report(const QString& what, const Figures& figures, const QString& aim);

    static QString changedRel(int i, const QString& newFolder);
    static QByteArray changedBytes(const QString& side, int i);

    Options options;
    KTestBaseDir base;
    KTestServer server;
    QString space;
    QStringList seeds;
    // Declared before the engine: its threads end before the folders go.
    Pair watched;
    Pair twin;
    QNetworkAccessManager network;
    std::unique_ptr<KFileSyncDatabase> store;
    std::unique_ptr<KSyncEngine> engine;
};

bool LiveBench::setUp()
{
    base.installLogSink();
    if (!server.start() || !kLoginTestSession(server))
        return false;
    space = KTestServer::demoPersonalSpace();
    KFileSyncDatabase().initDatabase();
    store = std::make_unique<KFileSyncDatabase>();
    engine = std::make_unique<KSyncEngine>(&network, store.get());
    engine->watching()->server()->setIntervalMs(options.checkSeconds * 1000);
    for (int i = 0; i < SeedFiles; ++i)
        seeds << KBench::relPath(i, 10);
    if (!addPair(watched, QStringLiteral("watched")) || !addPair(twin, QStringLiteral("twin")))
        return false;
    // The twin is passed only when asked.
    engine->watching()->restrictTo({watched.id});
    engine->start();
    return waitUntilReady();
}

bool LiveBench::addPair(Pair& pair, const QString& folder)
{
    KBench::writeLocal(pair.local.path(), seeds);
    pair.folder = folder;
    if (!server.makeFolder(space, folder))
        return false;
    const QString saved =
        store->addSyncConfig("", pair.local.path(), "@" + space + "/" + folder, "1", "0", "3");
    pair.id = KJsonTools::parseStringMap(saved).value(QStringLiteral("id"));
    return !pair.id.isEmpty();
}

// Both pairs' first passes are done, the watched pair's tree is watched and
// its server tree has a baseline to be compared with.
bool LiveBench::waitUntilReady()
{
    QElapsedTimer clock;
    clock.start();
    KServerWatcher* serverWatcher = engine->watching()->server();
    KLocalWatcher* localWatcher = engine->watching()->local();
    Until ready(clock, [&] {
        int synced = 0;
        for (const QJsonValue& file : server.tree(space).value(QStringLiteral("files")).toArray()) {
            const QString path = file.toObject().value(QStringLiteral("path")).toString();
            synced += path.startsWith(watched.folder + "/") || path.startsWith(twin.folder + "/");
        }
        return synced == 2 * SeedFiles && localWatcher->mode(watched.id) == KLocalWatcher::Live &&
               !serverWatcher->baseline(watched.id).isEmpty();
    }, 200);
    return ready.wait(120000) >= 0;
}

QString LiveBench::changedRel(int i, const QString& newFolder)
{
    return i % 2 == 0 ? QStringLiteral("%1/n%2.txt").arg(newFolder).arg(i) : KBench::relPath(i * 7 % SeedFiles, 10);
}

QByteArray LiveBench::changedBytes(const QString& side, int i)
{
    return QStringLiteral("change %1 made on the %2 side at %3\n")
        .arg(i)
        .arg(side)
        .arg(QDateTime::currentMSecsSinceEpoch())
        .toUtf8();
}

// A save in the pair's folder until the server holds it; the twin gets its pass asked for.
double LiveBench::toServer(const Pair& pair, const QString& rel, const QByteArray& bytes, bool askPass)
{
    const QString serverPath = pair.folder + "/" + rel;
    QElapsedTimer clock;
    clock.start();
    if (!writeFile(pair.local.filePath(rel), bytes))
        return -1;
    if (askPass)
        engine->requestPass(pair.id);
    Until committed(clock, [&] { return server.fileContent(space, serverPath) == bytes; }, ServerPollMs);
    QObject::connect(engine->uploadThread(), &KUploadManager::deleteFileItem, &committed, &Until::check);
    return committed.wait(ChangeTimeoutMs);
}

// A new version put on the server until the pair's local file holds it.
double LiveBench::toLocal(const Pair& pair, const QString& rel, const QByteArray& bytes, bool askPass)
{
    const QString localPath = pair.local.filePath(rel);
    QElapsedTimer clock;
    clock.start();
    if (!server.putFile(space, pair.folder + "/" + rel, bytes))
        return -1;
    if (askPass)
        engine->requestPass(pair.id);
    Until arrived(clock, [&] { return readFile(localPath) == bytes; }, PollMs);
    return arrived.wait(ChangeTimeoutMs);
}

Figures LiveBench::localSaves()
{
    Figures figures;
    for (int i = 0; i < options.changes; ++i) {
        const QString rel = changedRel(i, QStringLiteral("saved"));
        const double ours = toServer(watched, rel, changedBytes(QStringLiteral("local"), i), false);
        const double peer = toServer(twin, rel, changedBytes(QStringLiteral("local"), i), true);
        if (ours < 0 || peer < 0) {
            ++figures.lost;
            continue;
        }
        figures.ours << ours;
        figures.peer << peer;
    }
    return figures;
}

// Each change is made at a random point of the check cycle, as a change by
// someone else would be; made right after the last one arrived, every change
// would wait nearly a whole interval.
Figures LiveBench::serverChanges()
{
    Figures figures;
    QRandomGenerator random(15);
    for (int i = 0; i < options.changes; ++i) {
        KBench::idleMs(random.bounded(options.checkSeconds * 1000));
        const QString rel = changedRel(i, QStringLiteral("fetched"));
        const double ours = toLocal(watched, rel, changedBytes(QStringLiteral("server"), i), false);
        const double peer = toLocal(twin, rel, changedBytes(QStringLiteral("server"), i), true);
        if (ours < 0 || peer < 0) {
            ++figures.lost;
            continue;
        }
        figures.ours << ours;
        figures.peer << peer;
        out << QStringLiteral("  change %1/%2: %3 s (one pass: %4 s)\n")
                   .arg(i + 1).arg(options.changes).arg(ours, 0, 'f', 3).arg(peer, 0, 'f', 3);
        out.flush();
    }
    return figures;
}

void LiveBench::report(const QString& what, const Figures& figures, const QString& aim)
{
    const double ours = percentile(figures.ours, 0.5);
    const double peer = percentile(figures.peer, 0.5);
    out << QStringLiteral("%1, %2 changes: median %3 s, 95th percentile %4 s (aim %5)  |  "
                          "one pass of the twin pair asked for after the same change: median %6 s, "
                          "95th percentile %7 s  |  ratio %8\n")
               .arg(what).arg(figures.ours.size()).arg(ours, 0, 'f', 3)
               .arg(percentile(figures.ours, 0.95), 0, 'f', 3).arg(aim).arg(peer, 0, 'f', 3)
               .arg(percentile(figures.peer, 0.95), 0, 'f', 3).arg(ours > 0 ? peer / ours : 0, 0, 'f', 3);
    if (figures.lost > 0)
        out << QStringLiteral("  %1 change(s) did not arrive within %2 s and are left out\n")
                   .arg(figures.lost).arg(ChangeTimeoutMs / 1000);
    out.flush();
}

void LiveBench::run()
{
    out << QStringLiteral("live sync: two-way pair of %1 files, server check every %2 s%3\n")
               .arg(SeedFiles).arg(options.checkSeconds)
               .arg(options.checkSeconds * 1000 == KServerWatcher::DefaultIntervalMs
                        ? QStringLiteral(" (the product's default)") : QString());
    out.flush();
    if (options.local)
        report(QStringLiteral("local save -> on the server"), localSaves(), QStringLiteral("< 3 s"));
    if (options.server)
        report(QStringLiteral("server change -> local file"), serverChanges(), QStringLiteral("< 90 s"));
    engine->stop();
}

bool parse(const QCoreApplication& app, Options& options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Live sync latency against the reference server."));
    parser.addHelpOption();
    parser.addOption({"changes", "Changes per direction (50).", "N", "50"});
    parser.addOption({"check-interval", "Seconds between server checks (the product's default).", "S",
                      QString::number(options.checkSeconds)});
    parser.addOption({"only", "Only one direction: local or server.", "SIDE"});
    parser.process(app);
    options.changes = parser.value("changes").toInt();
    options.checkSeconds = parser.value("check-interval").toInt();
    const QString only = parser.value("only");
    options.local = only.isEmpty() || only == QLatin1String("local");
    options.server = only.isEmpty() || only == QLatin1String("server");
    return options.changes > 0 && options.checkSeconds > 0 && (options.local || options.server);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parse(app, options)) {
        out << "usage: bench_live [--changes N] [--check-interval S] [--only local|server]\n";
        return 2;
    }
    LiveBench bench(options);
    if (!bench.setUp()) {
        out << "could not start the reference server, log in or finish the first passes\n";
        return 1;
    }
    bench.run();
    return 0;
}
