#include "server/kremovalreceipts.h"

#include "server/kstorage.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

KRemovalReceipts::KRemovalReceipts(KStorage& storage)
    : storage(storage)
{
}

bool KRemovalReceipts::prepare(QString* error)
{
    return storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        const bool ok = query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS k_removal_receipts(requestkey TEXT PRIMARY KEY,"
                                                  " userid TEXT NOT NULL, ctime INTEGER NOT NULL, answer TEXT NOT NULL)"))
                        && query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS k_removal_receipts_time"
                                                     " ON k_removal_receipts(ctime)"));
        if (!ok)
            *error = QStringLiteral("receipt table: ") + query.lastError().text();
        return ok;
    });
}

std::optional<QJsonArray> KRemovalReceipts::find(QSqlDatabase& db, const QString& key)
{
    QSqlQuery query(db);
    if (!KSql::run(query, QStringLiteral("SELECT answer FROM k_removal_receipts WHERE requestkey=?"), {key}) || !query.next())
        return std::nullopt;
    return QJsonDocument::fromJson(query.value(0).toString().toUtf8()).array();
}

bool KRemovalReceipts::record(QSqlDatabase& db, const QString& key, const QString& userId, qint64 nowMs,
                              const QJsonArray& answer)
{
    QSqlQuery query(db);
    const QString json = QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
    return KSql::run(query, QStringLiteral("INSERT INTO k_removal_receipts(requestkey, userid, ctime, answer) VALUES(?, ?, ?, ?)"),
                     {key, userId, nowMs, json});
}

void KRemovalReceipts::forgetBefore(qint64 ms)
{
    storage.write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        return KSql::run(query, QStringLiteral("DELETE FROM k_removal_receipts WHERE ctime < ?"), {ms});
    });
}

QString KRemovalReceipts::keyOf(const QString& userId, const QString& signedHeaders)
{
    const QByteArray text = (userId + QLatin1Char('\n') + signedHeaders).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
}
