#include "server/kpartintake.h"

#include "server/kclock.h"
#include "server/kconnectiondrop.h"
#include "server/kcontentstore.h"
#include "server/kfaultinjector.h"
#include "server/khttpexchange.h"
#include "server/kmultipartreader.h"
#include "server/kpartwriter.h"
#include "server/ksocketbody.h"
#include "server/krequeststats.h"
#include "server/kuploadclaims.h"
#include "server/kuploaddigests.h"
#include "server/kuploadservice.h"
#include "server/kuploadstore.h"
#include "server/kurlsigner.h"

#include <httplib.h>

#include <QJsonObject>

namespace
{
// Feeds body bytes to the writer; cuts the connection once a "drop" fault has
// let its bytes through, or when the writer refuses bytes.
class KDropCounter
{
public:
    KDropCounter(const httplib::Request& request, const std::optional<KFaultRule>& fault)
        : request(request)
        , limit(fault && fault->action == QLatin1String("drop") ? fault->afterBytes : -1)
    {
    }

    bool pass(KPartWriter& writer, const char* data, size_t size)
    {
        const bool dropNow = limit >= 0 && seen + qint64(size) >= limit;
        const size_t taken = dropNow ? size_t(limit - seen) : size;
        seen += qint64(taken);
        if (writer.write(data, taken) && !dropNow)
            return true;
        // A refused or broken part leaves unread bytes on the connection, so
        // it cannot carry another request: cut it.
        KConnectionDrop::drop(request);
        return false;
    }

private:
    const httplib::Request& request;
    qint64 limit = -1;
    qint64 seen = 0;
};
}

KPartIntake::KPartIntake(const Parts& parts)
    : p(parts)
{
}

qint64 KPartIntake::troveStart(const QString& header)
{
    const int dash = header.indexOf(QLatin1Char('-'));
    bool startOk = false;
    bool endOk = false;
    const qint64 start = header.left(dash).trimmed().toLongLong(&startOk);
    const qint64 end = header.mid(dash + 1).trimmed().toLongLong(&endOk);
    return dash > 0 && startOk && endOk && start >= 0 && end >= start ? start : -1;
}

void KPartIntake::handle(const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& reader)
{
    p.stats.add(QStringLiteral("part"));
    const Target target{QString::fromStdString(request.matches[1]), QString::fromStdString(request.matches[2]).toInt()};
    KReply refusal;
    int status = 200;
    const std::optional<KUploadSession> session = admit(request, target, &refusal, &status);
    const std::optional<KFaultRule> fault = session ? p.faults.take(QStringLiteral("part"), target.number) : std::nullopt;
    if (fault)
        KHttpExchange::delayFor(*fault, p.shutdown);
    const bool receivesBody = !fault || fault->action == QLatin1String("drop") || fault->action == QLatin1String("delay")
                            || fault->losesAnswer();
    if (!session || !receivesBody) {
        KHttpExchange::drainBody(request, reader);
        if (!session || !KHttpExchange::answerFault(*fault, request, response))
            KHttpExchange::sendReply(response, refusal, status);
        return;
    }
    if (!p.claims.claimPart(target.token, target.number, ClaimWaitMs)) {
        KHttpExchange::drainBody(request, reader);
        const QString text = QStringLiteral("this part is still arriving on another connection, or the upload is being committed");
        return KHttpExchange::sendReply(response, KReply::fail(KCode::Busy, text), 409);
    }
    replaceEarlierCopy(*session, target);
    KPartWriter writer(p.content.sessionPath(target.token), session->partOffset(target.number),
                       session->partSize(target.number), nullptr);
    const bool opened = writer.open(); // fails when a commit moved the data meanwhile
    if (!opened)
        KHttpExchange::drainBody(request, reader);
    const bool readOk = opened && receive(request, reader, writer, fault);
    const KReply reply = store(*session, target, writer, readOk, &status);
    p.claims.releasePart(target.token, target.number);
    if (fault && fault->losesAnswer())
        KConnectionDrop::drop(request);
    else
        KHttpExchange::sendReply(response, reply, status);
}

std::optional<KUploadSession> KPartIntake::admit(const httplib::Request& request, const Target& target,
                                                 KReply* refusal, int* status)
{
    const qint64 expires = QString::fromStdString(request.get_param_value("expires")).toLongLong();
    const QString signature = QString::fromStdString(request.get_param_value("sig"));
    const QString subject = KUploadService::partSubject(target.token, target.number);
    *status = 403;
    if (!p.signer.verify(QStringLiteral("part"), subject, expires, signature) || expires < p.clock.linkNowSeconds()) {
        *refusal = KReply::fail(KCode::LinkRefused, QStringLiteral("the part address is expired or forged"));
        return std::nullopt;
    }
    const std::optional<KUploadSession> session = p.uploads.find(target.token);
    *status = 404;
    if (!session || session->state != QLatin1String("open") || session->expires < p.clock.linkNowSeconds()
        || target.number < 1 || target.number > session->partCount()) {
        *refusal = KReply::fail(KCode::UploadUnknown, QStringLiteral("the upload is finished, expired or unknown"));
        return std::nullopt;
    }
    const QString trove = KHttpExchange::header(request, "TROV-BYTES");
    *status = 400;
    if (!trove.isEmpty() && troveStart(trove) != session->partOffset(target.number)) {
        *refusal = KReply::fail(KCode::BadRequest, QStringLiteral("TROV-BYTES does not start at the part's offset"));
        return std::nullopt;
    }
    *status = 200;
    return session;
}

bool KPartIntake::receive(const httplib::Request& request, const httplib::ContentReader& reader, KPartWriter& writer,
                          const std::optional<KFaultRule>& fault)
{
    KDropCounter counter(request, fault);
    const auto toWriter = [&](const char* data, size_t size) { return counter.pass(writer, data, size); };
    if (!request.is_multipart_form_data())
        return readBody(request, reader, toWriter);
    KMultipartReader parts(KMultipartReader::boundaryOf(KHttpExchange::header(request, "Content-Type")));
    KHttpExchange::takeBodyRaw(request);
    const bool read = readBody(request, reader, [&](const char* data, size_t size) {
        if (parts.feed(data, size, toWriter))
            return true;
        KConnectionDrop::drop(request); // a broken body leaves unread bytes behind
        return false;
    });
    return read && parts.complete();
}

// A part sent again is written over the bytes of the earlier copy, so that
// copy stops counting now: if the new one breaks off, the part is missing
// rather than half old, half new.
void KPartIntake::replaceEarlierCopy(const KUploadSession& session, const Target& target)
{
    p.digests.rewriting(target.token, session.partOffset(target.number));
    if (p.uploads.hasPart(target.token, target.number))
        p.uploads.removePart(target.token, target.number);
}

bool KPartIntake::readBody(const httplib::Request& request, const httplib::ContentReader& reader,
                           const std::function<bool(const char*, size_t)>& consume)
{
    const bool read = KSocketBody::read(request, reader, p.socketReads, KHttpExchange::TimeoutSeconds, consume);
    if (!read)
        KConnectionDrop::drop(request); // it broke off or stopped half-way: nothing after it can be read
    return read;
}

KReply KPartIntake::store(const KUploadSession& session, const Target& target, KPartWriter& writer, bool readOk,
                          int* status)
{
    const qint64 expected = session.partSize(target.number);
    const qint64 offset = session.partOffset(target.number);
    const bool complete = readOk && writer.finish() && writer.received() == expected;
    const bool recorded = complete && p.uploads.recordPart(target.token, target.number, expected);
    if (recorded)
        p.digests.stored(target.token, offset, offset + expected);
    p.stats.add(QStringLiteral("partBytes"), writer.received());
    if (recorded) {
        *status = 200;
        return KReply::ok(QJsonObject{{QStringLiteral("partnumber"), target.number},
                                      {QStringLiteral("partsize"), double(expected)}});
    }
    *status = writer.overflowed() ? 413 : 400;
    const QString text = writer.overflowed() ? QStringLiteral("part %1 is longer than %2 bytes").arg(target.number).arg(expected)
                                             : QStringLiteral("part %1 arrived with %2 of %3 bytes").arg(target.number).arg(writer.received()).arg(expected);
    return KReply::fail(writer.overflowed() ? KCode::TooLarge : KCode::UploadIncomplete, text);
}
