#include "transfer/kuploadpart.h"

#include <QIODevice>
#include <QUuid>

QByteArray KUploadPart::multipartHead(const QString& boundary)
{
    return QByteArrayLiteral("--") + boundary.toUtf8()
           + QByteArrayLiteral("\r\nContent-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n"
                               "Content-Type: application/octet-stream\r\n\r\n");
}

QByteArray KUploadPart::multipartTail(const QString& boundary)
{
    return QByteArrayLiteral("\r\n--") + boundary.toUtf8() + QByteArrayLiteral("--\r\n");
}

QByteArray KUploadPart::multipartBody(const QString& boundary, const QByteArray& bytes)
{
    return multipartHead(boundary) + bytes + multipartTail(boundary);
}

QByteArray KUploadPart::contentType(const QString& boundary)
{
    return QByteArrayLiteral("multipart/form-data;boundary=") + boundary.toLatin1();
}

QByteArray KUploadPart::trovBytes(qint64 offset, qint64 segmentSize)
{
    return QByteArray::number(offset) + '-' + QByteArray::number(offset + segmentSize);
}

QString KUploadPart::newBoundary()
{
    return QUuid::createUuid().toString(QUuid::WithBraces);
}

QByteArray KUploadPart::readFramed(QIODevice& file, qint64 length, const QByteArray& head, const QByteArray& tail)
{
    QByteArray body;
    body.reserve(int(head.size() + length + tail.size()));
    body.append(head);
    body.resize(int(head.size() + length));
    const qint64 got = file.read(body.data() + head.size(), length);
    body.resize(head.size() + int(qMax<qint64>(got, 0)));
    body.append(tail);
    return body;
}
