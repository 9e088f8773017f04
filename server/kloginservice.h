#pragma once

#include "server/kenvelope.h"

#include <QJsonArray>
#include <QMap>
#include <QString>

#include <optional>

class KRuntimeSettings;
class KUserStore;
struct KSpaceRecord;

// The unsigned login: user and password in, identity, access key and spaces
// out. It also answers the redirect that tests can switch on.
class KLoginService
{
public:
    KLoginService(KUserStore& users, const KRuntimeSettings& settings, const QString& domain);

    KReply login(const QMap<QString, QString>& fields, const QString& baseUrl);
    // The answer of "/klogin" while a redirect is set; nullopt otherwise.
    std::optional<KReply> redirectReply() const;
    // True for the path that logs in directly: "/klogin" without a redirect,
    // the redirect's own path (when it is a bare path) with one.
    bool logsInAt(const QString& path) const;

private:
    QJsonArray spacesJson(const QString& userId, const QString& baseUrl);
    QJsonObject spaceJson(const KSpaceRecord& space, const QString& api) const;
    QString spaceApi(const QString& spaceType, const QString& baseUrl) const;

    KUserStore& users;
    const KRuntimeSettings& settings;
    QString domain;
};
