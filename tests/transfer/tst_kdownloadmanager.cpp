#include "app/kconstant.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QtTest>

#include <memory>

// The download thread with the transfer in the test's thread, wired as the
// main window wires them: queued signals one way, the flag and a wake-up the
// other. The poll interval is a minute, so every hand-over that finishes
// within the test's waits was woken, not polled.
class TestKDownloadManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void enqueueAddsRowAndDownloads();
    void checksFinishTheRowWithoutDownload();
    void sameJobTwiceDownloadsOnce();
    void jobsWaitWhileDownloading();
    void failedAskDownloadLetsQueueGoOn();
    void requestReceivedTwiceChangesNothing_data();
    void requestReceivedTwiceChangesNothing();

private:
    KDownloadInfo job(const QString& name, qint64 size = 0) const;
    void record(const QString& event, const QString& localPath);
    bool waitForEvents(int count);
    QString put(const QString& name, const QByteArray& bytes);
    QString localPath(const QString& name) const { return local.filePath("sub/deeper/" + name); }
    QString serverPath(const QString& name) const { return "@" + space + "/dl/" + name; }
    bool logHas(const QString& tag, const QString& text) const;
    qint64 stat(const QString& name) { return server.stats().value(name); }

    KTestBaseDir base;
    KTestServer server;
    QTemporaryDir local;
    QString space;
    KFileSyncDatabase database;
    QNetworkAccessManager manager;
    std::unique_ptr<KDownloadTransfer> transfer;
    std::unique_ptr<KDownloadManager> thread;
    QStringList events;
    QList<QVariantList> added;
    QList<QVariantList> handedOver;
};

// Every item of sequence occurs in events, in that order.
bool ordered(const QStringList& events, const QStringList& sequence)
{
    int at = -1;
    for (const QString& item : sequence) {
        const int found = events.indexOf(item);
        if (found <= at)
            return false;
        at = found;
    }
    return true;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void TestKDownloadManager::initTestCase()
{
    QVERIFY(base.isValid() && local.isValid());
    base.installLogSink();
    database.initDatabase();
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestKDownloadManager::init()
{
    QVERIFY(server.clearFaults());
    events.clear();
    added.clear();
    handedOver.clear();
    transfer = std::make_unique<KDownloadTransfer>(&manager, &database);
    thread = std::make_unique<KDownloadManager>();
    thread->setPollIntervalForTesting(60000);
    KDownloadManager::downloadManager = thread.get();
    KDownloadManager* t = thread.get();
    connect(t, &KDownloadManager::addFileItem, this,
            [this](int type, const QString& path, const QString& serverPath, qint64 size) {
                added << QVariantList{type, path, serverPath, size};
                record("add", path);
            }, Qt::QueuedConnection);
    connect(t, &KDownloadManager::deleteFileItem, this, [this](int, const QString& path) { record("finish", path); },
            Qt::QueuedConnection);
    const auto handOver = qOverload<QString, QString, qint64, QString>(&KDownloadManager::downloadFile);
    connect(t, handOver, this,
            [this](const QString& path, const QString& serverPath, qint64 size, const QString& hash) {
                handedOver << QVariantList{path, serverPath, size, hash};
                record("start", path);
            }, Qt::QueuedConnection);
    connect(t, handOver, transfer.get(), &KDownloadTransfer::downloadFile, Qt::QueuedConnection);
    connect(transfer.get(), &KDownloadTransfer::deleteFileItem, this,
            [this](int, const QString& path) { record("finish", path); });
    thread->start();
}

void TestKDownloadManager::cleanup()
{
    thread->stop();
    KDownloadManager::downloadManager = nullptr;
    KDownloadManager::downloadQueue.clear();
    KInflightJobs::clear();
    // Let a download that a failed test left behind end before the next test.
    QTRY_VERIFY_WITH_TIMEOUT(!transfer->isRunning(), 30000);
    thread.reset();
    transfer.reset();
    KConstant::IsDownloading = false;
}

void TestKDownloadManager::cleanupTestCase()
{
    kClearTestSession();
}

KDownloadInfo TestKDownloadManager::job(const QString& name, qint64 size) const
{
    KDownloadInfo info;
    info.localPath = localPath(name);
    info.serverPath = serverPath(name);
    info.fileSize = size;
    return info;
}

void TestKDownloadManager::record(const QString& event, const QString& path)
{
    events << event + ":" + QFileInfo(path).fileName();
}

bool TestKDownloadManager::waitForEvents(int count)
{
    return QTest::qWaitFor([&] { return events.size() >= count; }, 20000) && events.size() == count;
}

QString TestKDownloadManager::put(const QString& name, const QByteArray& bytes)
{
    if (!server.putFile(space, "dl/" + name, bytes))
        return QString();
    for (const QJsonValue& file : server.tree(space).value("files").toArray()) {
        if (file.toObject().value("path").toString() == "dl/" + name)
            return file.toObject().value("md5").toString();
    }
    return QString();
}

bool TestKDownloadManager::logHas(const QString& tag, const QString& text) const
{
    return base.todaysLog().contains("\"[" + tag + "] " + text + "\"");
}

void TestKDownloadManager::enqueueAddsRowAndDownloads()
{
    const QByteArray content(70000, 'a');
    const QString md5 = put("a.bin", content);
    QVERIFY(!md5.isEmpty());
    KDownloadManager::enqueue(job("a.bin", 123));
    QVERIFY(waitForEvents(3));
    QCOMPARE(events, (QStringList{"add:a.bin", "start:a.bin", "finish:a.bin"}));
    QCOMPARE(added.value(0), (QVariantList{1, localPath("a.bin"), serverPath("a.bin"), qint64(123)}));
    // The expected size and hash come from the server, not from the job.
    QCOMPARE(handedOver.value(0), (QVariantList{localPath("a.bin"), serverPath("a.bin"), qint64(70000), md5}));
    QVERIFY(readFile(localPath("a.bin")) == content);
    QVERIFY(!KConstant::IsDownloading);
    QVERIFY(logHas("开始下载文件", serverPath("a.bin")));
}

void TestKDownloadManager::checksFinishTheRowWithoutDownload()
{
    QVERIFY(!put("exists.bin", "server").isEmpty());
    QVERIFY(!put("twice.bin", "server").isEmpty());
    QVERIFY(QDir().mkpath(QFileInfo(localPath("exists.bin")).path()));
    QFile mine(localPath("exists.bin"));
    QVERIFY(mine.open(QIODevice::WriteOnly) && mine.write("mine") == 4);
    mine.close();
    const qint64 asksBefore = stat("kaskdownload");
    const qint64 nodesBefore = stat("kgetnodes");

    KDownloadManager::enqueue(job("exists.bin"));
    QVERIFY(waitForEvents(2));
    QCOMPARE(stat("kgetnodes"), nodesBefore);
    QVERIFY(logHas("downloadFile 文件存在", localPath("exists.bin")));

    KDownloadManager::enqueue(job("absent.bin"));
    QVERIFY(waitForEvents(4));
    QVERIFY(logHas("downloadFile 文件在服务器上不存在", serverPath("absent.bin")));

    // The reference server never lists two nodes for one path: fake the answer.
    const QJsonObject node{{"path", serverPath("twice.bin")}, {"isfile", true}};
    const QJsonObject twoNodes{{"code", 0}, {"data", QJsonArray{node, node}}};
    QVERIFY(server.setFault({{"target", "kgetnodes"}, {"action", "envelope"}, {"envelope", twoNodes}}));
    KDownloadManager::enqueue(job("twice.bin"));
    QVERIFY(waitForEvents(6));
    QVERIFY(logHas("downloadFile 文件在服务器上不存在", serverPath("twice.bin")));

    // An unreadable answer is caught around the job.
    QVERIFY(server.setFault({{"target", "kgetnodes"}, {"action", "html"}}));
    KDownloadManager::enqueue(job("broken.bin"));
    QVERIFY(waitForEvents(8));
    QVERIFY(logHas("文件下载失败", serverPath("broken.bin")));

    QCOMPARE(events, (QStringList{"add:exists.bin", "finish:exists.bin", "add:absent.bin", "finish:absent.bin",
                                  "add:twice.bin", "finish:twice.bin", "add:broken.bin", "finish:broken.bin"}));
    QCOMPARE(stat("kaskdownload"), asksBefore);
    QCOMPARE(readFile(localPath("exists.bin")), QByteArray("mine"));
    QVERIFY(!QFile::exists(localPath("twice.bin")));
    QVERIFY(!KConstant::IsDownloading);
}

void TestKDownloadManager::sameJobTwiceDownloadsOnce()
{
    QVERIFY(!put("same.bin", "same content").isEmpty());
    const qint64 asksBefore = stat("kaskdownload");
    // A file whose job waits or runs is not queued again.
    QVERIFY(KDownloadManager::enqueue(job("same.bin")));
    QVERIFY(!KDownloadManager::enqueue(job("same.bin")));
    QVERIFY(waitForEvents(3));
    QCOMPARE(events, (QStringList{"add:same.bin", "start:same.bin", "finish:same.bin"}));
    QCOMPARE(stat("kaskdownload") - asksBefore, qint64(1));
    QCOMPARE(readFile(localPath("same.bin")), QByteArray("same content"));
}

void TestKDownloadManager::jobsWaitWhileDownloading()
{
    const QByteArray first(500000, '1');
    const QByteArray second(4000, '2');
    QVERIFY(!put("first.bin", first).isEmpty());
    QVERIFY(!put("second.bin", second).isEmpty());
    QVERIFY(server.setFault({{"target", "download"}, {"action", "delay"}, {"delayMs", 800}}));
    const qint64 nodesBefore = stat("kgetnodes");

    KDownloadManager::enqueue(job("first.bin"));
    KDownloadManager::enqueue(job("second.bin"));
    QTRY_VERIFY(events.contains("start:first.bin"));
    // The first download is held at the server: the second job waits queued.
    QVERIFY(transfer->isRunning());
    QCOMPARE(KDownloadManager::downloadQueue.size(), 1);
    QCOMPARE(stat("kgetnodes") - nodesBefore, qint64(1));

    QVERIFY(waitForEvents(6));
    // One download at a time; a row's start may come before the next job's add.
    QVERIFY2(ordered(events, {"add:first.bin", "start:first.bin", "finish:first.bin", "start:second.bin", "finish:second.bin"})
                 && ordered(events, {"add:second.bin", "start:second.bin"}),
             qPrintable(events.join(' ')));
    QVERIFY(readFile(localPath("first.bin")) == first);
    QVERIFY(readFile(localPath("second.bin")) == second);
    QVERIFY(!KConstant::IsDownloading);
}

void TestKDownloadManager::failedAskDownloadLetsQueueGoOn()
{
    QVERIFY(!put("refused.bin", "refused").isEmpty());
    QVERIFY(!put("after.bin", "after").isEmpty());
    QVERIFY(server.setFault({{"target", "kaskdownload"}, {"action", "html"}}));
    KDownloadManager::enqueue(job("refused.bin"));
    KDownloadManager::enqueue(job("after.bin"));
    QVERIFY(waitForEvents(6));
    QVERIFY2(ordered(events, {"add:refused.bin", "start:refused.bin", "finish:refused.bin", "start:after.bin", "finish:after.bin"})
                 && ordered(events, {"add:after.bin", "start:after.bin"}),
             qPrintable(events.join(' ')));
    QVERIFY(!QFile::exists(localPath("refused.bin")));
    QCOMPARE(readFile(localPath("after.bin")), QByteArray("after"));
    QVERIFY(logHas("文件下载失败", localPath("refused.bin")));
    const QStringList failed = KConstant::ErrorMap.snapshot().value(localPath("refused.bin"));
    QCOMPARE(failed.value(3), QString("download"));
    QVERIFY(!failed.value(5).isEmpty());
    QVERIFY(!KConstant::IsDownloading);

    // The same file arriving later is no longer listed as failed.
    QVERIFY(server.clearFaults());
    KDownloadManager::enqueue(job("refused.bin"));
    QVERIFY(waitForEvents(9));
    QCOMPARE(readFile(localPath("refused.bin")), QByteArray("refused"));
    QVERIFY(!KConstant::ErrorMap.snapshot().contains(localPath("refused.bin")));
}

void TestKDownloadManager::requestReceivedTwiceChangesNothing_data()
{
    QTest::addColumn<QString>("target");
    for (const char* target : {"klistdir", "kgetnodes", "kaskdownload", "download"})
        QTest::newRow(target) << QString(target);
}

void TestKDownloadManager::requestReceivedTwiceChangesNothing()
{
    QFETCH(QString, target);
    const QString dir = "twice-" + target;
    const QByteArray big(700000, 'b');
    QVERIFY(server.putFile(space, dir + "/a.bin", big) && server.putFile(space, dir + "/sub/b.txt", "b"));
    // Answered, then the connection cut before the answer: Qt sends the request again.
    QVERIFY(server.setFault({{"target", target}, {"action", "dropanswer"}}));
    const QString root = local.filePath(dir);
    KFileSyncManager::syncDir(root, "@" + space + "/" + dir, "0", "", "2");
    QVERIFY(waitForEvents(6));

    // The listing named each file's version: no kgetnodes follows it.
    QMap<QString, qint64> received{{"klistdir", 2}, {"kgetnodes", 0}, {"kaskdownload", 2}, {"download", 2}};
    if (received[target] > 0)
        received[target] += 1;
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(stat(it.key()) == it.value(), qPrintable(it.key()));
    QStringList tree;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        tree << QDir(root).relativeFilePath(it.next());
    tree.sort();
    QCOMPARE(tree, (QStringList{"a.bin", "sub/b.txt"}));
    QVERIFY(readFile(root + "/a.bin") == big && readFile(root + "/sub/b.txt") == "b");
    int logged = 0;
    for (const QStringList& row : database.getSyncLogs(QString::number(QDateTime::currentSecsSinceEpoch() + 100)))
        logged += row.value(1).startsWith(root + "/") && row.value(3) == "download" ? 1 : 0;
    QCOMPARE(logged, 2);
    QVERIFY(!KConstant::IsDownloading);
}

QTEST_GUILESS_MAIN(TestKDownloadManager)
#include "tst_kdownloadmanager.moc"
