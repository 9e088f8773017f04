#include "bridge/klogredact.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString passwordKey = QStringLiteral("password");

QJsonValue redacted(const QJsonValue& value, bool* changed);

QJsonObject redactedObject(QJsonObject object, bool* changed)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key().compare(passwordKey, Qt::CaseInsensitive) == 0) {
            it.value() = KLogRedact::mask();
            *changed = true;
        } else {
            it.value() = redacted(it.value(), changed);
        }
    }
    return object;
}

QJsonValue redacted(const QJsonValue& value, bool* changed)
{
    if (value.isObject())
        return redactedObject(value.toObject(), changed);
    if (!value.isArray())
        return value;
    QJsonArray array = value.toArray();
    for (auto it = array.begin(); it != array.end(); ++it)
        *it = redacted(*it, changed);
    return array;
}

} // namespace

QString KLogRedact::params(const QString& param)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(param.toUtf8(), &error);
    if (error.error == QJsonParseError::NoError && document.isObject()) {
        bool changed = false;
        const QJsonObject object = redactedObject(document.object(), &changed);
        // Untouched texts are logged exactly as sent; a redacted one is
        // written out again from the parsed form, so no trace of the
        // original value (or of a duplicate member) survives.
        return changed ? QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) : param;
    }
    if (param.contains(passwordKey, Qt::CaseInsensitive))
        return mask();
    return param;
}
