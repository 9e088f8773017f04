#include "server/kuserstore.h"

#include "server/kstorage.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace
{
KUserRecord userFrom(const QSqlQuery& query)
{
    KUserRecord user;
    user.userId = query.value(0).toString();
    user.userName = query.value(1).toString();
    user.tenantId = query.value(2).toString();
    user.password.salt = query.value(3).toByteArray();
    user.password.hash = query.value(4).toByteArray();
    user.password.iterations = query.value(5).toInt();
    user.keyId = query.value(6).toString();
    user.keySecret = query.value(7).toString();
    user.keyTime = query.value(8).toLongLong();
    return user;
}

bool failWith(QString* error, const QSqlQuery& query)
{
    if (error)
        *error = query.lastError().text();
    return false;
}
}

KUserStore::KUserStore(KStorage& storage)
    : storage(storage)
{
}

std::optional<KUserRecord> KUserStore::findWhere(const QString& column, const QString& value)
{
    QSqlQuery query(storage.connection());
    const QString sql = QStringLiteral("SELECT userid, username, tenantid, pw_salt, pw_hash, pw_iterations,"
                                       " key_id, key_secret, key_time FROM k_users WHERE %1=?")
                            .arg(column);
    if (KSql::run(query, sql, {value}) && query.next())
        return userFrom(query);
    return std::nullopt;
}

std::optional<KUserRecord> KUserStore::findUser(const QString& userId)
{
    return findWhere(QStringLiteral("userid"), userId);
}

std::optional<KUserRecord> KUserStore::findByKeyId(const QString& keyId)
{
    {
        QMutexLocker lock(&cacheMutex);
        const auto cached = keyCache.constFind(keyId);
        if (cached != keyCache.constEnd())
            return *cached;
    }
    const std::optional<KUserRecord> user = findWhere(QStringLiteral("key_id"), keyId);
    if (user) {
        QMutexLocker lock(&cacheMutex);
        keyCache.insert(keyId, *user);
    }
    return user;
}

bool KUserStore::addUser(const KUserRecord& user, QString* error)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        const bool ok = KSql::run(query, QStringLiteral("INSERT INTO k_users VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                                  {user.userId, user.userName, user.tenantId, user.password.salt,
                                   user.password.hash, user.password.iterations, user.keyId, user.keySecret,
                                   user.keyTime, QDateTime::currentMSecsSinceEpoch()});
        return ok || failWith(error, query);
    });
}

int KUserStore::userCount()
{
    QSqlQuery query(storage.connection());
    if (KSql::run(query, QStringLiteral("SELECT COUNT(*) FROM k_users")) && query.next())
        return query.value(0).toInt();
    return -1;
}

bool KUserStore::addSpace(const KSpaceRecord& space, QString* error)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        const bool ok = KSql::run(query, QStringLiteral("INSERT INTO k_spaces VALUES(?, ?, ?, ?)"),
                                  {space.spaceId, space.spaceType, space.spaceName,
                                   QDateTime::currentMSecsSinceEpoch()});
        return ok || failWith(error, query);
    });
}

bool KUserStore::addMember(const QString& spaceId, const QString& userId, QString* error)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        const bool ok = KSql::run(query, QStringLiteral("INSERT OR IGNORE INTO k_members VALUES(?, ?)"),
                                  {spaceId, userId});
        return ok || failWith(error, query);
    });
}

std::optional<KSpaceRecord> KUserStore::findSpace(const QString& spaceId)
{
    QSqlQuery query(storage.connection());
    if (KSql::run(query, QStringLiteral("SELECT spaceid, spacetype, spacename FROM k_spaces WHERE spaceid=?"),
                  {spaceId})
        && query.next()) {
        return KSpaceRecord{query.value(0).toString(), query.value(1).toString(), query.value(2).toString()};
    }
    return std::nullopt;
}

QList<KSpaceRecord> KUserStore::spacesOf(const QString& userId)
{
    QList<KSpaceRecord> spaces;
    QSqlQuery query(storage.connection());
    const QString sql = QStringLiteral("SELECT s.spaceid, s.spacetype, s.spacename FROM k_spaces s"
                                       " JOIN k_members m ON m.spaceid = s.spaceid WHERE m.userid=?"
                                       " ORDER BY s.ctime, s.spaceid");
    if (KSql::run(query, sql, {userId})) {
        while (query.next())
            spaces.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toString()});
    }
    return spaces;
}

bool KUserStore::isMember(const QString& userId, const QString& spaceId)
{
    const QString key = userId + QLatin1Char('\n') + spaceId;
    {
        QMutexLocker lock(&cacheMutex);
        if (memberCache.contains(key))
            return true;
    }
    QSqlQuery query(storage.connection());
    const bool member = KSql::run(query, QStringLiteral("SELECT 1 FROM k_members WHERE userid=? AND spaceid=?"),
                                  {userId, spaceId})
                        && query.next();
    if (member) {
        QMutexLocker lock(&cacheMutex);
        memberCache.insert(key);
    }
    return member;
}
