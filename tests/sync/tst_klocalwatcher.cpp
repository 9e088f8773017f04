#include "ktestbasedir.h"
#include "store/kfilesyncdatabase.h"
#include "store/kpartialdownloads.h"
#include "sync/klocalwatcher.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// Carries the watcher's signals from its thread to the test thread, where
// the spies read them.
class WatchRelay : public QObject
{
    Q_OBJECT
signals:
    void changed(const QString& pairId, const QStringList& relPaths, bool full);
    void modeChanged(const QString& pairId, const QString& mode);
};

// The local watcher on real folder trees: what it reports, and when it
// falls back or gives up.
class TestKLocalWatcher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reportsWhatChanged_data();
    void reportsWhatChanged();
    void writesToOneFileMakeOneReport();
    void continuousWritesAreReportedByTheMaxDelay();
    void floodGivesFewFullReports();
    void goneRootIsReportedOnceAndWatchedAgainOnRequest_data();
    void goneRootIsReportedOnceAndWatchedAgainOnRequest();
    void watchLimitFallsBackToRescan_data();
    void watchLimitFallsBackToRescan();

private:
    QString at(const QString& rel) const { return work->path() + "/" + rel; }
    void run(const QString& op);
    void watchLive(const QString& pairId, const QString& root, const QString& mode = KLocalWatcher::Live);
    QSet<QString> collectUntilMarker();

    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<KLocalWatcher> watcher;
    std::unique_ptr<WatchRelay> relay;
    std::unique_ptr<QSignalSpy> changes;
    std::unique_ptr<QSignalSpy> modes;
    int marks = 0;
    // How many reports the last collectUntilMarker() took.
    int reports = 0;
};

namespace {

void writeFile(const QString& path, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(mode));
    file.write("bytes\n");
}

} // namespace

void TestKLocalWatcher::init()
{
    base.reset(new KTestBaseDir);
    base->installLogSink();
    KFileSyncDatabase().initDatabase();
    work.reset(new QTemporaryDir);
    // root/ is watched; outside/ lies next to it, on the same file system.
    for (const char* rel : {"root/a.txt", "root/d/f.txt", "root/d/e/g.txt", "outside/ext.txt", "outside/dir/h.txt",
                               "outside/dir/sub/i.txt"})
        writeFile(at(rel));
    QVERIFY(QFile::link(at("outside"), at("root/oldlink")));
    watcher.reset(new KLocalWatcher);
    relay.reset(new WatchRelay);
    connect(watcher.get(), &KLocalWatcher::changed, relay.get(), &WatchRelay::changed, Qt::QueuedConnection);
    connect(watcher.get(), &KLocalWatcher::modeChanged, relay.get(), &WatchRelay::modeChanged, Qt::QueuedConnection);
    changes.reset(new QSignalSpy(relay.get(), &WatchRelay::changed));
    modes.reset(new QSignalSpy(relay.get(), &WatchRelay::modeChanged));
}

void TestKLocalWatcher::cleanup()
{
    changes.reset();
    modes.reset();
    watcher.reset();
    relay.reset();
    work.reset();
    base.reset();
}

// One step of a row: "write P", "append P", "rm P", "rmtree P", "mkdir P",
// "mv P Q", "link P TARGET", "partial P" (a download of P in progress).
void TestKLocalWatcher::run(const QString& op)
{
    const QStringList word = op.split(' ');
    const QString path = at(word.value(1));
    if (word[0] == "write")
        writeFile(path);
    else if (word[0] == "append")
        writeFile(path, QIODevice::Append);
    else if (word[0] == "rm")
        QVERIFY(QFile::remove(path));
    else if (word[0] == "rmtree")
        QVERIFY(QDir(path).removeRecursively());
    else if (word[0] == "mkdir")
        QVERIFY(QDir().mkpath(path));
    else if (word[0] == "mv")
        QVERIFY(QDir().rename(path, at(word.value(2))));
    else if (word[0] == "link")
        QVERIFY(QFile::link(at(word.value(2)), path));
    else if (word[0] == "partial") {
        const KPartialPlan plan = KPartialDownloads::plan(path, "@space/" + word.value(1), 6, "d41d8");
        writeFile(plan.tempPath);
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(plan.tempPath).constData(), &info), 0);
        KPartialDownloads::opened(plan.tempPath, qint64(info.st_ino));
    } else
        QFAIL(qPrintable("unknown step " + op));
}

void TestKLocalWatcher::watchLive(const QString& pairId, const QString& root, const QString& mode)
{
    modes->clear();
    watcher->watch(pairId, root);
    QVERIFY(modes->wait(20000));
    QCOMPARE(modes->at(0).at(1).toString(), mode);
    QCOMPARE(watcher->mode(pairId), mode);
}

// Writes a marker file and gathers every reported path up to the report
// that names it; the marker itself is left out, a full report shows as
// "<full>". A full report names nothing, so the marker is written again.
QSet<QString> TestKLocalWatcher::collectUntilMarker()
{
    const QString marker = QStringLiteral("zz-mark%1").arg(++marks);
    writeFile(at("root/" + marker));
    QSet<QString> seen;
    for (reports = 0; !seen.contains(marker); ++reports) {
        if (reports >= changes->size() && !changes->wait(20000))
            return {QStringLiteral("no report of the marker")};
        const QList<QVariant> report = changes->at(reports);
        if (report.at(2).toBool()) {
            seen << QStringLiteral("<full>");
            writeFile(at("root/" + marker), QIODevice::Append);
        }
        for (const QString& path : report.at(1).toStringList())
            seen << path;
    }
    seen.remove(marker);
    changes->clear();
    return seen;
}

void TestKLocalWatcher::reportsWhatChanged_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("file created") << QStringList{"write root/new.txt"} << QStringList{"new.txt"};
    QTest::newRow("file modified") << QStringList{"append root/a.txt"} << QStringList{"a.txt"};
    QTest::newRow("file deleted") << QStringList{"rm root/a.txt"} << QStringList{"a.txt"};
    QTest::newRow("file renamed") << QStringList{"mv root/a.txt root/d/b.txt"} << QStringList{"a.txt", "d/b.txt"};
    QTest::newRow("file moved out") << QStringList{"mv root/a.txt outside/a.txt"} << QStringList{"a.txt"};
    QTest::newRow("file moved in") << QStringList{"mv outside/ext.txt root/ext.txt"} << QStringList{"ext.txt"};
    QTest::newRow("file gone before the report") << QStringList{"write root/t.txt", "rm root/t.txt"}
                                                 << QStringList{"t.txt"};
    QTest::newRow("new folder with files")
        << QStringList{"mkdir root/n", "write root/n/x.txt", "mkdir root/n/m", "write root/n/m/y.txt"}
        << QStringList{"n", "n/m", "n/m/y.txt", "n/x.txt"};
    QTest::newRow("folder moved in with files") << QStringList{"mv outside/dir root/dir"}
                                                << QStringList{"dir", "dir/h.txt", "dir/sub", "dir/sub/i.txt"};
    QTest::newRow("folder deleted") << QStringList{"rmtree root/d"} << QStringList{"d", "d/e", "d/e/g.txt", "d/f.txt"};
    QTest::newRow("folder moved out is no longer watched")
        << QStringList{"mv root/d outside/d", "write outside/d/late.txt", "write outside/d/e/late.txt"}
        << QStringList{"d"};
    QTest::newRow("folder renamed is watched under its new name")
        << QStringList{"mv root/d root/d2", "write root/d2/e/late.txt"}
        << QStringList{"d", "d2", "d2/e", "d2/e/g.txt", "d2/e/late.txt", "d2/f.txt"};
    QTest::newRow("hidden names") << QStringList{"write root/.h", "mkdir root/.hd", "write root/.hd/x.txt",
                                                 "write root/d/.h2", "mv root/a.txt root/.a.txt"}
                                  << QStringList{"a.txt"};
    QTest::newRow("links out of the tree are not followed")
        << QStringList{"link root/newlink outside", "write outside/dir/h2.txt", "write outside/ext2.txt"}
        << QStringList{"newlink"};
    QTest::newRow("own partial download") << QStringList{"partial root/dl.txt", "append root/dl.txt.wexora"}
                                          << QStringList{};
}

void TestKLocalWatcher::reportsWhatChanged()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);
    watcher->setQuietMs(300);
    watchLive("p", at("root"));
    for (const QString& step : steps)
        run(step);
    QStringList seen = collectUntilMarker().values();
    seen.sort();
    QCOMPARE(seen, expected);
}

void TestKLocalWatcher::writesToOneFileMakeOneReport()
{
    watchLive("p", at("root"));
    for (int i = 0; i < 200; ++i)
        writeFile(at("root/a.txt"), QIODevice::Append);
    QVERIFY(changes->wait(20000));
    QCOMPARE(changes->at(0), (QList<QVariant>{"p", QStringList{"a.txt"}, false}));
    // The next report names only what came after.
    changes->clear();
    QCOMPARE(collectUntilMarker(), QSet<QString>());
}

void TestKLocalWatcher::continuousWritesAreReportedByTheMaxDelay()
{
    watcher->setQuietMs(600000);
    watcher->setMaxDelayMs(300);
    watchLive("p", at("root"));
    writeFile(at("root/a.txt"), QIODevice::Append);
    QVERIFY(changes->wait(20000));
    QCOMPARE(changes->at(0), (QList<QVariant>{"p", QStringList{"a.txt"}, false}));
}

// 20,000 files in 200 folders, made and removed again: far more events than
// the kernel queues or the report may list.
void TestKLocalWatcher::floodGivesFewFullReports()
{
    watcher->setQuietMs(3000);
    watcher->setMaxDelayMs(600000);
    watchLive("p", at("root"));
    for (int folder = 0; folder < 200; ++folder) {
        QDir().mkpath(at(QStringLiteral("root/flood/%1").arg(folder)));
        for (int i = 0; i < 100; ++i) {
            QFile file(at(QStringLiteral("root/flood/%1/%2.txt").arg(folder).arg(i)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
    QVERIFY(QDir(at("root/flood")).removeRecursively());
    QVERIFY(collectUntilMarker().contains("<full>"));
    QVERIFY2(reports <= 3, qPrintable(QString::number(reports)));
    // Still live, and back to naming paths.
    QCOMPARE(watcher->mode("p"), KLocalWatcher::Live);
    run("write root/d/e/after.txt");
    QCOMPARE(collectUntilMarker(), (QSet<QString>{"d/e/after.txt"}));
}

void TestKLocalWatcher::goneRootIsReportedOnceAndWatchedAgainOnRequest_data()
{
    QTest::addColumn<QString>("step");
    QTest::newRow("deleted") << "rmtree root";
    QTest::newRow("moved away") << "mv root outside/root";
}

void TestKLocalWatcher::goneRootIsReportedOnceAndWatchedAgainOnRequest()
{
    QFETCH(QString, step);
    // Only the root's end may cut the gathering short.
    watcher->setQuietMs(600000);
    watcher->setMaxDelayMs(600000);
    watchLive("p", at("root"));
    modes->clear();
    run(step);
    QVERIFY(changes->wait(20000));
    QCOMPARE(changes->at(0), (QList<QVariant>{"p", QStringList{}, true}));
    QTRY_COMPARE(modes->size(), 1);
    QCOMPARE(modes->at(0), (QList<QVariant>{"p", KLocalWatcher::Off}));
    QCOMPARE(watcher->mode("p"), KLocalWatcher::Off);
    QVERIFY(base->todaysLog().contains("监视的文件夹已删除、移走或卸载"));

    changes->clear();
    watcher->setQuietMs(300);
    QVERIFY(QDir().mkpath(at("root")));
    watchLive("p", at("root"));
    run("write root/back.txt");
    QCOMPARE(collectUntilMarker(), (QSet<QString>{"back.txt"}));
}

void TestKLocalWatcher::watchLimitFallsBackToRescan_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("firstMode");
    // root, d, d/e: three folders.
    QTest::newRow("at the start") << 2 << KLocalWatcher::Rescan;
    QTest::newRow("at a new folder") << 3 << KLocalWatcher::Live;
}

void TestKLocalWatcher::watchLimitFallsBackToRescan()
{
    QFETCH(int, limit);
    QFETCH(QString, firstMode);
    watcher->setMaxWatchesForTesting(limit);
    watcher->setRescanIntervalMs(200);
    watcher->setQuietMs(300);
    watchLive("p", at("root"), firstMode);
    if (firstMode == KLocalWatcher::Live) {
        modes->clear();
        run("mkdir root/n");
        QVERIFY(changes->wait(20000));
        QCOMPARE(changes->at(0), (QList<QVariant>{"p", QStringList{}, true}));
        QCOMPARE(modes->at(0), (QList<QVariant>{"p", KLocalWatcher::Rescan}));
        changes->clear();
    }
    QCOMPARE(watcher->mode("p"), KLocalWatcher::Rescan);
    QVERIFY(base->todaysLog().contains("系统监视数量已达上限"));
    run("mkdir root/d/m");
    run("write root/d/m/x.txt");
    run("rm root/d/f.txt");
    run("append root/a.txt");
    QCOMPARE(collectUntilMarker(), (QSet<QString>{"a.txt", "d/f.txt", "d/m", "d/m/x.txt"}));
}

QTEST_GUILESS_MAIN(TestKLocalWatcher)
#include "tst_klocalwatcher.moc"
