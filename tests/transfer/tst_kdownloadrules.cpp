#include "transfer/kdownloaddigest.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadrules.h"
#include "transfer/kdownloadtransfer.h"

#include <QtTest>

#include <future>

using Action = KDownloadRules::BodyAction;
Q_DECLARE_METATYPE(KDownloadRules::BodyAction)

// The pure pieces of a download: body rules, resume point, progress texts,
// the "kaskdownload" request and reader, the node check, the digest.
class TestKDownloadRules : public QObject
{
    Q_OBJECT

private slots:
    void bodyAction_data();
    void bodyAction();
    void resumeOffset_data();
    void resumeOffset();
    void progressNumbers();
    void loggableUrlDropsTheSignature();
    void askDownloadRequest();
    void parseAskDownload();
    void parseAskDownloadThrowsWithoutEnvelope();
    void serverVersion_data();
    void serverVersion();
    void digestFollowsAGrowingFile_data();
    void digestFollowsAGrowingFile();
};

void TestKDownloadRules::bodyAction_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<Action>("action");
    QTest::newRow("200 fresh") << 200 << QByteArray() << qint64(0) << Action::Restart;
    QTest::newRow("200 to a range") << 200 << QByteArray() << qint64(1000) << Action::Restart;
    QTest::newRow("206 at the offset") << 206 << QByteArray("bytes 1000-1599/1600") << qint64(1000) << Action::Append;
    QTest::newRow("206 elsewhere") << 206 << QByteArray("bytes 0-1599/1600") << qint64(1000) << Action::Discard;
    QTest::newRow("206 unasked") << 206 << QByteArray("bytes 0-9/10") << qint64(0) << Action::Discard;
    QTest::newRow("206 no header") << 206 << QByteArray() << qint64(1000) << Action::Discard;
    QTest::newRow("206 other unit") << 206 << QByteArray("items 1000-1599/1600") << qint64(1000) << Action::Discard;
    QTest::newRow("416") << 416 << QByteArray("bytes */1600") << qint64(1600) << Action::Discard;
    QTest::newRow("500 page") << 500 << QByteArray() << qint64(0) << Action::Discard;
    QTest::newRow("302") << 302 << QByteArray() << qint64(0) << Action::Discard;
    QTest::newRow("no answer") << 0 << QByteArray() << qint64(1000) << Action::Discard;
}

void TestKDownloadRules::bodyAction()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, offset);
    QFETCH(Action, action);
    QCOMPARE(KDownloadRules::bodyAction(status, contentRange, offset), action);
}

void TestKDownloadRules::resumeOffset_data()
{
    QTest::addColumn<qint64>("tempSize");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QByteArray>("range");
    QTest::newRow("no temp") << qint64(0) << qint64(5000) << qint64(0) << QByteArray();
    QTest::newRow("prefix") << qint64(1000) << qint64(5000) << qint64(1000) << QByteArray("bytes=1000-");
    QTest::newRow("complete") << qint64(5000) << qint64(5000) << qint64(5000) << QByteArray("bytes=5000-");
    QTest::newRow("too large") << qint64(5001) << qint64(5000) << qint64(0) << QByteArray();
    QTest::newRow("larger than 0") << qint64(10) << qint64(0) << qint64(0) << QByteArray();
    QTest::newRow("unknown size") << qint64(10) << qint64(-1) << qint64(10) << QByteArray("bytes=10-");
}

void TestKDownloadRules::resumeOffset()
{
    QFETCH(qint64, tempSize);
    QFETCH(qint64, expected);
    QFETCH(qint64, offset);
    QFETCH(QByteArray, range);
    QCOMPARE(KDownloadRules::resumeOffsetFor(tempSize, expected), offset);
    QCOMPARE(KDownloadRules::rangeHeader(offset), range);
}

void TestKDownloadRules::progressNumbers()
{
    QVERIFY(!KDownloadRules::progressDue(1200, 1000));
    QVERIFY(KDownloadRules::progressDue(1201, 1000));
    QCOMPARE(KDownloadRules::percentOf(1600, 1600), 100);
    QCOMPARE(KDownloadRules::percentOf(1599, 1600), 99);
    QCOMPARE(KDownloadRules::percentOf(3200, 1600), 100);
    QCOMPARE(KDownloadRules::percentOf(500, 0), 0);
    QCOMPARE(KDownloadRules::percentOf(500, -1), 0);
    // 64-bit arithmetic: 3 GiB of 4 GiB.
    QCOMPARE(KDownloadRules::percentOf(Q_INT64_C(3) << 30, Q_INT64_C(4) << 30), 75);
    QCOMPARE(KDownloadRules::bytesPerSecond(1000, 201), qint64(4975));
    QCOMPARE(KDownloadRules::bytesPerSecond(1000, 0), qint64(0));
}

void TestKDownloadRules::loggableUrlDropsTheSignature()
{
    const QUrl url("http://127.0.0.1:8080/download/abc-12?expires=99&sig=SECRET#x");
    QCOMPARE(KDownloadRules::loggableUrl(url), QStringLiteral("http://127.0.0.1:8080/download/abc-12"));
    QCOMPARE(KDownloadRules::tempPathFor("/d/a.txt"), QStringLiteral("/d/a.txt.wexora"));
}

void TestKDownloadRules::askDownloadRequest()
{
    const QMap<QString, QString> params = KDownloadTransfer::askDownloadParams("@s1/d/a.txt");
    const QMap<QString, QString> expected{{"op", "kaskdownload"}, {"filepath", "@s1/d/a.txt"},
                                          {"expiredsecond", ""},  {"hopesrvs", ""},
                                          {"datahash", ""},       {"downfilename", ""},
                                          {"downmimetype", ""}};
    QCOMPARE(params, expected);
}

void TestKDownloadRules::parseAskDownload()
{
    const KAskDownloadInfo info = KDownloadTransfer::parseAskDownload(
        "{\"code\":0,\"data\":{\"datahash\":\"h\",\"downname\":\"a.txt\",\"datasrv\":\"local\","
        "\"datasize\":1600,\"url\":\"http://h/download/x?sig=s\",\"expiredtime\":17.9,\"other\":true}}");
    QCOMPARE(info.datahash, QStringLiteral("h"));
    QCOMPARE(info.downname, QStringLiteral("a.txt"));
    QCOMPARE(info.datasrv, QStringLiteral("local"));
    QCOMPARE(info.datasize, QStringLiteral("1600"));
    QCOMPARE(info.url, QStringLiteral("http://h/download/x?sig=s"));
    QCOMPARE(info.expiredtime, QStringLiteral("17"));

    // A refusal carries no data: every field is empty.
    const KAskDownloadInfo refused = KDownloadTransfer::parseAskDownload("{\"code\":4,\"errtip\":\"no such file\"}");
    QVERIFY(refused.url.isEmpty());
    QVERIFY(refused.datahash.isEmpty());
}

void TestKDownloadRules::parseAskDownloadThrowsWithoutEnvelope()
{
    for (const QString& body : {QString(), QString("<html>error</html>"), QString("[1]")}) {
        bool thrown = false;
        try {
            KDownloadTransfer::parseAskDownload(body);
        } catch (const char* error) {
            thrown = QString::fromUtf8(error) == QStringLiteral("请求异常!");
        }
        QVERIFY2(thrown, qPrintable(body));
    }
}

void TestKDownloadRules::serverVersion_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("found");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("hash");
    const QString node = "{\"path\":\"@s1/a\",\"isfile\":true,\"versions\":[%1]}";
    const QString v2 = "{\"datahash\":\"h2\",\"datasize\":20}";
    const QString v1 = "{\"datahash\":\"h1\",\"datasize\":10}";
    QTest::newRow("no answer") << QString() << true << qint64(0) << QString();
    QTest::newRow("current version first")
        << "{\"code\":0,\"data\":[" + node.arg(v2 + "," + v1) + "]}" << true << qint64(20) << QString("h2");
    QTest::newRow("no version") << "{\"code\":0,\"data\":[" + node.arg("") + "]}" << true << qint64(-1) << QString();
    QTest::newRow("no node") << QString("{\"code\":0,\"data\":[]}") << false << qint64(0) << QString();
    QTest::newRow("two nodes") << "{\"code\":0,\"data\":[" + node.arg(v1) + "," + node.arg(v2) + "]}" << false
                               << qint64(0) << QString();
}

void TestKDownloadRules::serverVersion()
{
    QFETCH(QString, answer);
    QFETCH(bool, found);
    QFETCH(qint64, size);
    QFETCH(QString, hash);
    const std::optional<KDownloadManager::ServerVersion> version = KDownloadManager::serverVersionOf(answer);
    QCOMPARE(bool(version), found);
    if (!version)
        return;
    QCOMPARE(version->size, size);
    QCOMPARE(version->dataHash, hash);
}

void TestKDownloadRules::digestFollowsAGrowingFile_data()
{
    // Known answers from md5sum; "" where the file ends before the total.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("md5");
    QTest::newRow("empty") << QByteArray() << 1 << qint64(0) << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("byte by byte") << QByteArray("abcdef") << 1 << qint64(6) << "e80b5017098950fc58aad83c8c14978e";
    QTest::newRow("beyond one block") << QByteArray(2500000, 'x') << 300001 << qint64(2500000)
                                      << "3c4964c1096b98908df136eb84fdd165";
    QTest::newRow("shorter than told") << QByteArray("abc") << 2 << qint64(100) << QString();
}

// The digest reads the file behind the writer, never ahead of what it was
// told is written, and answers once the total is hashed.
void TestKDownloadRules::digestFollowsAGrowingFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, chunk);
    QFETCH(qint64, total);
    QFETCH(QString, md5);
    QTemporaryDir dir;
    QFile file(dir.filePath("part"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    std::promise<QString> result;
    {
        KDownloadDigest digest(file.fileName());
        for (int at = 0; at < content.size(); at += chunk) {
            QVERIFY(file.write(content.mid(at, chunk)) > 0);
            digest.advance(file.pos());
        }
        digest.finish(total, [&result](const QString& hex) { result.set_value(hex); });
        QCOMPARE(result.get_future().get(), md5);
    }
    QCOMPARE(KDownloadDigest::fileMd5(dir.filePath("missing")), QString());
    if (total == content.size())
        QCOMPARE(KDownloadDigest::fileMd5(file.fileName()), md5);
}

QTEST_GUILESS_MAIN(TestKDownloadRules)
#include "tst_kdownloadrules.moc"
