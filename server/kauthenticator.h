#pragma once

#include "server/kenvelope.h"

#include <QMap>
#include <QString>

class KClock;
class KUserStore;

struct KAuthResult
{
    KReply refusal; // code Ok when the request is accepted
    QString userId;

    bool accepted() const { return refusal.code == KCode::Ok; }
};

// Checks the signature headers of an operation request: the date lies within
// the window, the domain is ours, the key id is known, and the HMAC-SHA1 over
// the request as the client saw it matches.
class KAuthenticator
{
public:
    static constexpr qint64 DateWindowSeconds = 15 * 60;

    KAuthenticator(KUserStore& users, const KClock& clock, const QString& domain);

    KAuthResult verify(const QString& target, const QMap<QString, QString>& fields, const QString& date,
                       const QString& authorization) const;

private:
    KReply checkDate(const QString& date) const;
    bool signatureMatches(const QString& target, const QMap<QString, QString>& fields, const QString& date,
                          const QString& secret, const QString& signature) const;

    KUserStore& users;
    const KClock& clock;
    QString domain;
};
