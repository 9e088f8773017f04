#include "server/kurlsigner.h"

#include "server/ksignature.h"

#include <QMessageAuthenticationCode>

KUrlSigner::KUrlSigner(const QByteArray& secret)
    : secret(secret)
{
}

QString KUrlSigner::sign(const QString& kind, const QString& subject, qint64 expires) const
{
    const QByteArray message = (kind + QLatin1Char('\n') + subject + QLatin1Char('\n')
                                + QString::number(expires)).toUtf8();
    const QByteArray mac = QMessageAuthenticationCode::hash(message, secret, QCryptographicHash::Sha256);
    return QString::fromLatin1(mac.toHex());
}

bool KUrlSigner::verify(const QString& kind, const QString& subject, qint64 expires,
                        const QString& signature) const
{
    return KSignature::constantTimeEquals(sign(kind, subject, expires).toLatin1(), signature.toLatin1());
}
