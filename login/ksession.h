#pragma once

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
