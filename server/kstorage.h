#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <functional>

// The SQLite metadata database below the root folder. Qt's SQL connections
// belong to the thread that opened them, so every thread gets its own
// connection on first use; WAL lets readers run beside the one writer.
class KStorage
{
public:
    KStorage(const QString& rootDir, bool syncWrites);
    ~KStorage();
    KStorage(const KStorage&) = delete;
    KStorage& operator=(const KStorage&) = delete;

    // Creates the folder and the schema; false with `error` set on failure.
    bool open(QString* error);
    QString rootDir() const { return root; }
    QString databasePath() const;

    // This thread's connection, opened on first use; invalid when the file
    // cannot be opened.
    QSqlDatabase connection();

    // Runs `work` in one write transaction (BEGIN IMMEDIATE, so concurrent
    // writers queue instead of failing half-way); commits when it returns
    // true, rolls back otherwise.
    bool write(const std::function<bool(QSqlDatabase&)>& work);

    QString meta(const QString& key);
    bool setMeta(const QString& key, const QString& value);

private:
    bool openConnection(QSqlDatabase& db);
    bool createSchema(QSqlDatabase& db, QString* error);

    QString root;
    QString prefix;
    bool syncWrites = false;
};

// Shorthand for prepared statements: exec with positional values in order.
class QSqlQuery;
namespace KSql
{
bool run(QSqlQuery& query, const QString& sql, const QVariantList& values = {});
}
