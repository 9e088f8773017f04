#pragma once

#include "server/kpassword.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>

#include <optional>

class KStorage;

struct KUserRecord
{
    QString userId;
    QString userName;
    QString tenantId;
    KPasswordHash password;
    QString keyId;
    QString keySecret;
    qint64 keyTime = 0; // seconds since the epoch when the key was issued
};

struct KSpaceRecord
{
    QString spaceId;
    QString spaceType; // personalspace, sharedspace, ...
    QString spaceName;
};

// Accounts, their access keys, spaces and who may use which space. Lookups on
// the hot path (key id, membership) are cached; entries are only ever added,
// so a cache miss simply asks the database again.
class KUserStore
{
public:
    explicit KUserStore(KStorage& storage);

    std::optional<KUserRecord> findUser(const QString& userId);
    std::optional<KUserRecord> findByKeyId(const QString& keyId);
    bool addUser(const KUserRecord& user, QString* error);
    int userCount();

    bool addSpace(const KSpaceRecord& space, QString* error);
    bool addMember(const QString& spaceId, const QString& userId, QString* error);
    std::optional<KSpaceRecord> findSpace(const QString& spaceId);
    QList<KSpaceRecord> spacesOf(const QString& userId);
    bool isMember(const QString& userId, const QString& spaceId);

private:
    std::optional<KUserRecord> findWhere(const QString& column, const QString& value);

    KStorage& storage;
    QMutex cacheMutex;
    QHash<QString, KUserRecord> keyCache;
    QSet<QString> memberCache; // userId + "\n" + spaceId
};
