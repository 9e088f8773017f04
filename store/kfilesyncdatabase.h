#pragma once

#include "store/kpaircheck.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

// What became of saving a folder pair: the saved configuration as JSON
// object text, or "" and why not.
struct KPairSave
{
    QString saved;
    KPairRefusal refusal = KPairRefusal::None;
};

// The SQLite store of folder pairs (sync configurations) and finished
// transfers (sync logs), plus file hashing. Objects are stateless; each thread
// works on a connection of its own to the same database file.
class KFileSyncDatabase
{
public:
    void initDatabase();
    QString addSyncConfig(const QString& id, const QString& localPath, const QString& spacePath,
                          const QString& status, const QString& ignoreType, const QString& syncType);
    // addSyncConfig with the reason of a refusal. An edit replaces the row
    // in one transaction: a failed insert keeps the old row and saves nothing.
    KPairSave saveSyncConfig(const QString& id, const QString& localPath, const QString& spacePath,
                             const QString& status, const QString& ignoreType, const QString& syncType);
    bool deleteSyncConfig(const QString& id);
    QList<QStringList> getSyncConfigs();
    QStringList getSyncConfigById(const QString& id);
    // Pausing a pair keeps it saved but stops every pass and watch of it;
    // the status column carries it ("0" paused), so it survives a restart.
    bool setPairPaused(const QString& id, bool paused);
    static bool isPaused(const QStringList& configRow) { return configRow.value(3) == QLatin1String("0"); }
    // The id of the two-way pair with these folders, "" when there is none.
    QString pairIdOf(const QString& localPath, const QString& spacePath);
    QString addSynLog(const QString& localPath, const QString& spacePath, const QString& type);
    QList<QStringList> getSyncLogs(const QString& time);
    QString getFileMd5OrDatabase(const QString& path);

    static QString createId();
    // Bytes read for hashing by this process so far (tests and benchmarks
    // check that unchanged files are not read).
    static qint64 bytesHashed();
    static QString databasePath();
    // The calling thread's connection name.
    static QString connectionName();
    // The calling thread's connection, opened, with every table this
    // program keeps beside the two above.
    static QSqlDatabase connection();

private:
    QSqlDatabase openConnection();
    static bool openFile(QSqlDatabase& db);
    bool execute(const QString& statement, const QVariantList& values);
    bool replaceConfig(const QString& id, bool edit, const QVariantList& row);
    QList<QStringList> query(const QString& statement, const QVariantList& values);
    QString fileMd5(const QString& path);
    void createTableIfMissing(const QStringList& tables, const QString& table, const QString& statement);
};
