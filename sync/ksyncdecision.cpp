#include "sync/ksyncdecision.h"

bool KSyncDecision::stampTrusted(const KJournalEntry& journal)
{
    return journal.timeMs - journal.local.mtimeMs >= KHashCache::RacyMs;
}

bool KSyncDecision::sameHash(const QString& a, const QString& b)
{
    return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0;
}

bool KSyncDecision::needsLocalHash(const KSyncStates& states)
{
    if (!states.local || !states.localMd5.isEmpty())
        return false;
    if (!states.journal)
        return states.server.has_value();
    return *states.local != states.journal->local || !stampTrusted(*states.journal);
}

bool KSyncDecision::localChanged(const KSyncStates& states)
{
    if (states.localMd5.isEmpty())
        return *states.local != states.journal->local || !stampTrusted(*states.journal);
    return !sameHash(states.localMd5, states.journal->md5);
}

bool KSyncDecision::serverChanged(const KSyncStates& states)
{
    return !sameHash(states.server->datahash, states.journal->datahash);
}

KSyncAction KSyncDecision::decide(const KSyncStates& states, bool deletionsCarried)
{
    if (!states.journal)
        return withoutJournal(states);
    if (!states.local && !states.server)
        return KSyncAction::Forget;
    if (states.local && states.server)
        return bothPresent(states);
    return oneGone(states, deletionsCarried);
}

KSyncAction KSyncDecision::withoutJournal(const KSyncStates& states)
{
    if (states.local && states.server)
        return sameHash(states.localMd5, states.server->datahash) ? KSyncAction::Record : KSyncAction::Conflict;
    if (states.local)
        return KSyncAction::Upload;
    return states.server ? KSyncAction::Download : KSyncAction::Nothing;
}

KSyncAction KSyncDecision::bothPresent(const KSyncStates& states)
{
    const bool local = localChanged(states);
    const bool server = serverChanged(states);
    if (local && server)
        return sameHash(states.localMd5, states.server->datahash) ? KSyncAction::Record : KSyncAction::Conflict;
    if (local)
        return KSyncAction::Upload;
    if (server)
        return KSyncAction::ReplaceLocal;
    // Touched but not changed, or a stamp not trusted yet: the journal takes
    // the stamp now, so the next pass need not read the file.
    const bool sameStamp = *states.local == states.journal->local && stampTrusted(*states.journal);
    return sameStamp ? KSyncAction::Nothing : KSyncAction::Record;
}

KSyncAction KSyncDecision::oneGone(const KSyncStates& states, bool deletionsCarried)
{
    if (states.server) {
        if (serverChanged(states))
            return KSyncAction::Download;
        return deletionsCarried ? KSyncAction::RemoveServer : KSyncAction::KeepGone;
    }
    if (localChanged(states))
        return KSyncAction::Upload;
    return deletionsCarried ? KSyncAction::TrashLocal : KSyncAction::KeepGone;
}
