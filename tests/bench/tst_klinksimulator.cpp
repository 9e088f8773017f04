// The link simulator as a process between plain sockets and a local peer:
// delay and rate have lower bounds a correct link cannot beat (and upper
// bounds five times as loose as the link), bytes arrive whole and in order
// over hundreds of connections, and ends and resets cross in both directions.
#include <QProcess>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

QByteArray pattern(int size, unsigned seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    std::mt19937 random(seed);
    for (char& c : bytes)
        c = char(random());
    return bytes;
}

bool sendAll(int fd, const char* data, qint64 size)
{
    for (qint64 sent = 0; sent < size;) {
        const ssize_t n = ::send(fd, data + sent, size_t(size - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// Reads until the end; -errno on a failed read.
qint64 readToEnd(int fd, QByteArray* into = nullptr)
{
    char block[65536];
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, block, sizeof block, 0);
        if (n < 0)
            return -errno;
        if (n == 0)
            return total;
        total += n;
        if (into)
            into->append(block, int(n));
    }
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(quint16(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The far end. The first byte of a connection says what to do: 'E' echo
// as it comes until the end, then end too; 'S' swallow until the end, then answer the
// count; 'D' + 4-byte count: send that much of pattern(count, 7) and close;
// 'H' hold until the end or an error and note which; 'C' close at once.
class Peer
{
public:
    Peer()
    {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 1024);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        acceptor = std::thread([this] { acceptAll(); });
    }

    ~Peer()
    {
        ::shutdown(listener, SHUT_RDWR);
        acceptor.join();
        for (std::thread& t : workers)
            t.join();
        ::close(listener);
    }

    // Waits for the next 'H' connection's end: 0 (orderly) or -errno.
    bool waitHeldEnd(qint64* outcome)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(30), [this] { return !holdEnds.empty(); }))
            return false;
        *outcome = holdEnds.front();
        holdEnds.erase(holdEnds.begin());
        return true;
    }

    int port = 0;

private:
    void acceptAll()
    {
        for (int fd; (fd = ::accept(listener, nullptr, nullptr)) >= 0;)
            workers.emplace_back([this, fd] { serve(fd); });
    }

    void serve(int fd)
    {
        char mode = 0;
        if (::recv(fd, &mode, 1, MSG_WAITALL) == 1)
            act(fd, mode);
        ::close(fd);
    }

    void act(int fd, char mode)
    {
        quint32 count = 0;
        if (mode == 'E' && echo(fd))
            ::shutdown(fd, SHUT_WR);
        if (mode == 'S')
            count = quint32(readToEnd(fd));
        if (mode == 'S')
            sendAll(fd, reinterpret_cast<const char*>(&count), 4);
        if (mode == 'D' && ::recv(fd, &count, 4, MSG_WAITALL) == 4)
            sendAll(fd, pattern(int(count), 7).constData(), count);
        if (mode == 'H')
            noteHeldEnd(readToEnd(fd));
    }

    static bool echo(int fd)
    {
        char block[16384];
        ssize_t n;
        while ((n = ::recv(fd, block, sizeof block, 0)) > 0) {
            if (!sendAll(fd, block, n))
                return false;
        }
        return n == 0;
    }

    void noteHeldEnd(qint64 outcome)
    {
        std::lock_guard<std::mutex> lock(mutex);
        holdEnds.push_back(outcome < 0 ? outcome : 0);
        changed.notify_all();
    }

    int listener = -1;
    std::thread acceptor;
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<qint64> holdEnds;
};

// A running wexora-linksim in front of a port.
class Link
{
public:
    bool start(int target, const QStringList& args)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(WEXORA_LINKSIM_BIN),
                      QStringList{QStringLiteral("--target"), QStringLiteral("127.0.0.1:%1").arg(target),
                                  QStringLiteral("--exit-with-parent")} + args);
        while (process.waitForReadyRead(10000)) {
            const QByteArray line = process.readLine().trimmed();
            if (line.startsWith("listening ")) {
                port = line.mid(line.lastIndexOf(':') + 1).toInt();
                return port > 0;
            }
        }
        return false;
    }

    ~Link()
    {
        process.terminate();
        process.waitForFinished(10000);
    }

    int port = 0;

private:
    QProcess process;
};

// Sends while it reads the echo, half-closes after the last byte and reads
// to the end; the bytes that came back.
QByteArray echoed(int fd, const QByteArray& bytes)
{
    QByteArray back;
    char block[16384];
    pollfd watched{fd, POLLIN | POLLOUT, 0};
    for (int sent = 0; ::poll(&watched, 1, 30000) > 0;) {
        if (watched.revents & POLLOUT) {
            const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
            sent += int(qMax<ssize_t>(n, 0));
            if (sent == bytes.size() && ::shutdown(fd, SHUT_WR) == 0)
                watched.events = POLLIN;
        }
        if (!(watched.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::recv(fd, block, sizeof block, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            break;
        back.append(block, int(qMax<ssize_t>(n, 0)));
    }
    return back;
}

// One echo connection: the bytes sent come back whole.
bool echoes(int port, const QByteArray& bytes)
{
    const int fd = connectTo(port);
    const bool whole = fd >= 0 && sendAll(fd, "E", 1) && echoed(fd, bytes) == bytes;
    if (fd >= 0)
        ::close(fd);
    return whole;
}

// Milliseconds to swallow `bytes` and hear the count back, counted from
// `start` or else from the connection; -1 on a wrong count.
double uploadMs(int port, int bytes, const Clock::time_point* from = nullptr)
{
    const QByteArray data(bytes, 'u');
    const int fd = connectTo(port);
    const Clock::time_point start = from ? *from : Clock::now();
    quint32 count = 0;
    const bool ok = fd >= 0 && sendAll(fd, "S", 1) && sendAll(fd, data.constData(), bytes) && ::shutdown(fd, SHUT_WR) == 0
                    && ::recv(fd, &count, 4, MSG_WAITALL) == 4;
    const double ms = msSince(start);
    ::close(fd);
    return ok && count == quint32(bytes) ? ms : -1;
}

// Milliseconds from asking for `bytes` to the end; -1 when they differ.
double downloadMs(int port, int bytes)
{
    const int fd = connectTo(port);
    const Clock::time_point start = Clock::now();
    const quint32 count = quint32(bytes);
    QByteArray got;
    const bool ok = fd >= 0 && sendAll(fd, "D", 1) && sendAll(fd, reinterpret_cast<const char*>(&count), 4)
                    && readToEnd(fd, &got) == bytes;
    const double ms = msSince(start);
    ::close(fd);
    return ok && got == pattern(bytes, 7) ? ms : -1;
}

// Milliseconds per one-byte echo on an open connection; the least of `rounds`.
double leastRoundTripMs(int fd, int rounds)
{
    double least = 1e9;
    for (int i = 0; i < rounds; ++i) {
        char c = 'p';
        const Clock::time_point start = Clock::now();
        if (!sendAll(fd, &c, 1) || ::recv(fd, &c, 1, MSG_WAITALL) != 1)
            return -1;
        least = std::min(least, msSince(start));
    }
    return least;
}

double transferMs(double bytes, double mbit)
{
    return mbit > 0 ? bytes * 8 / (mbit * 1e3) : 0;
}
} // namespace

class TestKLinkSimulator : public QObject
{
    Q_OBJECT

private slots:
    void delayAndRate_data();
    void delayAndRate();
    void sharedBottleneck_data();
    void sharedBottleneck();
    void manyConnections_data();
    void manyConnections();
    void endsAndResets();
};

void TestKLinkSimulator::delayAndRate_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<double>("upMs");
    QTest::addColumn<double>("downMs");
    QTest::addColumn<double>("upMbit");
    QTest::addColumn<double>("downMbit");
    QTest::newRow("loopback") << QStringList{"--preset", "loopback"} << 0.0 << 0.0 << 0.0 << 0.0;
    QTest::newRow("20ms-100mbit") << QStringList{"--preset", "20ms-100mbit"} << 10.0 << 10.0 << 100.0 << 100.0;
    QTest::newRow("60ms-20mbit") << QStringList{"--preset", "60ms-20mbit"} << 30.0 << 30.0 << 20.0 << 20.0;
    QTest::newRow("asymmetric") << QStringList{"--delay-up", "5", "--delay-down", "25", "--up-mbit", "10", "--down-mbit", "40"}
                                << 5.0 << 25.0 << 10.0 << 40.0;
}

// A new connection costs a round trip before the first byte goes; each
// round trip then costs the two delays; N bytes at R Mbit/s take N*8/R.
void TestKLinkSimulator::delayAndRate()
{
    QFETCH(QStringList, args);
    QFETCH(double, upMs);
    QFETCH(double, downMs);
    QFETCH(double, upMbit);
    QFETCH(double, downMbit);
    const double rtt = upMs + downMs;
    Peer peer;
    Link link;
    QVERIFY(link.start(peer.port, args));

    const Clock::time_point connecting = Clock::now();
    const int fd = connectTo(link.port);
    QVERIFY(fd >= 0);
    QVERIFY(sendAll(fd, "E", 1));
    const double first = leastRoundTripMs(fd, 1);
    const double firstWithHandshake = msSince(connecting);
    const double least = leastRoundTripMs(fd, 10);
    ::close(fd);
    QVERIFY2(first >= rtt && least >= rtt, qPrintable(QStringLiteral("round trip %1 ms").arg(least)));
    QVERIFY2(firstWithHandshake >= 2 * rtt, qPrintable(QStringLiteral("first echo %1 ms").arg(firstWithHandshake)));
    QVERIFY(least <= 5 * rtt + 50);

    // About half a second of each rate (4 MiB without one).
    const int upBytes = upMbit > 0 ? int(upMbit * 1e6 / 16) : 4 << 20;
    const int downBytes = downMbit > 0 ? int(downMbit * 1e6 / 16) : 4 << 20;
    const double up = uploadMs(link.port, upBytes);
    const double down = downloadMs(link.port, downBytes);
    const double upFloor = rtt + transferMs(upBytes, upMbit);
    const double downFloor = rtt + transferMs(downBytes, downMbit);
    QVERIFY2(up >= upFloor && up <= 5 * upFloor + 500, qPrintable(QStringLiteral("up %1 ms").arg(up)));
    QVERIFY2(down >= downFloor && down <= 5 * downFloor + 500, qPrintable(QStringLiteral("down %1 ms").arg(down)));
}

void TestKLinkSimulator::sharedBottleneck_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("sharers");
    QTest::addColumn<double>("leastShare");
    QTest::newRow("link") << "--mbit" << 4 << 0.5;
    QTest::newRow("each connection") << "--conn-mbit" << 1 << 1.0;
}

// Four uploads started together share the link's rate, each getting its
// turn (none is done in less than half the time of all four); a
// per-connection limit holds each one alone.
void TestKLinkSimulator::sharedBottleneck()
{
    QFETCH(QString, limit);
    QFETCH(int, sharers);
    QFETCH(double, leastShare);
    const double mbit = 40;
    const int bytes = 1250000;
    Peer peer;
    Link link;
    QVERIFY(link.start(peer.port, {limit, QString::number(mbit), QStringLiteral("--rtt"), QStringLiteral("2")}));
    std::vector<double> ms(4);
    std::vector<std::thread> uploads;
    const Clock::time_point start = Clock::now();
    for (double& each : ms)
        uploads.emplace_back([&each, &link, bytes, &start] { each = uploadMs(link.port, bytes, &start); });
    for (std::thread& t : uploads)
        t.join();
    const double floor = transferMs(double(bytes) * sharers, mbit);
    for (double each : ms)
        QVERIFY2(each >= leastShare * floor && each <= 5 * floor + 500, qPrintable(QStringLiteral("%1 ms").arg(each)));
    QVERIFY(*std::max_element(ms.begin(), ms.end()) >= floor);
}

void TestKLinkSimulator::manyConnections_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("loopback") << QStringList{"--preset", "loopback"};
    QTest::newRow("20ms-100mbit") << QStringList{"--preset", "20ms-100mbit"};
    QTest::newRow("small window and queue") << QStringList{"--rtt", "4", "--mbit", "200", "--queue-kib", "8", "--window-kib", "16"};
}

// 200 connections at once, each echoing its own 64 KiB after a half-close.
void TestKLinkSimulator::manyConnections()
{
    QFETCH(QStringList, args);
    Peer peer;
    Link link;
    QVERIFY(link.start(peer.port, args));
    std::atomic_int whole{0};
    std::vector<std::thread> clients;
    for (unsigned i = 0; i < 200; ++i)
        clients.emplace_back([&whole, &link, i] { whole += echoes(link.port, pattern(65536, i)) ? 1 : 0; });
    for (std::thread& t : clients)
        t.join();
    QCOMPARE(whole.load(), 200);
}

// An orderly close and a reset on either side reach the other, the close no
// sooner than the delay; a target that refuses ends the accepted connection.
void TestKLinkSimulator::endsAndResets()
{
    Peer peer;
    Link link;
    QVERIFY(link.start(peer.port, {QStringLiteral("--rtt"), QStringLiteral("20")}));
    qint64 end = 1;
    int fd = connectTo(link.port);
    QVERIFY(sendAll(fd, "H", 1));
    const Clock::time_point closing = Clock::now();
    ::close(fd);
    QVERIFY(peer.waitHeldEnd(&end));
    QCOMPARE(end, qint64(0));
    QVERIFY(msSince(closing) >= 10);

    fd = connectTo(link.port);
    QVERIFY(sendAll(fd, "H", 1));
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
    QVERIFY(peer.waitHeldEnd(&end));
    QCOMPARE(end, qint64(-ECONNRESET));

    fd = connectTo(link.port);
    QVERIFY(sendAll(fd, "C", 1));
    QCOMPARE(readToEnd(fd), qint64(0));
    ::close(fd);

    Link nowhere;
    QVERIFY(nowhere.start(Peer().port, {}));
    fd = connectTo(nowhere.port);
    QVERIFY(fd >= 0);
    char byte = 0;
    QVERIFY(::recv(fd, &byte, 1, 0) <= 0);
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestKLinkSimulator)
#include "tst_klinksimulator.moc"
