#include "khttppeer.h"
#include "ktestbasedir.h"
#include "login/ksession.h"

#include <QtTest>

namespace {

QString envelope(const QString& data)
{
    return "{\"code\":0,\"errtip\":\"\",\"data\":" + data + "}";
}

KAccessData previousRecord()
{
    KAccessData a;
    a.userid = "old-uid";
    a.username = "old-name";
    a.tenantid = "old-tenant";
    a.ext.insert("k", QJsonValue(1));
    a.accesskeyid = "old-id";
    a.accesskeysecret = "old-secret";
    a.accessdomain = "old-domain";
    a.accesskeytime = "old-time";
    KSpaceInfo s;
    s.spaceid = "old";
    a.spaces = {s};
    return a;
}

QStringList spaceIds(const QList<KSpaceInfo>& spaces)
{
    QStringList ids;
    for (const KSpaceInfo& s : spaces)
        ids << s.spaceid;
    return ids;
}

bool sameRecord(const KAccessData& a, const KAccessData& b)
{
    return a.userid == b.userid && a.username == b.username && a.tenantid == b.tenantid && a.ext == b.ext
        && a.accesskeyid == b.accesskeyid && a.accesskeysecret == b.accesskeysecret
        && a.accessdomain == b.accessdomain && a.accesskeytime == b.accesskeytime
        && spaceIds(a.spaces) == spaceIds(b.spaces);
}

} // namespace

class TestKSession : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fullResponseFillsRecord();
    void spacesFilter_data();
    void spacesFilter();
    void accessKey_data();
    void accessKey();
    void absentMembersKeepFields_data();
    void absentMembersKeepFields();
    void noDataObjectLeavesRecord_data();
    void noDataObjectLeavesRecord();
    void notEnvelopeThrowsAfterBaseServer();
    void loginRequestIsUnsignedForm();
};

void TestKSession::init()
{
    WexoraBase::accessdata = previousRecord();
    WexoraBase::baseServer = QStringLiteral("old-base");
}

void TestKSession::cleanup()
{
    WexoraBase::accessdata = KAccessData();
    WexoraBase::baseServer.clear();
}

void TestKSession::fullResponseFillsRecord()
{
    KSession::parseLoginResponse("https://d.example", envelope(R"({
        "userid":"u1","username":"Ann","tenantid":"t1","ext":{"quota":5,"tag":"x"},
        "accesskey":{"accesskeyid":"AK","accesskeysecret":"SK","accessdomain":"dom","accesskeytime":"99"},
        "spaces":[{"spacetype":"personal","spaceid":"s1","spaceapi":"/api","spacename":"Mine","spaceroot":"r1"}]})"));
    const KAccessData& a = WexoraBase::accessdata;
    QCOMPARE(WexoraBase::baseServer, QStringLiteral("https://d.example"));
    QCOMPARE((QStringList{a.userid, a.username, a.tenantid}), (QStringList{"u1", "Ann", "t1"}));
    QCOMPARE(a.ext, (QMap<QString, QJsonValue>{{"quota", 5}, {"tag", "x"}}));
    QCOMPARE((QStringList{a.accesskeyid, a.accesskeysecret, a.accessdomain, a.accesskeytime}),
             (QStringList{"AK", "SK", "dom", "99"}));
    QCOMPARE(a.spaces.size(), 1);
    const KSpaceInfo& s = a.spaces.first();
    QCOMPARE((QStringList{s.spaceid, s.spacename, s.spaceapi, s.spaceroot}), (QStringList{"s1", "Mine", "/api", "r1"}));
}

void TestKSession::spacesFilter_data()
{
    QTest::addColumn<QString>("spaces");
    QTest::addColumn<QStringList>("ids");
    QTest::newRow("system types skipped, order kept")
        << R"([{"spacetype":"systemspace","spaceid":"a"},{"spacetype":"team","spaceid":"b"},
              {"spacetype":"systemfile","spaceid":"c"},{"spaceid":"d"}])"
        << QStringList{"b", "d"};
    QTest::newRow("letter case differs: kept") << R"([{"spacetype":"SystemSpace","spaceid":"a"}])" << QStringList{"a"};
    QTest::newRow("non-string spacetype kept") << R"([{"spacetype":1,"spaceid":"a"}])" << QStringList{"a"};
    QTest::newRow("numeric spaceid empty") << R"([{"spaceid":7}])" << QStringList{""};
    QTest::newRow("non-object entry is an empty space") << R"([5])" << QStringList{""};
    QTest::newRow("empty array empties") << "[]" << QStringList();
    QTest::newRow("not an array empties") << "\"s1\"" << QStringList();
    QTest::newRow("absent keeps previous") << "" << QStringList{"old"};
}

void TestKSession::spacesFilter()
{
    QFETCH(QString, spaces);
    QFETCH(QStringList, ids);
    const QString member = spaces.isEmpty() ? QString() : ",\"spaces\":" + spaces;
    KSession::parseLoginResponse("b", envelope("{\"userid\":\"u\"" + member + "}"));
    QCOMPARE(spaceIds(WexoraBase::accessdata.spaces), ids);
}

void TestKSession::accessKey_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QStringList>("fields"); // id, secret, domain, time
    QTest::newRow("only id: others emptied") << R"("accesskey":{"accesskeyid":"N"})" << QStringList{"N", "", "", ""};
    QTest::newRow("non-string values empty") << R"("accesskey":{"accesskeyid":1,"accesskeysecret":"S"})"
                                             << QStringList{"", "S", "", ""};
    QTest::newRow("empty object keeps") << R"("accesskey":{})"
                                        << QStringList{"old-id", "old-secret", "old-domain", "old-time"};
    QTest::newRow("not an object keeps") << R"("accesskey":"AK")"
                                         << QStringList{"old-id", "old-secret", "old-domain", "old-time"};
    QTest::newRow("absent keeps") << R"("userid":"u")"
                                  << QStringList{"old-id", "old-secret", "old-domain", "old-time"};
}

void TestKSession::accessKey()
{
    QFETCH(QString, member);
    QFETCH(QStringList, fields);
    KSession::parseLoginResponse("b", envelope("{" + member + "}"));
    const KAccessData& a = WexoraBase::accessdata;
    QCOMPARE((QStringList{a.accesskeyid, a.accesskeysecret, a.accessdomain, a.accesskeytime}), fields);
}

void TestKSession::absentMembersKeepFields_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QStringList>("identity"); // userid, username, tenantid
    QTest::addColumn<int>("extSize");
    QTest::newRow("only username") << R"({"username":"New"})" << QStringList{"old-uid", "New", "old-tenant"} << 1;
    QTest::newRow("non-string empties") << R"({"userid":5,"tenantid":null})" << QStringList{"", "old-name", ""} << 1;
    QTest::newRow("ext not an object empties") << R"({"ext":"x"})" << QStringList{"old-uid", "old-name", "old-tenant"}
                                               << 0;
    QTest::newRow("ext replaced") << R"({"ext":{"a":1,"b":2}})" << QStringList{"old-uid", "old-name", "old-tenant"} << 2;
}

void TestKSession::absentMembersKeepFields()
{
    QFETCH(QString, data);
    QFETCH(QStringList, identity);
    QFETCH(int, extSize);
    KSession::parseLoginResponse("b", envelope(data));
    const KAccessData& a = WexoraBase::accessdata;
    QCOMPARE((QStringList{a.userid, a.username, a.tenantid}), identity);
    QCOMPARE(a.ext.size(), extSize);
    QCOMPARE(spaceIds(a.spaces), QStringList{"old"});
}

void TestKSession::noDataObjectLeavesRecord_data()
{
    QTest::addColumn<QString>("response");
    QTest::newRow("no data") << "{\"code\":0}";
    QTest::newRow("empty object") << envelope("{}");
    QTest::newRow("redirect string") << envelope(R"("{\"redirect\":\"/klogin2\"}")");
    QTest::newRow("array") << envelope(R"([{"userid":"x"}])");
    QTest::newRow("rejected login") << "{\"code\":401,\"errtip\":\"bad password\"}";
}

void TestKSession::noDataObjectLeavesRecord()
{
    QFETCH(QString, response);
    KSession::parseLoginResponse("https://new", response);
    QCOMPARE(WexoraBase::baseServer, QStringLiteral("https://new"));
    QVERIFY(sameRecord(WexoraBase::accessdata, previousRecord()));
}

void TestKSession::notEnvelopeThrowsAfterBaseServer()
{
    QString caught;
    try {
        KSession::parseLoginResponse("https://new", "<html>bad gateway</html>");
    } catch (const char* message) {
        caught = QString::fromUtf8(message);
    }
    QCOMPARE(caught, QStringLiteral("请求异常!"));
    QCOMPARE(WexoraBase::baseServer, QStringLiteral("https://new"));
    QVERIFY(sameRecord(WexoraBase::accessdata, previousRecord()));
}

void TestKSession::loginRequestIsUnsignedForm()
{
    KTestBaseDir base;
    base.installLogSink();
    KHttpPeer peer;
    peer.respond(200, envelope("{}").toUtf8());
    // The record still holds a key from before: the login must not use it.
    const QString reply = KSession::sendLoginRequest(peer.url("/klogin"), "user 1", "p&w=云");
    QCOMPARE(reply, envelope("{}"));
    QCOMPARE(peer.requestCount(), 1);
    const KPeerRequest request = peer.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/klogin"));
    // python3 urllib.parse.quote(value, safe='') for each value
    QCOMPARE(request.body, QByteArray("mac=%5B%5D&password=p%26w%3D%E4%BA%91&userid=user%201"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.headerCount("x-date") + request.headerCount("x-authorization"), 0);
    QVERIFY(!base.todaysLog().contains("p&w"));
}

QTEST_GUILESS_MAIN(TestKSession)
#include "tst_ksession.moc"
