#include "store/khashcache.h"

#include "store/kfilesyncdatabase.h"

#include <QSqlQuery>
#include <QDateTime>
#include <QFile>
#include <QVariant>

#include <sys/stat.h>

KFileStamp KFileStamp::of(const QString& path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    const qint64 mtime = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    return {qint64(info.st_size), mtime, qint64(info.st_ino)};
}

QString KHashCache::createStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS k_driver_hash_cache (tx_path TEXT NOT NULL,l_size INTEGER,"
                          "l_mtime INTEGER,l_inode INTEGER,tx_md5 TEXT,PRIMARY KEY (tx_path))");
}

QString KHashCache::lookup(const QString& path, const KFileStamp& stamp)
{
    QSqlQuery sql(KFileSyncDatabase::connection());
    sql.prepare(QStringLiteral("select l_size,l_mtime,l_inode,tx_md5 from k_driver_hash_cache where tx_path=?"));
    sql.addBindValue(path);
    if (!sql.exec() || !sql.next())
        return QString();
    const KFileStamp known{sql.value(0).toLongLong(), sql.value(1).toLongLong(), sql.value(2).toLongLong()};
    return known == stamp ? sql.value(3).toString() : QString();
}

bool KHashCache::isRacy(const KFileStamp& stamp, qint64 nowMs)
{
    return nowMs - stamp.mtimeMs < RacyMs;
}

void KHashCache::record(const QString& path, const KFileStamp& stamp, const QString& md5)
{
    if (md5.isEmpty() || isRacy(stamp, QDateTime::currentMSecsSinceEpoch()))
        return;
    QSqlQuery sql(KFileSyncDatabase::connection());
    sql.prepare(QStringLiteral("insert or replace into k_driver_hash_cache(tx_path,l_size,l_mtime,l_inode,tx_md5) "
                               "values(?,?,?,?,?)"));
    sql.addBindValue(path);
    sql.addBindValue(stamp.size);
    sql.addBindValue(stamp.mtimeMs);
    sql.addBindValue(stamp.inode);
    sql.addBindValue(md5);
    sql.exec();
}
