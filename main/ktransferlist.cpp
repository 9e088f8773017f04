#include "main/ktransferlist.h"

#include "app/kjsontools.h"
#include "bridge/kjsstring.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QString single(const QString& text)
{
    return KJsString::escape(text, QLatin1Char('\''));
}

QString twoDecimals(double value)
{
    return QString::number(value, 'f', 2);
}

} // namespace

QString KTransferList::logId(const QString& localPath)
{
    return QString::fromLatin1(QCryptographicHash::hash(localPath.toLatin1(), QCryptographicHash::Md5).toHex());
}

QString KTransferList::sizeText(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("0");
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1048576)
        return QStringLiteral("%1 KB").arg(twoDecimals(bytes / 1024.0));
    if (bytes < 1073741824)
        return QStringLiteral("%1 MB").arg(twoDecimals(bytes / 1048576.0));
    return QStringLiteral("%1 GB").arg(twoDecimals(bytes / 1073741824.0));
}

QString KTransferList::rowRecord(int type, const QString& localPath, const QString& serverPath, qint64 filesize)
{
    return KJsonTools::toJsonText({{QStringLiteral("local"), localPath},
                                   {QStringLiteral("logid"), logId(localPath)},
                                   {QStringLiteral("percent"), QStringLiteral("0")},
                                   {QStringLiteral("readsize"), QStringLiteral("0")},
                                   {QStringLiteral("space"), serverPath},
                                   {QStringLiteral("speed"), QString()},
                                   {QStringLiteral("totalsize"), sizeText(filesize)},
                                   {QStringLiteral("transfer"), QStringLiteral("0 KB")},
                                   {QStringLiteral("type"), type == 1 ? QStringLiteral("download")
                                                                      : QStringLiteral("upload")}});
}

QString KTransferList::addTransferScript(int type, const QString& localPath, const QString& serverPath,
                                         qint64 filesize)
{
    return QStringLiteral("addTransfer('") + single(rowRecord(type, localPath, serverPath, filesize))
           + QStringLiteral("');");
}

QString KTransferList::counterScript(int uploadQueue, int downloadQueue, int errors)
{
    return QStringLiteral("mainVue.RefershProgress(%1,%2,0,%3);").arg(uploadQueue).arg(downloadQueue).arg(errors);
}

QString KTransferList::refreshScript(const QString& localPath, int percent, const QString& speed,
                                     const QString& progress)
{
    const QChar quote = QLatin1Char('"');
    return QStringLiteral("refreshThransferData(") + KJsString::quoted(logId(localPath), quote) + QLatin1Char(',')
           + KJsString::quoted(progress, quote) + QLatin1Char(',') + KJsString::quoted(speed, quote)
           + QLatin1Char(',') + KJsString::quoted(QString::number(percent), quote) + QLatin1Char(')');
}

QString KTransferList::finishScript(const QString& localPath)
{
    return QStringLiteral("finishTransfer('") + single(logId(localPath)) + QStringLiteral("');");
}

QString KTransferList::failScript(const QString& localPath, const QString& reason)
{
    return QStringLiteral("failTransfer('") + single(logId(localPath)) + QStringLiteral("','") + single(reason)
           + QStringLiteral("');");
}

QString KTransferList::rowsToText(const QList<QStringList>& rows)
{
    QJsonArray array;
    for (const QStringList& row : rows)
        array.append(row.join(QStringLiteral("#@#")));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}
