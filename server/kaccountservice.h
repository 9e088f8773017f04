#pragma once

#include <QString>
#include <QStringList>

class KUserStore;

// Creating accounts and spaces: from the command line, the admin endpoint and
// the first start of an empty root.
class KAccountService
{
public:
    static constexpr const char* DemoUser = "demo";
    static constexpr const char* DemoPassword = "demo123";
    static constexpr const char* DemoSharedSpace = "team-demo";

    explicit KAccountService(KUserStore& users);

    // A user with a fresh access key and a personal space "home-<user>".
    bool addUser(const QString& userId, const QString& password, const QString& name, QString* error);
    bool addSpace(const QString& spaceId, const QString& name, const QString& type, const QStringList& members,
                  QString* error);
    // On a database without users: the demo user with its personal space
    // and a shared space. `created` tells whether it did anything.
    bool ensureDemo(bool* created, QString* error);

    static QString personalSpaceId(const QString& userId);
    static bool isValidUserId(const QString& userId);

private:
    KUserStore& users;
};
