#include "kuploadtap.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "app/kconstant.h"
#include "login/ksession.h"
#include "store/kfilesyncdatabase.h"
#include "sync/knodetools.h"
#include "transfer/kuploadmanager.h"
#include "transfer/kuploadpartsender.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QtTest>

// Whole upload jobs against the reference drive server, seen three ways: the
// server's trees and counters, the requests on the wire (through a tap), and
// what the client wrote down (sync log, error map, resume cache, log).
class TestUploadManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void twelveMiBGoesInThreeExactParts();
    void putTicketSendsRawParts();
    void instantHitSendsNoPart();
    void existingFileGetsANewVersion();
    void identicalFileIsSkipped();
    void editedFileOfTheSameSizeIsUploaded();
    void emptyFileCommitsWithItsOwnToken();
    void lostPartFailsAtOnceThenResumesFromTheServersParts();
    void missingMiddlePartIsSentAgain();
    void partsInFlightSurviveADroppedPart();
    void busyPartGoesOnOneAtATime();
    void commitFailureGoesToTheErrorMap_data();
    void commitFailureGoesToTheErrorMap();
    void refusedUploadIsRecorded();
    void requestReceivedTwiceTakesEffectOnce_data();
    void requestReceivedTwiceTakesEffectOnce();

private:
    bool startServer(const QStringList& args = {});
    KUploadInfo makeJob(const QString& rel, const QByteArray& bytes);
    QString serverPath(const QString& rel) const { return "@" + space + "/" + rel; }
    bool hasSyncLog(const KUploadInfo& job);
    QStringList opsOnWire() const;
    qint64 stat(const QString& name) { return server->stats().value(name); }
    static QByteArray pattern(qint64 size, int seed);
    static QByteArray framed(const QByteArray& boundary, const QByteArray& bytes);
    static QString md5(const QByteArray& bytes);

    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<KTestServer> server;
    std::unique_ptr<KUploadTap> tap;
    std::unique_ptr<QTemporaryDir> local;
    std::unique_ptr<KUploadManager> manager;
    std::unique_ptr<QSignalSpy> progress;
    std::unique_ptr<QSignalSpy> finished;
    QString space;
};

namespace {
const qint64 Seg = 5242880;
const qint64 TwelveMiB = 12582912;
}

void TestUploadManager::init()
{
    base = std::make_unique<KTestBaseDir>();
    base->installLogSink();
    KFileSyncDatabase().initDatabase();
    KConstant::ErrorMap.clear();
    local = std::make_unique<QTemporaryDir>();
    manager = std::make_unique<KUploadManager>();
    manager->prepareWorker();
    progress = std::make_unique<QSignalSpy>(manager.get(), &KUploadManager::sendrefreshProgress);
    finished = std::make_unique<QSignalSpy>(manager.get(), &KUploadManager::deleteFileItem);
    space = KTestServer::demoPersonalSpace();
}

void TestUploadManager::cleanup()
{
    progress.reset();
    finished.reset();
    manager.reset();
    tap.reset();
    server.reset();
    kClearTestSession();
    KConstant::ErrorMap.clear();
    local.reset();
    base.reset();
}

bool TestUploadManager::startServer(const QStringList& args)
{
    server = std::make_unique<KTestServer>();
    if (!server->start(args))
        return false;
    tap = std::make_unique<KUploadTap>(server->port());
    // Logged in through the tap, the client sends everything through it.
    const QString url = tap->baseUrl();
    KSession::parseLoginResponse(url, KSession::sendLoginRequest(url + "/klogin", KTestServer::demoUser(),
                                                                 KTestServer::demoPassword()));
    tap->clear();
    return !WexoraBase::accessdata.accesskeysecret.isEmpty() && server->clearFaults();
}

QByteArray TestUploadManager::pattern(qint64 size, int seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < bytes.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

QByteArray TestUploadManager::framed(const QByteArray& boundary, const QByteArray& bytes)
{
    return "--" + boundary
           + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n"
           + bytes + "\r\n--" + boundary + "--\r\n";
}

QString TestUploadManager::md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

KUploadInfo TestUploadManager::makeJob(const QString& rel, const QByteArray& bytes)
{
    KUploadInfo job;
    job.localPath = local->path() + "/" + rel;
    QDir().mkpath(QFileInfo(job.localPath).path());
    QFile file(job.localPath);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    file.close();
    job.serverPath = serverPath(rel);
    job.filesize = bytes.size();
    job.filemd5 = KFileSyncDatabase().getFileMd5OrDatabase(job.localPath);
    return job;
}

bool TestUploadManager::hasSyncLog(const KUploadInfo& job)
{
    const QString later = QString::number(QDateTime::currentSecsSinceEpoch() + 100);
    for (const QStringList& row : KFileSyncDatabase().getSyncLogs(later)) {
        if (row.value(1) == job.localPath && row.value(2) == job.serverPath && row.value(3) == "upload")
            return true;
    }
    return false;
}

QStringList TestUploadManager::opsOnWire() const
{
    QStringList ops;
    for (const KWireRequest& request : tap->requests())
        ops << (request.path().startsWith("/upload/") ? request.method + " part" : request.formField("op"));
    return ops;
}

void TestUploadManager::twelveMiBGoesInThreeExactParts()
{
    QVERIFY(startServer());
    const QByteArray bytes = pattern(TwelveMiB, 1);
    const KUploadInfo job = makeJob("docs/deep/big.bin", bytes);
    manager->runJob(job);

    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"docs/deep/big.bin", bytes}}));
    // No folder yet: it is made first, then the file is asked for as a new one.
    QCOMPARE(opsOnWire(), (QStringList{"kgetnodes", "domkdirs", "kaskupload", "kexchangeupload", "POST part",
                                       "kexchangeupload", "POST part", "kexchangeupload", "POST part",
                                       "ksubmitupload"}));
    QCOMPARE(tap->requests("domkdirs").value(0).formField("dirpath"), serverPath("docs/deep"));
    const KWireRequest ask = tap->requests("kaskupload").value(0);
    QCOMPARE(ask.formField("iscreatefile"), QString("true"));
    QCOMPARE(ask.formField("filesize"), QString("12582912"));
    QCOMPARE(ask.formField("chunksize"), QString("5242880"));
    QCOMPARE(ask.formField("filemd5"), md5(bytes));

    const QString token = KUploadManager::readUploadToken(job.localPath, job.serverPath, job.filemd5);
    QCOMPARE(token.size(), 32); // stays cached after the commit
    const QList<KWireRequest> exchanges = tap->requests("kexchangeupload");
    const QList<KWireRequest> parts = tap->requests("part");
    const QList<QByteArray> trov{"0-5242880", "5242880-10485760", "10485760-15728640"};
    QCOMPARE(parts.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(exchanges[i].formField("partnumber"), QString::number(i + 1));
        QCOMPARE(exchanges[i].formField("uptoken"), token);
        QCOMPARE(parts[i].path(), "/upload/" + token.toLatin1() + "/" + QByteArray::number(i + 1));
        QCOMPARE(parts[i].header("TROV-BYTES"), trov[i]);
        const QByteArray type = parts[i].header("Content-Type");
        QVERIFY2(type.startsWith("multipart/form-data;boundary={"), type.constData());
        const QByteArray boundary = type.mid(type.indexOf('=') + 1);
        QCOMPARE(parts[i].body, framed(boundary, bytes.mid(int(i * Seg), int(Seg))));
    }
    QVERIFY(parts[0].header("Content-Type") != parts[1].header("Content-Type")); // a boundary per part
    QCOMPARE(tap->requests("ksubmitupload").value(0).formField("uptoken"), token);
    QCOMPARE(stat("part"), qint64(3));
    QCOMPARE(stat("partBytes"), TwelveMiB);

    QVERIFY(hasSyncLog(job));
    QCOMPARE(KConstant::ErrorMap.size(), 0);
    QVERIFY(!progress->isEmpty());
    QCOMPARE(progress->last(), (QList<QVariant>{2, job.localPath, 100, QString(), QString("12.00 MB")}));
    QCOMPARE(finished->size(), 1);

    const QString log = base->todaysLog();
    QVERIFY(log.contains("[当前进度=第1片] 0\""));
    QVERIFY(log.contains("[当前进度=第2片] 5242880\""));
    QVERIFY(log.contains("[当前进度=第3片] 10485760\""));
    QVERIFY(log.contains("[URL=] " + tap->baseUrl() + "/upload/***/3\""));
    QVERIFY(log.contains("上传文件完成="));
    QVERIFY2(!log.contains(token), "the upload token reached the log");
    QVERIFY(!log.contains("sig="));
}

void TestUploadManager::putTicketSendsRawParts()
{
    QVERIFY(startServer({"--upload-method", "put"}));
    const QByteArray bytes = pattern(Seg + 777, 2);
    const KUploadInfo job = makeJob("p/put.bin", bytes);
    QVERIFY(server->makeFolder(space, "p"));
    manager->runJob(job);

    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"p/put.bin", bytes}}));
    const QList<KWireRequest> parts = tap->requests("part");
    QCOMPARE(parts.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(parts[i].method, QByteArray("PUT"));
        QCOMPARE(parts[i].body, bytes.mid(int(i * Seg), int(Seg)));
        QVERIFY(!parts[i].hasHeader("Content-Type"));
        QVERIFY(!parts[i].hasHeader("TROV-BYTES"));
    }
    QCOMPARE(stat("partBytes"), qint64(bytes.size()));
    QVERIFY(hasSyncLog(job));
    QVERIFY(base->todaysLog().contains("PUT方法上传结果="));
}

void TestUploadManager::instantHitSendsNoPart()
{
    QVERIFY(startServer());
    const QByteArray bytes = pattern(Seg + 5, 3);
    QVERIFY(server->putFile(space, "orig/a.bin", bytes));
    const KUploadInfo job = makeJob("copy/a.bin", bytes);
    manager->runJob(job);

    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"orig/a.bin", bytes}, {"copy/a.bin", bytes}}));
    QCOMPARE(opsOnWire(), (QStringList{"kgetnodes", "domkdirs", "kaskupload", "ksubmitupload"}));
    QCOMPARE(stat("part"), qint64(0));
    QVERIFY(QDir(KUploadManager::uploadCacheDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    QVERIFY(base->todaysLog().contains("开始上传文件 命中秒传"));
    QVERIFY(hasSyncLog(job));
    QVERIFY(progress->isEmpty());
    QCOMPARE(finished->size(), 1);
}

void TestUploadManager::existingFileGetsANewVersion()
{
    QVERIFY(startServer());
    QVERIFY(server->putFile(space, "d/f.txt", "old"));
    const QByteArray bytes("new and longer");
    const KUploadInfo job = makeJob("d/f.txt", bytes);
    manager->runJob(job);

    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"d/f.txt", bytes}}));
    QCOMPARE(tap->requests("kaskupload").value(0).formField("iscreatefile"), QString("false"));
    QCOMPARE(tap->requests("ksubmitupload").value(0).formField("iscreatefile"), QString("false"));
    const KNodeInfo node = KNodeTools::parseNode(KNodeTools::getNode(job.serverPath));
    QCOMPARE(node.versions.size(), 2);
    QCOMPARE(node.versions[0].datahash, md5(bytes));
    QCOMPARE(node.versions[1].datahash, QString("149603e6c03516362a8da23f624db945")); // md5sum of "old"
    QVERIFY(hasSyncLog(job));
}

void TestUploadManager::identicalFileIsSkipped()
{
    QVERIFY(startServer());
    QVERIFY(server->putFile(space, "s/same.txt", "hello"));
    const KUploadInfo job = makeJob("s/same.txt", "hello");
    manager->runJob(job);

    QCOMPARE(opsOnWire(), QStringList{"kgetnodes"});
    QVERIFY(base->todaysLog().contains("本地文件和服务器上的文件相同"));
    QVERIFY(progress->isEmpty());
    QCOMPARE(finished->size(), 1);
    QVERIFY(!hasSyncLog(job));
    QCOMPARE(server->tree(space).value("files").toArray().at(0).toObject().value("versions").toInt(), 1);
}

void TestUploadManager::editedFileOfTheSameSizeIsUploaded()
{
    QVERIFY(startServer());
    QVERIFY(server->putFile(space, "s/edit.txt", "hello"));
    const KUploadInfo job = makeJob("s/edit.txt", "jello");
    manager->runJob(job);

    // Same size, other content: sent as a new version, the old one kept.
    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"s/edit.txt", "jello"}}));
    QCOMPARE(tap->requests("kaskupload").value(0).formField("iscreatefile"), QString("false"));
    const KNodeInfo node = KNodeTools::parseNode(KNodeTools::getNode(job.serverPath));
    QCOMPARE(node.versions.size(), 2);
    // md5sum of "jello" and of "hello"
    QCOMPARE(node.versions[0].datahash, QString("7aa6991a62353dd2761280cf592542dc"));
    QCOMPARE(node.versions[1].datahash, QString("5d41402abc4b2a76b9719d911017c592"));
    QVERIFY(hasSyncLog(job));
}

void TestUploadManager::emptyFileCommitsWithItsOwnToken()
{
    QVERIFY(startServer());
    const KUploadInfo job = makeJob("e/empty.txt", QByteArray());
    QCOMPARE(job.filemd5, QString("d41d8cd98f00b204e9800998ecf8427e"));
    manager->runJob(job);

    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"e/empty.txt", QByteArray()}}));
    QCOMPARE(opsOnWire(), (QStringList{"kgetnodes", "domkdirs", "kaskupload", "ksubmitupload"}));
    const QString token = KUploadManager::readUploadToken(job.localPath, job.serverPath, job.filemd5);
    QVERIFY(!token.isEmpty());
    QCOMPARE(tap->requests("ksubmitupload").value(0).formField("uptoken"), token);
    QVERIFY(hasSyncLog(job));
    QCOMPARE(progress->last(), (QList<QVariant>{2, job.localPath, 100, QString(), QString("0 bytes")}));
}

void TestUploadManager::lostPartFailsAtOnceThenResumesFromTheServersParts()
{
    QVERIFY(startServer());
    const QByteArray bytes = pattern(TwelveMiB, 4);
    const KUploadInfo job = makeJob("r/big.bin", bytes);
    QVERIFY(server->setFault(QJsonObject{{"target", "part"}, {"action", "drop"}, {"afterBytes", 1000000},
                                         {"partNumber", 2}, {"times", 0}}));
    manager->runJob(job);

    // Part 2 was cut: no part 3, no commit, a failure row naming the part.
    QVERIFY(!opsOnWire().contains("ksubmitupload"));
    QCOMPARE(tap->requests("kexchangeupload").size(), 2);
    const QStringList row = KConstant::ErrorMap.snapshot().value(job.localPath);
    QCOMPARE(row.size(), 6);
    QVERIFY2(row[5].startsWith("第2片上传失败: "), qPrintable(row[5]));
    QVERIFY(!hasSyncLog(job));
    QVERIFY(server->files(space).isEmpty());
    QVERIFY(!KUploadManager::readUploadToken(job.localPath, job.serverPath, job.filemd5).isEmpty());
    QCOMPARE(finished->size(), 1);

    QVERIFY(server->clearFaults());
    tap->clear();
    manager->runJob(job);

    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"r/big.bin", bytes}}));
    QCOMPARE(opsOnWire(), (QStringList{"kgetnodes", "kqueryuploaded", "kexchangeupload", "POST part",
                                       "kexchangeupload", "POST part", "ksubmitupload"}));
    const QList<KWireRequest> parts = tap->requests("part");
    QCOMPARE(parts[0].header("TROV-BYTES"), QByteArray("5242880-10485760"));
    QCOMPARE(parts[1].header("TROV-BYTES"), QByteArray("10485760-15728640"));
    QCOMPARE(stat("part"), qint64(2));
    QCOMPARE(stat("partBytes"), TwelveMiB - Seg);
    QVERIFY(hasSyncLog(job));
}

void TestUploadManager::missingMiddlePartIsSentAgain()
{
    QVERIFY(startServer());
    const QByteArray bytes = pattern(3 * Seg + 1000, 5);
    const KUploadInfo job = makeJob("g/gap.bin", bytes);
    QVERIFY(server->setFault(QJsonObject{{"target", "part"}, {"action", "drop"}, {"afterBytes", 4096},
                                         {"partNumber", 2}, {"times", 0}}));
    manager->runJob(job);
    QVERIFY(server->clearFaults());

    // Parts 3 and 4 arrive from elsewhere, leaving the server with 1, 3, 4.
    const QString token = KUploadManager::readUploadToken(job.localPath, job.serverPath, job.filemd5);
    QNetworkAccessManager network;
    QFile file(job.localPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    for (int number : {3, 4}) {
        const KUploadTicket ticket = KUploadManager::parseTicket(
            KUploadManager::exchangeUpload(job.serverPath, token, QString::number(number), QString()));
        const qint64 offset = (number - 1) * Seg;
        QVERIFY(file.seek(offset));
        KUploadPartSender sender(&network, Seg);
        QVERIFY(sender.send(ticket, offset, file, qMin(Seg, bytes.size() - offset)).ok);
    }
    QList<int> held;
    for (const KUploadedPart& part : KUploadManager::parseUploadedParts(KUploadManager::queryUploaded(job.serverPath, token)))
        held << part.partnumber;
    QCOMPARE(held, (QList<int>{1, 3, 4}));

    tap->clear();
    manager->runJob(job);
    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"g/gap.bin", bytes}}));
    QList<QString> numbers;
    for (const KWireRequest& exchange : tap->requests("kexchangeupload"))
        numbers << exchange.formField("partnumber");
    QCOMPARE(numbers, (QList<QString>{"2", "3", "4"}));
    QVERIFY(hasSyncLog(job));
}

// Four parts on their way at once: part 2 is cut while others travel; the job
// fails naming it, and the next run completes the file from what was kept.
void TestUploadManager::partsInFlightSurviveADroppedPart()
{
    QVERIFY(startServer());
    manager->setPartsInFlight(4);
    const QByteArray bytes = pattern(5 * Seg + 1000, 6);
    const KUploadInfo job = makeJob("f/flight.bin", bytes);
    QVERIFY(server->setFault(QJsonObject{{"target", "part"}, {"action", "drop"}, {"afterBytes", 1000000},
                                         {"partNumber", 2}, {"times", 0}}));
    manager->runJob(job);
    QVERIFY(!opsOnWire().contains("ksubmitupload"));
    QVERIFY(KConstant::ErrorMap.snapshot().value(job.localPath).value(5).startsWith("第2片上传失败: "));
    QVERIFY(server->files(space).isEmpty());

    QVERIFY(server->clearFaults());
    manager->runJob(job);
    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"f/flight.bin", bytes}}));
    QVERIFY(hasSyncLog(job));
    QVERIFY(!KConstant::ErrorMap.snapshot().contains(job.localPath));
    QCOMPARE(finished->size(), 2);
}

// A server that answers a part "busy" while others of its upload arrive: the
// same upload goes on from the parts it holds, one part at a time.
void TestUploadManager::busyPartGoesOnOneAtATime()
{
    QVERIFY(startServer());
    manager->setPartsInFlight(4);
    const QByteArray bytes = pattern(5 * Seg + 1000, 7);
    const KUploadInfo job = makeJob("f/busy.bin", bytes);
    QVERIFY(server->setFault(QJsonObject{{"target", "part"}, {"action", "status"}, {"status", 409}, {"partNumber", 2}}));
    manager->runJob(job);
    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"f/busy.bin", bytes}}));
    QCOMPARE(opsOnWire().count("kaskupload"), 1);
    QVERIFY(!KConstant::ErrorMap.snapshot().contains(job.localPath));
    QCOMPARE(finished->size(), 1);
}

void TestUploadManager::commitFailureGoesToTheErrorMap_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty body") << QJsonObject{{"target", "ksubmitupload"}, {"action", "empty"}} << "提交上传无响应";
    QTest::newRow("lost connection") << QJsonObject{{"target", "ksubmitupload"}, {"action", "drop"}, {"times", 0}}
                                     << "提交上传无响应";
    QTest::newRow("html page") << QJsonObject{{"target", "ksubmitupload"}, {"action", "html"}, {"status", 502}}
                               << "提交上传返回无法解析";
    QTest::newRow("data cut at markup")
        << QJsonObject{{"target", "ksubmitupload"}, {"action", "envelope"},
                       {"envelope", QJsonObject{{"code", 5}, {"errtip", "x"}, {"data", "abcdefgh<p>"}}}}
        << "ab";
}

void TestUploadManager::commitFailureGoesToTheErrorMap()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QString, text);
    QVERIFY(startServer());
    QVERIFY(server->setFault(fault));
    const KUploadInfo job = makeJob("c/f.txt", "commit me");
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    manager->runJob(job);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    const QStringList row = KConstant::ErrorMap.snapshot().value(job.localPath);
    QCOMPARE(row.size(), 6);
    const QString rowKey = QCryptographicHash::hash(job.localPath.toLatin1(), QCryptographicHash::Md5).toHex();
    QCOMPARE(row.mid(0, 4), (QStringList{rowKey, job.localPath, job.serverPath, "upload"}));
    QVERIFY(row[4].toLongLong() >= before && row[4].toLongLong() <= after);
    QCOMPARE(row[5], text);
    QVERIFY(!hasSyncLog(job));
    QVERIFY(server->files(space).isEmpty());
    QVERIFY(base->todaysLog().contains("上传文件失败="));
    QCOMPARE(progress->last().value(2).toInt(), 100);
    QCOMPARE(finished->size(), 1);
}

void TestUploadManager::refusedUploadIsRecorded()
{
    QVERIFY(startServer());
    QVERIFY(server->makeFolder(space, "x/f.bin"));
    const KUploadInfo job = makeJob("x/f.bin", "a folder is in the way");
    manager->runJob(job);

    QCOMPARE(opsOnWire(), (QStringList{"kgetnodes", "kaskupload"}));
    const QStringList row = KConstant::ErrorMap.snapshot().value(job.localPath);
    QCOMPARE(row.size(), 6);
    QVERIFY2(row[5].contains(job.serverPath), qPrintable(row[5])); // the server's own reason
    QCOMPARE(KUploadManager::readUploadToken(job.localPath, job.serverPath, job.filemd5), QString());
    QVERIFY(!hasSyncLog(job));
}

void TestUploadManager::requestReceivedTwiceTakesEffectOnce_data()
{
    // The jobs run in this order: a resume, a new file in a new folder, a new
    // version of a file, an instant hit; skip picks the job a request is of.
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("skip");
    QTest::newRow("kgetnodes") << "kgetnodes" << 0;
    QTest::newRow("kqueryuploaded") << "kqueryuploaded" << 0;
    QTest::newRow("domkdirs") << "domkdirs" << 0;
    QTest::newRow("kaskupload") << "kaskupload" << 0;
    QTest::newRow("kaskupload of a hit") << "kaskupload" << 2;
    QTest::newRow("kexchangeupload") << "kexchangeupload" << 1;
    QTest::newRow("part") << "part" << 1;
    QTest::newRow("ksubmitupload of a resume") << "ksubmitupload" << 0;
    QTest::newRow("ksubmitupload of a version") << "ksubmitupload" << 2;
    QTest::newRow("ksubmitupload of a hit") << "ksubmitupload" << 3;
}

void TestUploadManager::requestReceivedTwiceTakesEffectOnce()
{
    QFETCH(QString, target);
    QFETCH(int, skip);
    QVERIFY(startServer());
    const QByteArray resumed = pattern(Seg + 10, 6), fresh = pattern(Seg + 20, 7), hit = pattern(1000, 8);
    QVERIFY(server->putFile(space, "v/f.txt", "old") && server->putFile(space, "orig/h.bin", hit));
    const QList<KUploadInfo> jobs{makeJob("r/resumed.bin", resumed), makeJob("up/new/fresh.bin", fresh),
                                  makeJob("v/f.txt", "new and longer"), makeJob("x/h.bin", hit)};
    QVERIFY(server->setFault({{"target", "part"}, {"action", "drop"}, {"partNumber", 2}, {"times", 0}}));
    manager->runJob(jobs[0]); // leaves part 1 on the server and the token in the cache
    QVERIFY(server->clearFaults());
    KConstant::ErrorMap.clear();
    // Done, then the connection cut before the answer: Qt sends the request again.
    QVERIFY(server->setFault({{"target", target}, {"action", "dropanswer"}, {"skip", skip}}));
    for (const KUploadInfo& job : jobs)
        manager->runJob(job);

    QMap<QString, qint64> received{{"kgetnodes", 4}, {"kqueryuploaded", 1}, {"domkdirs", 2}, {"kaskupload", 3},
                                   {"kexchangeupload", 4}, {"part", 4}, {"ksubmitupload", 4}};
    received[target] += 1;
    const QMap<QString, qint64> counted = server->stats();
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(counted.value(it.key()) == it.value(), qPrintable(it.key() + QString(" %1").arg(counted.value(it.key()))));
    QCOMPARE(server->files(space), (QMap<QString, QByteArray>{{"orig/h.bin", hit}, {"r/resumed.bin", resumed},
                                                              {"up/new/fresh.bin", fresh}, {"v/f.txt", "new and longer"},
                                                              {"x/h.bin", hit}}));
    QMap<QString, int> versions;
    for (const QJsonValue& file : server->tree(space).value("files").toArray())
        versions.insert(file["path"].toString(), file["versions"].toInt());
    QCOMPARE(versions, (QMap<QString, int>{{"orig/h.bin", 1}, {"r/resumed.bin", 1}, {"up/new/fresh.bin", 1},
                                           {"v/f.txt", 2}, {"x/h.bin", 1}}));
    QCOMPARE(server->folders(space), (QStringList{"orig", "r", "up", "up/new", "v", "x"}));
    // No upload left open beside the ones that were committed.
    QCOMPARE(QDir(server->rootDir() + "/uploads").entryList(QDir::Files), QStringList());
    QCOMPARE(KFileSyncDatabase().getSyncLogs(QString::number(QDateTime::currentSecsSinceEpoch() + 100)).size(), 4);
    for (const KUploadInfo& job : jobs)
        QVERIFY(hasSyncLog(job));
    QCOMPARE(KConstant::ErrorMap.size(), 0);
}

QTEST_GUILESS_MAIN(TestUploadManager)
#include "tst_kuploadmanager.moc"
