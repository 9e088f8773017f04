#pragma once

#include <QJsonArray>
#include <QSqlDatabase>
#include <QString>

#include <optional>

class KStorage;

// The answers of removals carried out, by request. A client resends a POST
// whose connection dropped with the same x-date and x-authorization; such a
// request gets the first answer again instead of removing what has since
// appeared at its paths. A signed request is accepted only within 15 minutes
// of its date, so an hour of receipts covers every resend.
class KRemovalReceipts
{
public:
    static constexpr qint64 KeepMilliseconds = 3600 * 1000;

    explicit KRemovalReceipts(KStorage& storage);

    bool prepare(QString* error);
    // Inside a write transaction, so a resend waits for the first to finish.
    std::optional<QJsonArray> find(QSqlDatabase& db, const QString& key);
    bool record(QSqlDatabase& db, const QString& key, const QString& userId, qint64 nowMs, const QJsonArray& answer);
    void forgetBefore(qint64 ms);

    // The key of a request: its user and its signing headers, hashed.
    static QString keyOf(const QString& userId, const QString& signedHeaders);

private:
    KStorage& storage;
};
