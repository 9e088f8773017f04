#include "api/klowdelay.h"

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
    void switchesOnNagleFreeSendingForOpenConnections();
};

namespace {

bool noDelay(qintptr fd)
{
    int on = -1;
    socklen_t length = sizeof(on);
    getsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &on, &length);
    return on != 0;
}

} // namespace

void TestKLowDelay::switchesOnNagleFreeSendingForOpenConnections()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket* accepted = server.nextPendingConnection();
    QVERIFY(!noDelay(client.socketDescriptor()));
    QVERIFY(!noDelay(accepted->socketDescriptor()));

    QVERIFY(KLowDelay::applyToOpenSockets() >= 2);
    QVERIFY(noDelay(client.socketDescriptor()));
    QVERIFY(noDelay(accepted->socketDescriptor()));
    QCOMPARE(KLowDelay::applyToOpenSockets(), 0); // nothing left to switch
}

QTEST_GUILESS_MAIN(TestKLowDelay)
#include "tst_klowdelay.moc"
