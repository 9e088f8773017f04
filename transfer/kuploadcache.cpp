#include "transfer/kuploadcache.h"

#include "app/kfiletools.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

QString KUploadCache::rootDir()
{
    const QString root = KFileTools::appBaseDir() + QStringLiteral("/datas/cache/upload");
    if (!QDir(root).exists())
        KFileTools::makePath(root);
    return root;
}

QString KUploadCache::key(const QString& localPath, const QString& serverPath, const QString& fileMd5)
{
    // toLatin1 turns every character above U+00FF into "?".
    const QByteArray joined = (localPath + serverPath + fileMd5).toLatin1();
    return QString::fromLatin1(QCryptographicHash::hash(joined, QCryptographicHash::Md5).toHex());
}

QString KUploadCache::entryDir(const QString& localPath, const QString& serverPath, const QString& fileMd5)
{
    return rootDir() + QLatin1Char('/') + key(localPath, serverPath, fileMd5);
}

QString KUploadCache::tokenFile(const QString& entry)
{
    return entry + QStringLiteral("/token.db");
}

QString KUploadCache::readToken(const QString& localPath, const QString& serverPath, const QString& fileMd5)
{
    const QString file = tokenFile(entryDir(localPath, serverPath, fileMd5));
    return QFile::exists(file) ? KFileTools::readTextFile(file) : QString();
}

void KUploadCache::writeToken(const QString& localPath, const QString& serverPath, const QString& fileMd5,
                              const QString& token)
{
    const QString entry = entryDir(localPath, serverPath, fileMd5);
    if (!QDir(entry).exists())
        KFileTools::makePath(entry);
    const QString file = tokenFile(entry);
    if (QFile::exists(file))
        QFile::remove(file);
    KFileTools::writeTextFile(file, token);
}

void KUploadCache::deleteToken(const QString& localPath, const QString& serverPath, const QString& fileMd5)
{
    removeDir(entryDir(localPath, serverPath, fileMd5));
}

bool KUploadCache::removeDir(const QString& path)
{
    QDir dir(path);
    if (!dir.exists())
        return true;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Drives | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        // A link is removed itself: following it would empty a folder elsewhere.
        if (entry.isDir() && !entry.isSymLink())
            removeDir(entry.absoluteFilePath());
        else
            QFile::remove(entry.absoluteFilePath());
    }
    // rmpath also takes every parent that became empty, which may already
    // have taken this folder from a nested call: judge by what is left.
    QDir().rmpath(dir.absolutePath());
    return !QDir(dir.absolutePath()).exists();
}
