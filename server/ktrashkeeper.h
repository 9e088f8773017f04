#pragma once

#include <QtGlobal>

#include <atomic>

class KClock;
class KRemovalReceipts;
class KTrashStore;

// Keeps the trash to its 30 days: purges older entries (their contents stay
// in the content store) and old removal receipts, at start and then at most
// every 10 minutes of the trash clock, from whichever request comes first.
class KTrashKeeper
{
public:
    static constexpr qint64 EveryMilliseconds = 600 * 1000;

    KTrashKeeper(KTrashStore& trash, KRemovalReceipts& receipts, const KClock& clock);

    void purgeExpired();
    void maybePurge();

private:
    KTrashStore& trash;
    KRemovalReceipts& receipts;
    const KClock& clock;
    std::atomic<qint64> lastPurge{0};
};
