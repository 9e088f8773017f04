#include "store/ksyncjournal.h"

#include "store/kstoresql.h"

#include <QSqlQuery>
#include <QVariant>

namespace {

const QString Columns = QStringLiteral("tx_relpath,l_size,l_mtime,l_inode,tx_md5,tx_datahash,l_datasize,l_version,l_time");

KJournalEntry readEntry(const QSqlQuery& sql)
{
    KJournalEntry entry;
    entry.relPath = sql.value(0).toString();
    entry.local = {sql.value(1).toLongLong(), sql.value(2).toLongLong(), sql.value(3).toLongLong()};
    entry.md5 = sql.value(4).toString();
    entry.datahash = sql.value(5).toString();
    entry.datasize = sql.value(6).toLongLong();
    entry.version = sql.value(7).toLongLong();
    entry.timeMs = sql.value(8).toLongLong();
    return entry;
}

} // namespace

KSyncJournal::KSyncJournal(const QString& pairId)
    : pairId(pairId)
{
}

QString KSyncJournal::createStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS k_driver_sync_journal (tx_pairid TEXT NOT NULL,"
                          "tx_relpath TEXT NOT NULL,l_size INTEGER,l_mtime INTEGER,l_inode INTEGER,tx_md5 TEXT,"
                          "tx_datahash TEXT,l_datasize INTEGER,l_version INTEGER,l_time INTEGER,"
                          "PRIMARY KEY (tx_pairid,tx_relpath)) WITHOUT ROWID");
}

KJournalEntries KSyncJournal::load() const
{
    KJournalEntries entries;
    entries.reserve(count());
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select ") + Columns + QStringLiteral(" from k_driver_sync_journal where tx_pairid=?"),
                        {pairId});
    while (sql.next())
        entries.insert(readEntry(sql));
    return entries;
}

KJournalEntry KSyncJournal::entry(const QString& relPath) const
{
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select ") + Columns
                            + QStringLiteral(" from k_driver_sync_journal where tx_pairid=? and tx_relpath=?"),
                        {pairId, relPath});
    return sql.next() ? readEntry(sql) : KJournalEntry();
}

QList<KJournalEntry> KSyncJournal::below(const QString& folder) const
{
    // "/" + 1 is "0": the range holds exactly the paths that start with "folder/".
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select ") + Columns
                                       + QStringLiteral(" from k_driver_sync_journal where tx_pairid=? and "
                                                        "tx_relpath>? and tx_relpath<?"),
                                   {pairId, folder + QLatin1Char('/'), folder + QLatin1Char('0')});
    QList<KJournalEntry> entries;
    while (sql.next())
        entries.append(readEntry(sql));
    return entries;
}

void KSyncJournal::put(const KJournalEntry& entry) const
{
    KStoreSql::run(QStringLiteral("insert or replace into k_driver_sync_journal(tx_pairid,") + Columns
            + QStringLiteral(") values(?,?,?,?,?,?,?,?,?,?)"),
        {pairId, entry.relPath, entry.local.size, entry.local.mtimeMs, entry.local.inode, entry.md5, entry.datahash,
         entry.datasize, entry.version, entry.timeMs});
}

void KSyncJournal::remove(const QString& relPath) const
{
    KStoreSql::run(QStringLiteral("delete from k_driver_sync_journal where tx_pairid=? and tx_relpath=?"), {pairId, relPath});
}

int KSyncJournal::count() const
{
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select count(*) from k_driver_sync_journal where tx_pairid=?"), {pairId});
    return sql.next() ? sql.value(0).toInt() : 0;
}

void KSyncJournal::removePair(const QString& pairId)
{
    KStoreSql::run(QStringLiteral("delete from k_driver_sync_journal where tx_pairid=?"), {pairId});
}
