#include "sync/klocaltrash.h"

#include "app/klog.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

bool KLocalTrash::moveFile(const QString& path, const KFileStamp& expected)
{
    if (KFileStamp::of(path) != expected) {
        KLog::info(QStringLiteral("本地文件已修改，不移入回收站"), path);
        return false;
    }
    if (QFile::moveToTrash(path))
        return true;
    KLog::info(QStringLiteral("无法移入回收站"), path);
    return false;
}

bool KLocalTrash::moveEmptyFolder(const QString& path)
{
    return QDir(path).exists() && holdsNoFile(path) && QFile::moveToTrash(path);
}

bool KLocalTrash::holdsNoFile(const QString& folder)
{
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    return !it.hasNext();
}
