#include "kuploadtap.h"

#include <QMap>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int listenOnLoopback(int* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 64) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool sendAll(int fd, const char* data, ssize_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= sent;
    }
    return true;
}

// One request from the start of `bytes`; 0 when it is not complete yet.
int parseOne(const QByteArray& bytes, int from, KWireRequest& request)
{
    const int end = bytes.indexOf("\r\n\r\n", from);
    if (end < 0)
        return 0;
    const QList<QByteArray> lines = bytes.mid(from, end - from).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    const int length = request.header("Content-Length").toInt();
    if (bytes.size() < end + 4 + length)
        return 0;
    request.body = bytes.mid(end + 4, length);
    return end + 4 + length - from;
}

} // namespace

QByteArray KWireRequest::header(const QByteArray& name) const
{
    for (const auto& pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return QByteArray();
}

bool KWireRequest::hasHeader(const QByteArray& name) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& pair) { return pair.first.compare(name, Qt::CaseInsensitive) == 0; });
}

QString KWireRequest::formField(const QString& name) const
{
    // toPercentEncoding leaves no "+" for spaces, so plain percent-decoding is enough.
    for (const QByteArray& pair : body.split('&')) {
        const int equals = pair.indexOf('=');
        if (equals >= 0 && QString::fromUtf8(pair.left(equals)) == name)
            return QUrl::fromPercentEncoding(pair.mid(equals + 1));
    }
    return QString();
}

KUploadTap::KUploadTap(int upstreamPort)
    : upstreamPort(upstreamPort)
{
    listenFd = listenOnLoopback(&boundPort);
    if (listenFd >= 0)
        acceptor = std::thread([this] { acceptLoop(); });
}

KUploadTap::~KUploadTap()
{
    // Shutting the listener down wakes the blocked accept().
    ::shutdown(listenFd, SHUT_RDWR);
    if (acceptor.joinable())
        acceptor.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int fd : sockets)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& relay : relays)
        relay.join();
    for (int fd : sockets)
        ::close(fd);
    ::close(listenFd);
}

QString KUploadTap::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(boundPort);
}

void KUploadTap::acceptLoop()
{
    for (;;) {
        const int client = ::accept(listenFd, nullptr, nullptr);
        if (client < 0)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        sockets.push_back(client);
        const int connection = ++connections;
        relays.emplace_back([this, client, connection] { relay(client, connection); });
    }
}

void KUploadTap::relay(int client, int connection)
{
    const int server = connectTo(upstreamPort);
    if (server < 0) {
        ::shutdown(client, SHUT_RDWR);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        sockets.push_back(server);
    }
    std::thread answers([this, server, client, connection] { pump(server, client, connection, false); });
    pump(client, server, connection, true);
    answers.join();
}

void KUploadTap::pump(int from, int to, int connection, bool record)
{
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::recv(from, buffer.data(), size_t(buffer.size()), 0);
        if (got <= 0)
            break;
        if (record) {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.append({connection, nextSequence++, buffer.left(int(got))});
        }
        if (!sendAll(to, buffer.constData(), got))
            break;
    }
    // Either side gone: the other must see the connection end, as it would
    // without the tap in between.
    ::shutdown(from, SHUT_RDWR);
    ::shutdown(to, SHUT_RDWR);
}

QList<KWireRequest> KUploadTap::requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return parse(recorded);
}

QList<KWireRequest> KUploadTap::requests(const QString& op) const
{
    QList<KWireRequest> matching;
    for (const KWireRequest& request : requests()) {
        const bool isPart = request.path().startsWith("/upload/");
        if ((op == QLatin1String("part") && isPart) || (!isPart && request.formField(QStringLiteral("op")) == op))
            matching.append(request);
    }
    return matching;
}

void KUploadTap::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    recorded.clear();
}

QList<KWireRequest> KUploadTap::parse(const QList<Chunk>& chunks)
{
    QMap<int, QByteArray> streams;
    QMap<int, QList<QPair<int, qint64>>> starts; // per connection: byte offset -> sequence
    for (const Chunk& chunk : chunks) {
        starts[chunk.connection].append({streams[chunk.connection].size(), chunk.sequence});
        streams[chunk.connection].append(chunk.bytes);
    }
    QList<KWireRequest> all;
    for (auto it = streams.begin(); it != streams.end(); ++it) {
        int from = 0;
        for (;;) {
            KWireRequest request;
            const int used = parseOne(it.value(), from, request);
            if (used == 0)
                break;
            for (const auto& start : starts[it.key()]) {
                if (start.first <= from)
                    request.sequence = start.second;
            }
            all.append(request);
            from += used;
        }
    }
    std::sort(all.begin(), all.end(), [](const KWireRequest& a, const KWireRequest& b) { return a.sequence < b.sequence; });
    return all;
}
