#include "khttppeer.h"
#include "ktestbasedir.h"
#include "login/ksession.h"
#include "sync/knodetools.h"

#include <QtTest>

class TestKNodeTools : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void emptyAnswer();
    void twoNodes();
    void missingMembersAndConversions();
    void unreadableBodies_data();
    void unreadableBodies();
    void failedCodeStillReadsData();
    void requestParameters();
    void getNodesGoesToTheFirstPathsSpace();
    void listDirSendsItsFixedFlags();
};

namespace {

QString envelope(const QString& data, int code = 0)
{
    return QStringLiteral("{\"code\":%1,\"errtip\":\"\",\"data\":%2}").arg(code).arg(data);
}

const QString twoNodesData = QStringLiteral(
    "[{\"path\":\"@s1/d/a.txt\",\"showpath\":\"/d/a.txt\",\"cuser\":\"u\",\"isfile\":true,\"ctime\":1700000000,"
    "\"cnum\":3,\"versions\":[{\"datahash\":\"h2\",\"datasize\":12,\"vuser\":\"u\",\"vtime\":5,\"version\":2},"
    "{\"datahash\":\"h1\",\"datasize\":10,\"vuser\":\"v\",\"vtime\":4,\"version\":1}]},"
    "{\"path\":\"@s1/d/sub\",\"isfile\":false,\"versions\":[]}]");

} // namespace

void TestKNodeTools::cleanup()
{
    WexoraBase::accessdata = KAccessData();
    WexoraBase::baseServer.clear();
}

void TestKNodeTools::emptyAnswer()
{
    const QString body = envelope("[]");
    QVERIFY(!KNodeTools::parseNode(body).found);
    QVERIFY(KNodeTools::parseNodeList(body).isEmpty());
}

void TestKNodeTools::twoNodes()
{
    const QString body = envelope(twoNodesData);
    const KNodeInfo first = KNodeTools::parseNode(body);
    QVERIFY(first.found);
    QCOMPARE(first.path, QStringLiteral("@s1/d/a.txt"));
    QCOMPARE(first.showpath, QStringLiteral("/d/a.txt"));
    QVERIFY(first.isfile);
    QCOMPARE(first.ctime, qint64(1700000000));
    QCOMPARE(first.cnum, qint64(3));
    QCOMPARE(first.versions.size(), 2);
    QCOMPARE(first.versions[0].datahash, QStringLiteral("h2"));
    QCOMPARE(first.versions[0].datasize, qint64(12));
    QCOMPARE(first.versions[1].vuser, QStringLiteral("v"));
    QCOMPARE(first.versions[1].version, qint64(1));

    const QList<KNodeInfo> nodes = KNodeTools::parseNodeList(body);
    QCOMPARE(nodes.size(), 2);
    QCOMPARE(nodes[0].path, first.path);
    QCOMPARE(nodes[1].path, QStringLiteral("@s1/d/sub"));
    QVERIFY(nodes[1].found);
    QVERIFY(!nodes[1].isfile);
}

void TestKNodeTools::missingMembersAndConversions()
{
    const KNodeInfo node = KNodeTools::parseNode(envelope(
        "[{\"path\":7,\"ctime\":1.9e3,\"cnum\":-2.7,\"isfile\":\"true\","
        "\"versions\":[{\"datahash\":\"only\"},{\"datasize\":\"12\"}]}]"));
    QVERIFY(node.found);
    QCOMPARE(node.path, QString());
    QCOMPARE(node.ctime, qint64(1900));
    QCOMPARE(node.cnum, qint64(-2));
    QVERIFY(!node.isfile);
    QCOMPARE(node.versions.size(), 2);
    QCOMPARE(node.versions[0].datahash, QStringLiteral("only"));
    QCOMPARE(node.versions[0].datasize, qint64(0));
    QCOMPARE(node.versions[1].datasize, qint64(0));

    const KNodeInfo bare = KNodeTools::parseNode(envelope("[{\"path\":\"@s1/x\"}]"));
    QVERIFY(bare.found);
    QVERIFY(!bare.isfile);
    QVERIFY(bare.versions.isEmpty());
}

void TestKNodeTools::unreadableBodies_data()
{
    QTest::addColumn<QString>("body");
    QTest::newRow("empty") << "";
    QTest::newRow("html") << "<html><body>502 Bad Gateway</body></html>";
    QTest::newRow("truncated") << "{\"code\":0,\"data\":[";
    QTest::newRow("no code") << "{\"data\":[]}";
}

void TestKNodeTools::unreadableBodies()
{
    QFETCH(QString, body);
    QVERIFY(!KNodeTools::parseNode(body).found);
    bool thrown = false;
    try {
        KNodeTools::parseNodeList(body);
    } catch (const char* error) {
        thrown = QString::fromUtf8(error) == QStringLiteral("请求异常!");
    }
    QVERIFY(thrown);
}

void TestKNodeTools::failedCodeStillReadsData()
{
    KTestBaseDir base;
    base.installLogSink();
    QCOMPARE(KNodeTools::parseNodeList(envelope(twoNodesData, 5)).size(), 2);
    QVERIFY(!KNodeTools::parseNode(QStringLiteral("{\"code\":4,\"errtip\":\"no such path\"}")).found);
    QVERIFY(base.todaysLog().contains(QStringLiteral("[请求失败] no such path")));
}

void TestKNodeTools::requestParameters()
{
    const auto nodes = KNodeTools::getNodesParams({QStringLiteral("@s1/a b/云.txt")});
    QCOMPARE(nodes.keys(), (QStringList{"op", "paths"}));
    QCOMPARE(nodes.value("op"), QStringLiteral("kgetnodes"));
    QCOMPARE(nodes.value("paths"), QStringLiteral("[\"@s1/a b/云.txt\"]"));
    QCOMPARE(KNodeTools::getNodesParams({"@s1/x", "@s1"}).value("paths"), QStringLiteral("[\"@s1/x\",\"@s1\"]"));

    const auto list = KNodeTools::listDirParams("@s1/d", true, false, 1, false);
    QCOMPARE(list, (QMap<QString, QString>{{"op", "klistdir"}, {"dirpath", "@s1/d"}, {"hasfile", "false"},
                                            {"hasdir", "true"}, {"hasmeta", "false"}, {"depth", "1"}}));
}

void TestKNodeTools::getNodesGoesToTheFirstPathsSpace()
{
    KHttpPeer first;
    KHttpPeer second;
    first.respond(200, envelope("[]").toUtf8());
    second.respond(200, envelope("[]").toUtf8());
    WexoraBase::baseServer = first.url();
    WexoraBase::accessdata.accesskeyid = "kid";
    WexoraBase::accessdata.accesskeysecret = "secret";
    WexoraBase::accessdata.accessdomain = "dom";
    WexoraBase::accessdata.spaces = {{"s1", "one", "/api/one", "@s1"}, {"s2", "two", second.url("/api/two"), "@s2"}};

    KNodeTools::getNodes({"@s2/b.txt", "@s1/a.txt"});
    QCOMPARE(first.requestCount(), 0);
    QCOMPARE(second.requestCount(), 1);
    const KPeerRequest request = second.requests().first();
    QCOMPARE(request.target, QByteArray("/api/two"));
    QCOMPARE(request.body, QByteArray("op=kgetnodes&paths=%5B%22%40s2%2Fb.txt%22%2C%22%40s1%2Fa.txt%22%5D"));
    QVERIFY(request.header("x-authorization").startsWith("dom kid:"));

    KNodeTools::getNode("@s1/a.txt");
    QCOMPARE(first.requestCount(), 1);
    QCOMPARE(first.requests().first().target, QByteArray("/api/one"));
}

void TestKNodeTools::listDirSendsItsFixedFlags()
{
    KHttpPeer peer;
    peer.respond(200, envelope("[]").toUtf8());
    WexoraBase::baseServer = peer.url();
    WexoraBase::accessdata.spaces = {{"s1", "one", "/api", "@s1"}};
    KNodeTools::listDir("@s1/d", true, true);
    QCOMPARE(peer.requests().value(0).body,
             QByteArray("depth=1&dirpath=%40s1%2Fd&hasdir=true&hasfile=true&hasmeta=false&op=klistdir"));
}

QTEST_GUILESS_MAIN(TestKNodeTools)
#include "tst_knodetools.moc"
