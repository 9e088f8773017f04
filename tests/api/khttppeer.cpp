#include "khttppeer.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray bytes(const std::string& text)
{
    return QByteArray(text.data(), int(text.size()));
}

// cpp-httplib adds these to the header list itself.
bool isPseudoHeader(const std::string& name)
{
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

KPeerRequest record(const httplib::Request& req)
{
    KPeerRequest r;
    r.method = bytes(req.method);
    r.path = bytes(req.path);
    r.target = bytes(req.target);
    r.body = bytes(req.body);
    r.remotePort = req.remote_port;
    for (const auto& h : req.headers) {
        if (!isPseudoHeader(h.first))
            r.headers.append({bytes(h.first), bytes(h.second)});
    }
    return r;
}

int listenOnLoopback(int backlog, int* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0
        || (backlog > 0 && ::listen(fd, backlog) != 0)
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return -1;
    *port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

QByteArray KPeerRequest::header(const QByteArray& name) const
{
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

int KPeerRequest::headerCount(const QByteArray& name) const
{
    int count = 0;
    for (const auto& h : headers)
        count += h.first.compare(name, Qt::CaseInsensitive) == 0 ? 1 : 0;
    return count;
}

KHttpPeer::KHttpPeer()
    : server(new httplib::Server)
{
    start();
}

KHttpPeer::KHttpPeer(const QString& certPath, const QString& keyPath)
    : server(new httplib::SSLServer(certPath.toLocal8Bit().constData(), keyPath.toLocal8Bit().constData()))
    , tls(true)
{
    start();
}

void KHttpPeer::start()
{
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.append(record(req));
        res.status = status;
        for (const auto& h : answerHeaders)
            res.set_header(h.first.toStdString(), h.second.toStdString());
        if (!keepAlive)
            res.set_header("Connection", "close");
        res.set_content(answer.toStdString(), "application/json");
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    // Short keep-alive so that stopping does not wait on idle connections.
    server->set_keep_alive_timeout(1);
    boundPort = server->bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server->listen_after_bind(); });
}

KHttpPeer::~KHttpPeer()
{
    // stop() only acts once the accept loop runs.
    while (boundPort > 0 && !server->is_running())
        std::this_thread::yield();
    server->stop();
    if (thread.joinable())
        thread.join();
}

void KHttpPeer::respond(int code, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers)
{
    std::lock_guard<std::mutex> lock(mutex);
    status = code;
    answer = body;
    answerHeaders = headers;
}

QString KHttpPeer::url(const QString& path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(tls ? "https" : "http").arg(boundPort).arg(path);
}

QList<KPeerRequest> KHttpPeer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

int KHttpPeer::requestCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size();
}

KRawPeer::KRawPeer(const QByteArray& answerBytes, AfterAnswer after)
    : answer(answerBytes)
    , afterAnswer(after)
{
    listenFd = listenOnLoopback(16, &boundPort);
    if (listenFd >= 0)
        thread = std::thread([this] { serve(); });
}

KRawPeer::~KRawPeer()
{
    // Shutting the listener down wakes the blocked accept().
    ::shutdown(listenFd, SHUT_RDWR);
    if (thread.joinable())
        thread.join();
    ::close(listenFd);
    for (int fd : held)
        ::close(fd);
}

void KRawPeer::serve()
{
    for (;;) {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        ++accepted;
        if (answer.isEmpty()) {
            held.push_back(fd); // silent: keep it open, say nothing
            continue;
        }
        const QByteArray request = readRequest(fd);
        {
            std::lock_guard<std::mutex> lock(mutex);
            raw.append(request);
        }
        ssize_t sent = ::send(fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL);
        Q_UNUSED(sent)
        if (afterAnswer == AfterAnswer::StayOpen)
            held.push_back(fd);
        else
            ::close(fd);
    }
}

QByteArray KRawPeer::readRequest(int fd) const
{
    QByteArray data;
    char buffer[4096];
    int expected = -1;
    while (expected < 0 || data.size() < expected) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        data.append(buffer, int(n));
        const int headEnd = data.indexOf("\r\n\r\n");
        if (expected < 0 && headEnd >= 0) {
            const QByteArray head = data.left(headEnd).toLower();
            const int at = head.indexOf("\r\ncontent-length:");
            const int length = at < 0 ? 0 : head.mid(at + 17, head.indexOf("\r\n", at + 2) - at - 17).trimmed().toInt();
            expected = headEnd + 4 + length;
        }
    }
    return data;
}

QString KRawPeer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(boundPort).arg(path);
}

QByteArray KRawPeer::firstRequest() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return raw.value(0);
}

int KRawPeer::unusedPort()
{
    int port = -1;
    const int fd = listenOnLoopback(0, &port);
    ::close(fd);
    return port;
}
