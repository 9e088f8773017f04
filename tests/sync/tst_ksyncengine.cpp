#include "app/kconstant.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/ksyncengine.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kuploadmanager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QtTest>

// The whole engine against the reference server: what it does when asked to
// stop while a server keeps it waiting.
class TestKSyncEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void stopsWhileTheServerKeepsItWaiting_data();
    void stopsWhileTheServerKeepsItWaiting();

private:
    QString makeLocalFiles(const QString& name, int count, int size);

    KTestServer server;
    QString space;
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QTemporaryDir> local;
};

void TestKSyncEngine::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
    QVERIFY(server.putFile(space, "remote/big.bin", QByteArray(3 << 20, 'b')));
}

void TestKSyncEngine::init()
{
    base = std::make_unique<KTestBaseDir>();
    base->installLogSink();
    local = std::make_unique<QTemporaryDir>();
    KFileSyncDatabase().initDatabase();
    KUploadManager::uploadQueue.clear();
    KInflightJobs::clear();
    KDownloadManager::downloadQueue.clear();
    KFileSyncOnceManager::configItemQueue.clear();
    KConstant::IsDownloading = false;
}

void TestKSyncEngine::cleanup()
{
    QVERIFY(server.clearFaults());
    base.reset();
}

QString TestKSyncEngine::makeLocalFiles(const QString& name, int count, int size)
{
    const QString dir = local->path() + "/" + name;
    QDir().mkpath(dir);
    for (int i = 0; i < count; ++i) {
        QFile file(QStringLiteral("%1/f%2.bin").arg(dir).arg(i));
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray(size, char('a' + i % 26)));
    }
    return dir;
}

void TestKSyncEngine::stopsWhileTheServerKeepsItWaiting_data()
{
    QTest::addColumn<QString>("target"); // the request the server holds back
    QTest::addColumn<QString>("work");
    QTest::newRow("comparison in a listing") << "klistdir" << "pair";
    QTest::newRow("pair check") << "kgetnodes" << "pair";
    QTest::newRow("upload part") << "part" << "upload";
    QTest::newRow("download body") << "download" << "download";
    // Nothing held: a comparison busy going through 20,000 files stops between two.
    QTest::newRow("comparison of many files") << "" << "many";
}

// Every request below is held for a minute; stop() must not wait for it,
// and the comparison cut short must not hand over what it had collected.
void TestKSyncEngine::stopsWhileTheServerKeepsItWaiting()
{
    QFETCH(QString, target);
    QFETCH(QString, work);
    QNetworkAccessManager network;
    KFileSyncDatabase store;
    KSyncEngine engine(&network, &store);
    if (work == "pair" || work == "many") {
        const QString dir = makeLocalFiles("pair", work == "many" ? 20000 : 300, 100);
        QVERIFY(server.makeFolder(space, "pair"));
        QVERIFY(!store.addSyncConfig("", dir, "@" + space + "/pair", "1", "0", "0").isEmpty());
    } else if (work == "upload") {
        const QString file = makeLocalFiles("up", 1, 6 << 20) + "/f0.bin";
        KUploadManager::uploadQueue.append({file, "@" + space + "/up/f0.bin", 6 << 20,
                                            store.getFileMd5OrDatabase(file)});
    } else {
        KDownloadManager::downloadQueue.append({local->path() + "/big.bin", "@" + space + "/remote/big.bin",
                                                3 << 20, QString()});
    }
    if (!target.isEmpty())
        QVERIFY(server.setFault({{"target", target}, {"action", "delay"}, {"delayMs", 60000}, {"times", 0}}));
    engine.start();
    QVERIFY(server.waitForStat(target.isEmpty() ? QString("kgetnodes") : target, 1, 20000));
    if (work != "many")
        QTest::qWait(200); // let the request reach its wait

    QElapsedTimer stopping;
    stopping.start();
    engine.stop();
    // A hang guard, not a speed check: the held request alone lasts a minute.
    QVERIFY2(stopping.elapsed() < 15000, qPrintable(QString::number(stopping.elapsed())));
    QVERIFY(engine.uploadThread()->isFinished());
    QVERIFY(engine.downloadThread()->isFinished());
    QVERIFY(engine.periodicThread()->isFinished());
    QVERIFY(engine.onceThread()->isFinished());
    QVERIFY(KUploadManager::uploadManager == nullptr);
    QVERIFY(KDownloadManager::downloadManager == nullptr);
    QVERIFY(!KConstant::IsDownloading);
    QVERIFY(!QFile::exists(local->path() + "/big.bin"));
    if (work == "many") {
        // Stopped part-way: not every chunk of 1,000 files was looked up.
        QVERIFY(server.stats().value("kgetnodes") < 20);
        return;
    }
    QVERIFY(KUploadManager::uploadQueue.isEmpty());
    QCOMPARE(server.stats().value("ksubmitupload"), 0);
}

QTEST_GUILESS_MAIN(TestKSyncEngine)
#include "tst_ksyncengine.moc"
