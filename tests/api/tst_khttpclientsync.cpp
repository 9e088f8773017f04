#include "api/khttpclientsync.h"
#include "api/khttptools.h"
#include "api/ktlssettings.h"
#include "khttppeer.h"
#include "ktestbasedir.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QtTest>

#include <thread>

using Params = QMap<QString, QString>;
Q_DECLARE_METATYPE(Params)

class TestKHttpClientSync : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void postSendsFormBody_data();
    void postSendsFormBody();
    void getBuildsQuery_data();
    void getBuildsQuery();
    void bodyReturnedWhateverTheStatus_data();
    void bodyReturnedWhateverTheStatus();
    void failedConnectionGivesEmptyBody_data();
    void failedConnectionGivesEmptyBody();
    void silentServerTimesOut();
    void timedOutReplyKeepsTheBytesThatArrived();
    void everyRequestCarriesThePolicy();
    void connectionReusedWithinThread();
    void managersEndWithTheirThreads();
};

void TestKHttpClientSync::cleanup()
{
    KTlsSettings::setTransferTimeoutForTesting(0);
}

void TestKHttpClientSync::postSendsFormBody_data()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<QByteArray>("body");
    // Expected encodings: python3 urllib.parse.quote(value, safe='').
    QTest::newRow("keys sorted, values encoded") << Params{{"op", "kx"}, {"name", "a b&c"}} << QByteArray("name=a%20b%26c&op=kx");
    QTest::newRow("utf-8 value") << Params{{"v", "云盘"}} << QByteArray("v=%E4%BA%91%E7%9B%98");
    QTest::newRow("utf-8 key unchanged") << Params{{"名", "x"}} << QByteArray("名=x");
    QTest::newRow("unreserved kept, rest encoded") << Params{{"v", "-._~*+/:=@!"}} << QByteArray("v=-._~%2A%2B%2F%3A%3D%40%21");
    QTest::newRow("empty value still sent") << Params{{"a", ""}, {"b", "1"}} << QByteArray("a=&b=1");
    QTest::newRow("case-sensitive key order") << Params{{"a", "1"}, {"B", "2"}} << QByteArray("B=2&a=1");
    QTest::newRow("no parameters") << Params{} << QByteArray();
}

void TestKHttpClientSync::postSendsFormBody()
{
    QFETCH(Params, params);
    QFETCH(QByteArray, body);
    QCOMPARE(KHttpClientSync::formBody(params), body);

    KHttpPeer peer;
    QCOMPARE(KHttpClientSync().doPost(peer.url("/api/x"), params), QStringLiteral("ok"));
    QCOMPARE(peer.requestCount(), 1);
    const KPeerRequest request = peer.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/x"));
    QCOMPARE(request.body, body);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.headerCount("Content-Type"), 1);
    QCOMPARE(request.headerCount("x-date") + request.headerCount("x-authorization"), 0);
}

void TestKHttpClientSync::getBuildsQuery_data()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("sorted pairs") << Params{{"b", "2"}, {"a", "x"}} << "/p?a=x&b=2" << QByteArray("/p?a=x&b=2");
    QTest::newRow("no parameters") << Params{} << "/p" << QByteArray("/p");
    QTest::newRow("space encoded on the way") << Params{{"q", "a b"}} << "/p?q=a b" << QByteArray("/p?q=a%20b");
}

void TestKHttpClientSync::getBuildsQuery()
{
    QFETCH(Params, params);
    QFETCH(QString, query);
    QFETCH(QByteArray, target);
    QCOMPARE(KHttpClientSync::queryUrl("http://h/p", params), "http://h" + query);

    KHttpPeer peer;
    QCOMPARE(KHttpClientSync().doGet(peer.url("/p"), params), QStringLiteral("ok"));
    QCOMPARE(peer.requestCount(), 1);
    const KPeerRequest request = peer.requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, target);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
}

void TestKHttpClientSync::bodyReturnedWhateverTheStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("expected");
    QTest::newRow("200") << 200 << QByteArray("{\"code\":0}") << "{\"code\":0}";
    QTest::newRow("500 body as is") << 500 << QByteArray("{\"code\":500,\"errtip\":\"boom\"}") << "{\"code\":500,\"errtip\":\"boom\"}";
    QTest::newRow("404 page") << 404 << QByteArray("<html>missing</html>") << "<html>missing</html>";
    QTest::newRow("cut at zero byte") << 200 << QByteArray("abc\0def", 7) << "abc";
    QTest::newRow("utf-8 decoded") << 200 << QByteArray("云盘") << "云盘";
    QTest::newRow("redirect not followed") << 302 << QByteArray("moved") << "moved";
}

void TestKHttpClientSync::bodyReturnedWhateverTheStatus()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, expected);
    KHttpPeer peer;
    peer.respond(status, answer, {{"Location", peer.url("/elsewhere").toUtf8()}});
    QCOMPARE(KHttpClientSync().doPost(peer.url("/x"), {{"op", "t"}}), expected);
    QCOMPARE(KHttpClientSync().doGet(peer.url("/x")), expected);
    QCOMPARE(peer.requestCount(), 2);
}

void TestKHttpClientSync::failedConnectionGivesEmptyBody_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("nothing listens") << QStringLiteral("http://127.0.0.1:%1/x").arg(KRawPeer::unusedPort());
    QTest::newRow("empty address") << QString();
    QTest::newRow("unknown scheme") << QStringLiteral("nope://h/x");
}

void TestKHttpClientSync::failedConnectionGivesEmptyBody()
{
    QFETCH(QString, url);
    QCOMPARE(KHttpClientSync().doPost(url, {{"op", "t"}}), QString());
}

void TestKHttpClientSync::silentServerTimesOut()
{
    KTestBaseDir base;
    base.installLogSink();
    KRawPeer silent;
    KTlsSettings::setTransferTimeoutForTesting(300);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(KHttpClientSync().doPost(silent.url("/x"), {{"op", "t"}}), QString());
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(silent.acceptedCount(), 1);
    QVERIFY2(elapsed >= 250, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 10000, qPrintable(QString::number(elapsed)));
    QCOMPARE(base.todaysLog(), QString());
}

void TestKHttpClientSync::timedOutReplyKeepsTheBytesThatArrived()
{
    // 100 bytes announced, 10 sent, then silence on the open connection.
    KRawPeer stalled("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"code\":0,", KRawPeer::AfterAnswer::StayOpen);
    KTlsSettings::setTransferTimeoutForTesting(300);
    QCOMPARE(KHttpClientSync().doPost(stalled.url("/x"), {{"op", "t"}}), QStringLiteral("{\"code\":0,"));
    QCOMPARE(KHttpClientSync().doGet(stalled.url("/x")), QStringLiteral("{\"code\":0,"));
    QCOMPARE(stalled.acceptedCount(), 2);
}

void TestKHttpClientSync::everyRequestCarriesThePolicy()
{
    const QNetworkRequest request = KHttpClientSync::buildRequest("https://h/a b", {{"x-b", "2"}, {"x-a", "1"}});
    QCOMPARE(request.url(), QUrl("https://h/a%20b"));
    QCOMPARE(request.transferTimeout(), KHttpTools::Default_ConnectTimeOut * 1000);
    QCOMPARE(request.transferTimeout(), 30000);
    QCOMPARE(request.sslConfiguration().peerVerifyMode(), QSslSocket::VerifyPeer);
    QCOMPARE(request.sslConfiguration().protocol(), QSsl::SecureProtocols);
    QCOMPARE(request.rawHeaderList(), (QList<QByteArray>{"Content-Type", "x-a", "x-b"}));
}

void TestKHttpClientSync::connectionReusedWithinThread()
{
    KHttpPeer peer;
    peer.keepConnectionsAlive(true);
    KHttpClientSync client;
    client.doPost(peer.url("/a"), {{"op", "1"}});
    client.doPost(peer.url("/b"), {{"op", "2"}});
    client.doGet(peer.url("/c"));
    const QList<KPeerRequest> seen = peer.requests();
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen.at(1).remotePort, seen.at(0).remotePort);
    QCOMPARE(seen.at(2).remotePort, seen.at(0).remotePort);
}

void TestKHttpClientSync::managersEndWithTheirThreads()
{
    KTestBaseDir base;
    base.installLogSink();
    KHttpPeer peer;
    QPointer<QNetworkAccessManager> fromStdThread;
    QString stdBody;
    std::thread worker([&] {
        stdBody = KHttpClientSync().doPost(peer.url("/std"), {{"op", "1"}});
        fromStdThread = KHttpClientSync::threadManager();
    });
    worker.join();
    QPointer<QNetworkAccessManager> fromQThread;
    QString qBody;
    QScopedPointer<QThread> qthread(QThread::create([&] {
        qBody = KHttpClientSync().doPost(peer.url("/q"), {{"op", "2"}});
        fromQThread = KHttpClientSync::threadManager();
    }));
    qthread->start();
    QVERIFY(qthread->wait(60000));
    QCOMPARE(stdBody, QStringLiteral("ok"));
    QCOMPARE(qBody, QStringLiteral("ok"));
    QVERIFY(fromStdThread.isNull());
    QVERIFY(fromQThread.isNull());
    QVERIFY(KHttpClientSync::threadManager() != nullptr);
    QVERIFY2(!base.todaysLog().contains("[Error]"), qPrintable(base.todaysLog()));
}

QTEST_GUILESS_MAIN(TestKHttpClientSync)
#include "tst_khttpclientsync.moc"
