#pragma once

#include "store/kjournalentry.h"

#include <QStringList>

#include <array>
#include <optional>
#include <vector>

// The journal entries a pass decides from, held compactly: one array of
// fixed-size rows with MD5s as 16 raw bytes, sorted by path once filled and
// searched by halving. A hash of entries took about 290 bytes per file,
// too much for a pair of a million files; a row here takes about 160.
// Sorted on first use, so one thread at a time (a pass's own).
class KJournalEntries
{
public:
    void reserve(int count) { rows.reserve(size_t(qMax(count, 0))); }
    // A later entry for the same path replaces an earlier one.
    void insert(const KJournalEntry& entry);
    std::optional<KJournalEntry> find(const QString& relPath) const;
    QStringList paths() const;
    int size() const;

private:
    using Digest = std::array<quint8, 16>;
    struct Row
    {
        QString relPath;
        KFileStamp local;
        qint64 datasize = 0;
        qint64 version = 0;
        qint64 timeMs = 0;
        Digest md5{};
        Digest datahash{};
        // Hashes that are not 32 lower-case hex digits, kept as text
        // ("md5\ndatahash"); null in the usual case.
        QString textHashes;
    };

    static bool pack(const QString& hex, Digest& raw);
    static QString unpack(const Digest& raw);
    static Row rowOf(const KJournalEntry& entry);
    static KJournalEntry entryOf(const Row& row);
    void sortOnce() const;

    mutable std::vector<Row> rows;
    mutable bool sorted = true;
};
