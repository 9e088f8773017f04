#include "store/kjournalentries.h"

#include <algorithm>

// Only what unpacks to the very same text is packed (lower-case hex of 16 bytes).
bool KJournalEntries::pack(const QString& hex, Digest& raw)
{
    const QByteArray text = hex.toLatin1();
    const QByteArray bytes = QByteArray::fromHex(text);
    if (bytes.size() != int(raw.size()) || bytes.toHex() != text)
        return false;
    std::copy(bytes.begin(), bytes.end(), raw.begin());
    return true;
}

QString KJournalEntries::unpack(const Digest& raw)
{
    return QString::fromLatin1(QByteArray::fromRawData(reinterpret_cast<const char*>(raw.data()), int(raw.size())).toHex());
}

KJournalEntries::Row KJournalEntries::rowOf(const KJournalEntry& entry)
{
    Row row{entry.relPath, entry.local, entry.datasize, entry.version, entry.timeMs, {}, {}, QString()};
    if (!pack(entry.md5, row.md5) || !pack(entry.datahash, row.datahash))
        row.textHashes = entry.md5 + QLatin1Char('\n') + entry.datahash;
    return row;
}

KJournalEntry KJournalEntries::entryOf(const Row& row)
{
    KJournalEntry entry{row.relPath, row.local, QString(), QString(), row.datasize, row.version, row.timeMs};
    if (row.textHashes.isNull()) {
        entry.md5 = unpack(row.md5);
        entry.datahash = unpack(row.datahash);
    } else {
        entry.md5 = row.textHashes.section(QLatin1Char('\n'), 0, 0);
        entry.datahash = row.textHashes.section(QLatin1Char('\n'), 1);
    }
    return entry;
}

void KJournalEntries::insert(const KJournalEntry& entry)
{
    sorted = sorted && (rows.empty() || rows.back().relPath < entry.relPath);
    rows.push_back(rowOf(entry));
}

// Sorted by path; of rows with the same path the one inserted last stays.
void KJournalEntries::sortOnce() const
{
    if (sorted)
        return;
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.relPath < b.relPath; });
    auto kept = rows.begin();
    for (auto it = rows.begin(); it != rows.end(); ++it) {
        if (std::next(it) == rows.end() || std::next(it)->relPath != it->relPath)
            *kept++ = std::move(*it);
    }
    rows.erase(kept, rows.end());
    sorted = true;
}

std::optional<KJournalEntry> KJournalEntries::find(const QString& relPath) const
{
    sortOnce();
    const auto it = std::lower_bound(rows.begin(), rows.end(), relPath,
                                     [](const Row& row, const QString& path) { return row.relPath < path; });
    if (it == rows.end() || it->relPath != relPath)
        return std::nullopt;
    return entryOf(*it);
}

QStringList KJournalEntries::paths() const
{
    sortOnce();
    QStringList list;
    list.reserve(int(rows.size()));
    for (const Row& row : rows)
        list.append(row.relPath);
    return list;
}

int KJournalEntries::size() const
{
    sortOnce();
    return int(rows.size());
}
