#include "server/knodestore.h"

#include "server/kserverpath.h"
#include "server/kstorage.h"

#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace
{
const QString kNodeColumns = QStringLiteral(
    "SELECT n.id, n.spaceid, n.path, n.isfile, n.cuser, n.ctime,"
    " v.version, v.datahash, v.datasize, v.vuser, v.vtime"
    " FROM k_nodes n LEFT JOIN k_versions v ON v.node = n.id ");

KVersionRecord versionFrom(const QSqlQuery& query)
{
    return KVersionRecord{query.value(6).toLongLong(), query.value(7).toString(), query.value(8).toLongLong(),
                          query.value(9).toString(), query.value(10).toLongLong()};
}

KNodeRecord nodeFrom(const QSqlQuery& query)
{
    KNodeRecord node;
    node.id = query.value(0).toLongLong();
    node.spaceId = query.value(1).toString();
    node.relative = query.value(2).toString();
    node.isFile = query.value(3).toInt() != 0;
    node.cuser = query.value(4).toString();
    node.ctime = query.value(5).toLongLong();
    return node;
}

// Paths below "a/b" sort between "a/b/" and "a/b0", because "0" follows "/".
QString subtreeEnd(const QString& relative)
{
    return relative + QLatin1Char('0');
}
}

KNodeStore::KNodeStore(KStorage& storage)
    : storage(storage)
{
}

QList<KNodeRecord> KNodeStore::readNodes(QSqlQuery& query)
{
    QList<KNodeRecord> nodes;
    while (query.next()) {
        const qint64 id = query.value(0).toLongLong();
        if (nodes.isEmpty() || nodes.last().id != id)
            nodes.append(nodeFrom(query));
        if (!query.value(6).isNull())
            nodes.last().versions.append(versionFrom(query));
    }
    return nodes;
}

std::optional<KNodeRecord> KNodeStore::find(const QString& spaceId, const QString& relative)
{
    if (relative.isEmpty())
        return KNodeRecord{0, spaceId, QString(), false, QString(), 0, {}};
    QSqlQuery query(storage.connection());
    query.setForwardOnly(true);
    const QString sql = kNodeColumns + QStringLiteral("WHERE n.spaceid=? AND n.path=? ORDER BY v.version DESC");
    if (!KSql::run(query, sql, {spaceId, relative}))
        return std::nullopt;
    const QList<KNodeRecord> nodes = readNodes(query);
    return nodes.isEmpty() ? std::nullopt : std::optional<KNodeRecord>(nodes.first());
}

QList<KNodeRecord> KNodeStore::descendants(const QString& spaceId, const QString& relative, int depth)
{
    QSqlQuery query(storage.connection());
    query.setForwardOnly(true);
    const QString order = QStringLiteral(" ORDER BY n.path, n.id, v.version DESC");
    bool ok = false;
    if (depth == 1) {
        ok = KSql::run(query, kNodeColumns + QStringLiteral("WHERE n.spaceid=? AND n.parent=?") + order,
                       {spaceId, relative});
    } else if (relative.isEmpty()) {
        ok = KSql::run(query, kNodeColumns + QStringLiteral("WHERE n.spaceid=?") + order, {spaceId});
    } else {
        ok = KSql::run(query, kNodeColumns + QStringLiteral("WHERE n.spaceid=? AND n.path>? AND n.path<?") + order,
                       {spaceId, relative + QLatin1Char('/'), subtreeEnd(relative)});
    }
    QList<KNodeRecord> nodes = ok ? readNodes(query) : QList<KNodeRecord>();
    const int base = KServerPaths::depth(relative);
    nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                               [&](const KNodeRecord& n) { return KServerPaths::depth(n.relative) - base > depth; }),
                nodes.end());
    return nodes;
}

int KNodeStore::kindOf(QSqlDatabase& db, const QString& spaceId, const QString& relative, qint64* id)
{
    QSqlQuery query(db);
    if (!KSql::run(query, QStringLiteral("SELECT id, isfile FROM k_nodes WHERE spaceid=? AND path=?"),
                   {spaceId, relative})
        || !query.next()) {
        return -1;
    }
    if (id)
        *id = query.value(0).toLongLong();
    return query.value(1).toInt() != 0 ? 1 : 0;
}

bool KNodeStore::insertNode(QSqlDatabase& db, const QString& spaceId, const QString& relative, bool isFile,
                            const QString& user, qint64 nowMs, qint64* id)
{
    QSqlQuery query(db);
    const KServerPath path = KServerPath{true, QString(), spaceId, relative};
    if (!KSql::run(query, QStringLiteral("INSERT INTO k_nodes(spaceid, path, parent, isfile, cuser, ctime)"
                                         " VALUES(?, ?, ?, ?, ?, ?)"),
                   {spaceId, relative, path.parentRelative(), isFile ? 1 : 0, user, nowMs})) {
        return false;
    }
    if (id)
        *id = query.lastInsertId().toLongLong();
    return true;
}

KNodeStore::Outcome KNodeStore::makeFolders(QSqlDatabase& db, const QString& spaceId, const QString& relative,
                                            const QString& user, qint64 nowMs)
{
    if (relative.isEmpty())
        return Outcome::Done;
    QStringList chain = KServerPaths::ancestors(relative);
    chain.append(relative);
    for (const QString& folder : qAsConst(chain)) {
        const int kind = kindOf(db, spaceId, folder, nullptr);
        if (kind == 1)
            return Outcome::Conflict;
        if (kind < 0 && !insertNode(db, spaceId, folder, false, user, nowMs, nullptr))
            return Outcome::Failed;
    }
    return Outcome::Done;
}

KNodeStore::Outcome KNodeStore::addVersion(QSqlDatabase& db, const QString& spaceId, const QString& relative,
                                           const KVersionRecord& version, bool createFile, bool createVersion)
{
    qint64 id = 0;
    const int kind = kindOf(db, spaceId, relative, &id);
    if (kind == 0 || (kind == 1 && !createVersion))
        return Outcome::Conflict;
    if (kind < 0 && !createFile)
        return Outcome::NotFound;
    if (kind < 0) {
        const KServerPath path{true, QString(), spaceId, relative};
        const Outcome folders = makeFolders(db, spaceId, path.parentRelative(), version.vuser, version.vtime);
        if (folders != Outcome::Done)
            return folders;
        if (!insertNode(db, spaceId, relative, true, version.vuser, version.vtime, &id))
            return Outcome::Failed;
    }
    QSqlQuery query(db);
    const bool ok = KSql::run(query, QStringLiteral("INSERT INTO k_versions(node, version, datahash, datasize, vuser, vtime)"
                                                    " SELECT ?, COALESCE(MAX(version), 0) + 1, ?, ?, ?, ?"
                                                    " FROM k_versions WHERE node=?"),
                              {id, version.dataHash, version.dataSize, version.vuser, version.vtime, id});
    return ok ? Outcome::Done : Outcome::Failed;
}
