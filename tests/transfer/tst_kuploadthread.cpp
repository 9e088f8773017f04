#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "app/kconstant.h"
#include "store/kfilesyncdatabase.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kuploadmanager.h"

#include <QtTest>

// Records the upload thread's signals in the test's thread, as the main
// window receives them: queued, in emission order.
class KUploadRecorder : public QObject
{
    Q_OBJECT
public:
    QStringList events;

public slots:
    void added(int type, QString localPath, QString, qint64 size)
    {
        events << QStringLiteral("add %1 %2 %3").arg(type).arg(QFileInfo(localPath).fileName()).arg(size);
    }
    void progressed(int type, QString localPath, int percent, QString, QString)
    {
        // Progress within a part depends on timing; the final 100 does not.
        if (percent == 100)
            events << QStringLiteral("progress %1 %2 %3").arg(type).arg(QFileInfo(localPath).fileName()).arg(percent);
    }
    void deleted(int type, QString localPath)
    {
        events << QStringLiteral("delete %1 %2").arg(type).arg(QFileInfo(localPath).fileName());
    }
};

// The upload thread: queue order, the wake-up on a new job, a throwing job,
// and the progress throttle.
class TestUploadThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void jobsRunInQueueOrderAndAThrowingJobDoesNotStopTheThread();
    void stopEndsAJobAfterItsCurrentPart();
    void progressIsThrottledAt41ms();

private:
    KUploadInfo writeJob(const QString& name, const QByteArray& bytes, const QString& serverPath);

    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QTemporaryDir> local;
    std::unique_ptr<KUploadManager> manager;
};

void TestUploadThread::init()
{
    base = std::make_unique<KTestBaseDir>();
    base->installLogSink();
    KFileSyncDatabase().initDatabase();
    local = std::make_unique<QTemporaryDir>();
    manager = std::make_unique<KUploadManager>();
}

void TestUploadThread::cleanup()
{
    if (KUploadManager::uploadManager == manager.get())
        KUploadManager::uploadManager = nullptr;
    manager.reset();
    KUploadManager::uploadQueue.clear();
    KInflightJobs::clear();
    kClearTestSession();
    local.reset();
    base.reset();
}

KUploadInfo TestUploadThread::writeJob(const QString& name, const QByteArray& bytes, const QString& serverPath)
{
    KUploadInfo job;
    job.localPath = local->path() + "/" + name;
    QFile file(job.localPath);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    file.close();
    job.serverPath = serverPath;
    job.filesize = bytes.size();
    job.filemd5 = KFileSyncDatabase().getFileMd5OrDatabase(job.localPath);
    return job;
}

void TestUploadThread::jobsRunInQueueOrderAndAThrowingJobDoesNotStopTheThread()
{
    KTestServer server;
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    const QString space = "@" + KTestServer::demoPersonalSpace();

    KUploadRecorder recorder;
    connect(manager.get(), &KUploadManager::addFileItem, &recorder, &KUploadRecorder::added);
    connect(manager.get(), &KUploadManager::sendrefreshProgress, &recorder, &KUploadRecorder::progressed);
    connect(manager.get(), &KUploadManager::deleteFileItem, &recorder, &KUploadRecorder::deleted);
    KUploadManager::uploadManager = manager.get();
    // A minute between polls: the jobs below run only if a new job wakes the thread.
    manager->setPollInterval(60000);
    manager->start();

    // No space "nospace": no address, an empty reply, and the ticket reader throws.
    const KUploadInfo throwing = writeJob("a.txt", "aaa", "@nospace/a.txt");
    KUploadInfo vanished = writeJob("b.txt", "bbb", space + "/b.txt");
    QVERIFY(QFile::remove(vanished.localPath));
    const KUploadInfo good = writeJob("c.txt", "ccc", space + "/c.txt");
    KUploadManager::enqueue(throwing);
    KUploadManager::enqueue(vanished);
    KUploadManager::enqueue(good);

    const QStringList expected{"add 2 a.txt 3", "add 2 b.txt 3", "add 2 c.txt 3",
                               "delete 2 a.txt", "delete 2 b.txt", "progress 2 c.txt 100", "delete 2 c.txt"};
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, expected, 20000);
    QCOMPARE(KUploadManager::uploadQueue.size(), 0);
    QCOMPARE(server.files(KTestServer::demoPersonalSpace()), (QMap<QString, QByteArray>{{"c.txt", "ccc"}}));
    const QString log = base->todaysLog();
    QVERIFY(log.contains("[上传文件失败] " + throwing.localPath + "\"\r\n"));
    QVERIFY(log.contains("\"@nospace/a.txt\"\r\n"));
    QVERIFY(log.contains("文件上传定时任务开始"));

    // The thread goes on serving: a fourth job after the others.
    const KUploadInfo later = writeJob("d.txt", "dddd", space + "/d.txt");
    KUploadManager::enqueue(later);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.events.contains("delete 2 d.txt"), 20000);
    QCOMPARE(server.files(KTestServer::demoPersonalSpace()).value("d.txt"), QByteArray("dddd"));
    manager->stop();
    QVERIFY(manager->isFinished());
}

void TestUploadThread::stopEndsAJobAfterItsCurrentPart()
{
    KTestServer server;
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    QVERIFY(server.setFault(QJsonObject{{"target", "part"}, {"action", "delay"}, {"delayMs", 1000}, {"partNumber", 2}}));
    const KUploadInfo job = writeJob("big.bin", QByteArray(12582912, 'b'), "@" + KTestServer::demoPersonalSpace() + "/big.bin");
    manager->start();
    KUploadManager::uploadQueue.append(job);
    QVERIFY(server.waitForStat("part", 2, 20000));
    manager->stop();

    QVERIFY(manager->isFinished());
    const QMap<QString, qint64> stats = server.stats();
    QCOMPARE(stats.value("kexchangeupload"), qint64(2)); // no part 3
    QCOMPARE(stats.value("ksubmitupload"), qint64(0));
    QVERIFY(server.files(KTestServer::demoPersonalSpace()).isEmpty());
    QVERIFY(!KUploadManager::readUploadToken(job.localPath, job.serverPath, job.filemd5).isEmpty());
    QVERIFY(!KConstant::ErrorMap.snapshot().contains(job.localPath)); // abandoned, not failed
}

void TestUploadThread::progressIsThrottledAt41ms()
{
    qint64 clock = 1000;
    manager->setClock([&clock] { return clock; });
    QSignalSpy spy(manager.get(), &KUploadManager::sendrefreshProgress);
    // A job resumed at 10 MiB: its speed counts only the bytes sent since.
    manager->beginProgress(10485760);

    clock = 1030;
    manager->refreshProgress("/l/f", 15728640, 20971520);
    QCOMPARE(spy.size(), 0);
    clock = 1041;
    manager->refreshProgress("/l/f", 15728640, 20971520);
    QCOMPARE(spy.size(), 1);
    // 5242880 bytes in 41 ms: 127875121 bytes/s, 121.95 MB; 75 % of 20 MiB.
    QCOMPARE(spy.last(), (QList<QVariant>{2, QString("/l/f"), 75, QString("121.95 MB/s"), QString("15.00 MB")}));

    clock = 1081; // 40 ms after the last signal, not after the start
    manager->refreshProgress("/l/f", 20971520, 20971520);
    QCOMPARE(spy.size(), 1);
    clock = 1082;
    manager->refreshProgress("/l/f", 30000000, 20971520);
    QCOMPARE(spy.size(), 2);
    QCOMPARE(spy.last().value(2).toInt(), 100); // capped
    QCOMPARE(base->todaysLog().count("[currentTime=] "), 4);
}

QTEST_GUILESS_MAIN(TestUploadThread)
#include "tst_kuploadthread.moc"
