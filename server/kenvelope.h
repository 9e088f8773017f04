#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

// Reply codes in the "code" member of every answer; 0 is success.
namespace KCode
{
enum : int {
    Ok = 0,
    Internal = 1,          // the server failed; the request may be retried
    BadRequest = 2,        // a field is missing or malformed
    UnknownOperation = 3,
    LoginFailed = 10,      // wrong user name or password
    BadSignature = 11,     // missing or wrong x-authorization, unknown key
    StaleDate = 12,        // x-date missing, malformed or outside the window
    Forbidden = 13,        // the space is not the caller's
    BadPath = 14,          // a path that may not be used ("..", empty names, ...)
    NotFound = 20,
    Conflict = 21,         // a file where a folder is needed, or the reverse
    Changed = 22,          // a node is no longer what the caller expected; nothing was done
    UploadUnknown = 30,    // unknown, foreign, finished or expired upload token
    UploadIncomplete = 31, // parts missing or of the wrong size at commit
    ChecksumMismatch = 32, // the assembled content does not have the announced MD5
    LinkRefused = 40,      // an expired or forged part or download address
    Busy = 41,             // the same upload is receiving another part right now
    TooLarge = 42,
};
}

// The answer of an operation before it is serialised.
struct KReply
{
    int code = KCode::Ok;
    QString errtip;
    QJsonValue data;

    static KReply ok(const QJsonValue& data) { return KReply{KCode::Ok, QString(), data}; }
    static KReply fail(int code, const QString& errtip, const QJsonValue& data = QJsonValue(QJsonValue::Undefined))
    {
        return KReply{code, errtip, data};
    }
};

namespace KEnvelope
{
// {"code":..,"errtip":..,"data":..}; a failure without data gets its errtip
// as data text, because the client reports "data" as the error text.
QByteArray serialise(const KReply& reply);
}
