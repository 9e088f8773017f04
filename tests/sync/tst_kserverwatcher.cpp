#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "sync/kservertree.h"
#include "sync/kserverwatcher.h"

#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <functional>

// Carries the watcher's signals from its thread to the test thread, where
// the spies read them.
class CheckRelay : public QObject
{
    Q_OBJECT
signals:
    void changed(const QString& pairId);
    void checked(const QString& pairId, bool complete);
};

// The server watcher against the reference server.
class TestKServerWatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void fingerprintIsMd5OfSortedLines_data();
    void fingerprintIsMd5OfSortedLines();
    void reportsServerChangesAgainstBaseline();
    void slowAndFailedChecksBackOff();
    void stopEndsAWaitingRequest();

private:
    void startWatcher(int intervalMs);
    qint64 listings() { return server.stats().value("klistdir"); }

    KTestServer server;
    QString space;
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<KServerWatcher> watcher;
    std::unique_ptr<CheckRelay> relay;
    std::unique_ptr<QSignalSpy> changes;
    std::unique_ptr<QSignalSpy> checks;
};

void TestKServerWatcher::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestKServerWatcher::init()
{
    base.reset(new KTestBaseDir);
    base->installLogSink();
    QVERIFY(server.clearFaults());
}

void TestKServerWatcher::cleanup()
{
    watcher.reset();
    changes.reset();
    checks.reset();
    relay.reset();
    base.reset();
}

void TestKServerWatcher::cleanupTestCase()
{
    kClearTestSession();
}

void TestKServerWatcher::startWatcher(int intervalMs)
{
    watcher.reset(new KServerWatcher);
    watcher->setIntervalMs(intervalMs);
    relay.reset(new CheckRelay);
    connect(watcher.get(), &KServerWatcher::changed, relay.get(), &CheckRelay::changed, Qt::QueuedConnection);
    connect(watcher.get(), &KServerWatcher::checked, relay.get(), &CheckRelay::checked, Qt::QueuedConnection);
    changes.reset(new QSignalSpy(relay.get(), &CheckRelay::changed));
    checks.reset(new QSignalSpy(relay.get(), &CheckRelay::checked));
    watcher->start();
}

void TestKServerWatcher::fingerprintIsMd5OfSortedLines_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QString>("md5");
    const QStringList files{"d/é.txt 4a8a08f09d37b73795649038408b5f33 2", "a.txt 0cc175b9c0f1b6a831c399e269772661 3",
                            "d/b.txt 92eb5ffee6ae2fec3ad71c777531578f 1"};
    // Known answers: printf 'a.txt\t0cc1...\t3\nd/\nd/b.txt\t...\t1\n...' | md5sum
    QTest::newRow("empty") << QStringList{} << QStringList{} << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("files and folders") << files << QStringList{"e", "d"} << "2218c60ea3d3a8d591a68a4c262e33ba";
    QStringList newer = files;
    newer[1] = "a.txt 0cc175b9c0f1b6a831c399e269772661 4";
    QTest::newRow("another version") << newer << QStringList{"e", "d"} << "c8203624cb5dc9f6a1191a88b179afde";
    QTest::newRow("one folder less") << files << QStringList{"d"} << "6643d00365e466b049cbcf4649cf9931";
}

void TestKServerWatcher::fingerprintIsMd5OfSortedLines()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, folders);
    QFETCH(QString, md5);
    KServerTree tree;
    for (const QString& file : files) {
        const QStringList field = file.split(' ');
        tree.files.insert(field[0], {field[1], 1, field[2].toLongLong()});
    }
    for (const QString& folder : folders)
        tree.folders.insert(folder);
    QCOMPARE(KServerWatcher::fingerprint(tree), md5);
}

void TestKServerWatcher::reportsServerChangesAgainstBaseline()
{
    QVERIFY(server.putFile(space, "w/a.txt", "a"));
    QVERIFY(server.putFile(space, "w/d/b.txt", "b"));
    const QString root = "@" + space + "/w";
    startWatcher(600000);
    const qint64 before = listings();
    watcher->watch("p", root);
    // The first check only takes the baseline, with one request.
    QVERIFY(checks->wait(20000));
    QCOMPARE(checks->at(0), (QList<QVariant>{"p", true}));
    QCOMPARE(listings() - before, qint64(1));
    QCOMPARE(changes->size(), 0);
    QCOMPARE(watcher->baseline("p"), KServerWatcher::fingerprint(KServerTree::scan(root)));

    struct Step
    {
        const char* name;
        std::function<void()> act;
        int changed;
    };
    const QList<Step> steps{
        {"nothing changed", [] {}, 0},
        {"file added", [&] { server.putFile(space, "w/new.txt", "n"); }, 1},
        {"file changed deep down", [&] { server.putFile(space, "w/d/b.txt", "b2"); }, 1},
        {"same bytes as a new version", [&] { server.putFile(space, "w/a.txt", "a"); }, 1},
        {"folder added", [&] { server.makeFolder(space, "w/e"); }, 1},
        {"change beside the pair", [&] { server.putFile(space, "other/x.txt", "x"); }, 0},
        {"stale baseline", [&] { watcher->setBaseline("p", "stale"); }, 1},
        {"baseline set after a change",
         [&] {
             server.putFile(space, "w/own.txt", "o");
             watcher->setBaseline("p", KServerWatcher::fingerprint(KServerTree::scan(root)));
         },
         0},
    };
    for (const Step& step : steps) {
        checks->clear();
        changes->clear();
        step.act();
        watcher->checkNow();
        QVERIFY2(checks->wait(20000), step.name);
        QVERIFY2(checks->at(0).at(1).toBool(), step.name);
        QVERIFY2(changes->size() == step.changed, step.name);
    }
}

void TestKServerWatcher::slowAndFailedChecksBackOff()
{
    QVERIFY(server.putFile(space, "b/a.txt", "a"));
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "delay"}, {"delayMs", 2500}}));
    startWatcher(20000);
    watcher->setMaxIntervalMs(60000);
    watcher->watch("p", "@" + space + "/b");

    struct Step
    {
        const char* name;
        QJsonObject fault;
        bool complete;
        int intervalMs;
    };
    const QJsonObject failure{{"target", "klistdir"}, {"action", "html"}};
    const QList<Step> steps{
        {"slower than a tenth of the interval", {}, true, 40000},
        {"fast again", {}, true, 20000},
        {"failed", failure, false, 40000},
        {"failed again, up to the longest", failure, false, 60000},
        {"listed again", {}, true, 20000},
    };
    for (const Step& step : steps) {
        if (!step.fault.isEmpty())
            QVERIFY(server.setFault(step.fault));
        if (step.name != steps[0].name)
            watcher->checkNow();
        QVERIFY2(checks->wait(20000), step.name);
        QCOMPARE(checks->takeFirst().at(1).toBool(), step.complete);
        QCOMPARE(watcher->currentIntervalMs("p"), step.intervalMs);
    }
    QCOMPARE(changes->size(), 0);
}

void TestKServerWatcher::stopEndsAWaitingRequest()
{
    // Long enough to tell, short enough not to hold up the server's own stop.
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "delay"}, {"delayMs", 12000}, {"times", 0}}));
    startWatcher(600000);
    const qint64 before = listings();
    watcher->watch("p", "@" + space + "/w");
    QVERIFY(server.waitForStat("klistdir", before + 1));
    watcher->stop();
    // Well before the server answers.
    QVERIFY(watcher->wait(8000));
    QCoreApplication::processEvents();
    QCOMPARE(checks->size(), 0);
}

QTEST_GUILESS_MAIN(TestKServerWatcher)
#include "tst_kserverwatcher.moc"
