#include "kfakemaindata.h"

#include "app/kjsontools.h"
#include "bridge/kjsstring.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

const int logPageSize = 30;

QString call(const QString& function, const QStringList& quotedArgs)
{
    return function + QLatin1Char('(') + quotedArgs.join(QLatin1Char(',')) + QStringLiteral(");");
}

} // namespace

QString KFakeMainData::rowText(const QList<QStringList>& rows)
{
    QJsonArray array;
    for (const QStringList& row : rows)
        array.append(row.join(QStringLiteral("#@#")));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QStringList KFakeMainData::config(const QString& id, const QString& local, const QString& space,
                                  const QString& syncType, qint64 timeMs)
{
    return {id, local, space, QStringLiteral("1"), QStringLiteral("0"), syncType, QString::number(timeMs)};
}

QString KFakeMainData::reply(const QString& op, const QString& param)
{
    const QMap<QString, QString> fields = KJsonTools::parseStringMap(param);
    if (op == QLatin1String("getConfig")) {
        return call(QStringLiteral("mainVue.reloadData"),
                    {KJsString::quoted(rowText(configs)), KJsString::quoted(userId), KJsString::quoted(userName)});
    }
    if (op == QLatin1String("openlocaldir") && !chosenLocalDir.isEmpty())
        return call(QStringLiteral("CharpCallback_AfterSelectDir"), {KJsString::quoted(chosenLocalDir)});
    if (op == QLatin1String("addSync"))
        return saveConfig(param);
    if (op == QLatin1String("deleteSync")) {
        const QString id = fields.value(QStringLiteral("id"));
        configs.erase(std::remove_if(configs.begin(), configs.end(), [&](const QStringList& row) { return row[0] == id; }),
                      configs.end());
        return call(QStringLiteral("mainVue.CSharpCallback_doRemoveSync"), {KJsString::quoted(id)});
    }
    if (op == QLatin1String("queryErrorLog"))
        return call(QStringLiteral("mainVue.CSharpCallback_ShowErrorLog"), {KJsString::quoted(rowText(errors))});
    if (op == QLatin1String("queryLog"))
        return call(QStringLiteral("mainVue.CSharpCallback_QueryLogs"), {KJsString::quoted(logPage(param))});
    if (op == QLatin1String("addQueryLog"))
        return call(QStringLiteral("mainVue.CSharpCallback_AddQueryLogs"), {KJsString::quoted(logPage(param))});
    return QString(QLatin1String(""));
}

QString KFakeMainData::saveConfig(const QString& param)
{
    if (refuseSaves)
        return QStringLiteral("mainVue.CSharpCallback_saveSyncConfig(1,'');");
    QMap<QString, QString> saved = KJsonTools::parseStringMap(param);
    QString id = saved.value(QStringLiteral("id"));
    if (id.isEmpty())
        id = QStringLiteral("new%1").arg(nextId++);
    saved.insert(QStringLiteral("id"), id);
    configs.erase(std::remove_if(configs.begin(), configs.end(), [&](const QStringList& row) { return row[0] == id; }),
                  configs.end());
    configs.prepend(config(id, saved.value(QStringLiteral("localPath")), saved.value(QStringLiteral("spacePath")),
                           saved.value(QStringLiteral("syncType")), QDateTime::currentMSecsSinceEpoch()));
    return QStringLiteral("mainVue.CSharpCallback_saveSyncConfig(0,") + KJsString::quoted(KJsonTools::toJsonText(saved))
           + QStringLiteral(");");
}

// The newest rows strictly older than "time" (now when empty), one page.
QString KFakeMainData::logPage(const QString& param) const
{
    qint64 before = KJsonTools::parseStringMap(param).value(QStringLiteral("time")).toLongLong();
    if (before < 1)
        before = QDateTime::currentSecsSinceEpoch();
    QList<QStringList> page;
    for (const QStringList& row : logs) {
        if (row[4].toLongLong() < before && page.size() < logPageSize)
            page.append(row);
    }
    return rowText(page);
}
