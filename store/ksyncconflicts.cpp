#include "store/ksyncconflicts.h"

#include "store/kstoresql.h"

#include <QFile>
#include <QSqlQuery>
#include <QVariant>

namespace {

QList<KConflict> select(const QString& where, const QVariantList& values)
{
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select tx_pairid,tx_relpath,tx_copyrelpath,l_time from "
                                                  "k_driver_sync_conflicts ")
                                   + where + QStringLiteral(" order by l_time desc"),
                                   values);
    QList<KConflict> conflicts;
    while (sql.next())
        conflicts.append({sql.value(0).toString(), sql.value(1).toString(), sql.value(2).toString(),
                          sql.value(3).toLongLong()});
    return conflicts;
}

void change(const QString& statement, const QVariantList& values)
{
    KStoreSql::run(statement, values);
}

} // namespace

QString KSyncConflicts::createStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS k_driver_sync_conflicts (tx_pairid TEXT NOT NULL,"
                          "tx_relpath TEXT,tx_copyrelpath TEXT NOT NULL,l_time INTEGER,"
                          "PRIMARY KEY (tx_pairid,tx_copyrelpath))");
}

void KSyncConflicts::add(const KConflict& conflict)
{
    change(QStringLiteral("insert or replace into k_driver_sync_conflicts(tx_pairid,tx_relpath,tx_copyrelpath,l_time) "
                          "values(?,?,?,?)"),
           {conflict.pairId, conflict.relPath, conflict.copyRelPath, conflict.timeMs});
}

QList<KConflict> KSyncConflicts::ofPair(const QString& pairId)
{
    return select(QStringLiteral("where tx_pairid=?"), {pairId});
}

QList<KConflict> KSyncConflicts::current(const QString& pairId, const QString& localRoot)
{
    QList<KConflict> open;
    for (const KConflict& conflict : ofPair(pairId)) {
        if (QFile::exists(localRoot + QLatin1Char('/') + conflict.copyRelPath))
            open.append(conflict);
        else
            remove(pairId, conflict.copyRelPath);
    }
    return open;
}

QList<KConflict> KSyncConflicts::all()
{
    return select(QString(), {});
}

void KSyncConflicts::remove(const QString& pairId, const QString& copyRelPath)
{
    change(QStringLiteral("delete from k_driver_sync_conflicts where tx_pairid=? and tx_copyrelpath=?"),
           {pairId, copyRelPath});
}

void KSyncConflicts::removePair(const QString& pairId)
{
    change(QStringLiteral("delete from k_driver_sync_conflicts where tx_pairid=?"), {pairId});
}
