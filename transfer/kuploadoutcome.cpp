#include "transfer/kuploadoutcome.h"

#include "app/kjsontools.h"
#include "main/ktransferlist.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

bool KUploadOutcome::isSuccess(const QString& reply)
{
    const QJsonValue code = KJsonTools::parseObject(reply).value(QStringLiteral("code"));
    if (code.isDouble())
        return KJsonTools::toInt64(code.toDouble()) == 0;
    return code.isString() && code.toString() == QLatin1String("0");
}

bool KUploadOutcome::isRefusal(const QString& reply)
{
    const QJsonValue code = KJsonTools::parseObject(reply).value(QStringLiteral("code"));
    return code.isDouble() && KJsonTools::toInt64(code.toDouble()) != 0;
}

QString KUploadOutcome::errorText(const QString& reply, const QString& step)
{
    if (reply.trimmed().isEmpty())
        return step + QStringLiteral("无响应");
    const QMap<QString, QJsonValue> envelope = KJsonTools::parseObject(reply);
    if (!envelope.contains(QStringLiteral("code")))
        return step + QStringLiteral("返回无法解析");
    const QString data = KJsonTools::toStringMap(envelope).value(QStringLiteral("data"));
    if (!data.isEmpty())
        return cutAtMarkup(data);
    const QString tip = envelope.value(QStringLiteral("errtip")).toString();
    return tip.isEmpty() ? step + QStringLiteral("失败") : tip;
}

QString KUploadOutcome::cutAtMarkup(const QString& data)
{
    const int markup = data.indexOf(QLatin1Char('<'));
    return markup >= 7 ? data.left(markup - 6) : data;
}

QStringList KUploadOutcome::errorRow(const QString& localPath, const QString& serverPath, qint64 timeMs,
                                     const QString& text, const QString& direction)
{
    return {KTransferList::logId(localPath), localPath, serverPath, direction, QString::number(timeMs), text};
}

qint64 KUploadOutcome::committedVersion(const QString& reply)
{
    const QJsonValue data = KJsonTools::parseObject(reply).value(QStringLiteral("data"));
    const QJsonValue first = data.toObject().value(QStringLiteral("versions")).toArray().at(0);
    return KJsonTools::toInt64(first.toObject().value(QStringLiteral("version")).toDouble());
}

QString KUploadOutcome::redactTokens(const QString& reply)
{
    static const QRegularExpression token(QStringLiteral("(\"uptoken\"\\s*:\\s*)\"(?:[^\"\\\\]|\\\\.)*\""));
    QString text = reply;
    return text.replace(token, QStringLiteral("\\1\"***\""));
}

QString KUploadOutcome::redactUrl(const QString& url, const QString& token)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    QString text = parsed.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
    if (!token.isEmpty())
        text.replace(token, QStringLiteral("***"));
    return text;
}
