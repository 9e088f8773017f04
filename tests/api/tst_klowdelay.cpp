#include "api/khttpclientsync.h"
#include "api/klowdelay.h"
#include "ktestserver.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

class TestKLowDelay : public QObject
{
    Q_OBJECT

private slots:
    void switchesTheClientsConnectionsOnly();
};

namespace {

bool noDelay(int fd)
{
    int on = 0;
    socklen_t length = sizeof(on);
    return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on != 0;
}

// The process's sockets connected to a loopback port.
QList<int> connectedTo(quint16 port)
{
    QList<int> found;
    for (const QFileInfo& entry : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        const int fd = entry.fileName().toInt();
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET
            && ntohs(address.sin_port) == port)
            found << fd;
    }
    return found;
}

} // namespace

// Requests through the product's client: every connection it opened to the
// server is switched by the time its reply ends, and nothing else is.
void TestKLowDelay::switchesTheClientsConnectionsOnly()
{
    KTestServer server;
    QVERIFY(server.start());
    QTcpServer elsewhere;
    QVERIFY(elsewhere.listen(QHostAddress::LocalHost));
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, elsewhere.serverPort());
    QVERIFY(other.waitForConnected(5000));

    const QString url = QStringLiteral("http://127.0.0.1:%1/api").arg(server.port());
    for (int round = 0; round < 3; ++round)
        QVERIFY(!KHttpClientSync().doPost(url, {{"op", "kgetnodes"}}, {}).isEmpty());
    const QList<int> client = connectedTo(quint16(server.port()));
    QVERIFY(!client.isEmpty());
    for (int fd : client)
        QVERIFY(noDelay(fd));
    QVERIFY(!noDelay(int(other.socketDescriptor())));
    QCOMPARE(KLowDelay::applyToNewSockets(quint16(server.port())), 0); // each was switched once, already
    QVERIFY(KLowDelay::wrapsConnect());

    // The scan a process without the wrapper relies on: a connection to the
    // port opened elsewhere is switched once; the other port's stays as it is.
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, quint16(server.port()));
    QVERIFY(plain.waitForConnected(5000));
    QVERIFY(!noDelay(int(plain.socketDescriptor())));
    QCOMPARE(KLowDelay::applyToNewSockets(quint16(server.port())), 1);
    QVERIFY(noDelay(int(plain.socketDescriptor())));
    QVERIFY(!noDelay(int(other.socketDescriptor())));
}

QTEST_GUILESS_MAIN(TestKLowDelay)
#include "tst_klowdelay.moc"
