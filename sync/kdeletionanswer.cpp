#include "sync/kdeletionanswer.h"

#include "store/ksyncjournal.h"
#include "sync/kpairstates.h"

KPassRequest KDeletionAnswer::confirm(const QString& pairId)
{
    const KPendingDeletions pending = KPairStates::instance().state(pairId).pending;
    if (pending.isEmpty())
        return KPassRequest();
    // A whole pass: a folder whose files all go leaves as one trash entry.
    const QStringList paths = pending.local + pending.server;
    KPassRequest request = KPassRequest::whole(pairId);
    request.confirmedDeletions = QSet<QString>(paths.begin(), paths.end());
    return request;
}

KPassRequest KDeletionAnswer::refuse(const QString& pairId)
{
    const KPendingDeletions pending = KPairStates::instance().state(pairId).pending;
    if (pending.isEmpty())
        return KPassRequest();
    const KSyncJournal journal(pairId);
    const QStringList paths = pending.local + pending.server;
    for (const QString& rel : paths)
        journal.remove(rel);
    KPairStates::instance().setPending(pairId, KPendingDeletions());
    return KPassRequest::of(pairId, QSet<QString>(paths.begin(), paths.end()));
}
