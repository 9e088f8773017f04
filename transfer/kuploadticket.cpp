#include "transfer/kuploadticket.h"

#include "api/khttptools.h"
#include "app/kjsontools.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cmath>
#include <limits>

namespace {

QMap<QString, QString> stringMap(const QJsonObject& object, const char* key)
{
    const QJsonObject members = object.value(QLatin1String(key)).toObject();
    QMap<QString, QJsonValue> values;
    for (auto it = members.begin(); it != members.end(); ++it)
        values.insert(it.key(), it.value());
    return KJsonTools::toStringMap(values);
}

int wholeNumber(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    const bool integral = std::trunc(number) == number;
    const bool fits = number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
    return integral && fits ? int(number) : 0;
}

} // namespace

KUploadTicket KUploadTicket::fromData(const QJsonValue& data)
{
    const QJsonObject object = data.toObject();
    KUploadTicket ticket;
    ticket.uptoken = KJsonTools::textMember(object, QStringLiteral("uptoken"));
    ticket.upmethod = KJsonTools::textMember(object, QStringLiteral("upmethod"));
    ticket.httpurl = KJsonTools::textMember(object, QStringLiteral("httpurl"));
    ticket.httpheaders = stringMap(object, "httpheaders");
    ticket.httpmultiforms = stringMap(object, "httpmultiforms");
    ticket.partnumber = KJsonTools::textMember(object, QStringLiteral("partnumber"));
    ticket.partminsize = KJsonTools::textMember(object, QStringLiteral("partminsize"));
    ticket.partmaxsize = KJsonTools::textMember(object, QStringLiteral("partmaxsize"));
    ticket.datasrv = KJsonTools::textMember(object, QStringLiteral("datasrv"));
    ticket.expiredtime = KJsonTools::textMember(object, QStringLiteral("expiredtime"));
    return ticket;
}

KUploadTicket KUploadTicket::parse(const QString& body)
{
    return fromData(KHttpTools::parseResponse(body));
}

KUploadedPart KUploadedPart::fromData(const QJsonValue& data)
{
    const QJsonObject object = data.toObject();
    KUploadedPart part;
    part.uptoken = KJsonTools::textMember(object, QStringLiteral("uptoken"));
    part.partmd5 = KJsonTools::textMember(object, QStringLiteral("partmd5"));
    part.partnumber = wholeNumber(object.value(QLatin1String("partnumber")));
    const QJsonValue size = object.value(QLatin1String("partsize"));
    part.partsize = size.isDouble() ? KJsonTools::toInt64(size.toDouble()) : 0;
    return part;
}

QList<KUploadedPart> KUploadedPart::parseList(const QString& body)
{
    QList<KUploadedPart> parts;
    for (const QJsonValue& value : KHttpTools::parseResponse(body).toArray())
        parts.append(fromData(value));
    return parts;
}
