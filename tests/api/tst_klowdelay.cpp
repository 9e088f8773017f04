#include "api/klowdelay.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

class TestKLowDelay : public QObject
{
    Q_OBJECT

private slots:
    void switchesEachConnectionOfTheRepliesOnce();
};

namespace {

bool noDelay(qintptr fd)
{
    int on = -1;
    socklen_t length = sizeof(on);
    getsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &on, &length);
    return on != 0;
}

// Answers every request on a connection with an empty 200, kept alive.
void answerRequests(QTcpSocket* socket)
{
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
        if (socket->readAll().contains("\r\n\r\n"))
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    });
}

} // namespace

void TestKLowDelay::switchesEachConnectionOfTheRepliesOnce()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QList<QTcpSocket*> accepted;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        accepted << server.nextPendingConnection();
        answerRequests(accepted.last());
    });
    QTcpServer elsewhere; // a connection to another port is not ours to touch
    QVERIFY(elsewhere.listen(QHostAddress::LocalHost));
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, elsewhere.serverPort());
    QVERIFY(other.waitForConnected(5000));

    QNetworkAccessManager manager;
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()));
    for (int round = 0; round < 2; ++round) {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QNetworkReply* reply = manager.post(request, QByteArray("a=1"));
        KLowDelay::follow(reply);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        reply->deleteLater();
    }
    QVERIFY(!accepted.isEmpty());
    QVERIFY(!noDelay(other.socketDescriptor()));
    QVERIFY(!noDelay(accepted.first()->socketDescriptor())); // the server's end is not a client connection
    // Every client end was switched as its reply ended: none is left to switch.
    QCOMPARE(KLowDelay::applyToNewSockets(server.serverPort()), 0);
}

QTEST_GUILESS_MAIN(TestKLowDelay)
#include "tst_klowdelay.moc"
