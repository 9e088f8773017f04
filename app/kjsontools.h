#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>

// JSON object text <-> maps; everything the client exchanges as compact JSON.
class KJsonTools
{
public:
    static QMap<QString, QJsonValue> parseObject(const QString& text);
    static QMap<QString, QString> parseStringMap(const QString& text);
    // Converts the members of an object the way parseStringMap does.
    static QMap<QString, QString> toStringMap(const QMap<QString, QJsonValue>& members);
    static QString toJsonText(const QMap<QString, QString>& map);
    // A JSON number truncated toward zero, clamped to the 64-bit range.
    static qint64 toInt64(double number);
    // A member read as text: "" when absent or not a JSON string.
    static QString textMember(const QJsonObject& object, const QString& key);
    // A member read as a whole number: 0 when absent or not a JSON number.
    static qint64 integerMember(const QJsonObject& object, const QString& key);
};
