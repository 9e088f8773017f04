#pragma once

#include "klinkpipe.h"

#include <cstdint>

// One proxied connection: the accepted socket, the socket to the target and
// a pipe each way. Owns both descriptors.
class KLinkConnection
{
public:
    enum Direction { Up = 0, Down = 1 };

    KLinkConnection(uint64_t id, int clientFd, int targetFd, KLinkShaper& up, KLinkShaper& down,
                    const KLinkOptions& options, int64_t now);
    ~KLinkConnection();
    KLinkConnection(const KLinkConnection&) = delete;
    KLinkConnection& operator=(const KLinkConnection&) = delete;

    KLinkPipe& pipe(int direction) { return direction == Up ? upstream : downstream; }
    KLinkSocket& socket(int side) { return side == 0 ? client : target; }
    // Both pipes, as far as they can go at `now`.
    void pump(int64_t now);
    // The target's connect ended; false when it failed.
    bool finishConnect();
    // Both ends passed on: close normally.
    bool finished() const { return upstream.done() && downstream.done(); }
    // A reset is due: close both ends with a reset.
    bool resetDue() const { return upstream.resetDue() || downstream.resetDue(); }
    void abort();

    const uint64_t id;

private:
    KLinkSocket client;
    KLinkSocket target;
    KLinkPipe upstream;
    KLinkPipe downstream;
};
