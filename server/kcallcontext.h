#pragma once

#include <QMap>
#include <QString>

// What an operation handler gets from one verified request.
struct KCallContext
{
    QString userId;                // the signing user
    QMap<QString, QString> fields; // decoded form fields
    QString baseUrl;               // scheme://host:port the request reached, for absolute addresses
    QString signedHeaders;         // x-date LF x-authorization: the same only when a request is sent again

    QString field(const QString& name) const { return fields.value(name); }
};
