#include "server/kaccountservice.h"

#include "server/kpassword.h"
#include "server/kserverpath.h"
#include "server/kuserstore.h"

#include <QDateTime>

namespace
{
KUserRecord newUser(const QString& userId, const QString& password, const QString& name)
{
    KUserRecord user;
    user.userId = userId;
    user.userName = name.isEmpty() ? userId : name;
    user.tenantId = QStringLiteral("tenant-1");
    user.password = KPassword::makeHash(password);
    user.keyId = QStringLiteral("AK") + QString::fromLatin1(KPassword::randomBytes(10).toHex().toUpper());
    user.keySecret = QString::fromLatin1(KPassword::randomBytes(30).toBase64());
    user.keyTime = QDateTime::currentSecsSinceEpoch();
    return user;
}
}

KAccountService::KAccountService(KUserStore& users)
    : users(users)
{
}

bool KAccountService::addUser(const QString& userId, const QString& password, const QString& name, QString* error)
{
    if (!isValidUserId(userId)) {
        *error = QStringLiteral("a user id has 1 to 58 letters, digits, \".\", \"-\" or \"_\"");
        return false;
    }
    if (password.isEmpty()) {
        *error = QStringLiteral("the password must not be empty");
        return false;
    }
    if (users.findUser(userId)) {
        *error = QStringLiteral("user exists: ") + userId;
        return false;
    }
    return users.addUser(newUser(userId, password, name), error)
           && addSpace(personalSpaceId(userId), QStringLiteral("Personal"), QStringLiteral("personalspace"),
                       {userId}, error);
}

bool KAccountService::addSpace(const QString& spaceId, const QString& name, const QString& type,
                               const QStringList& members, QString* error)
{
    if (!KServerPath::isValidSpaceId(spaceId) || type.isEmpty()) {
        *error = QStringLiteral("a space id has 1 to 64 letters, digits, \".\", \"-\" or \"_\", and a type");
        return false;
    }
    for (const QString& member : members) {
        if (!users.findUser(member)) {
            *error = QStringLiteral("no such user: ") + member;
            return false;
        }
    }
    if (!users.findSpace(spaceId) && !users.addSpace({spaceId, type, name}, error))
        return false;
    for (const QString& member : members) {
        if (!users.addMember(spaceId, member, error))
            return false;
    }
    return true;
}

bool KAccountService::ensureDemo(bool* created, QString* error)
{
    *created = false;
    if (users.userCount() != 0)
        return true;
    const QString user = QString::fromLatin1(DemoUser);
    if (!addUser(user, QString::fromLatin1(DemoPassword), QStringLiteral("Demo User"), error)
        || !addSpace(QString::fromLatin1(DemoSharedSpace), QStringLiteral("Shared"), QStringLiteral("sharedspace"),
                     {user}, error)) {
        return false;
    }
    *created = true;
    return true;
}

QString KAccountService::personalSpaceId(const QString& userId)
{
    return QStringLiteral("home-") + userId;
}

bool KAccountService::isValidUserId(const QString& userId)
{
    return userId.size() <= 58 && !userId.startsWith(QLatin1Char('.'))
           && KServerPath::isValidSpaceId(personalSpaceId(userId)) && !userId.isEmpty();
}
