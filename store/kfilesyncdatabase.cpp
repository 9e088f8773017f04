#include "store/kfilesyncdatabase.h"

#include "api/khttptools.h"
#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/kinterruption.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "app/kmd5.h"
#include "store/khashcache.h"
#include "store/kpartialdownloads.h"
#include "store/kservercapabilities.h"
#include "store/ktransfersettings.h"
#include "store/ksyncconflicts.h"
#include "store/ksyncjournal.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/knodetools.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#include <atomic>

namespace {

const QString CreateConfigTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS k_driver_sync_config (pk_id TEXT NOT NULL,tx_localpath  TEXT,tx_spacepath  TEXT,"
    "tx_status TEXT,") + QStringLiteral(
    "tx_ignoretype  TEXT,tx_syncType TEXT,l_time  INTEGER,PRIMARY KEY (pk_id));");
const QString CreateLogsTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS k_driver_sync_logs  (pk_id TEXT NOT NULL,l_time  INTEGER,tx_type TEXT,"
    "tx_localpath  TEXT,tx_spacepath  TEXT,PRIMARY KEY (pk_id));");
const QString InsertConfig = QStringLiteral(
    "insert into k_driver_sync_config(pk_id,tx_localpath,tx_spacepath,tx_status,tx_ignoretype,tx_syncType,l_time) "
    "values(?,?,?,?,?,?,?)");
const QString DeleteConfig = QStringLiteral("delete from k_driver_sync_config where pk_id =?");
const QString SelectConfigs = QStringLiteral(
    "select pk_id,tx_localpath,tx_spacepath,tx_status,tx_ignoretype,tx_syncType,l_time from k_driver_sync_config "
    "order by l_time desc");
const QString SelectConfigById = QStringLiteral(
    "select pk_id,tx_localpath,tx_spacepath,tx_status,tx_ignoretype,tx_syncType,l_time from k_driver_sync_config "
    "where pk_id =?");
const QString InsertLog = QStringLiteral(
    "insert into k_driver_sync_logs(pk_id,tx_localpath,tx_spacepath,tx_type,l_time) values(?,?,?,?,?)");
const QString SelectLogs = QStringLiteral(
    "select pk_id,tx_localpath,tx_spacepath,tx_type,l_time from k_driver_sync_logs  where l_time < ? "
    "order by l_time desc LIMIT 30 OFFSET 0 ");

const int HashBlockSize = 1 << 20;

QAtomicInt nextConnectionNumber;
std::atomic<qint64> hashedBytes{0};

// Removes the thread's connection when the thread ends, in that thread.
struct ThreadConnection
{
    QString name = KDatabase::DataBaseName + QLatin1Char('-') + QString::number(nextConnectionNumber.fetchAndAddRelaxed(1));
    ~ThreadConnection()
    {
        if (QSqlDatabase::contains(name)) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
        }
    }
};

} // namespace

QString KFileSyncDatabase::connectionName()
{
    thread_local ThreadConnection connection;
    return connection.name;
}

QString KFileSyncDatabase::databasePath()
{
    return KFileTools::appBaseDir() + QStringLiteral("/db/") + KDatabase::DataBaseName + QStringLiteral(".db");
}

QSqlDatabase KFileSyncDatabase::openConnection()
{
    const QString name = connectionName();
    const QString path = databasePath();
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.databaseName() == path) {
            if (!db.isOpen())
                openFile(db);
            return db;
        }
        // The base directory moved (tests do this): follow it.
        db.close();
        db.setDatabaseName(path);
        openFile(db);
        return db;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    // Several threads write the same file: wait for each other instead of failing.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    openFile(db);
    return db;
}

QSqlDatabase KFileSyncDatabase::connection()
{
    return KFileSyncDatabase().openConnection();
}

bool KFileSyncDatabase::openFile(QSqlDatabase& db)
{
    const QString folder = KFileTools::appBaseDir() + QStringLiteral("/db");
    if (!QDir(folder).exists())
        KFileTools::makePath(folder);
    if (!db.open())
        return false;
    QSqlQuery pragma(db);
    pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    for (const QString& statement :
         {KHashCache::createStatement(), KSyncJournal::createStatement(), KSyncConflicts::createStatement(),
          KPartialDownloads::createStatement(), KPartialDownloads::indexStatement(),
          KServerCapabilities::createStatement(),
          KTransferSettings::createStatement()})
        pragma.exec(statement);
    return true;
}

void KFileSyncDatabase::initDatabase()
{
    QSqlDatabase db = openConnection();
    if (!db.isOpen()) {
        qInfo("无法建立数据库连接");
        throw "无法建立数据库连接";
    }
    const QStringList tables = db.tables();
    createTableIfMissing(tables, QStringLiteral("k_driver_sync_config"), CreateConfigTable);
    createTableIfMissing(tables, QStringLiteral("k_driver_sync_logs"), CreateLogsTable);
}

void KFileSyncDatabase::createTableIfMissing(const QStringList& tables, const QString& table, const QString& statement)
{
    if (tables.contains(table))
        return;
    if (execute(statement, {}))
        qInfo("数据库表创建成功！\n");
    else
        qInfo("数据库表创建失败！\n");
}

bool KFileSyncDatabase::execute(const QString& statement, const QVariantList& values)
{
    QSqlQuery sql(openConnection());
    sql.prepare(statement);
    for (int i = 0; i < values.size(); ++i)
        sql.bindValue(i, values[i]);
    if (sql.exec())
        return true;
    KLog::info2(QStringLiteral("execute语句失败"), statement, sql.lastError().text());
    return false;
}

QList<QStringList> KFileSyncDatabase::query(const QString& statement, const QVariantList& values)
{
    QList<QStringList> rows;
    QSqlQuery sql(openConnection());
    sql.prepare(statement);
    for (int i = 0; i < values.size(); ++i)
        sql.bindValue(i, values[i]);
    sql.exec();
    const int columns = sql.record().count();
    while (sql.next()) {
        QStringList row;
        for (int c = 0; c < columns; ++c)
            row.append(sql.value(c).isNull() ? QString() : sql.value(c).toString());
        rows.append(row);
    }
    return rows;
}

qint64 KFileSyncDatabase::bytesHashed()
{
    return hashedBytes.load();
}

QString KFileSyncDatabase::createId()
{
    return QUuid::createUuid().toString().remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('-'));
}

QString KFileSyncDatabase::addSyncConfig(const QString& id, const QString& localPath, const QString& spacePath,
                                         const QString& status, const QString& ignoreType, const QString& syncType)
{
    try {
        return saveSyncConfig(id, localPath, spacePath, status, ignoreType, syncType).saved;
    } catch (...) {
        KLog::info(InsertConfig, QStringLiteral("sql出现异常"));
        return QString();
    }
}

KPairSave KFileSyncDatabase::saveSyncConfig(const QString& id, const QString& localPath, const QString& spacePath,
                                            const QString& status, const QString& ignoreType,
                                            const QString& syncType)
{
    if (!QFile::exists(localPath))
        return {QString(), KPairRefusal::LocalMissing};
    // A space the session does not hold has no address: no folder there.
    if (KHttpTools::apiUrlFor(spacePath).isEmpty())
        return {QString(), KPairRefusal::ServerMissing};
    const KPairRefusal server = KPairCheck::serverFolderVerdict(KNodeTools::getNode(spacePath));
    if (server != KPairRefusal::None)
        return {QString(), server};
    const QString savedId = id.isEmpty() ? createId() : id;
    if (!replaceConfig(savedId, !id.isEmpty(), {savedId, localPath, spacePath, status, ignoreType, syncType,
                                                  QDateTime::currentMSecsSinceEpoch()}))
        return {QString(), KPairRefusal::StoreFailed};
    KFileSyncOnceManager::configItemQueue.append({savedId, localPath, spacePath, ignoreType, status, syncType});
    return {KJsonTools::toJsonText({{QStringLiteral("id"), savedId},
                                    {QStringLiteral("localPath"), localPath},
                                    {QStringLiteral("spacePath"), spacePath},
                                    {QStringLiteral("status"), status},
                                    {QStringLiteral("ignoreType"), ignoreType},
                                    {QStringLiteral("syncType"), syncType}}),
            KPairRefusal::None};
}

bool KFileSyncDatabase::replaceConfig(const QString& id, bool edit, const QVariantList& row)
{
    QSqlDatabase db = openConnection();
    const QStringList old = edit ? getSyncConfigById(id) : QStringList();
    if (!db.transaction())
        return false;
    // What the journal knows belongs to the folders it was written for.
    if (!old.isEmpty() && (old.value(1) != row.value(1).toString() || old.value(2) != row.value(2).toString()))
        KSyncJournal::removePair(id);
    if ((edit && !execute(DeleteConfig, {id})) || !execute(InsertConfig, row) || !db.commit()) {
        db.rollback();
        return false;
    }
    return true;
}

bool KFileSyncDatabase::deleteSyncConfig(const QString& id)
{
    try {
        if (!execute(DeleteConfig, {id}))
            return false;
        KSyncJournal::removePair(id);
        KSyncConflicts::removePair(id);
        return true;
    } catch (...) {
        KLog::info(DeleteConfig, QStringLiteral("sql出现异常"));
        return false;
    }
}

QList<QStringList> KFileSyncDatabase::getSyncConfigs()
{
    try {
        return query(SelectConfigs, {});
    } catch (...) {
        KLog::info(SelectConfigs, QStringLiteral("sql出现异常"));
        return {};
    }
}

QStringList KFileSyncDatabase::getSyncConfigById(const QString& id)
{
    try {
        return query(SelectConfigById, {id}).value(0);
    } catch (...) {
        KLog::info(SelectConfigById, QStringLiteral("sql出现异常"));
        return {};
    }
}

bool KFileSyncDatabase::setPairPaused(const QString& id, bool paused)
{
    return execute(QStringLiteral("update k_driver_sync_config set tx_status=? where pk_id=?"),
                   {paused ? QStringLiteral("0") : QStringLiteral("1"), id});
}

QString KFileSyncDatabase::pairIdOf(const QString& localPath, const QString& spacePath)
{
    for (const QStringList& row : getSyncConfigs()) {
        if (row.value(1) == localPath && row.value(2) == spacePath && row.value(5) == QLatin1String("3"))
            return row.value(0);
    }
    return QString();
}

QString KFileSyncDatabase::addSynLog(const QString& localPath, const QString& spacePath, const QString& type)
{
    try {
        const QString id = createId();
        KLog::info(QStringLiteral("localpath=") + localPath, QStringLiteral("spacepath=") + spacePath);
        qInfo() << (QStringLiteral("type=") + type);
        execute(InsertLog, {id, localPath, spacePath, type, QDateTime::currentSecsSinceEpoch()});
        return id;
    } catch (...) {
        KLog::info(InsertLog, QStringLiteral("sql出现异常"));
        return QString();
    }
}

QList<QStringList> KFileSyncDatabase::getSyncLogs(const QString& time)
{
    try {
        qint64 bound = time.isEmpty() ? 0 : time.toLongLong();
        if (bound < 1)
            bound = QDateTime::currentSecsSinceEpoch();
        return query(SelectLogs, {bound});
    } catch (...) {
        KLog::info(SelectLogs, QStringLiteral("sql出现异常"));
        return {};
    }
}

QString KFileSyncDatabase::getFileMd5OrDatabase(const QString& path)
{
    if (!QFile::exists(path))
        return QString();
    const QString file = KFileTools::formatPath(path);
    const KFileStamp stamp = KFileStamp::of(file);
    const QString known = stamp.isValid() ? KHashCache::lookup(file, stamp) : QString();
    if (!known.isEmpty())
        return known;
    QString md5;
    try {
        md5 = fileMd5(file);
    } catch (...) {
        return QString();
    }
    // A file that changed while it was read has no digest worth keeping.
    if (stamp.isValid() && KFileStamp::of(file) == stamp)
        KHashCache::record(file, stamp, md5);
    return md5;
}

QString KFileSyncDatabase::fileMd5(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw "file open error.";
    const qint64 size = file.size();
    KMd5 hash;
    QByteArray block(HashBlockSize, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        // A digest of part of the file would be a wrong answer, not a slow one.
        if (KInterruption::requested())
            throw "interrupted";
        const qint64 got = file.read(block.data(), qMin<qint64>(size - done, HashBlockSize));
        if (got <= 0)
            break;
        hash.add(block.constData(), got);
        done += got;
        hashedBytes += got;
    }
    file.close();
    return hash.hex();
}
