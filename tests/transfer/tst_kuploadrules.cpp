#include "transfer/kuploadmanager.h"
#include "transfer/kuploadrules.h"
#include "transfer/kuploadticket.h"

#include <QtTest>

using Parts = QList<KUploadedPart>;
using StringMap = QMap<QString, QString>;
Q_DECLARE_METATYPE(KServerVerdict)
Q_DECLARE_METATYPE(KNodeInfo)
Q_DECLARE_METATYPE(KUploadedPart)

// Reading tickets and part lists, and the decisions taken from them: the
// resume rule and the server check that decides skip, new file or new version.
class TestUploadRules : public QObject
{
    Q_OBJECT

private slots:
    void ticketMembers();
    void ticketMembersOfOtherTypesReadEmpty();
    void ticketOfAFailedOrOddReply();
    void unreadableRepliesThrow_data();
    void unreadableRepliesThrow();
    void uploadedParts();
    void resumeRule_data();
    void resumeRule();
    void serverVerdict_data();
    void serverVerdict();
};

namespace {

const qint64 Seg = 5242880;

KUploadedPart part(int number, qint64 size)
{
    KUploadedPart p;
    p.partnumber = number;
    p.partsize = size;
    return p;
}

KNodeInfo node(bool isfile, qint64 size = 0, const QString& hash = QString())
{
    KNodeInfo n;
    n.found = true;
    n.isfile = isfile;
    if (isfile && size >= 0) {
        KVersionInfo v;
        v.datasize = size;
        v.datahash = hash;
        n.versions.append(v);
    }
    return n;
}

const QString Md5 = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
const QString OtherMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

} // namespace

void TestUploadRules::ticketMembers()
{
    const KUploadTicket t = KUploadManager::parseTicket(
        "{\"code\":0,\"data\":{\"uptoken\":\"tk\",\"upmethod\":\"PUT\",\"httpurl\":\"http://h/u/1?s=2\","
        "\"httpheaders\":{\"a\":\"x\",\"n\":12.7,\"t\":true,\"f\":false,\"o\":{},\"l\":[1],\"z\":null},"
        "\"httpmultiforms\":{\"k\":\"v\"},\"partnumber\":\"3\",\"partminsize\":\"1\",\"partmaxsize\":\"5242880\","
        "\"datasrv\":\"local\",\"expiredtime\":\"1765161600\"}}");
    QCOMPARE(t.uptoken, QString("tk"));
    QCOMPARE(t.upmethod, QString("PUT"));
    QVERIFY(t.isPut() && !t.isHit());
    QCOMPARE(t.httpurl, QString("http://h/u/1?s=2"));
    QCOMPARE(t.httpheaders, (StringMap{{"a", "x"}, {"n", "12"}, {"t", "1"}, {"f", "0"}}));
    QCOMPARE(t.httpmultiforms, (StringMap{{"k", "v"}}));
    QCOMPARE(t.partnumber, QString("3"));
    QCOMPARE(t.partminsize, QString("1"));
    QCOMPARE(t.partmaxsize, QString("5242880"));
    QCOMPARE(t.datasrv, QString("local"));
    QCOMPARE(t.expiredtime, QString("1765161600"));
}

void TestUploadRules::ticketMembersOfOtherTypesReadEmpty()
{
    const KUploadTicket t = KUploadManager::parseTicket(
        "{\"code\":0,\"data\":{\"uptoken\":12,\"upmethod\":true,\"httpurl\":null,\"httpheaders\":\"a=b\","
        "\"httpmultiforms\":[1],\"partnumber\":3,\"expiredtime\":{}}}");
    QCOMPARE(t.uptoken, QString());
    QCOMPARE(t.upmethod, QString());
    QVERIFY(!t.isPut() && !t.isHit());
    QCOMPARE(t.httpurl, QString());
    QVERIFY(t.httpheaders.isEmpty());
    QVERIFY(t.httpmultiforms.isEmpty());
    QCOMPARE(t.partnumber, QString());
    QCOMPARE(t.expiredtime, QString());

    // Method names are case-sensitive.
    QVERIFY(!KUploadManager::parseTicket("{\"code\":0,\"data\":{\"upmethod\":\"hit\"}}").isHit());
    QVERIFY(KUploadManager::parseTicket("{\"code\":0,\"data\":{\"upmethod\":\"HIT\"}}").isHit());
    QVERIFY(!KUploadManager::parseTicket("{\"code\":0,\"data\":{\"upmethod\":\"put\"}}").isPut());
}

void TestUploadRules::ticketOfAFailedOrOddReply()
{
    // A refusal is an envelope: no exception, only empty members.
    const KUploadTicket refused = KUploadManager::parseTicket("{\"code\":30,\"errtip\":\"unknown\",\"data\":[]}");
    QVERIFY(refused.uptoken.isEmpty() && refused.httpurl.isEmpty() && refused.upmethod.isEmpty());
    QVERIFY(KUploadManager::parseTicket("{\"code\":0}").uptoken.isEmpty());
    QVERIFY(KUploadManager::parseTicket("{\"code\":0,\"data\":\"tk\"}").uptoken.isEmpty());
}

void TestUploadRules::unreadableRepliesThrow_data()
{
    QTest::addColumn<QString>("body");
    QTest::newRow("empty") << "";
    QTest::newRow("html") << "<html>502</html>";
    QTest::newRow("array") << "[]";
    QTest::newRow("no code") << "{\"data\":{\"uptoken\":\"tk\"}}";
}

void TestUploadRules::unreadableRepliesThrow()
{
    QFETCH(QString, body);
    bool ticketThrew = false;
    bool partsThrew = false;
    try {
        KUploadManager::parseTicket(body);
    } catch (const char* error) {
        ticketThrew = QString::fromUtf8(error) == QStringLiteral("请求异常!");
    }
    try {
        KUploadManager::parseUploadedParts(body);
    } catch (const char* error) {
        partsThrew = QString::fromUtf8(error) == QStringLiteral("请求异常!");
    }
    QVERIFY(ticketThrew);
    QVERIFY(partsThrew);
}

void TestUploadRules::uploadedParts()
{
    const Parts parts = KUploadManager::parseUploadedParts(
        "{\"code\":0,\"data\":[{\"uptoken\":\"tk\",\"partmd5\":\"m1\",\"partnumber\":2,\"partsize\":5242880},"
        "{\"uptoken\":\"tk\",\"partmd5\":7,\"partnumber\":2.5,\"partsize\":1000.9},"
        "{\"partnumber\":\"4\",\"partsize\":\"9\"},{\"partnumber\":-1,\"partsize\":-2.7},\"junk\"]}");
    QCOMPARE(parts.size(), 5);
    QCOMPARE(parts[0].uptoken, QString("tk"));
    QCOMPARE(parts[0].partmd5, QString("m1"));
    QCOMPARE(parts[0].partnumber, 2);
    QCOMPARE(parts[0].partsize, Seg);
    QCOMPARE(parts[1].partmd5, QString());
    QCOMPARE(parts[1].partnumber, 0);            // not integral
    QCOMPARE(parts[1].partsize, qint64(1000));   // truncated
    QCOMPARE(parts[2].partnumber, 0);            // texts are no numbers
    QCOMPARE(parts[2].partsize, qint64(0));
    QCOMPARE(parts[3].partnumber, -1);
    QCOMPARE(parts[3].partsize, qint64(-2));     // toward zero
    QCOMPARE(parts[4].partnumber, 0);

    QVERIFY(KUploadManager::parseUploadedParts("{\"code\":0,\"data\":{\"a\":1}}").isEmpty());
    QVERIFY(KUploadManager::parseUploadedParts("{\"code\":30,\"errtip\":\"gone\"}").isEmpty());
}

void TestUploadRules::resumeRule_data()
{
    QTest::addColumn<Parts>("parts");
    QTest::addColumn<int>("done");
    QTest::newRow("none") << Parts{} << 0;
    QTest::newRow("full, full, short") << Parts{part(1, Seg), part(2, Seg), part(3, 1000)} << 2;
    QTest::newRow("all full 1..4") << Parts{part(1, Seg), part(2, Seg), part(3, Seg), part(4, Seg)} << 4;
    QTest::newRow("first short") << Parts{part(1, 1000), part(2, Seg)} << 0;
    // The run ends at a gap: part 2 must be sent again, part 3 with it.
    QTest::newRow("gap after 1") << Parts{part(1, Seg), part(3, Seg), part(4, Seg)} << 1;
    QTest::newRow("no part 1") << Parts{part(2, Seg), part(3, Seg)} << 0;
    QTest::newRow("server order differs") << Parts{part(3, Seg), part(1, Seg), part(2, Seg)} << 3;
    QTest::newRow("oversized part") << Parts{part(1, Seg), part(2, Seg + 1)} << 1;
}

void TestUploadRules::resumeRule()
{
    QFETCH(Parts, parts);
    QFETCH(int, done);
    QCOMPARE(KUploadManager::doneParts(parts), done);
}

void TestUploadRules::serverVerdict_data()
{
    QTest::addColumn<QList<KNodeInfo>>("nodes");
    QTest::addColumn<KServerVerdict>("verdict");
    const qint64 size = 3;
    QTest::newRow("no node") << QList<KNodeInfo>{} << KServerVerdict::MissingFolder;
    QTest::newRow("folder only") << QList<KNodeInfo>{node(false)} << KServerVerdict::NewFile;
    QTest::newRow("same size and hash") << QList<KNodeInfo>{node(true, size, Md5), node(false)} << KServerVerdict::Identical;
    QTest::newRow("hash in upper case") << QList<KNodeInfo>{node(false), node(true, size, Md5.toUpper())}
                                        << KServerVerdict::Identical;
    // The mended rule: an edit that keeps the size is still uploaded.
    QTest::newRow("same size, other hash") << QList<KNodeInfo>{node(true, size, OtherMd5), node(false)}
                                           << KServerVerdict::NewVersion;
    QTest::newRow("other size, same hash") << QList<KNodeInfo>{node(true, size + 1, Md5), node(false)}
                                           << KServerVerdict::NewVersion;
    QTest::newRow("file without versions") << QList<KNodeInfo>{node(true, -1), node(false)} << KServerVerdict::NewVersion;
    QTest::newRow("two folders") << QList<KNodeInfo>{node(false), node(false)} << KServerVerdict::NewFile;
    QTest::newRow("three nodes") << QList<KNodeInfo>{node(false), node(false), node(false)}
                                 << KServerVerdict::MissingFolder;
}

void TestUploadRules::serverVerdict()
{
    QFETCH(QList<KNodeInfo>, nodes);
    QFETCH(KServerVerdict, verdict);
    QCOMPARE(KUploadRules::serverVerdict(nodes, 3, Md5), verdict);
}

QTEST_GUILESS_MAIN(TestUploadRules)
#include "tst_kuploadrules.moc"
