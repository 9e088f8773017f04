#pragma once

#include <QByteArray>
#include <QString>

// Signs the part and download addresses the server hands out: an HMAC-SHA256
// with the server's own secret over what the address grants and until when.
// Nothing else is needed to check such an address later, also after a
// restart, because the secret is kept in the database.
class KUrlSigner
{
public:
    explicit KUrlSigner(const QByteArray& secret);

    // Lower-case hex HMAC over kind, subject and expiry, one per line.
    QString sign(const QString& kind, const QString& subject, qint64 expires) const;
    // True when the signature matches; the expiry is checked by the caller.
    bool verify(const QString& kind, const QString& subject, qint64 expires, const QString& signature) const;

private:
    QByteArray secret;
};
