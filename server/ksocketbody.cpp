#include "server/ksocketbody.h"

#include "server/kconnectiondrop.h"

#include <httplib.h>

#include <QByteArray>

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>

static_assert(CPPHTTPLIB_RECV_BUFSIZ >= 4096, "the library's reads must bypass its 4 KiB stream buffer");

namespace
{
// The socket's receive time-out, set for the reads here and put back after,
// so a blocking read waits for a whole block but not for ever.
class KReceiveTimeout
{
public:
    KReceiveTimeout(int socket, int seconds)
        : socket(socket)
    {
        socklen_t size = sizeof(previous);
        saved = ::getsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &previous, &size) == 0;
        const timeval wanted{seconds, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wanted, sizeof(wanted));
    }
    ~KReceiveTimeout()
    {
        if (saved)
            ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &previous, sizeof(previous));
    }
    KReceiveTimeout(const KReceiveTimeout&) = delete;
    KReceiveTimeout& operator=(const KReceiveTimeout&) = delete;

private:
    int socket;
    timeval previous{};
    bool saved = false;
};

// The body's length when its bytes on the wire are the body itself: not
// chunked, and not compressed (the library would inflate it).
qint64 contentLength(const httplib::Request& request)
{
    if (!request.has_header("Content-Length") || request.has_header("Transfer-Encoding")
        || request.has_header("Content-Encoding")) {
        return -1;
    }
    return QByteArray::fromStdString(request.get_header_value("Content-Length")).toLongLong();
}
}

bool KSocketBody::read(const httplib::Request& request, const httplib::ContentReader& reader, bool fromSocket,
                       int timeoutSeconds, const Consumer& consume)
{
    const qint64 length = fromSocket ? contentLength(request) : -1;
    qint64 seen = 0;
    int taken = -1; // -1: the library reads; 0 or 1: the rest came from the socket
    const bool read = reader([&](const char* data, size_t size) {
        if (!consume(data, size))
            return false;
        seen += qint64(size);
        if (length < 0 || seen >= length)
            return true;
        const int socket = KConnectionDrop::socketOf(request);
        if (socket < 0) // not found: the library goes on
            return true;
        taken = readRest(socket, length - seen, timeoutSeconds, consume) ? 1 : 0;
        return false; // stops the library's loop: the body has been read
    });
    return taken < 0 ? read : taken == 1;
}

bool KSocketBody::readRest(int socket, qint64 left, int timeoutSeconds, const Consumer& consume)
{
    const KReceiveTimeout timeout(socket, timeoutSeconds);
    QByteArray buffer(int(qMin(left, ReadBytes)), Qt::Uninitialized);
    while (left > 0) {
        const ssize_t n = ::recv(socket, buffer.data(), size_t(qMin<qint64>(left, buffer.size())), MSG_WAITALL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !consume(buffer.constData(), size_t(n)))
            return false;
        left -= n;
    }
    return true;
}
