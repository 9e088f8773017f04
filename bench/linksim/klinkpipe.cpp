#include "klinkpipe.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/socket.h>

KLinkPipe::KLinkPipe(KLinkSocket& from, KLinkSocket& to, KLinkShaper& link, KLinkPipeRef ref,
                     const KLinkOptions& options, int64_t openAt)
    : from(from),
      to(to),
      link(link),
      ref(ref),
      connNsPerByte(options.connBitsPerSecond > 0 ? 8e9 / options.connBitsPerSecond : 0),
      window(options.windowBytes),
      openAt(openAt),
      chunk(std::min({link.chunkBytes(), KLinkShaper::chunkFor(connNsPerByte), options.windowBytes}))
{
}

void KLinkPipe::pump(int64_t now, bool served)
{
    // Writing frees window for reading and reading may make bytes due at
    // once (no delay), so go round until neither moves.
    while (!endSent) {
        const bool delivered = deliver(now);
        if (!take(now, served) && !delivered)
            break;
    }
}

int64_t KLinkPipe::nextWake(int64_t now) const
{
    int64_t wake = 0;
    const auto consider = [&wake, now](int64_t at) {
        if (at > now && (wake == 0 || at < wake))
            wake = at;
    };
    if (endSent)
        return 0;
    if (!marks.empty() && to.writable)
        consider(marks.front().at);
    if (ended && written == received && to.connected)
        consider(endAt);
    if (!ended && from.readable && !queued) {
        consider(openAt);
        consider(connBusyUntil);
    }
    return wake;
}

bool KLinkPipe::deliver(int64_t now)
{
    while (!marks.empty() && marks.front().at <= now) {
        due = marks.front().end;
        marks.pop_front();
    }
    if (due > written && to.writable) {
        const ssize_t n = ::send(to.fd, buffer.data() + head, size_t(due - written), MSG_NOSIGNAL);
        if (n > 0) {
            written += n;
            head += size_t(n);
            if (head == tail)
                head = tail = 0;
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            to.writable = false;
        else if (n < 0 && errno != EINTR)
            fail();
        return endSent;
    }
    return passEnd(now);
}

bool KLinkPipe::passEnd(int64_t now)
{
    if (!ended || endSent || written != received || endAt > now || !to.connected)
        return false;
    if (reset)
        resetNow = true;
    else
        ::shutdown(to.fd, SHUT_WR);
    endSent = true;
    return true;
}

bool KLinkPipe::take(int64_t now, bool& served)
{
    if (ended || endSent || !from.readable || !from.connected || now < openAt || now < connBusyUntil)
        return false;
    const int64_t room = std::min(chunk, window - (received - written));
    if (room <= 0 || !admitted(now, served))
        return false;
    const ssize_t n = ::recv(from.fd, space(room), size_t(room), 0);
    if (n > 0)
        accept(now, n);
    else if (n == 0)
        end(now, false);
    else if (errno == EAGAIN || errno == EWOULDBLOCK)
        from.readable = false;
    else if (errno != EINTR)
        end(now, true);
    return n >= 0 || ended;
}

// First come, first served: while others wait for room in the link, a pipe
// reads only when its own turn comes.
bool KLinkPipe::admitted(int64_t now, bool& served)
{
    if (link.hasRoom(now) && (served || link.waiters.empty())) {
        served = false;
        return true;
    }
    if (!queued) {
        link.waiters.push_back(ref);
        queued = true;
    }
    return false;
}

void KLinkPipe::accept(int64_t now, int64_t bytes)
{
    int64_t at = link.send(now, bytes);
    if (connNsPerByte > 0) {
        connBusyUntil = std::max(now, connBusyUntil) + int64_t(std::llround(bytes * connNsPerByte));
        at = std::max(at, connBusyUntil + link.delayNs());
    }
    received += bytes;
    tail += size_t(bytes);
    if (!marks.empty() && marks.back().at == at)
        marks.back().end = received;
    else
        marks.push_back({received, at});
}

void KLinkPipe::end(int64_t now, bool withReset)
{
    ended = true;
    reset = withReset;
    endAt = link.send(now, 0);
}

// The far side is gone: what is still held can never arrive.
void KLinkPipe::fail()
{
    endSent = true;
    marks.clear();
    head = tail = 0;
    written = due = received;
}

char* KLinkPipe::space(int64_t bytes)
{
    if (buffer.size() - tail >= size_t(bytes))
        return buffer.data() + tail;
    if (head > 0) {
        std::memmove(buffer.data(), buffer.data() + head, tail - head);
        tail -= head;
        head = 0;
    }
    if (buffer.size() - tail < size_t(bytes))
        buffer.resize(std::max(buffer.size() * 2, tail + size_t(bytes)));
    return buffer.data() + tail;
}
