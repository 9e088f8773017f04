#pragma once

#include <QMap>
#include <QString>

// The login settings file <base>/config/config.json: server, last user and
// password (Base64, not a cipher) and the display title, as one compact JSON
// object. The file holds the password, so it and its folder are owner-only.
// GUI thread only.
class KLoginSettings
{
public:
    // Creates the config folder (0700) when missing.
    static QString loginSettingsPath();
    // The five keys decoded, plus any other scalar member of the file; a
    // "title" in the file becomes the display title.
    static QMap<QString, QString> readLoginSettings();
    static void saveLoginSettings(const QString& protocol, const QString& address, const QString& username,
                                  const QString& password);
    // Logout: keeps server and title, empties user name and password.
    static void clearLoginUser();

    // The file's text for these values.
    static QString settingsText(const QString& protocol, const QString& address, const QString& username,
                                const QString& password, const QString& title);

private:
    static QString decodedField(const QMap<QString, QString>& file, const QString& key);
    static void writeOwnerOnly(const QString& path, const QByteArray& bytes);
};
