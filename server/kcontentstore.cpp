#include "server/kcontentstore.h"

#include "server/kpassword.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{
// fsync of a file or folder, for --sync.
void flushToDisk(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
}

KContentStore::KContentStore(const QString& rootDir, bool syncWrites)
    : root(rootDir)
    , syncWrites(syncWrites)
{
}

bool KContentStore::prepare(QString* error)
{
    const QStringList folders = {root + QStringLiteral("/content"), root + QStringLiteral("/uploads"),
                                 root + QStringLiteral("/tmp")};
    for (const QString& folder : folders) {
        if (!QDir().mkpath(folder)) {
            *error = QStringLiteral("cannot create ") + folder;
            return false;
        }
    }
    QDir temp(root + QStringLiteral("/tmp"));
    const QStringList leftovers = temp.entryList(QDir::Files | QDir::Hidden);
    for (const QString& name : leftovers)
        temp.remove(name);
    return true;
}

QString KContentStore::contentPath(const QString& md5, qint64 size) const
{
    return QStringLiteral("%1/content/%2/%3-%4").arg(root, md5.left(2), md5).arg(size);
}

bool KContentStore::hasContent(const QString& md5, qint64 size) const
{
    const QFileInfo info(contentPath(md5, size));
    return info.isFile() && info.size() == size;
}

QString KContentStore::sessionPath(const QString& token) const
{
    return root + QStringLiteral("/uploads/") + token + QStringLiteral(".data");
}

bool KContentStore::createSession(const QString& token, qint64 size)
{
    QFile file(sessionPath(token));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size);
}

bool KContentStore::adoptSession(const QString& token, const QString& md5, qint64 size)
{
    return moveIntoPlace(sessionPath(token), md5, size);
}

void KContentStore::removeSession(const QString& token)
{
    QFile::remove(sessionPath(token));
}

QString KContentStore::temporaryPath() const
{
    return root + QStringLiteral("/tmp/") + QString::fromLatin1(KPassword::randomBytes(12).toHex())
           + QStringLiteral(".tmp");
}

bool KContentStore::adoptTemporary(const QString& tempPath, const QString& md5, qint64 size)
{
    return moveIntoPlace(tempPath, md5, size);
}

bool KContentStore::moveIntoPlace(const QString& from, const QString& md5, qint64 size)
{
    if (QFileInfo(from).size() != size)
        return false;
    if (hasContent(md5, size)) {
        QFile::remove(from);
        return true;
    }
    const QString target = contentPath(md5, size);
    const QString folder = QFileInfo(target).path();
    if (!QDir().mkpath(folder))
        return false;
    if (syncWrites)
        flushToDisk(from);
    // rename(2) replaces atomically; QFile::rename would refuse an existing target.
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(target).constData()) != 0)
        return false;
    if (syncWrites)
        flushToDisk(folder);
    return true;
}

bool KContentStore::isHexMd5(const QString& text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}
