#pragma once

#include "klinkoptions.h"

#include <cstdint>
#include <deque>

// Where a pipe lives: its connection and which of its two directions.
struct KLinkPipeRef
{
    uint64_t connection = 0;
    int direction = 0;
};

// One direction of the link, shared by every connection: a first-in
// first-out bottleneck of a fixed rate with a bounded queue, followed by the
// propagation delay. Bytes are given their delivery time when they enter;
// a sender that finds the queue full waits its turn in `waiters`.
class KLinkShaper
{
public:
    explicit KLinkShaper(const KLinkDirection& direction);

    // Bytes taken in at `now` leave the far end at the returned time (ns).
    int64_t send(int64_t now, int64_t bytes);
    // The queue has room at `now`.
    bool hasRoom(int64_t now) const;
    // When the queue has room again.
    int64_t roomAt() const;
    // Most bytes to take in one go: a few milliseconds of the rate.
    int64_t chunkBytes() const { return chunkFor(nsPerByte); }
    static int64_t chunkFor(double nsPerByte);
    int64_t delayNs() const { return delay; }

    std::deque<KLinkPipeRef> waiters;
    bool wakeScheduled = false;
    int64_t bytesSent = 0;

private:
    int64_t delay;
    double nsPerByte;       // 0 = unlimited
    int64_t queueNs;        // the queue, in time at the rate
    int64_t busyUntil = 0;  // when the bottleneck has sent all it took in
};
