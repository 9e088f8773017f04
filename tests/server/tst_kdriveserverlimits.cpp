#include "ktestapiclient.h"
#include "ktestserver.h"

#include <QTcpSocket>
#include <QtTest>

// What one request or one client can cost the running server: bodies it
// cannot read, uploads it would need too many parts for, connections held
// open, and a stop while work is under way.
class TestKDriveServerLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unreadableBodyLengthsAnsweredAtOnce_data();
    void unreadableBodyLengthsAnsweredAtOnce();
    void hugeUploadsNeedSensibleParts_data();
    void hugeUploadsNeedSensibleParts();
    void stopEndsWorkUnderWay();
    void idleConnectionsDoNotStarveNewRequests();

private:
    // One request on a kept-alive connection (opened when it is not); true
    // once the whole answer is in.
    static bool askOn(QTcpSocket& socket, int port);
    // Reads one whole answer to a request for an unknown address.
    static bool readAnswer(QTcpSocket& socket);
    // Sends raw bytes on a fresh connection and returns all the server sends
    // back until it closes the connection.
    QByteArray exchangeUntilClosed(const QByteArray& request);

    KTestServer server;
    std::unique_ptr<KTestApiClient> client;
};

void TestKDriveServerLimits::initTestCase()
{
    QVERIFY(server.start());
    client = std::make_unique<KTestApiClient>(server.baseUrl());
    QVERIFY(client->login(KTestServer::demoUser(), KTestServer::demoPassword()));
}

QByteArray TestKDriveServerLimits::exchangeUntilClosed(const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(server.port()));
    if (!socket.waitForConnected(10000))
        return QByteArray();
    socket.write(request);
    // The read time-out of a body is 30 s; closing has to come well before.
    socket.waitForDisconnected(20000);
    return socket.readAll();
}

bool TestKDriveServerLimits::askOn(QTcpSocket& socket, int port)
{
    if (socket.state() != QAbstractSocket::ConnectedState) {
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (!socket.waitForConnected(10000))
            return false;
    }
    socket.write("GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n");
    return readAnswer(socket);
}

bool TestKDriveServerLimits::readAnswer(QTcpSocket& socket)
{
    QByteArray answer;
    while (!answer.endsWith("}") && socket.waitForReadyRead(20000))
        answer += socket.readAll();
    return answer.startsWith("HTTP/1.1 404") && answer.endsWith("}");
}

void TestKDriveServerLimits::unreadableBodyLengthsAnsweredAtOnce_data()
{
    QTest::addColumn<QByteArray>("lengthHeader");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("minus one") << QByteArray("Content-Length: -1\r\n") << QByteArray("400");
    QTest::newRow("ten to the thirtieth") << "Content-Length: 1" + QByteArray(30, '0') + "\r\n" << QByteArray("400");
    QTest::newRow("two to the sixty-fourth minus one") << QByteArray("Content-Length: 18446744073709551615\r\n") << QByteArray("400");
    QTest::newRow("beyond the largest file") << QByteArray("Content-Length: 1099513724929\r\n") << QByteArray("400");
    QTest::newRow("not a number") << QByteArray("Content-Length: 12abc\r\n") << QByteArray("400");
    QTest::newRow("no length at all") << QByteArray() << QByteArray("411");
}

void TestKDriveServerLimits::unreadableBodyLengthsAnsweredAtOnce()
{
    QFETCH(QByteArray, lengthHeader);
    QFETCH(QByteArray, status);
    // The body sent is short, as a client that lied about the length would
    // send it; the connection stays open on the client's side.
    const QByteArray answer = exchangeUntilClosed("POST /klogin HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                                  + lengthHeader + "\r\nuserid=demo&password=demo123");
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status + " "), answer.left(40).constData());
    QVERIFY(answer.contains("\"code\":2"));
    // The server goes on serving.
    QVERIFY(client->login(KTestServer::demoUser(), KTestServer::demoPassword()));
}

void TestKDriveServerLimits::hugeUploadsNeedSensibleParts_data()
{
    const qint64 tib = qint64(1) << 40;
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<qint64>("chunkSize");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("parts");
    QTest::addColumn<bool>("lastPartSent");
    QTest::newRow("1 TiB in 256-byte chunks") << tib << qint64(256) << 2 << "" << false;
    QTest::newRow("2 GiB in 1-byte chunks") << (qint64(1) << 31) << qint64(1) << 2 << "" << false;
    QTest::newRow("1 TiB in 64 KiB chunks, too many parts") << tib << qint64(65536) << 2 << "" << false;
    QTest::newRow("chunks over 64 MiB") << (qint64(1) << 30) << (qint64(65) << 20) << 2 << "" << false;
    QTest::newRow("1 TiB in the client's 5 MiB chunks") << tib << qint64(5242880) << 0 << "209716" << false;
    QTest::newRow("1 TiB in 4 MiB chunks, the most parts") << tib << qint64(4194304) << 0 << "262144" << false;
    QTest::newRow("1 TiB with only its last part") << tib << qint64(4194304) << 0 << "262144" << true;
    QTest::newRow("a small file in one small chunk") << qint64(100) << qint64(100) << 0 << "1" << false;
}

void TestKDriveServerLimits::hugeUploadsNeedSensibleParts()
{
    QFETCH(qint64, fileSize);
    QFETCH(qint64, chunkSize);
    QFETCH(int, code);
    QFETCH(QString, parts);
    QFETCH(bool, lastPartSent);
    const QString path = QStringLiteral("@home-demo/huge/%1-%2-%3.bin").arg(fileSize).arg(chunkSize).arg(lastPartSent);
    const KTestApiClient::Answer asked = client->call("home-demo", {{"op", "kaskupload"}, {"filepath", path},
        {"filemd5", "0123456789abcdef0123456789abcdef"}, {"filesize", QString::number(fileSize)}, {"chunksize", QString::number(chunkSize)}});
    const QString token = asked.data().toObject().value("uptoken").toString();
    if (lastPartSent) {
        const qint64 last = parts.toLongLong();
        const QJsonObject ticket = client->exchange("home-demo", token, int(last)).data().toObject();
        QCOMPARE(client->sendPart(ticket, QByteArray(int(chunkSize), 'z'), (last - 1) * chunkSize).code(), 0);
    }
    // A commit without parts, or with a few far apart, costs nothing whatever
    // was announced: hashing a sparse 1 TiB data file would take about an hour.
    const KTestApiClient::Answer committed = client->submit(path, token);
    QCOMPARE(asked.code(), code);
    QCOMPARE(asked.data().toObject().value("partnumber").toString(), parts);
    QCOMPARE(committed.code(), code == 0 ? 31 : 30);
}

void TestKDriveServerLimits::stopEndsWorkUnderWay()
{
    KTestServer stopping;
    QVERIFY(stopping.start());
    QVERIFY(stopping.setFault({{"target", "klistdir"}, {"action", "delay"}, {"delayMs", 600000}}));
    const auto connect = [&stopping](QTcpSocket& socket, const QByteArray& bytes) {
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(stopping.port()));
        return socket.waitForConnected(10000) && socket.write(bytes) == bytes.size() && socket.waitForBytesWritten(10000);
    };
    KTestApiClient uploader(stopping.baseUrl());
    QVERIFY(uploader.login(KTestServer::demoUser(), KTestServer::demoPassword()));
    const QByteArray content(3 << 20, 'p');
    const QString token = uploader.askUpload("@home-demo/stop.bin", content).data().toObject().value("uptoken").toString();
    const QUrl part(uploader.exchange("home-demo", token, 1).data().toObject().value("httpurl").toString());
    // An operation held for ten minutes, a form body and a part body of which
    // only a little has arrived, and an idle kept-alive connection.
    QTcpSocket held;
    QTcpSocket halfBody;
    QTcpSocket halfPart;
    QTcpSocket idle;
    const QByteArray form = "Content-Type: application/x-www-form-urlencoded\r\n";
    QVERIFY(connect(held, "POST /api HTTP/1.1\r\nHost: x\r\n" + form + "Content-Length: 11\r\n\r\nop=klistdir"));
    QVERIFY(connect(halfBody, "POST /klogin HTTP/1.1\r\nHost: x\r\n" + form + "Content-Length: 1000\r\n\r\nuserid=demo"));
    QVERIFY(connect(halfPart, "PUT " + part.path().toLatin1() + '?' + part.query(QUrl::FullyEncoded).toLatin1()
                                  + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(content.size())
                                  + "\r\n\r\n" + content.left(1 << 20)));
    QVERIFY(connect(idle, "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n"));
    QVERIFY(idle.waitForReadyRead(10000));
    QVERIFY(stopping.waitForStat("klistdir", 1));
    QVERIFY(stopping.waitForStat("part", 1));
    // Without the stop reaching them they would hold it for minutes (the
    // fixture gives up after 20 s and kills the server).
    QVERIFY(stopping.stop());
}

void TestKDriveServerLimits::idleConnectionsDoNotStarveNewRequests()
{
    // Forty clients, more than the 24 workers always ready, keep their
    // connections after one answer each and begin their next request
    // without finishing it: each connection now holds a worker for up to
    // the 30 s read time-out.
    KTestServer busy;
    QVERIFY(busy.start());
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (int i = 0; i < 40; ++i) {
        open.push_back(std::make_unique<QTcpSocket>());
        QVERIFY2(askOn(*open.back(), busy.port()), qPrintable(QString::number(i)));
        open.back()->write("GET /nothing HTTP/1.1\r\n");
        QVERIFY(open.back()->flush());
    }
    // A new client is served while they stay open, and none of them was
    // closed to make room: each finishes its request on its own connection.
    KTestApiClient fresh(busy.baseUrl());
    QVERIFY(fresh.login(KTestServer::demoUser(), KTestServer::demoPassword()));
    for (const auto& socket : open) {
        socket->write("Host: x\r\n\r\n");
        QVERIFY(readAnswer(*socket));
    }
}

QTEST_GUILESS_MAIN(TestKDriveServerLimits)
#include "tst_kdriveserverlimits.moc"
