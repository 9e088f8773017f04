#pragma once

#include "store/kjournalentries.h"
#include "store/kjournalentry.h"

#include <QList>
#include <QString>

// The sync journal of one folder pair (table k_driver_sync_journal): a row
// per relative path, written when an upload commits or a download is placed,
// so that a later pass can tell which side changed since. Rows of a pair go
// with the pair, and when its folders change.
class KSyncJournal
{
public:
    explicit KSyncJournal(const QString& pairId);

    KJournalEntries load() const;
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
