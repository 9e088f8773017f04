#include "transfer/kuploadpartsender.h"

#include "api/klowdelay.h"
#include "api/kreplywait.h"
#include "api/ktlssettings.h"
#include "app/kfiletools.h"
#include "app/kjsontools.h"
#include "transfer/kuploadoutcome.h"
#include "transfer/kuploadpart.h"

#include <QDebug>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

KUploadPartSender::KUploadPartSender(QNetworkAccessManager* manager, qint64 segmentSize)
    : manager(manager)
    , segmentSize(segmentSize)
{
}

QString KUploadPartSender::prepare(const KUploadTicket& ticket, qint64 offset)
{
    current.setUrl(QUrl(ticket.httpurl, QUrl::TolerantMode));
    KTlsSettings::apply(current);
    if (ticket.isPut()) {
        current.setRawHeader("Content-Type", QByteArray());
        return QString();
    }
    const QString boundary = KUploadPart::newBoundary();
    current.setRawHeader("Content-Type", KUploadPart::contentType(boundary));
    current.setRawHeader("TROV-BYTES", KUploadPart::trovBytes(offset, segmentSize));
    return boundary;
}

KPartResult KUploadPartSender::send(const KUploadTicket& ticket, qint64 offset, QIODevice& file, qint64 length)
{
    return wait(start(ticket, offset, file, length), ticket.isPut());
}

QNetworkReply* KUploadPartSender::start(const KUploadTicket& ticket, qint64 offset, QIODevice& file, qint64 length)
{
    const QString boundary = prepare(ticket, offset);
    QNetworkReply* reply = nullptr;
    if (ticket.isPut()) {
        qInfo() << QStringLiteral("PUT方法上传");
        reply = manager->put(current, file.read(length));
    } else {
        const QByteArray body = KUploadPart::readFramed(file, length, KUploadPart::multipartHead(boundary),
                                                        KUploadPart::multipartTail(boundary));
        reply = manager->post(current, body);
    }
    KTlsSettings::watch(reply);
    KLowDelay::follow(reply);
    return reply;
}

KPartResult KUploadPartSender::wait(QNetworkReply* reply, bool isPut)
{
    KReplyWait::wait(reply);
    // A reply aborted by the time-out is closed already; reading it would warn.
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    KPartResult result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.ok = reply->error() == QNetworkReply::NoError && result.status >= 200 && result.status < 300;
    if (!result.ok)
        result.reason = failureReason(reply, result.status, body);
    if (isPut)
        qInfo() << (QStringLiteral("PUT方法上传结果=") + KUploadOutcome::redactTokens(KFileTools::utf8UpToZero(body)));
    reply->deleteLater();
    return result;
}

QString KUploadPartSender::failureReason(QNetworkReply* reply, int status, const QByteArray& body)
{
    const QString tip = KJsonTools::parseStringMap(QString::fromUtf8(body)).value(QStringLiteral("errtip"));
    if (status == 0)
        return reply->errorString();
    const QString http = QStringLiteral("HTTP %1").arg(status);
    return tip.isEmpty() ? http : http + QStringLiteral(" ") + tip;
}
