#pragma once

#include <QtGlobal>

#include <atomic>

// The server's time. Request dates are checked against the real clock; the
// expiry of handed-out addresses and upload sessions is checked against the
// link clock, which tests may move forward to see an address expire without
// waiting for it. The trash clock decides when removed nodes are purged;
// tests move it forward by a month the same way.
class KClock
{
public:
    qint64 nowSeconds() const;
    qint64 nowMilliseconds() const;
    qint64 linkNowSeconds() const { return nowSeconds() + linkOffset.load(); }
    void setLinkOffset(qint64 seconds) { linkOffset.store(seconds); }
    qint64 trashNowMilliseconds() const { return nowMilliseconds() + trashOffset.load() * 1000; }
    void setTrashOffset(qint64 seconds) { trashOffset.store(seconds); }

private:
    std::atomic<qint64> linkOffset{0};
    std::atomic<qint64> trashOffset{0};
};
