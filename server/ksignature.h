#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Pieces of the request signature check that need no server state.
namespace KSignature
{
struct Authorization
{
    QString domain;
    QString keyId;
    QString signature;
};

// Base64 of HMAC-SHA1(key, message), both taken as UTF-8.
QString hmacSha1Base64(const QString& key, const QString& message);

// "domain keyid:signature"; nullopt when a piece is missing.
std::optional<Authorization> parseAuthorization(const QString& header);

// "ddd, dd MMM yyyy HH:mm:ss GMT" in English, as seconds since the epoch.
// nullopt for any other shape, an unknown day or month name, or a day name
// that does not match the date.
std::optional<qint64> parseHttpDate(const QString& text);
QString formatHttpDate(qint64 secondsSinceEpoch);

// Compares without an early exit, so a forged signature learns nothing from
// the time the comparison takes.
bool constantTimeEquals(const QByteArray& a, const QByteArray& b);
}
