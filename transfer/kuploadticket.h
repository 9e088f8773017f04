#pragma once

#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>

// What the server hands out for an upload ("kaskupload") or for one of its
// parts ("kexchangeupload"): the upload's token and where and how to send the
// part. Text members read as "" when missing or not a JSON string.
struct KUploadTicket
{
    QString uptoken;
    QString upmethod;
    QString httpurl;
    QMap<QString, QString> httpheaders;
    QMap<QString, QString> httpmultiforms;
    QString partnumber;
    QString partminsize;
    QString partmaxsize;
    QString datasrv;
    QString expiredtime;

    // The server already holds this content: commit without sending parts.
    bool isHit() const { return upmethod == QLatin1String("HIT"); }
    // The part goes as a raw PUT body; any other method is a multipart POST.
    bool isPut() const { return upmethod == QLatin1String("PUT"); }

    // The ticket in a reply's "data"; anything but an object gives empty members.
    static KUploadTicket fromData(const QJsonValue& data);
    // Reads the envelope first, so a body without "code" throws "请求异常!".
    static KUploadTicket parse(const QString& body);
};

// One part the server already holds for an upload ("kqueryuploaded").
struct KUploadedPart
{
    QString uptoken;
    QString partmd5;
    int partnumber = 0; // 0 unless an integral JSON number
    qint64 partsize = 0; // a JSON number truncated toward zero, else 0

    static KUploadedPart fromData(const QJsonValue& data);
    // One entry per element of the reply's "data" array, in the server's
    // order; throws "请求异常!" on a body without "code".
    static QList<KUploadedPart> parseList(const QString& body);
};
