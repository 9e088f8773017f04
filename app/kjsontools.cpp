#include "app/kjsontools.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <limits>

QMap<QString, QJsonValue> KJsonTools::parseObject(const QString& text)
{
    QMap<QString, QJsonValue> members;
    if (text.isEmpty())
        return members;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || document.isNull() || !document.isObject())
        return members;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        members.insert(it.key(), it.value());
    return members;
}

qint64 KJsonTools::toInt64(double number)
{
    if (std::isnan(number))
        return 0;
    const double truncated = std::trunc(number);
    if (truncated >= 9223372036854775807.0)
        return std::numeric_limits<qint64>::max();
    if (truncated <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(truncated);
}

QMap<QString, QString> KJsonTools::toStringMap(const QMap<QString, QJsonValue>& members)
{
    QMap<QString, QString> map;
    for (auto it = members.begin(); it != members.end(); ++it) {
        const QJsonValue& value = it.value();
        if (value.isString())
            map.insert(it.key(), value.toString());
        else if (value.isDouble())
            map.insert(it.key(), QString::number(toInt64(value.toDouble())));
        else if (value.isBool())
            map.insert(it.key(), value.toBool() ? QStringLiteral("1") : QStringLiteral("0"));
    }
    return map;
}

QMap<QString, QString> KJsonTools::parseStringMap(const QString& text)
{
    return toStringMap(parseObject(text));
}

QString KJsonTools::toJsonText(const QMap<QString, QString>& map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), it.value());
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString KJsonTools::textMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

qint64 KJsonTools::integerMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? toInt64(value.toDouble()) : 0;
}
