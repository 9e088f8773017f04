#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>

// One storage space the server grants the signed-in user.
struct KSpaceInfo
{
    QString spaceid;
    QString spacename;
    QString spaceapi;
    QString spaceroot;
};

// The signed-in user's identity, signing keys and spaces.
struct KAccessData
{
    QString userid;
    QString username;
    QString tenantid;
    QMap<QString, QJsonValue> ext;
    QString accesskeyid;
    QString accesskeysecret;
    QString accessdomain;
    QString accesskeytime;
    QList<KSpaceInfo> spaces;
};

// Filled on the GUI thread during login, before any background thread starts;
// only read afterwards, so no lock.
class WexoraBase
{
public:
    static QString baseServer;
    static KAccessData accessdata;
};

class KLoginControl
{
public:
    // Product display title; the settings file's "title" replaces it.
    static QString WexoraTitle;
};

// Sends the login and fills the session record from its reply.
class KSession
{
public:
    // The unsigned form POST of the login: userid, password and mac="[]".
    static QString sendLoginRequest(const QString& url, const QString& username, const QString& password);
    static QMap<QString, QString> loginForm(const QString& username, const QString& password);

    // Sets baseServer, then overwrites the record with what the reply's data
    // object carries; members it lacks leave their fields as they were.
    // Throws "请求异常!" when the reply is not an envelope.
    static void parseLoginResponse(const QString& serverBase, const QString& responseText);

    // The kept spaces of a "spaces" value, in array order; system spaces are skipped.
    static QList<KSpaceInfo> readSpaces(const QJsonValue& spaces);

private:
    static void readAccessKey(const QJsonObject& accesskey, KAccessData& access);
    static void readIdentity(const QJsonObject& data, KAccessData& access);
    static bool isSystemSpace(const QJsonObject& entry);
    static QMap<QString, QJsonValue> membersOf(const QJsonValue& value);
};
