#pragma once

#include "store/khashcache.h"

#include <QHash>
#include <QString>

// What one file of a pair looked like on both sides when it was last synced.
struct KJournalEntry
{
    QString relPath;
    KFileStamp local;
    QString md5;
    QString datahash;
    qint64 datasize = 0;
    qint64 version = 0;
    qint64 timeMs = 0;

    bool isValid() const { return !relPath.isEmpty(); }
};

// The sync journal of one folder pair (table k_driver_sync_journal): a row
// per relative path, written when an upload commits or a download is placed,
// so that a later pass can tell which side changed since. Rows of a pair go
// with the pair, and when its folders change.
class KSyncJournal
{
public:
    explicit KSyncJournal(const QString& pairId);

    QHash<QString, KJournalEntry> load() const;
    KJournalEntry entry(const QString& relPath) const;
    // The entries strictly below a folder.
    QList<KJournalEntry> below(const QString& folder) const;
    void put(const KJournalEntry& entry) const;
    void remove(const QString& relPath) const;
    int count() const;

    static void removePair(const QString& pairId);
    static QString createStatement();

private:
    QString pairId;
};
