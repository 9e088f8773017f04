#include "login/kloginsettings.h"

#include "app/kfiletools.h"
#include "app/kjsontools.h"
#include "login/ksession.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString KLoginSettings::loginSettingsPath()
{
    const QString dir = KFileTools::appBaseDir() + QStringLiteral("/config");
    if (!QDir(dir).exists()) {
        KFileTools::makePath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return KFileTools::formatPath(dir + QStringLiteral("/config.json"));
}

QMap<QString, QString> KLoginSettings::readLoginSettings()
{
    QMap<QString, QString> map = KJsonTools::parseStringMap(KFileTools::readTextFile(loginSettingsPath()));
    for (const char* key : {"protocol", "address", "username", "password"})
        map.insert(QLatin1String(key), decodedField(map, QLatin1String(key)));
    const QString title = QStringLiteral("title");
    if (map.contains(title))
        KLoginControl::WexoraTitle = map.value(title);
    else
        map.insert(title, KLoginControl::WexoraTitle);
    return map;
}

QString KLoginSettings::decodedField(const QMap<QString, QString>& file, const QString& key)
{
    const QString stored = file.value(key);
    return stored.isEmpty() ? QString() : KFileTools::fromBase64(stored);
}

void KLoginSettings::saveLoginSettings(const QString& protocol, const QString& address, const QString& username,
                                       const QString& password)
{
    const QString text = settingsText(protocol, address, username, password, KLoginControl::WexoraTitle);
    writeOwnerOnly(loginSettingsPath(), text.toUtf8());
}

void KLoginSettings::clearLoginUser()
{
    // Reading first also settles the title the file carries.
    const QMap<QString, QString> current = readLoginSettings();
    saveLoginSettings(current.value(QStringLiteral("protocol")), current.value(QStringLiteral("address")),
                      QString(), QString());
}

QString KLoginSettings::settingsText(const QString& protocol, const QString& address, const QString& username,
                                     const QString& password, const QString& title)
{
    QMap<QString, QString> map;
    map.insert(QStringLiteral("protocol"), KFileTools::toBase64(protocol));
    map.insert(QStringLiteral("address"), KFileTools::toBase64(address));
    map.insert(QStringLiteral("username"), KFileTools::toBase64(username));
    map.insert(QStringLiteral("password"), KFileTools::toBase64(password));
    map.insert(QStringLiteral("title"), title);
    return KJsonTools::toJsonText(map);
}

void KLoginSettings::writeOwnerOnly(const QString& path, const QByteArray& bytes)
{
    // A fresh 0600 file renamed over the old one: the password never sits in a
    // file others can open, and a crash leaves the old file whole. Failures
    // are not reported; the login still counts.
    const QByteArray temp = QFile::encodeName(path + QStringLiteral(".tmp"));
    ::unlink(temp.constData());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return;
    ::fchmod(fd, S_IRUSR | S_IWUSR); // exactly 0600, whatever the umask
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.constData(), QFile::encodeName(path).constData()) != 0)
        ::unlink(temp.constData());
}
