#include "ktestapiclient.h"
#include "ktestserver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QtTest>

// The fault switches later client tests rely on, and the request counters.
class TestKDriveServerFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void htmlErrorPageOnce();
    void emptyBody();
    void chosenEnvelope();
    void delayedReply();
    void droppedOperation();
    void downloadDroppedAfterBytesThenResumed();
    void fullAnswerDespiteRange();
    void skipLetsRequestsThrough();
    void countersPerOperation();
    void adminNeedsTheToken();

private:
    KTestApiClient::Answer listRoot();

    KTestServer server;
    std::unique_ptr<KTestApiClient> client;
    const QString space = KTestServer::demoPersonalSpace();
};

void TestKDriveServerFaults::initTestCase()
{
    QVERIFY(server.start());
    client = std::make_unique<KTestApiClient>(server.baseUrl());
    QVERIFY(client->login(KTestServer::demoUser(), KTestServer::demoPassword()));
}

void TestKDriveServerFaults::init()
{
    QVERIFY(server.clearFaults());
}

KTestApiClient::Answer TestKDriveServerFaults::listRoot()
{
    return client->call(space, {{"op", "klistdir"}, {"dirpath", "@" + space}, {"depth", "1"}});
}

void TestKDriveServerFaults::htmlErrorPageOnce()
{
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "html"}}));
    const KTestApiClient::Answer faulty = listRoot();
    QCOMPARE(faulty.status, 500);
    QCOMPARE(faulty.body, QByteArray("<html><body>error</body></html>"));
    QVERIFY(!faulty.envelope().contains("code"));
    QCOMPARE(listRoot().code(), 0);
}

void TestKDriveServerFaults::emptyBody()
{
    QVERIFY(server.setFault({{"target", "klogin"}, {"action", "empty"}}));
    KTestApiClient other(server.baseUrl());
    const KTestApiClient::Answer answer = other.loginAt(server.baseUrl() + "/klogin", "demo", "demo123");
    QCOMPARE(answer.status, 200);
    QVERIFY(answer.body.isEmpty());
    QVERIFY(other.login("demo", "demo123"));
}

void TestKDriveServerFaults::chosenEnvelope()
{
    QVERIFY(server.setFault({{"target", "ksubmitupload"}, {"action", "envelope"},
                             {"envelope", QJsonObject{{"code", 7}, {"errtip", "x"}, {"data", "abcdefgh<p>"}}}}));
    const KTestApiClient::Answer answer = client->upload("@" + space + "/env.txt", "content");
    QCOMPARE(answer.code(), 7);
    QCOMPARE(answer.data().toString(), QStringLiteral("abcdefgh<p>"));
    QVERIFY(!server.files(space).contains("env.txt"));
}

void TestKDriveServerFaults::delayedReply()
{
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "delay"}, {"delayMs", 400}}));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(listRoot().code(), 0);
    QVERIFY2(timer.elapsed() >= 400, qPrintable(QString::number(timer.elapsed())));
}

void TestKDriveServerFaults::droppedOperation()
{
    // Qt resends a request once its connection closes without an answer;
    // a drop that outlasts the resends is seen as a network error.
    QVERIFY(server.setFault({{"target", "kgetnodes"}, {"action", "drop"}, {"times", 10}}));
    const KTestApiClient::Answer answer = client->call(space, {{"op", "kgetnodes"}, {"paths", "[\"@" + space + "\"]"}});
    QVERIFY(answer.error != QNetworkReply::NoError);
    QVERIFY(answer.body.isEmpty());
    const qint64 attempts = server.stats().value("kgetnodes");
    QVERIFY(attempts >= 1 && attempts <= 10);
    QVERIFY(server.clearFaults());
    QCOMPARE(client->call(space, {{"op", "kgetnodes"}, {"paths", "[\"@" + space + "\"]"}}).code(), 0);
}

void TestKDriveServerFaults::downloadDroppedAfterBytesThenResumed()
{
    QByteArray content(3 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((i * 7) ^ (i >> 11));
    QVERIFY(server.putFile(space, "drop/d.bin", content));
    const QString url = client->downloadUrl("@" + space + "/drop/d.bin");
    QVERIFY(server.setFault({{"target", "download"}, {"action", "drop"}, {"afterBytes", 1000000}}));
    const KTestApiClient::Answer cut = client->rawGet(url);
    QCOMPARE(cut.status, 200);
    QCOMPARE(cut.headers.value("content-length"), QByteArray::number(content.size()));
    QCOMPARE(cut.body, content.left(1000000));
    const KTestApiClient::Answer rest = client->get(url, "bytes=" + QByteArray::number(cut.body.size()) + "-");
    QCOMPARE(rest.status, 206);
    QCOMPARE(cut.body + rest.body, content);
}

void TestKDriveServerFaults::fullAnswerDespiteRange()
{
    QVERIFY(server.putFile(space, "full/f.bin", "0123456789"));
    const QString url = client->downloadUrl("@" + space + "/full/f.bin");
    QVERIFY(server.setFault({{"target", "download"}, {"action", "full200"}}));
    const KTestApiClient::Answer answer = client->get(url, "bytes=5-");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.body, QByteArray("0123456789"));
    QCOMPARE(client->get(url, "bytes=5-").body, QByteArray("56789"));
}

void TestKDriveServerFaults::skipLetsRequestsThrough()
{
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "status"}, {"status", 503}, {"skip", 2}, {"times", 2}}));
    QCOMPARE(listRoot().status, 200);
    QCOMPARE(listRoot().status, 200);
    QCOMPARE(listRoot().status, 503);
    QCOMPARE(listRoot().status, 503);
    QCOMPARE(listRoot().status, 200);
}

void TestKDriveServerFaults::countersPerOperation()
{
    QCOMPARE(client->upload("@" + space + "/count.bin", QByteArray(6 * 1024 * 1024, 'c')).code(), 0);
    QCOMPARE(listRoot().code(), 0);
    KTestApiClient stranger(server.baseUrl());
    QCOMPARE(stranger.post(server.baseUrl() + "/api", "op=klistdir&dirpath=%40x", {{"Content-Type", "application/x-www-form-urlencoded"}}).code(), 12);
    QVERIFY(server.waitForStat("klistdir", 2));
    const QMap<QString, qint64> counters = server.stats();
    QCOMPARE(counters.value("kaskupload"), qint64(1));
    QCOMPARE(counters.value("kexchangeupload"), qint64(2));
    QCOMPARE(counters.value("part"), qint64(2));
    QCOMPARE(counters.value("ksubmitupload"), qint64(1));
    QCOMPARE(counters.value("klistdir"), qint64(2));
    QCOMPARE(counters.value("refused"), qint64(1));
    QVERIFY(counters.value("partBytes") >= 6 * 1024 * 1024);
    QVERIFY(server.clearFaults());
    QVERIFY(server.stats().isEmpty());
}

void TestKDriveServerFaults::adminNeedsTheToken()
{
    KTestApiClient stranger(server.baseUrl());
    QCOMPARE(stranger.get(server.baseUrl() + "/_admin/stats").status, 403);
    QCOMPARE(stranger.post(server.baseUrl() + "/_admin/fault", R"({"target":"*","action":"html","times":0})",
                           {{"X-Admin-Token", "guess"}}).status, 403);
    QCOMPARE(listRoot().code(), 0);
}

QTEST_GUILESS_MAIN(TestKDriveServerFaults)
#include "tst_kdriveserverfaults.moc"
