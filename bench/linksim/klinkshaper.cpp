#include "klinkshaper.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr int64_t UnlimitedChunk = 256 << 10;
constexpr int64_t MinChunk = 1500;
constexpr int64_t MaxChunk = 64 << 10;
// Each piece costs a wake-up to take in and one to deliver; a few
// milliseconds of the rate keep that cheap and still well below a round trip.
constexpr double ChunkNs = 4e6;
} // namespace

KLinkShaper::KLinkShaper(const KLinkDirection& direction)
    : delay(direction.delayNs),
      nsPerByte(direction.bitsPerSecond > 0 ? 8e9 / direction.bitsPerSecond : 0),
      queueNs(int64_t(direction.queueBytes * nsPerByte))
{
}

int64_t KLinkShaper::send(int64_t now, int64_t bytes)
{
    bytesSent += bytes;
    if (nsPerByte == 0)
        return now + delay;
    busyUntil = std::max(now, busyUntil) + int64_t(std::llround(bytes * nsPerByte));
    return busyUntil + delay;
}

bool KLinkShaper::hasRoom(int64_t now) const
{
    return nsPerByte == 0 || busyUntil - now < queueNs;
}

int64_t KLinkShaper::roomAt() const
{
    return busyUntil - queueNs + 1;
}

int64_t KLinkShaper::chunkFor(double nsPerByte)
{
    if (nsPerByte == 0)
        return UnlimitedChunk;
    return std::clamp<int64_t>(int64_t(ChunkNs / nsPerByte), MinChunk, MaxChunk);
}
