#include "klinkconnection.h"

#include <sys/socket.h>
#include <unistd.h>

namespace
{
// A real link cannot carry data before the handshake: the target hears of
// the connection after one way, the client may send after the round trip.
int64_t openUpAt(const KLinkOptions& o, int64_t now)
{
    return o.handshake ? now + o.up.delayNs + o.down.delayNs : now;
}

int64_t openDownAt(const KLinkOptions& o, int64_t now)
{
    return o.handshake ? now + o.up.delayNs : now;
}

void resetOnClose(int fd)
{
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}
} // namespace

KLinkConnection::KLinkConnection(uint64_t id, int clientFd, int targetFd, KLinkShaper& up, KLinkShaper& down,
                                 const KLinkOptions& options, int64_t now)
    : id(id),
      client{clientFd, true, true, true},
      target{targetFd, false, false, false},
      upstream(client, target, up, {id, Up}, options, openUpAt(options, now)),
      downstream(target, client, down, {id, Down}, options, openDownAt(options, now))
{
}

KLinkConnection::~KLinkConnection()
{
    ::close(client.fd);
    ::close(target.fd);
}

void KLinkConnection::pump(int64_t now)
{
    upstream.pump(now);
    downstream.pump(now);
}

bool KLinkConnection::finishConnect()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(target.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return false;
    target.connected = target.readable = target.writable = true;
    return true;
}

void KLinkConnection::abort()
{
    resetOnClose(client.fd);
    resetOnClose(target.fd);
}
