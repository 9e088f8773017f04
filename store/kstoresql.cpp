#include "store/kstoresql.h"

#include "store/kfilesyncdatabase.h"

#include <QSqlDatabase>

QSqlQuery KStoreSql::run(const QString& statement, const QVariantList& values)
{
    QSqlQuery sql(KFileSyncDatabase::connection());
    sql.setForwardOnly(true);
    sql.prepare(statement);
    for (const QVariant& value : values)
        sql.addBindValue(value);
    sql.exec();
    return sql;
}

KStoreBatch::KStoreBatch(int maxWrites, int maxMs)
    : maxWrites(maxWrites)
    , maxMs(maxMs)
{
    begin();
}

KStoreBatch::~KStoreBatch()
{
    commit();
}

void KStoreBatch::begin()
{
    open = KFileSyncDatabase::connection().transaction();
    writes = 0;
    age.start();
}

void KStoreBatch::wrote()
{
    if (++writes < maxWrites && age.elapsed() < maxMs)
        return;
    commit();
    begin();
}

void KStoreBatch::commit()
{
    if (open)
        KFileSyncDatabase::connection().commit();
    open = false;
}
