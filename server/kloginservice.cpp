#include "server/kloginservice.h"

#include "server/kpassword.h"
#include "server/kserverconfig.h"
#include "server/kuserstore.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace
{
// Checked when the user is unknown, so a wrong user name costs as much time
// as a wrong password and does not reveal which accounts exist.
const KPasswordHash& dummyHash()
{
    static const KPasswordHash hash = KPassword::makeHash(QStringLiteral("no such user"));
    return hash;
}

QJsonObject accessKeyJson(const KUserRecord& user, const QString& domain)
{
    return QJsonObject{{QStringLiteral("accesskeyid"), user.keyId},
                       {QStringLiteral("accesskeysecret"), user.keySecret},
                       {QStringLiteral("accessdomain"), domain},
                       {QStringLiteral("accesskeytime"), QString::number(user.keyTime)}};
}
}

KLoginService::KLoginService(KUserStore& users, const KRuntimeSettings& settings, const QString& domain)
    : users(users)
    , settings(settings)
    , domain(domain)
{
}

KReply KLoginService::login(const QMap<QString, QString>& fields, const QString& baseUrl)
{
    const QString userId = fields.value(QStringLiteral("userid"));
    const QString password = fields.value(QStringLiteral("password"));
    if (userId.isEmpty() || password.isEmpty())
        return KReply::fail(KCode::BadRequest, QStringLiteral("userid and password are required"));
    const std::optional<KUserRecord> user = users.findUser(userId);
    const bool passwordOk = KPassword::verify(password, user ? user->password : dummyHash());
    if (!user || !passwordOk)
        return KReply::fail(KCode::LoginFailed, QStringLiteral("user name or password wrong"));
    const QJsonObject data{{QStringLiteral("userid"), user->userId},
                           {QStringLiteral("username"), user->userName},
                           {QStringLiteral("tenantid"), user->tenantId},
                           {QStringLiteral("ext"), QJsonObject{{QStringLiteral("server"), QStringLiteral("wexora-drive-server")},
                                                               {QStringLiteral("role"), QStringLiteral("user")}}},
                           {QStringLiteral("accesskey"), accessKeyJson(*user, domain)},
                           {QStringLiteral("spaces"), spacesJson(user->userId, baseUrl)}};
    return KReply::ok(data);
}

std::optional<KReply> KLoginService::redirectReply() const
{
    const QString target = settings.redirect();
    if (target.isEmpty())
        return std::nullopt;
    // The data member is a JSON text holding an object, not an object.
    const QJsonObject inner{{QStringLiteral("redirect"), target}};
    return KReply::ok(QString::fromUtf8(QJsonDocument(inner).toJson(QJsonDocument::Compact)));
}

bool KLoginService::logsInAt(const QString& path) const
{
    const QString target = settings.redirect();
    if (target.isEmpty() || target.startsWith(QLatin1String("http")))
        return path == QLatin1String("/klogin") && target.isEmpty();
    return path == target;
}

QJsonArray KLoginService::spacesJson(const QString& userId, const QString& baseUrl)
{
    QJsonArray spaces;
    const QList<KSpaceRecord> records = users.spacesOf(userId);
    for (const KSpaceRecord& space : records) {
        spaces.append(spaceJson(space, spaceApi(space.spaceType, baseUrl)));
        // A system entry the client must leave out; it sits between real
        // spaces so a client that filters by position is caught.
        if (spaces.size() == 1) {
            const KSpaceRecord system{QStringLiteral("sys-") + userId, QStringLiteral("systemspace"),
                                      QStringLiteral("System")};
            spaces.append(spaceJson(system, QStringLiteral("/api")));
        }
    }
    return spaces;
}

QJsonObject KLoginService::spaceJson(const KSpaceRecord& space, const QString& api) const
{
    return QJsonObject{{QStringLiteral("spacetype"), space.spaceType},
                       {QStringLiteral("spaceid"), space.spaceId},
                       {QStringLiteral("spaceapi"), api},
                       {QStringLiteral("spacename"), space.spaceName},
                       {QStringLiteral("spaceroot"), QLatin1Char('@') + space.spaceId}};
}

QString KLoginService::spaceApi(const QString& spaceType, const QString& baseUrl) const
{
    const QString style = settings.apiStyle();
    const bool absolute = style == QLatin1String("absolute")
                          || (style == QLatin1String("mixed") && spaceType != QLatin1String("personalspace"));
    return absolute ? baseUrl + QStringLiteral("/api/space") : QStringLiteral("/api");
}
