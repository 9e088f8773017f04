#pragma once

#include "klinkoptions.h"
#include "klinkshaper.h"

#include <cstdint>
#include <deque>
#include <vector>

// One end of a proxied connection, as the event loop last saw it.
struct KLinkSocket
{
    int fd = -1;
    bool connected = false;
    bool readable = false; // until a read would block (edge-triggered epoll)
    bool writable = false; // until a write would block
};

// One direction of one connection: reads from `from` what the link admits,
// holds each piece until its delivery time and writes it to `to` then; the
// end of the stream (or a reset) travels the same way, after the last byte.
class KLinkPipe
{
public:
    KLinkPipe(KLinkSocket& from, KLinkSocket& to, KLinkShaper& link, KLinkPipeRef ref, const KLinkOptions& options,
              int64_t openAt);

    // Does what is due at `now`. `served`: the pipe's turn in the link's queue
    // has come, so it may take one piece ahead of the pipes queued behind it.
    void pump(int64_t now, bool served = false);
    // When pump() has something to do next without a socket event; 0: never.
    int64_t nextWake(int64_t now) const;
    // The end (or the far side's loss) has been passed on.
    bool done() const { return endSent; }
    // A reset reached its delivery time: the connection must be aborted.
    bool resetDue() const { return resetNow; }
    // Waiting in the link's queue.
    bool queued = false;
    // The timer the event loop holds for this pipe (0: none).
    int64_t scheduledAt = 0;

private:
    struct Mark
    {
        int64_t end; // stream offset up to which bytes are due at `at`
        int64_t at;
    };

    bool deliver(int64_t now);
    bool passEnd(int64_t now);
    bool take(int64_t now, bool& served);
    bool admitted(int64_t now, bool& served);
    void accept(int64_t now, int64_t bytes);
    void end(int64_t now, bool reset);
    void fail();
    char* space(int64_t bytes);

    KLinkSocket& from;
    KLinkSocket& to;
    KLinkShaper& link;
    const KLinkPipeRef ref;
    const double connNsPerByte;
    const int64_t window;
    const int64_t openAt;
    const int64_t chunk;

    std::vector<char> buffer; // bytes [written, received) at [head, tail)
    size_t head = 0;
    size_t tail = 0;
    std::deque<Mark> marks;
    int64_t received = 0;
    int64_t written = 0;
    int64_t due = 0;
    int64_t connBusyUntil = 0;
    int64_t endAt = 0;
    bool ended = false;
    bool reset = false;
    bool endSent = false;
    bool resetNow = false;
};
