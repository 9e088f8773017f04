#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/kjsontools.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfilesynconcemanager.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kuploadmanager.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The periodic and one-time sync threads as real threads, against the
// reference server. No transfer thread runs: the jobs stay in the queue.
class TestSyncThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void periodicPassAtStartNewestFirstThenWaits();
    void periodicSkipsPairsThatAreNotReady();
    void onceThreadSyncsSavedPairsInOrderWithoutPause();
    void onceThreadDropsRecordWhoseFolderVanished();
    void onceThreadRunsOnlyWhatIsStillSaved();
    void periodicSleepEndsOnWakeAndStop();

private:
    QString savePair(const QString& name, const QString& syncType = "1");
    QStringList queuedUploads() const;
    int logCount(const QString& tag) const { return base->todaysLog().count("[" + tag + "]"); }

    KTestServer server;
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QTemporaryDir> local;
    QString space;
    int round = 0;
};

void TestSyncThreads::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestSyncThreads::init()
{
    base.reset(new KTestBaseDir);
    base->installLogSink();
    local.reset(new QTemporaryDir);
    KFileSyncDatabase().initDatabase();
    KUploadManager::uploadQueue.clear();
    KInflightJobs::clear();
    KFileSyncOnceManager::configItemQueue.clear();
    KConstant::SYNC_TIME = 0;
    ++round;
}

void TestSyncThreads::cleanup()
{
    base.reset();
}

void TestSyncThreads::cleanupTestCase()
{
    kClearTestSession();
}

// A pair whose local folder holds one file named after the pair.
QString TestSyncThreads::savePair(const QString& name, const QString& syncType)
{
    const QString folder = QStringLiteral("r%1-%2").arg(round).arg(name);
    const QString localDir = local->path() + "/" + name;
    QDir().mkpath(localDir);
    QFile file(localDir + "/" + name + ".txt");
    file.open(QIODevice::WriteOnly);
    file.write(name.toUtf8());
    file.close();
    server.makeFolder(space, folder);
    QThread::msleep(2); // l_time has millisecond resolution: keep the saving order visible
    return KFileSyncDatabase().addSyncConfig("", localDir, "@" + space + "/" + folder, "1", "0", syncType);
}

QStringList TestSyncThreads::queuedUploads() const
{
    QStringList names;
    for (const KUploadInfo& job : KUploadManager::uploadQueue.snapshot())
        names << KFileTools::fileName(job.localPath);
    return names;
}

void TestSyncThreads::periodicPassAtStartNewestFirstThenWaits()
{
    QVERIFY(!savePair("first").isEmpty());
    QVERIFY(!savePair("second").isEmpty());
    QVERIFY(!savePair("third").isEmpty());
    KFileSyncOnceManager::configItemQueue.clear();

    KFileSyncManager thread;
    thread.setSchedule({0, 100, 14400});
    QSignalSpy checks(&thread, &KFileSyncManager::checkFinished);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(checks.size() >= 2, 20000);
    thread.requestInterruption();
    QVERIFY(thread.wait(20000));

    QCOMPARE(checks[0][0].toInt(), 3);
    QCOMPARE(checks[1][0].toInt(), 0); // less than four hours since the last check
    QCOMPARE(queuedUploads(), (QStringList{"third.txt", "second.txt", "first.txt"}));
    QCOMPARE(logCount(QStringLiteral("文件同步定时任务")), 3);
    QVERIFY(KConstant::SYNC_TIME > QDateTime::currentSecsSinceEpoch() - 60);
}

void TestSyncThreads::periodicSkipsPairsThatAreNotReady()
{
    QVERIFY(!savePair("kept").isEmpty());
    QVERIFY(!savePair("gone").isEmpty());
    QVERIFY(QDir(local->path() + "/gone").removeRecursively());
    KFileSyncOnceManager::configItemQueue.clear();

    KFileSyncManager thread;
    thread.setSchedule({0, 100, 14400});
    QSignalSpy checks(&thread, &KFileSyncManager::checkFinished);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(checks.size() >= 1, 20000);
    thread.requestInterruption();
    QVERIFY(thread.wait(20000));
    QCOMPARE(checks[0][0].toInt(), 1);
    QCOMPARE(queuedUploads(), QStringList{"kept.txt"});
    QCOMPARE(logCount(QStringLiteral("文件同步定时任务")), 1);
}

void TestSyncThreads::onceThreadSyncsSavedPairsInOrderWithoutPause()
{
    KFileSyncOnceManager thread; // default 10 s poll: the save must wake it
    thread.start();
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!savePair("alpha").isEmpty());
    QVERIFY(!savePair("beta").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("一次性同步文件夹开始")), 2, 8000);
    QVERIFY(timer.elapsed() < 8000);
    thread.stop();
    QVERIFY(thread.wait(20000));
    QCOMPARE(queuedUploads(), (QStringList{"alpha.txt", "beta.txt"}));
    QVERIFY(KFileSyncOnceManager::configItemQueue.isEmpty());
}

void TestSyncThreads::onceThreadDropsRecordWhoseFolderVanished()
{
    QVERIFY(!savePair("vanished").isEmpty());
    QVERIFY(!savePair("present").isEmpty());
    QVERIFY(QDir(local->path() + "/vanished").removeRecursively());
    KFileSyncOnceManager thread;
    thread.start();
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("一次性同步文件夹开始")), 1, 8000);
    QTRY_VERIFY(KFileSyncOnceManager::configItemQueue.isEmpty());
    thread.stop();
    QVERIFY(thread.wait(20000));
    QCOMPARE(queuedUploads(), QStringList{"present.txt"});
}

// A record waiting in the queue is only a note that a pair was saved: a
// pair deleted or edited since then runs as it is stored now, or not at all.
void TestSyncThreads::onceThreadRunsOnlyWhatIsStillSaved()
{
    KFileSyncDatabase store;
    const QString deleted = KJsonTools::parseStringMap(savePair("deleted")).value("id");
    const QString edited = KJsonTools::parseStringMap(savePair("edited")).value("id");
    QVERIFY(!savePair("kept").isEmpty());
    QVERIFY(store.deleteSyncConfig(deleted));
    const QStringList row = store.getSyncConfigById(edited);
    QVERIFY(!store.addSyncConfig(edited, row.value(1), row.value(2), "1", "0", "2").isEmpty());

    KFileSyncOnceManager thread;
    thread.start();
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("一次性同步文件夹开始")), 2, 8000);
    QTRY_VERIFY(KFileSyncOnceManager::configItemQueue.isEmpty());
    thread.stop();
    QVERIFY(thread.wait(20000));
    // The edited pair now only downloads, and its server folder is empty.
    QCOMPARE(queuedUploads(), QStringList{"kept.txt"});
    QCOMPARE(logCount(QStringLiteral("同步文件夹已删除或已修改")), 2);
}

// The periodic thread sleeps on something it can be woken from: new work
// starts a check at once, and a stop ends even an hour-long wait.
void TestSyncThreads::periodicSleepEndsOnWakeAndStop()
{
    QVERIFY(!savePair("woken").isEmpty());
    KFileSyncOnceManager::configItemQueue.clear();
    KFileSyncManager thread;
    thread.setSchedule({3600000, 3600000, 0});
    QSignalSpy checks(&thread, &KFileSyncManager::checkFinished);
    thread.start();
    thread.wakeUp();
    QVERIFY(checks.wait(20000));
    thread.wakeUp();
    QVERIFY(checks.wait(20000));
    QCOMPARE(checks.size(), 2);
    // The second check found the file's job still waiting: queued once.
    QCOMPARE(queuedUploads(), (QStringList{"woken.txt"}));
    thread.stop();
    QVERIFY(thread.wait(20000));
}

QTEST_GUILESS_MAIN(TestSyncThreads)
#include "tst_ksyncthreads.moc"
