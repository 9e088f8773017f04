#include "login/ksession.h"

#include "api/khttptools.h"
#include "app/kjsontools.h"

#include <QJsonArray>

QString KLoginControl::WexoraTitle = QStringLiteral("Wexora云盘");
QString WexoraBase::baseServer;
KAccessData WexoraBase::accessdata;

namespace {

void setIfPresent(const QJsonObject& object, const QString& key, QString& field)
{
    if (object.contains(key))
        field = KJsonTools::textMember(object, key);
}

} // namespace

QString KSession::sendLoginRequest(const QString& url, const QString& username, const QString& password)
{
    // No access key exists yet: the login goes unsigned.
    return KHttpTools::callApi(url, loginForm(username, password), false);
}

QMap<QString, QString> KSession::loginForm(const QString& username, const QString& password)
{
    QMap<QString, QString> form;
    form.insert(QStringLiteral("userid"), username);
    form.insert(QStringLiteral("password"), password);
    form.insert(QStringLiteral("mac"), KHttpTools::toJsonArrayText({}));
    return form;
}

void KSession::parseLoginResponse(const QString& serverBase, const QString& responseText)
{
    WexoraBase::baseServer = serverBase;
    const QJsonValue dataValue = KHttpTools::parseResponse(responseText);
    const QJsonObject data = dataValue.toObject();
    if (!dataValue.isObject() || data.isEmpty())
        return;
    KAccessData& access = WexoraBase::accessdata;
    if (data.contains(QStringLiteral("ext")))
        access.ext = membersOf(data.value(QStringLiteral("ext")));
    readAccessKey(data.value(QStringLiteral("accesskey")).toObject(), access);
    readIdentity(data, access);
    if (data.contains(QStringLiteral("spaces")))
        access.spaces = readSpaces(data.value(QStringLiteral("spaces")));
}

void KSession::readAccessKey(const QJsonObject& accesskey, KAccessData& access)
{
    // An absent or empty key object keeps the previous key.
    if (accesskey.isEmpty())
        return;
    access.accesskeyid = KJsonTools::textMember(accesskey, QStringLiteral("accesskeyid"));
    access.accessdomain = KJsonTools::textMember(accesskey, QStringLiteral("accessdomain"));
    access.accesskeysecret = KJsonTools::textMember(accesskey, QStringLiteral("accesskeysecret"));
    access.accesskeytime = KJsonTools::textMember(accesskey, QStringLiteral("accesskeytime"));
}

void KSession::readIdentity(const QJsonObject& data, KAccessData& access)
{
    setIfPresent(data, QStringLiteral("userid"), access.userid);
    setIfPresent(data, QStringLiteral("username"), access.username);
    setIfPresent(data, QStringLiteral("tenantid"), access.tenantid);
}

QList<KSpaceInfo> KSession::readSpaces(const QJsonValue& spaces)
{
    QList<KSpaceInfo> kept;
    for (const QJsonValue& item : spaces.toArray()) {
        const QJsonObject entry = item.toObject();
        if (isSystemSpace(entry))
            continue;
        KSpaceInfo space;
        space.spaceid = KJsonTools::textMember(entry, QStringLiteral("spaceid"));
        space.spaceapi = KJsonTools::textMember(entry, QStringLiteral("spaceapi"));
        space.spacename = KJsonTools::textMember(entry, QStringLiteral("spacename"));
        space.spaceroot = KJsonTools::textMember(entry, QStringLiteral("spaceroot"));
        kept.append(space);
    }
    return kept;
}

bool KSession::isSystemSpace(const QJsonObject& entry)
{
    const QString type = KJsonTools::textMember(entry, QStringLiteral("spacetype"));
    return type == QLatin1String("systemspace") || type == QLatin1String("systemfile");
}

QMap<QString, QJsonValue> KSession::membersOf(const QJsonValue& value)
{
    QMap<QString, QJsonValue> members;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        members.insert(it.key(), it.value());
    return members;
}
