#pragma once

#include "transfer/kuploadticket.h"

#include <QNetworkRequest>
#include <QString>

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;

// What became of one part transfer.
struct KPartResult
{
    bool ok = false;
    int status = 0;     // HTTP status, 0 when no answer arrived
    QString reason;     // why it failed, readable; "" on success
};

// Sends the parts of one upload job one after another through the upload
// thread's network manager, waiting for each answer. One request object
// serves all parts of the job, so a raw header set for one part stays for the
// next: a PUT after a multipart part still carries that part's TROV-BYTES.
// Its Content-Type goes, though: a raw PUT body is no multipart form.
class KUploadPartSender
{
public:
    KUploadPartSender(QNetworkAccessManager* manager, qint64 segmentSize);

    // Points the request at the ticket's address under the program's TLS
    // policy and sets the headers of the ticket's method. Returns the new
    // boundary of a multipart part, "" for a PUT.
    QString prepare(const KUploadTicket& ticket, qint64 offset);
    const QNetworkRequest& request() const { return current; }

    // Sends `length` bytes from the file's current position as the part that
    // starts at `offset`. Only a 2xx answer counts as received.
    KPartResult send(const KUploadTicket& ticket, qint64 offset, QIODevice& file, qint64 length);
    // The same in two halves: the request goes out, its answer is waited for
    // later (while other parts are on their way).
    QNetworkReply* start(const KUploadTicket& ticket, qint64 offset, QIODevice& file, qint64 length);
    KPartResult wait(QNetworkReply* reply, bool isPut);

private:
    static QString failureReason(QNetworkReply* reply, int status, const QByteArray& body);

    QNetworkAccessManager* manager;
    qint64 segmentSize;
    QNetworkRequest current;
};
