#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// The bytes of one part on the wire. Pure, apart from reading the file and
// drawing a new boundary.
class KUploadPart
{
public:
    // "--" boundary CRLF, then the "file" field's headers and a blank line.
    static QByteArray multipartHead(const QString& boundary);
    // CRLF "--" boundary "--" CRLF.
    static QByteArray multipartTail(const QString& boundary);
    // The whole multipart body around the part's bytes.
    static QByteArray multipartBody(const QString& boundary, const QByteArray& bytes);
    // "multipart/form-data;boundary=" + boundary, no space.
    static QByteArray contentType(const QString& boundary);
    // "offset-(offset + segmentSize)": the end is a whole segment on, even for
    // a shorter last part.
    static QByteArray trovBytes(qint64 offset, qint64 segmentSize);
    // A new random UUID with braces, one per multipart part.
    static QString newBoundary();

    // Up to `length` bytes from the file's current position between head and
    // tail, read straight into one buffer so a part is held only once.
    static QByteArray readFramed(QIODevice& file, qint64 length, const QByteArray& head, const QByteArray& tail);
};
