#include "server/kuploadstore.h"

#include "server/kstorage.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

qint64 KUploadSession::partCount() const
{
    if (chunkSize <= 0 || fileSize <= 0)
        return 0;
    return (fileSize - 1) / chunkSize + 1;
}

qint64 KUploadSession::partOffset(int number) const
{
    return qint64(number - 1) * chunkSize;
}

qint64 KUploadSession::partSize(int number) const
{
    if (number < 1 || number > partCount())
        return 0;
    return qMin(chunkSize, fileSize - partOffset(number));
}

KUploadStore::KUploadStore(KStorage& storage)
    : storage(storage)
{
}

bool KUploadStore::create(const KUploadSession& s)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        return KSql::run(query, QStringLiteral("INSERT INTO k_uploads VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                         {s.token, s.userId, s.spaceId, s.relative, s.fileMd5, s.fileSize, s.chunkSize,
                          s.createFile ? 1 : 0, s.createVersion ? 1 : 0, s.state, s.created, s.expires});
    });
}

std::optional<KUploadSession> KUploadStore::find(const QString& token)
{
    QSqlQuery query(storage.connection());
    if (!KSql::run(query, QStringLiteral("SELECT token, userid, spaceid, path, filemd5, filesize, chunksize,"
                                         " createfile, createversion, state, ctime, expires"
                                         " FROM k_uploads WHERE token=?"),
                   {token})
        || !query.next()) {
        return std::nullopt;
    }
    return KUploadSession{query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                          query.value(3).toString(), query.value(4).toString(), query.value(5).toLongLong(),
                          query.value(6).toLongLong(), query.value(7).toInt() != 0, query.value(8).toInt() != 0,
                          query.value(9).toString(), query.value(10).toLongLong(), query.value(11).toLongLong()};
}

bool KUploadStore::setState(QSqlDatabase& db, const QString& token, const QString& state)
{
    QSqlQuery query(db);
    return KSql::run(query, QStringLiteral("UPDATE k_uploads SET state=? WHERE token=?"), {state, token});
}

bool KUploadStore::setState(const QString& token, const QString& state)
{
    return storage.write([&](QSqlDatabase& db) { return setState(db, token, state); });
}

bool KUploadStore::recordPart(const QString& token, int number, qint64 size)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        return KSql::run(query, QStringLiteral("INSERT OR REPLACE INTO k_parts(token, partnumber, partsize, partmd5)"
                                               " VALUES(?, ?, ?, NULL)"),
                         {token, number, size});
    });
}

QList<KStoredPart> KUploadStore::parts(const QString& token)
{
    QList<KStoredPart> found;
    QSqlQuery query(storage.connection());
    if (KSql::run(query, QStringLiteral("SELECT partnumber, partsize, partmd5 FROM k_parts WHERE token=?"
                                        " ORDER BY partnumber"),
                  {token})) {
        while (query.next())
            found.append({query.value(0).toInt(), query.value(1).toLongLong(), query.value(2).toString()});
    }
    return found;
}

bool KUploadStore::hasPart(const QString& token, int number)
{
    QSqlQuery query(storage.connection());
    return KSql::run(query, QStringLiteral("SELECT 1 FROM k_parts WHERE token=? AND partnumber=?"), {token, number})
           && query.next();
}

bool KUploadStore::removePart(const QString& token, int number)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        return KSql::run(query, QStringLiteral("DELETE FROM k_parts WHERE token=? AND partnumber=?"), {token, number});
    });
}

bool KUploadStore::setPartMd5(const QString& token, int number, const QString& md5)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        return KSql::run(query, QStringLiteral("UPDATE k_parts SET partmd5=? WHERE token=? AND partnumber=?"),
                         {md5, token, number});
    });
}

bool KUploadStore::removeParts(QSqlDatabase& db, const QString& token)
{
    QSqlQuery query(db);
    return KSql::run(query, QStringLiteral("DELETE FROM k_parts WHERE token=?"), {token});
}

QStringList KUploadStore::expiredOpen(qint64 now)
{
    QStringList tokens;
    QSqlQuery query(storage.connection());
    if (KSql::run(query, QStringLiteral("SELECT token FROM k_uploads WHERE state='open' AND expires<?"), {now})) {
        while (query.next())
            tokens.append(query.value(0).toString());
    }
    return tokens;
}
