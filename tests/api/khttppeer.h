#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

// One request as the test server saw it.
struct KPeerRequest
{
    QByteArray method;
    QByteArray path;   // without the query
    QByteArray target; // as sent, query included
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    int remotePort = -1;

    QByteArray header(const QByteArray& name) const;
    int headerCount(const QByteArray& name) const;
};

// A cpp-httplib server on 127.0.0.1 (ephemeral port, own thread) that records
// every request and answers each with one canned response.
class KHttpPeer
{
public:
    KHttpPeer();
    // HTTPS with the given certificate and key files.
    KHttpPeer(const QString& certPath, const QString& keyPath);
    ~KHttpPeer();

    // Off by default: an idle kept-alive connection delays stopping by a second.
    void keepConnectionsAlive(bool on) { keepAlive = on; }
    void respond(int status, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers = {});
    int port() const { return boundPort; }
    QString url(const QString& path = QString()) const;
    QList<KPeerRequest> requests() const;
    int requestCount() const;

private:
    void start();

    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int boundPort = -1;
    bool tls = false;
    std::atomic_bool keepAlive{false};
    mutable std::mutex mutex;
    QList<KPeerRequest> seen;
    int status = 200;
    QByteArray answer = "ok";
    QList<QPair<QByteArray, QByteArray>> answerHeaders;
};

// A bare TCP listener on 127.0.0.1. With an answer it reads one request per
// connection, keeps its raw bytes and sends the answer, then closes the
// connection or (StayOpen) falls silent on it; without an answer it accepts
// connections and never says a word.
class KRawPeer
{
public:
    enum class AfterAnswer { Close, StayOpen };
    explicit KRawPeer(const QByteArray& answer = QByteArray(), AfterAnswer after = AfterAnswer::Close);
    ~KRawPeer();

    QString url(const QString& path = QString()) const;
    int acceptedCount() const { return accepted.load(); }
    QByteArray firstRequest() const;
    // A port on 127.0.0.1 where nothing listens.
    static int unusedPort();

private:
    void serve();
    QByteArray readRequest(int fd) const;

    int listenFd = -1;
    int boundPort = -1;
    QByteArray answer;
    AfterAnswer afterAnswer = AfterAnswer::Close;
    std::thread thread;
    std::atomic_int accepted{0};
    mutable std::mutex mutex;
    QList<QByteArray> raw;
    std::vector<int> held;
};
