#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <mutex>
#include <thread>
#include <vector>

// One HTTP request as it went over the wire from the client.
struct KWireRequest
{
    QByteArray method;
    QByteArray target; // path and query, as sent
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qint64 sequence = 0; // arrival order over all connections

    QByteArray path() const { return target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?')); }
    // The value of a header (any case), "" when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // A form field of a urlencoded body, decoded.
    QString formField(const QString& name) const;
};

// A TCP relay on 127.0.0.1 in front of a server. It passes every byte both
// ways unchanged and keeps what the client sent, so a test sees the requests
// exactly as they were framed on the wire. The server builds part addresses
// from the Host header, so a client logged in through the tap sends its parts
// through it too.
class KUploadTap
{
public:
    explicit KUploadTap(int upstreamPort);
    ~KUploadTap();
    KUploadTap(const KUploadTap&) = delete;
    KUploadTap& operator=(const KUploadTap&) = delete;

    int port() const { return boundPort; }
    QString baseUrl() const;
    // Every complete request sent so far, in arrival order.
    QList<KWireRequest> requests() const;
    // Requests of one operation ("op" form field) or, for "part", the part bodies.
    QList<KWireRequest> requests(const QString& op) const;
    void clear();

private:
    struct Chunk
    {
        int connection;
        qint64 sequence;
        QByteArray bytes;
    };

    void acceptLoop();
    void relay(int client, int connection);
    void pump(int from, int to, int connection, bool record);
    static QList<KWireRequest> parse(const QList<Chunk>& chunks);

    int upstreamPort;
    int listenFd = -1;
    int boundPort = -1;
    std::thread acceptor;
    mutable std::mutex mutex;
    std::vector<std::thread> relays;
    std::vector<int> sockets;
    QList<Chunk> recorded;
    qint64 nextSequence = 0;
    int connections = 0;
};
