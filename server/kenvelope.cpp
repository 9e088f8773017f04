#include "server/kenvelope.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace KEnvelope
{
QByteArray serialise(const KReply& reply)
{
    QJsonObject envelope;
    envelope.insert(QStringLiteral("code"), reply.code);
    envelope.insert(QStringLiteral("errtip"), reply.errtip);
    if (reply.code != KCode::Ok && reply.data.isUndefined())
        envelope.insert(QStringLiteral("data"), reply.errtip);
    else
        envelope.insert(QStringLiteral("data"), reply.data.isUndefined() ? QJsonValue(QJsonValue::Null) : reply.data);
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}
}
