#include "server/kstorage.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <cstdio>

namespace
{
// Connections a thread opened, closed when the thread ends; Qt requires the
// owning thread to close them.
struct ThreadConnections
{
    QStringList names;
    ~ThreadConnections()
    {
        for (const QString& name : qAsConst(names)) {
            {
                QSqlDatabase db = QSqlDatabase::database(name, false);
                db.close();
            }
            QSqlDatabase::removeDatabase(name);
        }
    }
};
thread_local ThreadConnections threadConnections;

QAtomicInteger<int> instanceCounter;

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS k_meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS k_users(userid TEXT PRIMARY KEY, username TEXT NOT NULL,"
    " tenantid TEXT NOT NULL, pw_salt BLOB NOT NULL, pw_hash BLOB NOT NULL, pw_iterations INTEGER NOT NULL,"
    " key_id TEXT NOT NULL UNIQUE, key_secret TEXT NOT NULL, key_time INTEGER NOT NULL, ctime INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS k_spaces(spaceid TEXT PRIMARY KEY, spacetype TEXT NOT NULL,"
    " spacename TEXT NOT NULL, ctime INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS k_members(spaceid TEXT NOT NULL, userid TEXT NOT NULL,"
    " PRIMARY KEY(spaceid, userid))",
    "CREATE TABLE IF NOT EXISTS k_nodes(id INTEGER PRIMARY KEY, spaceid TEXT NOT NULL, path TEXT NOT NULL,"
    " parent TEXT NOT NULL, isfile INTEGER NOT NULL, cuser TEXT NOT NULL, ctime INTEGER NOT NULL,"
    " UNIQUE(spaceid, path))",
    "CREATE INDEX IF NOT EXISTS k_nodes_parent ON k_nodes(spaceid, parent)",
    // Listing a folder filters by parent and sorts by path; without this index
    // SQLite walks the (spaceid, path) index over the whole space to avoid the
    // sort, so a listing cost grew with the size of the space.
    "CREATE INDEX IF NOT EXISTS k_nodes_children ON k_nodes(spaceid, parent, path)",
    "CREATE TABLE IF NOT EXISTS k_versions(node INTEGER NOT NULL, version INTEGER NOT NULL,"
    " datahash TEXT NOT NULL, datasize INTEGER NOT NULL, vuser TEXT NOT NULL, vtime INTEGER NOT NULL,"
    " PRIMARY KEY(node, version))",
    "CREATE TABLE IF NOT EXISTS k_uploads(token TEXT PRIMARY KEY, userid TEXT NOT NULL, spaceid TEXT NOT NULL,"
    " path TEXT NOT NULL, filemd5 TEXT NOT NULL, filesize INTEGER NOT NULL, chunksize INTEGER NOT NULL,"
    " createfile INTEGER NOT NULL, createversion INTEGER NOT NULL, state TEXT NOT NULL,"
    " ctime INTEGER NOT NULL, expires INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS k_parts(token TEXT NOT NULL, partnumber INTEGER NOT NULL,"
    " partsize INTEGER NOT NULL, partmd5 TEXT, PRIMARY KEY(token, partnumber))",
};
}

namespace KSql
{
bool run(QSqlQuery& query, const QString& sql, const QVariantList& values)
{
    if (!query.prepare(sql))
        return false;
    for (int i = 0; i < values.size(); ++i) {
        const QVariant& value = values.at(i);
        // A null QString would bind as SQL NULL; the schema wants ''.
        const bool nullText = value.type() == QVariant::String && value.toString().isNull();
        query.bindValue(i, nullText ? QVariant(QStringLiteral("")) : value);
    }
    return query.exec();
}
}

KStorage::KStorage(const QString& rootDir, bool syncWrites)
    : root(rootDir)
    , prefix(QStringLiteral("wexora-server-%1-").arg(instanceCounter.fetchAndAddOrdered(1)))
    , syncWrites(syncWrites)
{
}

KStorage::~KStorage() = default;

QString KStorage::databasePath() const
{
    return root + QStringLiteral("/metadata.sqlite");
}

bool KStorage::open(QString* error)
{
    if (!QDir().mkpath(root)) {
        *error = QStringLiteral("cannot create the root folder ") + root;
        return false;
    }
    // Password hashes and access key secrets live here: owner only.
    QFile::setPermissions(root, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QSqlDatabase db = connection();
    if (!db.isOpen()) {
        *error = QStringLiteral("cannot open ") + databasePath() + QStringLiteral(": ") + db.lastError().text();
        return false;
    }
    return createSchema(db, error);
}

QSqlDatabase KStorage::connection()
{
    const QString name = prefix + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name, false);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    threadConnections.names.append(name);
    db.setDatabaseName(databasePath());
    if (!openConnection(db))
        std::fprintf(stderr, "database: %s\n", qPrintable(db.lastError().text()));
    return db;
}

bool KStorage::openConnection(QSqlDatabase& db)
{
    if (!db.open())
        return false;
    QSqlQuery query(db);
    // A small page cache per connection keeps many worker threads cheap.
    const QStringList pragmas = {QStringLiteral("PRAGMA busy_timeout=15000"),
                                 QStringLiteral("PRAGMA journal_mode=WAL"),
                                 syncWrites ? QStringLiteral("PRAGMA synchronous=FULL")
                                            : QStringLiteral("PRAGMA synchronous=NORMAL"),
                                 QStringLiteral("PRAGMA cache_size=-1024"),
                                 QStringLiteral("PRAGMA foreign_keys=ON")};
    for (const QString& pragma : pragmas) {
        if (!query.exec(pragma))
            return false;
    }
    return true;
}

bool KStorage::createSchema(QSqlDatabase& db, QString* error)
{
    return write([&](QSqlDatabase& tx) {
        QSqlQuery query(tx);
        for (const char* statement : kSchema) {
            if (!query.exec(QString::fromLatin1(statement))) {
                *error = query.lastError().text();
                return false;
            }
        }
        return true;
    }) && db.isOpen();
}

bool KStorage::write(const std::function<bool(QSqlDatabase&)>& work)
{
    QSqlDatabase db = connection();
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        std::fprintf(stderr, "database: cannot begin: %s\n", qPrintable(query.lastError().text()));
        return false;
    }
    if (work(db) && query.exec(QStringLiteral("COMMIT")))
        return true;
    query.exec(QStringLiteral("ROLLBACK"));
    return false;
}

QString KStorage::meta(const QString& key)
{
    QSqlQuery query(connection());
    if (KSql::run(query, QStringLiteral("SELECT value FROM k_meta WHERE key=?"), {key}) && query.next())
        return query.value(0).toString();
    return QString();
}

bool KStorage::setMeta(const QString& key, const QString& value)
{
    return write([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        return KSql::run(query, QStringLiteral("INSERT OR REPLACE INTO k_meta(key, value) VALUES(?, ?)"), {key, value});
    });
}
