#include "store/kpartialdownloads.h"

#include "app/kfiletools.h"
#include "store/kstoresql.h"
#include "store/khashcache.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

#include <sys/stat.h>

struct KPartialDownloads::Record
{
    QString tempPath;
    QString localPath;
    QString serverPath;
    qint64 size = 0;
    QString dataHash;
    qint64 inode = 0;

    bool sameVersion(const QString& server, qint64 bytes, const QString& hash) const
    {
        return serverPath == server && size == bytes && dataHash.compare(hash, Qt::CaseInsensitive) == 0;
    }
};

namespace {

// 0 when nothing is there; -1 for something that is not a plain file.
qint64 inodeAt(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return S_ISREG(info.st_mode) ? qint64(info.st_ino) : -1;
}

} // namespace

QString KPartialDownloads::createStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS k_driver_partials (tx_temppath TEXT NOT NULL,"
                          "tx_localpath TEXT NOT NULL,tx_serverpath TEXT,l_size INTEGER,tx_datahash TEXT,"
                          "l_inode INTEGER,l_time INTEGER,PRIMARY KEY (tx_temppath))");
}

// Partials left by interrupted runs can be many; every download looks its target up.
QString KPartialDownloads::indexStatement()
{
    return QStringLiteral("CREATE INDEX IF NOT EXISTS k_driver_partials_local ON k_driver_partials(tx_localpath)");
}

QString KPartialDownloads::preferredName(const QString& localPath)
{
    return localPath + QStringLiteral(".wexora");
}

// Hidden, so that even an older client's scan leaves it alone.
QString KPartialDownloads::alternativeName(const QString& localPath, int attempt)
{
    const QString folder = KFileTools::parentPath(localPath);
    const QString name = KFileTools::fileName(localPath);
    return folder + QStringLiteral("/.") + name + QLatin1Char('.') + QString::number(attempt)
           + QStringLiteral(".wexora");
}

KPartialPlan KPartialDownloads::plan(const QString& localPath, const QString& serverPath, qint64 size,
                                     const QString& dataHash)
{
    Record record;
    if (recordFor(localPath, record)) {
        const qint64 inode = inodeAt(record.tempPath);
        const bool ours = inode == 0 || inode == record.inode;
        if (ours) {
            // Without a hash a resumed file could not be checked.
            const bool resumable = inode != 0 && !dataHash.isEmpty() && record.sameVersion(serverPath, size, dataHash);
            write({record.tempPath, localPath, serverPath, size, dataHash, inode});
            return {record.tempPath, resumable};
        }
        forget(record.tempPath);
    }
    const QString temp = freeName(localPath);
    write({temp, localPath, serverPath, size, dataHash, 0});
    return {temp, false};
}

QString KPartialDownloads::freeName(const QString& localPath)
{
    QString name = preferredName(localPath);
    for (int attempt = 1; inodeAt(name) != 0 || recorded(name); ++attempt)
        name = alternativeName(localPath, attempt);
    return name;
}

bool KPartialDownloads::recorded(const QString& tempPath)
{
    return KStoreSql::run(QStringLiteral("select 1 from k_driver_partials where tx_temppath=?"), {tempPath}).next();
}

bool KPartialDownloads::recordFor(const QString& localPath, Record& record)
{
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select tx_temppath,tx_serverpath,l_size,tx_datahash,l_inode "
                                       "from k_driver_partials where tx_localpath=?"),
                        {localPath});
    if (!sql.next())
        return false;
    record = {sql.value(0).toString(), localPath, sql.value(1).toString(), sql.value(2).toLongLong(),
              sql.value(3).toString(), sql.value(4).toLongLong()};
    return true;
}

void KPartialDownloads::write(const Record& record)
{
    KStoreSql::run(QStringLiteral("insert or replace into k_driver_partials(tx_temppath,tx_localpath,tx_serverpath,l_size,"
                       "tx_datahash,l_inode,l_time) values(?,?,?,?,?,?,?)"),
        {record.tempPath, record.localPath, record.serverPath, record.size, record.dataHash, record.inode,
         QDateTime::currentMSecsSinceEpoch()});
}

void KPartialDownloads::opened(const QString& tempPath, qint64 inode)
{
    KStoreSql::run(QStringLiteral("update k_driver_partials set l_inode=? where tx_temppath=?"), {inode, tempPath});
}

void KPartialDownloads::forget(const QString& tempPath)
{
    KStoreSql::run(QStringLiteral("delete from k_driver_partials where tx_temppath=?"), {tempPath});
}

QSet<QString> KPartialDownloads::all()
{
    QSet<QString> paths;
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select tx_temppath from k_driver_partials"), {});
    while (sql.next())
        paths.insert(sql.value(0).toString());
    return paths;
}

QSet<QString> KPartialDownloads::below(const QString& folder)
{
    const QString prefix = KFileTools::formatPath(folder + QLatin1Char('/'));
    QSet<QString> relative;
    for (const QString& path : all()) {
        if (path.startsWith(prefix))
            relative.insert(path.mid(prefix.size()));
    }
    return relative;
}
