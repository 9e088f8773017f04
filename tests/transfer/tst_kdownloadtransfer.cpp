#include "app/kconstant.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "main/ktransferlist.h"
#include "store/kfilesyncdatabase.h"
#include "store/kpartialdownloads.h"
#include "transfer/kdownloaddigest.h"
#include "api/ktlssettings.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

// The GUI-thread half of a download against the reference server: address,
// ranged GET into "<target>.wexora", verification, rename and sync log row.
class TestKDownloadTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void freshDownload();
    void multiGiBResumeNeitherStallsNorBlocks();
    void userFileNamedLikeAPartialIsLeftAlone_data();
    void userFileNamedLikeAPartialIsLeftAlone();
    void resumeFromPartialFile();
    void droppedConnectionResumes();
    void errorAnswerNotWritten_data();
    void errorAnswerNotWritten();
    void fullAnswerToRangeRestarts();
    void hashMismatchDiscarded();
    void changedServerFileNotStitched();
    void existingLocalFileKept();
    void failedAskDownloadFinishesRow_data();
    void failedAskDownloadFinishesRow();
    void progressThrottle();
    void percentForUnknownSize_data();
    void percentForUnknownSize();
    void bytesThatCameWithTheJob_data();
    void bytesThatCameWithTheJob();

private:
    bool download(const QString& name, qint64 size, const QString& hash);
    void startDownload(const QString& name, qint64 size, const QString& hash);
    bool waitForEnd();
    QString put(const QString& name, const QByteArray& bytes);
    // A partial file as the client leaves it: recorded for this version.
    bool writePartial(const QString& name, const QByteArray& bytes, qint64 size, const QString& md5);
    // Records the file now at the partial's path as the client's own.
    bool adoptPartial(const QString& path);
    QString localPath(const QString& name) const { return local.filePath(name); }
    QString tempPath(const QString& name) const { return localPath(name) + ".wexora"; }
    QString serverPath(const QString& name) const { return "@" + space + "/" + name; }
    QList<QStringList> syncLogsFor(const QString& name);
    bool logHas(const QString& tag, const QString& text) const;
    qint64 stat(const QString& name) { return server.stats().value(name); }
    // The stat once two readings 200 ms apart agree.
    qint64 settledStat(const QString& name);

    KTestBaseDir base;
    KTestServer server;
    QTemporaryDir local;
    QString space;
    std::unique_ptr<QNetworkAccessManager> manager;
    KFileSyncDatabase database;
    std::unique_ptr<KDownloadTransfer> transfer;
    std::unique_ptr<QSignalSpy> rows;
    std::unique_ptr<QSignalSpy> progress;
    quint64 queueGeneration = 0;
    qint64 fakeNow = 0;
};

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void TestKDownloadTransfer::initTestCase()
{
    QVERIFY(base.isValid() && local.isValid());
    base.installLogSink();
    database.initDatabase();
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
    manager = std::make_unique<QNetworkAccessManager>();
    transfer = std::make_unique<KDownloadTransfer>(manager.get(), &database);
    rows = std::make_unique<QSignalSpy>(transfer.get(), &KDownloadTransfer::deleteFileItem);
    progress = std::make_unique<QSignalSpy>(transfer.get(), &KDownloadTransfer::refreshProgress);
}

qint64 TestKDownloadTransfer::settledStat(const QString& name)
{
    qint64 last = -1;
    for (qint64 now = stat(name); now != last; now = stat(name)) {
        last = now;
        QTest::qWait(200);
    }
    return last;
}

void TestKDownloadTransfer::init()
{
    QVERIFY(server.clearFaults());
    transfer->setClockForTesting({});
    rows->clear();
    progress->clear();
}

void TestKDownloadTransfer::cleanupTestCase()
{
    transfer.reset();
    kClearTestSession();
}

// The download thread sets the flag before it hands a job over.
void TestKDownloadTransfer::startDownload(const QString& name, qint64 size, const QString& hash)
{
    rows->clear();
    KConstant::IsDownloading = true;
    queueGeneration = KDownloadManager::downloadQueue.generation();
    transfer->downloadFile(localPath(name), serverPath(name), size, hash);
}

// True when the row was finished exactly once, the flag is cleared and the
// download thread was woken, whatever the outcome.
bool TestKDownloadTransfer::waitForEnd()
{
    if (rows->isEmpty() && !rows->wait(30000))
        return false;
    return rows->size() == 1 && rows->at(0).at(0).toInt() == 1 && !KConstant::IsDownloading
           && !transfer->isRunning() && KDownloadManager::downloadQueue.generation() > queueGeneration;
}

bool TestKDownloadTransfer::download(const QString& name, qint64 size, const QString& hash)
{
    startDownload(name, size, hash);
    return waitForEnd() && rows->at(0).at(1).toString() == localPath(name);
}

QString TestKDownloadTransfer::put(const QString& name, const QByteArray& bytes)
{
    if (!server.putFile(space, name, bytes))
        return QString();
    for (const QJsonValue& file : server.tree(space).value("files").toArray()) {
        if (file.toObject().value("path").toString() == name)
            return file.toObject().value("md5").toString();
    }
    return QString();
}

bool TestKDownloadTransfer::writePartial(const QString& name, const QByteArray& bytes, qint64 size,
                                        const QString& md5)
{
    const KPartialPlan plan = KPartialDownloads::plan(localPath(name), serverPath(name), size, md5);
    return plan.tempPath == tempPath(name) && writeFile(plan.tempPath, bytes) && adoptPartial(plan.tempPath);
}

bool TestKDownloadTransfer::adoptPartial(const QString& path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    KPartialDownloads::opened(path, qint64(info.st_ino));
    return true;
}

QList<QStringList> TestKDownloadTransfer::syncLogsFor(const QString& name)
{
    QList<QStringList> found;
    const QString later = QString::number(QDateTime::currentSecsSinceEpoch() + 100);
    for (const QStringList& row : database.getSyncLogs(later)) {
        if (row.value(1) == localPath(name))
            found << row;
    }
    return found;
}

bool TestKDownloadTransfer::logHas(const QString& tag, const QString& text) const
{
    return base.todaysLog().contains("\"[" + tag + "] " + text + "\"");
}

void TestKDownloadTransfer::freshDownload()
{
    const QByteArray content = randomBytes(3 * 1024 * 1024 + 17, 1);
    const QString md5 = put("fresh.bin", content);
    QVERIFY(!md5.isEmpty());
    const QMap<QString, qint64> before = server.stats();

    QVERIFY(download("fresh.bin", content.size(), md5));
    QVERIFY(readFile(localPath("fresh.bin")) == content);
    QVERIFY(!QFile::exists(tempPath("fresh.bin")));
    const QList<QStringList> logs = syncLogsFor("fresh.bin");
    QCOMPARE(logs.size(), 1);
    QCOMPARE(logs[0].mid(1, 3), (QStringList{localPath("fresh.bin"), serverPath("fresh.bin"), "download"}));
    QVERIFY(logHas("文件下载成功", localPath("fresh.bin")));

    const QMap<QString, qint64> after = server.stats();
    QCOMPARE(after.value("kaskdownload") - before.value("kaskdownload"), qint64(1));
    QCOMPARE(after.value("download") - before.value("download"), qint64(1));
    QCOMPARE(after.value("downloadBytes") - before.value("downloadBytes"), qint64(content.size()));
    // The signed address is never logged whole.
    QVERIFY(!base.todaysLog().contains("sig="));
}

// A resume whose prefix takes seconds to hash: reading never waits for the
// digest (a stalled reply would hit the inactivity time-out, shortened here),
// and the digest of a complete partial (the server answers 416) never runs
// on this thread, which keeps serving its timer meanwhile.
void TestKDownloadTransfer::multiGiBResumeNeitherStallsNorBlocks()
{
    const qint64 prefix = qint64(2) << 30;
    const QByteArray tail = randomBytes(64 << 20, 13);
    QTemporaryFile source;
    QVERIFY(source.open() && source.resize(prefix) && source.seek(prefix) && source.write(tail) == tail.size());
    source.close();
    QVERIFY(server.putFileFrom(space, "huge.bin", source.fileName()));
    const QString md5 = KDownloadDigest::fileMd5(source.fileName());
    const qint64 size = prefix + tail.size();
    QVERIFY(writePartial("huge.bin", QByteArray(), size, md5));
    QVERIFY(QFile::resize(tempPath("huge.bin"), prefix));
    KTlsSettings::setTransferTimeoutForTesting(1500);
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(20);

    const qint64 servedBefore = stat("downloadBytes");
    QVERIFY(download("huge.bin", size, md5));
    QCOMPARE(stat("downloadBytes") - servedBefore, qint64(tail.size()));
    QCOMPARE(KDownloadDigest::fileMd5(localPath("huge.bin")), md5);

    // Complete partial: nothing left to fetch, only the digest to run.
    QVERIFY(writePartial("huge.bin", QByteArray(), size, md5));
    QVERIFY(QFile::remove(tempPath("huge.bin")) && QFile::rename(localPath("huge.bin"), tempPath("huge.bin")));
    QVERIFY(adoptPartial(tempPath("huge.bin")));
    ticks = 0;
    QVERIFY(download("huge.bin", size, md5));
    KTlsSettings::setTransferTimeoutForTesting(0);
    QCOMPARE(QFileInfo(localPath("huge.bin")).size(), size);
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QVERIFY(QFile::remove(localPath("huge.bin")));
}

void TestKDownloadTransfer::userFileNamedLikeAPartialIsLeftAlone_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<bool>("rightHash");
    QTest::newRow("would be resumed") << QJsonObject() << true;
    QTest::newRow("would be truncated") << QJsonObject{{"target", "download"}, {"action", "full200"}} << true;
    QTest::newRow("would be deleted") << QJsonObject() << false;
}

// A file of the user's that happens to carry a partial's name is neither
// appended to, truncated nor deleted: the download goes another way.
void TestKDownloadTransfer::userFileNamedLikeAPartialIsLeftAlone()
{
    QFETCH(QJsonObject, fault);
    QFETCH(bool, rightHash);
    const QString name = QString("report-%1.pdf").arg(QTest::currentDataTag()).replace(' ', '-');
    const QByteArray content = randomBytes(300000, 14);
    const QString md5 = put(name, content);
    const QByteArray users = content.left(1000);
    QVERIFY(writeFile(tempPath(name), users));
    if (!fault.isEmpty())
        QVERIFY(server.setFault(fault));
    const qint64 servedBefore = stat("downloadBytes");

    QVERIFY(download(name, content.size(), rightHash ? md5 : QString(32, '0')));
    QCOMPARE(readFile(tempPath(name)), users);
    QCOMPARE(stat("downloadBytes") - servedBefore, qint64(content.size()));
    QCOMPARE(QFile::exists(localPath(name)), rightHash);
    if (rightHash)
        QVERIFY(readFile(localPath(name)) == content);
    // The other temporary name was the client's: placed or removed, never left.
    QCOMPARE(KPartialDownloads::all().contains(KPartialDownloads::alternativeName(localPath(name), 1)), false);
    QVERIFY(!QFile::exists(KPartialDownloads::alternativeName(localPath(name), 1)));
}

void TestKDownloadTransfer::resumeFromPartialFile()
{
    const QByteArray content = randomBytes(1600, 2);
    const QString md5 = put("resume.bin", content);
    QVERIFY(writePartial("resume.bin", content.left(1000), content.size(), md5));
    // Every report is due: each look at the clock is 300 ms later.
    fakeNow = 1000000;
    transfer->setClockForTesting([this] { return fakeNow += 300; });
    const qint64 servedBefore = stat("downloadBytes");

    QVERIFY(download("resume.bin", content.size(), md5));
    QVERIFY(readFile(localPath("resume.bin")) == content);
    // The Range header reached the server: only the missing 600 bytes came.
    QCOMPARE(stat("downloadBytes") - servedBefore, qint64(600));
    QVERIFY(!progress->isEmpty());
    QStringList countedFrom1000;
    for (int received = 0; received <= 600; ++received)
        countedFrom1000 << KTransferList::sizeText(1000 + received);
    QVERIFY2(countedFrom1000.contains(progress->first().at(4).toString()), qPrintable(progress->first().at(4).toString()));
    QCOMPARE(progress->last().at(4).toString(), QStringLiteral("1.56 KB"));
    QCOMPARE(progress->last().at(2).toInt(), 100);
    QCOMPARE(progress->last().at(1).toString(), localPath("resume.bin"));
}

void TestKDownloadTransfer::droppedConnectionResumes()
{
    const QByteArray content = randomBytes(3 * 1024 * 1024, 3);
    const QString md5 = put("dropped.bin", content);
    QVERIFY(server.setFault({{"target", "download"}, {"action", "drop"}, {"afterBytes", 1024 * 1024}}));
    const qint64 beforeFirst = stat("downloadBytes");

    QVERIFY(download("dropped.bin", content.size(), md5));
    QVERIFY(!QFile::exists(localPath("dropped.bin")));
    // The server counts what it sent once its side of the cut is done. Qt's
    // access manager sometimes sends a GET cut this way again on its own (the
    // transfer drops that answer), so wait until the count stops moving.
    QVERIFY(settledStat("downloadBytes") - beforeFirst >= 1024 * 1024);
    const QByteArray partial = readFile(tempPath("dropped.bin"));
    QVERIFY2(partial.size() > 0 && partial.size() <= 1024 * 1024, qPrintable(QString::number(partial.size())));
    QVERIFY(content.startsWith(partial));
    QVERIFY(logHas("文件下载失败", localPath("dropped.bin")));
    QVERIFY(syncLogsFor("dropped.bin").isEmpty());

    const qint64 servedBefore = stat("downloadBytes");
    QVERIFY(download("dropped.bin", content.size(), md5));
    QVERIFY(readFile(localPath("dropped.bin")) == content);
    QCOMPARE(stat("downloadBytes") - servedBefore, qint64(content.size() - partial.size()));
    QVERIFY(!QFile::exists(tempPath("dropped.bin")));
    QCOMPARE(syncLogsFor("dropped.bin").size(), 1);
}

void TestKDownloadTransfer::errorAnswerNotWritten_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<int>("partial");
    const QJsonObject page{{"target", "download"}, {"action", "html"}, {"status", 500}};
    const QJsonObject empty503{{"target", "download"}, {"action", "status"}, {"status", 503}};
    QTest::newRow("error page, fresh") << page << 0;
    QTest::newRow("error page, resuming") << page << 1000;
    QTest::newRow("503, resuming") << empty503 << 1000;
}

void TestKDownloadTransfer::errorAnswerNotWritten()
{
    QFETCH(QJsonObject, fault);
    QFETCH(int, partial);
    const QString name = QString("error-%1.bin").arg(QString(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "-"));
    const QByteArray content = randomBytes(200000, 4);
    const QString md5 = put(name, content);
    if (partial > 0)
        QVERIFY(writePartial(name, content.left(partial), content.size(), md5));
    QVERIFY(server.setFault(fault));

    QVERIFY(download(name, content.size(), md5));
    QVERIFY(!QFile::exists(localPath(name)));
    if (partial > 0)
        QVERIFY(readFile(tempPath(name)) == content.left(partial));
    else
        QVERIFY(!QFile::exists(tempPath(name)));
    QVERIFY(logHas("文件下载失败", localPath(name)));

    // The untouched partial file is still a good start.
    const qint64 servedBefore = stat("downloadBytes");
    QVERIFY(download(name, content.size(), md5));
    QVERIFY(readFile(localPath(name)) == content);
    QCOMPARE(stat("downloadBytes") - servedBefore, qint64(content.size() - partial));
}

void TestKDownloadTransfer::fullAnswerToRangeRestarts()
{
    const QByteArray content = randomBytes(300000, 5);
    const QString md5 = put("full200.bin", content);
    // Not a prefix of the content: appending anything to it would show.
    QVERIFY(writePartial("full200.bin", QByteArray(1000, 'g'), content.size(), md5));
    QVERIFY(server.setFault({{"target", "download"}, {"action", "full200"}}));
    const qint64 servedBefore = stat("downloadBytes");

    QVERIFY(download("full200.bin", content.size(), md5));
    QCOMPARE(stat("downloadBytes") - servedBefore, qint64(content.size()));
    QVERIFY(readFile(localPath("full200.bin")) == content);
    QVERIFY(!QFile::exists(tempPath("full200.bin")));
    QCOMPARE(syncLogsFor("full200.bin").size(), 1);
}

void TestKDownloadTransfer::hashMismatchDiscarded()
{
    const QByteArray content = randomBytes(100000, 6);
    QVERIFY(!put("mismatch.bin", content).isEmpty());

    QVERIFY(download("mismatch.bin", content.size(), QString(32, '0')));
    QVERIFY(!QFile::exists(localPath("mismatch.bin")));
    QVERIFY(!QFile::exists(tempPath("mismatch.bin")));
    QVERIFY(syncLogsFor("mismatch.bin").isEmpty());
    QVERIFY(logHas("文件下载失败", localPath("mismatch.bin")));
}

void TestKDownloadTransfer::changedServerFileNotStitched()
{
    const QByteArray first = randomBytes(200000, 7);
    const QByteArray second = randomBytes(200000, 8);
    const QString firstMd5 = put("changed.bin", first);
    QVERIFY(writePartial("changed.bin", first.left(100000), first.size(), firstMd5));
    const QString md5 = put("changed.bin", second);

    // The partial is of the old version: it is never resumed, the whole new
    // version comes at the first attempt.
    const qint64 servedBefore = stat("downloadBytes");
    QVERIFY(download("changed.bin", second.size(), md5));
    QVERIFY(readFile(localPath("changed.bin")) == second);
    QCOMPARE(stat("downloadBytes") - servedBefore, qint64(second.size()));
}

void TestKDownloadTransfer::existingLocalFileKept()
{
    const QByteArray content = randomBytes(50000, 9);
    const QString md5 = put("kept.bin", content);
    QVERIFY(writeFile(localPath("kept.bin"), "mine"));

    QVERIFY(download("kept.bin", content.size(), md5));
    QCOMPARE(readFile(localPath("kept.bin")), QByteArray("mine"));
    QVERIFY(readFile(tempPath("kept.bin")) == content);
    QVERIFY(syncLogsFor("kept.bin").isEmpty());
    QVERIFY(logHas("文件下载完成但目标已存在", localPath("kept.bin")));

    // Once the way is free, the verified temporary file is used as it is.
    QVERIFY(QFile::remove(localPath("kept.bin")));
    const qint64 servedBefore = stat("downloadBytes");
    QVERIFY(download("kept.bin", content.size(), md5));
    QCOMPARE(stat("downloadBytes"), servedBefore);
    QVERIFY(readFile(localPath("kept.bin")) == content);
    QCOMPARE(syncLogsFor("kept.bin").size(), 1);
}

void TestKDownloadTransfer::failedAskDownloadFinishesRow_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<bool>("inSpace");
    const QJsonObject refusal{{"code", 4}, {"errtip", "refused for the test"}};
    QTest::newRow("error page") << QJsonObject{{"target", "kaskdownload"}, {"action", "html"}} << true;
    QTest::newRow("empty body") << QJsonObject{{"target", "kaskdownload"}, {"action", "empty"}} << true;
    QTest::newRow("refusal") << QJsonObject{{"target", "kaskdownload"}, {"action", "envelope"}, {"envelope", refusal}}
                             << true;
    QTest::newRow("outside every space") << QJsonObject() << false;
}

void TestKDownloadTransfer::failedAskDownloadFinishesRow()
{
    QFETCH(QJsonObject, fault);
    QFETCH(bool, inSpace);
    const QString name = QString("ask-%1.bin").arg(QString(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "-"));
    QVERIFY(!put(name, "content").isEmpty());
    if (!fault.isEmpty())
        QVERIFY(server.setFault(fault));
    const qint64 getsBefore = stat("download");

    rows->clear();
    KConstant::IsDownloading = true;
    queueGeneration = KDownloadManager::downloadQueue.generation();
    const QString path = inSpace ? serverPath(name) : "@no-such-space/" + name;
    transfer->downloadFile(localPath(name), path, 7, QString());
    QVERIFY(waitForEnd());
    QCOMPARE(stat("download"), getsBefore);
    QVERIFY(!QFile::exists(localPath(name)));
    QVERIFY(!QFile::exists(tempPath(name)));
    QVERIFY(logHas("文件下载失败", localPath(name)));
}

void TestKDownloadTransfer::progressThrottle()
{
    const QByteArray content = randomBytes(102400, 10);
    const QString md5 = put("throttle.bin", content);
    // The GET is held at the server while the reports are checked.
    QVERIFY(server.setFault({{"target", "download"}, {"action", "delay"}, {"delayMs", 1500}}));
    fakeNow = 5000;
    transfer->setClockForTesting([this] { return fakeNow; });
    startDownload("throttle.bin", content.size(), md5);
    QTRY_VERIFY(transfer->isFetching());

    const QList<qint64> times{5100, 5200, 5201, 5300, 5401, 5402, 5500};
    QList<qint64> reported;
    for (qint64 time : times) {
        fakeNow = time;
        const int before = progress->size();
        transfer->onDownloadProgress(1000, content.size());
        if (progress->size() > before)
            reported << time;
    }
    QCOMPARE(reported, (QList<qint64>{5201, 5402}));
    const QList<QVariant> first = progress->at(0);
    QCOMPARE(first.at(0).toInt(), 1);
    QCOMPARE(first.at(2).toInt(), 0);                         // 1000 * 100 / 102400
    QCOMPARE(first.at(3).toString(), QStringLiteral("4.86 KB/s")); // 1000 bytes in 201 ms
    QCOMPARE(first.at(4).toString(), QStringLiteral("1000 bytes"));

    fakeNow = 10000;
    QVERIFY(waitForEnd());
    QVERIFY(readFile(localPath("throttle.bin")) == content);
}

void TestKDownloadTransfer::percentForUnknownSize_data()
{
    QTest::addColumn<qint64>("expected");
    QTest::newRow("0") << qint64(0);
    QTest::newRow("-1") << qint64(-1);
}

void TestKDownloadTransfer::percentForUnknownSize()
{
    QFETCH(qint64, expected);
    const QString name = QString("unknown%1.bin").arg(expected);
    const QByteArray content = randomBytes(102400, 11);
    QVERIFY(!put(name, content).isEmpty());
    QVERIFY(server.setFault({{"target", "download"}, {"action", "delay"}, {"delayMs", 300}}));
    fakeNow = 0;
    transfer->setClockForTesting([this] { return fakeNow += 300; });
    startDownload(name, expected, QString());
    QTRY_VERIFY(transfer->isFetching());
    transfer->onDownloadProgress(50000, content.size());
    QVERIFY(waitForEnd());

    QVERIFY(!progress->isEmpty());
    for (const QList<QVariant>& report : *progress)
        QCOMPARE(report.at(2).toInt(), 0);
    // The size cannot match: the file is not placed, its bytes are kept.
    QVERIFY(!QFile::exists(localPath(name)));
    QVERIFY(readFile(tempPath(name)) == content);
}

void TestKDownloadTransfer::bytesThatCameWithTheJob_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("userFile");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("failed");
    QTest::newRow("placed") << QByteArray("batch bytes") << QByteArray() << QByteArray("batch bytes") << false;
    QTest::newRow("bytes differ from the hash") << QByteArray("tampered!!!") << QByteArray() << QByteArray("<missing>") << true;
    QTest::newRow("user file appeared") << QByteArray("batch bytes") << QByteArray("user's") << QByteArray("user's") << false;
}

// A small file fetched in a batch: its bytes are checked against the
// version's hash and linked in whole; nothing replaces a file that appeared
// meanwhile, and no partial file is ever left behind.
void TestKDownloadTransfer::bytesThatCameWithTheJob()
{
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, userFile);
    QFETCH(QByteArray, expected);
    QFETCH(bool, failed);
    const QString name = QStringLiteral("with-job-%1.txt").arg(QTest::currentDataTag()).replace(' ', '-');
    if (!userFile.isEmpty())
        QVERIFY(writeFile(localPath(name), userFile));
    KDownloadInfo job;
    job.localPath = localPath(name);
    job.serverPath = serverPath(name);
    job.fileSize = sent.size();
    job.dataHash = QString::fromLatin1(QCryptographicHash::hash("batch bytes", QCryptographicHash::Md5).toHex());
    job.version = 1;
    job.mtimeMs = 1600000000123;
    job.content = sent;
    job.contentKnown = true;
    QSignalSpy failures(transfer.get(), &KDownloadTransfer::failFileItem);
    rows->clear();
    KConstant::IsDownloading = true;
    queueGeneration = KDownloadManager::downloadQueue.generation();
    transfer->download(job);
    QVERIFY(waitForEnd());
    QCOMPARE(readFile(localPath(name)), expected);
    QCOMPARE(failures.size(), failed ? 1 : 0);
    QCOMPARE(syncLogsFor(name).size(), expected == sent ? 1 : 0);
    if (expected == sent)
        QCOMPARE(QFileInfo(localPath(name)).lastModified().toMSecsSinceEpoch(), job.mtimeMs);
    QCOMPARE(QDir(local.path()).entryList({name + "*.wexora", "." + name + "*.wexora"}, QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestKDownloadTransfer)
#include "tst_kdownloadtransfer.moc"
