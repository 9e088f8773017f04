#include "server/ktrashkeeper.h"

#include "server/kclock.h"
#include "server/kremovalreceipts.h"
#include "server/ktrashstore.h"

KTrashKeeper::KTrashKeeper(KTrashStore& trash, KRemovalReceipts& receipts, const KClock& clock)
    : trash(trash)
    , receipts(receipts)
    , clock(clock)
{
}

void KTrashKeeper::purgeExpired()
{
    lastPurge.store(clock.trashNowMilliseconds());
    trash.purgeBefore(clock.trashNowMilliseconds() - KTrashStore::KeepMilliseconds);
    receipts.forgetBefore(clock.nowMilliseconds() - KRemovalReceipts::KeepMilliseconds);
}

void KTrashKeeper::maybePurge()
{
    const qint64 now = clock.trashNowMilliseconds();
    qint64 last = lastPurge.load();
    // A clock set back (a test undoing its offset) must not stall the purge.
    const bool due = now - last >= EveryMilliseconds || now < last;
    if (due && lastPurge.compare_exchange_strong(last, now))
        purgeExpired();
}
