#include "store/ktransfersettings.h"

#include "store/kstoresql.h"

#include <QVariant>

QString KTransferSettings::createStatement()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS k_driver_settings (tx_key TEXT NOT NULL,tx_value TEXT,"
                          "PRIMARY KEY (tx_key))");
}

int KTransferSettings::uploadJobs()
{
    return read(QStringLiteral("uploadJobs"), DefaultUploadJobs);
}

int KTransferSettings::downloadJobs()
{
    return read(QStringLiteral("downloadJobs"), DefaultDownloadJobs);
}

void KTransferSettings::setUploadJobs(int jobs)
{
    write(QStringLiteral("uploadJobs"), jobs);
}

void KTransferSettings::setDownloadJobs(int jobs)
{
    write(QStringLiteral("downloadJobs"), jobs);
}

int KTransferSettings::read(const QString& key, int fallback)
{
    QSqlQuery sql = KStoreSql::run(QStringLiteral("select tx_value from k_driver_settings where tx_key=?"), {key});
    bool ok = false;
    const int value = sql.next() ? sql.value(0).toInt(&ok) : 0;
    return ok ? qBound(1, value, MaxJobs) : fallback;
}

void KTransferSettings::write(const QString& key, int value)
{
    KStoreSql::run(QStringLiteral("insert or replace into k_driver_settings(tx_key,tx_value) values(?,?)"),
                   {key, QString::number(qBound(1, value, MaxJobs))});
}
