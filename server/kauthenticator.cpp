#include "server/kauthenticator.h"

#include "server/kcanonical.h"
#include "server/kclock.h"
#include "server/ksignature.h"
#include "server/kuserstore.h"

#include <QUrl>

KAuthenticator::KAuthenticator(KUserStore& users, const KClock& clock, const QString& domain)
    : users(users)
    , clock(clock)
    , domain(domain)
{
}

KAuthResult KAuthenticator::verify(const QString& target, const QMap<QString, QString>& fields,
                                   const QString& date, const QString& authorization) const
{
    KAuthResult result;
    result.refusal = checkDate(date);
    if (!result.accepted())
        return result;
    const auto header = KSignature::parseAuthorization(authorization);
    if (!header || header->domain != domain) {
        result.refusal = KReply::fail(KCode::BadSignature, QStringLiteral("missing or malformed x-authorization"));
        return result;
    }
    const std::optional<KUserRecord> user = users.findByKeyId(header->keyId);
    if (!user || !signatureMatches(target, fields, date, user->keySecret, header->signature)) {
        result.refusal = KReply::fail(KCode::BadSignature, QStringLiteral("signature does not match"));
        return result;
    }
    result.userId = user->userId;
    return result;
}

KReply KAuthenticator::checkDate(const QString& date) const
{
    const std::optional<qint64> at = KSignature::parseHttpDate(date);
    if (!at)
        return KReply::fail(KCode::StaleDate, QStringLiteral("missing or malformed x-date"));
    if (qAbs(*at - clock.nowSeconds()) > DateWindowSeconds)
        return KReply::fail(KCode::StaleDate, QStringLiteral("x-date is more than 15 minutes away from the server time"));
    return KReply::ok(QJsonValue());
}

bool KAuthenticator::signatureMatches(const QString& target, const QMap<QString, QString>& fields,
                                      const QString& date, const QString& secret, const QString& signature) const
{
    // The client signs the address text it was given; HTTP carries it
    // percent-encoded, so both forms are tried.
    const QString decoded = QUrl::fromPercentEncoding(target.toUtf8());
    for (const QString& form : {target, decoded}) {
        const QString text = KCanonical::stringToSign(QStringLiteral("POST"), KCanonical::canonicalResource(form, fields), date);
        if (KSignature::constantTimeEquals(KSignature::hmacSha1Base64(secret, text).toLatin1(), signature.toLatin1()))
            return true;
    }
    return false;
}
