#include "store/kservercapabilities.h"

#include "store/kstoresql.h"

#include <QDateTime>
#include <QVariant>

QString KServerCapabilities::createStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS k_driver_server_caps (tx_server TEXT NOT NULL,"
                          "tx_removal TEXT,l_time INTEGER,PRIMARY KEY (tx_server))");
}

KServerCapabilities::Answer KServerCapabilities::removal(const QString& server)
{
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select tx_removal from k_driver_server_caps where tx_server=?"),
                                   {server});
    if (!sql.next())
        return Answer::Unknown;
    return sql.value(0).toString() == QLatin1String("yes") ? Answer::Yes : Answer::No;
}

void KServerCapabilities::setRemoval(const QString& server, bool supported)
{
    KStoreSql::run(QStringLiteral("insert or replace into k_driver_server_caps(tx_server,tx_removal,l_time) "
                                  "values(?,?,?)"),
                   {server, supported ? QStringLiteral("yes") : QStringLiteral("no"),
                    QDateTime::currentMSecsSinceEpoch()});
}
