#pragma once

#include <QMap>
#include <QString>

// What an operation handler gets from one verified request.
struct KCallContext
{
    QString userId;                // the signing user
    QMap<QString, QString> fields; // decoded form fields
    QString baseUrl;               // scheme://host:port the request reached, for absolute addresses
    QString requestKey;            // x-date LF x-authorization: shared only by copies of one signed request

    QString field(const QString& name) const { return fields.value(name); }
};
