#include "server/ktrashstore.h"

#include "server/kserverpath.h"
#include "server/kstorage.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace
{
const char* const kTrashSchema[] = {
    // AUTOINCREMENT: the id of a purged or restored entry is never handed out again.
    "CREATE TABLE IF NOT EXISTS k_trash(id INTEGER PRIMARY KEY AUTOINCREMENT, spaceid TEXT NOT NULL,"
    " path TEXT NOT NULL, isfile INTEGER NOT NULL, ruser TEXT NOT NULL, rtime INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS k_trash_space ON k_trash(spaceid, id)",
    "CREATE INDEX IF NOT EXISTS k_trash_time ON k_trash(rtime)",
    "CREATE TABLE IF NOT EXISTS k_trash_nodes(entry INTEGER NOT NULL, path TEXT NOT NULL, parent TEXT NOT NULL,"
    " isfile INTEGER NOT NULL, cuser TEXT NOT NULL, ctime INTEGER NOT NULL, PRIMARY KEY(entry, path))",
    "CREATE TABLE IF NOT EXISTS k_trash_versions(entry INTEGER NOT NULL, path TEXT NOT NULL,"
    " version INTEGER NOT NULL, datahash TEXT NOT NULL, datasize INTEGER NOT NULL, vuser TEXT NOT NULL,"
    " vtime INTEGER NOT NULL, PRIMARY KEY(entry, path, version))",
};

// The node and everything below it: paths below "a/b" sort between "a/b/"
// and "a/b0", because "0" follows "/".
const QString kSubtree = QStringLiteral("spaceid=? AND (path=? OR (path>? AND path<?))");

QVariantList subtreeValues(const KNodeRecord& node)
{
    return {node.spaceId, node.relative, node.relative + QLatin1Char('/'), node.relative + QLatin1Char('0')};
}

bool runAll(QSqlDatabase& db, const QList<QPair<QString, QVariantList>>& statements)
{
    QSqlQuery query(db);
    return std::all_of(statements.begin(), statements.end(),
                       [&](const QPair<QString, QVariantList>& s) { return KSql::run(query, s.first, s.second); });
}

KTrashEntry entryFrom(const QSqlQuery& query)
{
    KTrashEntry entry;
    entry.id = query.value(0).toLongLong();
    entry.spaceId = query.value(1).toString();
    entry.relative = query.value(2).toString();
    entry.isFile = query.value(3).toInt() != 0;
    entry.removedBy = query.value(4).toString();
    entry.removedAt = query.value(5).toLongLong();
    return entry;
}
}

int KTrashEntry::fileCount() const
{
    return int(std::count_if(nodes.begin(), nodes.end(), [](const KNodeRecord& n) { return n.isFile; }));
}

KTrashStore::KTrashStore(KStorage& storage)
    : storage(storage)
{
}

bool KTrashStore::prepare(QString* error)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        for (const char* statement : kTrashSchema) {
            if (!query.exec(QString::fromLatin1(statement))) {
                *error = QStringLiteral("trash tables: ") + query.lastError().text();
                return false;
            }
        }
        return true;
    });
}

qint64 KTrashStore::moveIn(QSqlDatabase& db, const KNodeRecord& node, const QString& user, qint64 nowMs)
{
    QSqlQuery query(db);
    if (!KSql::run(query, QStringLiteral("INSERT INTO k_trash(spaceid, path, isfile, ruser, rtime) VALUES(?, ?, ?, ?, ?)"),
                   {node.spaceId, node.relative, node.isFile ? 1 : 0, user, nowMs})) {
        return 0;
    }
    const qint64 id = query.lastInsertId().toLongLong();
    const QVariantList subtree = subtreeValues(node);
    const bool moved = runAll(db, {
        {QStringLiteral("INSERT INTO k_trash_nodes(entry, path, parent, isfile, cuser, ctime)"
                        " SELECT ?, path, parent, isfile, cuser, ctime FROM k_nodes WHERE ") + kSubtree,
         QVariantList{id} + subtree},
        {QStringLiteral("INSERT INTO k_trash_versions(entry, path, version, datahash, datasize, vuser, vtime)"
                        " SELECT ?, n.path, v.version, v.datahash, v.datasize, v.vuser, v.vtime"
                        " FROM k_versions v JOIN k_nodes n ON n.id = v.node WHERE ") + kSubtree,
         QVariantList{id} + subtree},
        {QStringLiteral("DELETE FROM k_versions WHERE node IN (SELECT id FROM k_nodes WHERE ") + kSubtree + QLatin1Char(')'),
         subtree},
        {QStringLiteral("DELETE FROM k_nodes WHERE ") + kSubtree, subtree},
    });
    return moved ? id : 0;
}

bool KTrashStore::moveOut(QSqlDatabase& db, const KTrashEntry& entry, const QString& target)
{
    const QString parent = KServerPath{true, QString(), entry.spaceId, target}.parentRelative();
    // Paths are rewritten in SQLite's own character units, so names outside
    // the BMP cut at the same place as they were stored.
    return runAll(db, {
        {QStringLiteral("INSERT INTO k_nodes(spaceid, path, parent, isfile, cuser, ctime)"
                        " SELECT ?, ? || substr(path, length(?) + 1),"
                        " CASE WHEN path = ? THEN ? ELSE ? || substr(parent, length(?) + 1) END,"
                        " isfile, cuser, ctime FROM k_trash_nodes WHERE entry=?"),
         {entry.spaceId, target, entry.relative, entry.relative, parent, target, entry.relative, entry.id}},
        {QStringLiteral("INSERT INTO k_versions(node, version, datahash, datasize, vuser, vtime)"
                        " SELECT n.id, v.version, v.datahash, v.datasize, v.vuser, v.vtime FROM k_trash_versions v"
                        " JOIN k_nodes n ON n.spaceid = ? AND n.path = ? || substr(v.path, length(?) + 1)"
                        " WHERE v.entry=?"),
         {entry.spaceId, target, entry.relative, entry.id}},
        {QStringLiteral("DELETE FROM k_trash_versions WHERE entry=?"), {entry.id}},
        {QStringLiteral("DELETE FROM k_trash_nodes WHERE entry=?"), {entry.id}},
        {QStringLiteral("DELETE FROM k_trash WHERE id=?"), {entry.id}},
    });
}

int KTrashStore::purgeBefore(qint64 ms)
{
    int purged = 0;
    const QString old = QStringLiteral(" WHERE entry IN (SELECT id FROM k_trash WHERE rtime < ?)");
    storage.write([&](QSqlDatabase& db) {
        if (!runAll(db, {{QStringLiteral("DELETE FROM k_trash_versions") + old, {ms}},
                         {QStringLiteral("DELETE FROM k_trash_nodes") + old, {ms}}})) {
            return false;
        }
        QSqlQuery query(db);
        if (!KSql::run(query, QStringLiteral("DELETE FROM k_trash WHERE rtime < ?"), {ms}))
            return false;
        purged = query.numRowsAffected();
        return true;
    });
    return purged;
}

QList<KTrashEntry> KTrashStore::entries(const QString& spaceId)
{
    return readEntries(QStringLiteral("spaceid=? ORDER BY id"), {spaceId});
}

std::optional<KTrashEntry> KTrashStore::entry(const QString& spaceId, qint64 id)
{
    const QList<KTrashEntry> found = readEntries(QStringLiteral("spaceid=? AND id=?"), {spaceId, id});
    return found.isEmpty() ? std::nullopt : std::optional<KTrashEntry>(found.first());
}

QList<KTrashEntry> KTrashStore::readEntries(const QString& where, const QVariantList& values)
{
    QSqlQuery query(storage.connection());
    query.setForwardOnly(true);
    QList<KTrashEntry> found;
    if (!KSql::run(query, QStringLiteral("SELECT id, spaceid, path, isfile, ruser, rtime FROM k_trash WHERE ") + where, values))
        return found;
    while (query.next())
        found.append(entryFrom(query));
    for (KTrashEntry& entry : found)
        entry.nodes = nodesOf(entry);
    return found;
}

QList<KNodeRecord> KTrashStore::nodesOf(const KTrashEntry& entry)
{
    QSqlQuery query(storage.connection());
    query.setForwardOnly(true);
    QList<KNodeRecord> nodes;
    if (!KSql::run(query, QStringLiteral("SELECT t.path, t.isfile, t.cuser, t.ctime,"
                                         " v.version, v.datahash, v.datasize, v.vuser, v.vtime FROM k_trash_nodes t"
                                         " LEFT JOIN k_trash_versions v ON v.entry = t.entry AND v.path = t.path"
                                         " WHERE t.entry=? ORDER BY t.path, v.version DESC"),
                   {entry.id})) {
        return nodes;
    }
    while (query.next()) {
        const QString path = query.value(0).toString();
        if (nodes.isEmpty() || nodes.last().relative != path)
            nodes.append(KNodeRecord{0, entry.spaceId, path, query.value(1).toInt() != 0, query.value(2).toString(),
                                     query.value(3).toLongLong(), {}});
        if (!query.value(4).isNull())
            nodes.last().versions.append(KVersionRecord{query.value(4).toLongLong(), query.value(5).toString(),
                                                        query.value(6).toLongLong(), query.value(7).toString(),
                                                        query.value(8).toLongLong()});
    }
    return nodes;
}
