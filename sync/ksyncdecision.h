#pragma once

#include "store/ksyncjournal.h"
#include "sync/kservertree.h"

#include <optional>

// What a two-way pass does with one relative path.
enum class KSyncAction
{
    Nothing,
    Upload,       // the server lacks the local content: a new file or a new version
    Download,     // nothing local is in the way
    ReplaceLocal, // the local file is as last synced, the server has a newer version
    Conflict,     // both sides hold different content nobody has seen synced
    Record,       // both sides hold the same content: only the journal learns it
    Forget,       // gone on both sides: the journal entry goes
    RemoveServer, // deleted locally, the server file unchanged since
    TrashLocal,   // deleted on the server, the local file unchanged since
    KeepGone,     // deleted on one side while deletions are not carried over
};

// What is known of one path: its journal entry, the local file (with its
// MD5 once hashed) and the server file.
struct KSyncStates
{
    std::optional<KJournalEntry> journal;
    std::optional<KFileStamp> local;
    QString localMd5;
    std::optional<KServerFile> server;
};

// The decisions of the two-way direction, as pure functions: hashes decide,
// stamps (size, modification time, inode) only spare the hashing of a file
// that cannot have changed. An edit always wins over a deletion.
class KSyncDecision
{
public:
    // True when the decision depends on the local file's content.
    static bool needsLocalHash(const KSyncStates& states);
    static KSyncAction decide(const KSyncStates& states, bool deletionsCarried);

    // A stamp recorded moments after its modification can hide a later write.
    static bool stampTrusted(const KJournalEntry& journal);
    static bool sameHash(const QString& a, const QString& b);

private:
    static bool localChanged(const KSyncStates& states);
    static bool serverChanged(const KSyncStates& states);
    static KSyncAction withoutJournal(const KSyncStates& states);
    static KSyncAction bothPresent(const KSyncStates& states);
    static KSyncAction oneGone(const KSyncStates& states, bool deletionsCarried);
};
