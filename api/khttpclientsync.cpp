#include "api/khttpclientsync.h"

#include "api/klowdelay.h"
#include "api/kreplywait.h"
#include "api/ktlssettings.h"
#include "app/kfiletools.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThreadStorage>
#include <QUrl>

KHttpClientSync::KHttpClientSync(QObject* parent)
    : QObject(parent)
{
}

QString KHttpClientSync::doGet(QString url, QMap<QString, QString> params, QMap<QString, QString> headers)
{
    const QNetworkRequest request = buildRequest(queryUrl(url, params), headers);
    return waitForBody(threadManager()->get(request));
}

QString KHttpClientSync::doPost(QString url, QMap<QString, QString> params, QMap<QString, QString> headers)
{
    const QNetworkRequest request = buildRequest(url, headers);
    return waitForBody(threadManager()->post(request, formBody(params)));
}

QByteArray KHttpClientSync::formBody(const QMap<QString, QString>& params)
{
    QByteArray body;
    for (auto it = params.begin(); it != params.end(); ++it) {
        if (it != params.begin())
            body += '&';
        body += it.key().toUtf8() + '=' + QUrl::toPercentEncoding(it.value());
    }
    return body;
}

QString KHttpClientSync::queryUrl(const QString& url, const QMap<QString, QString>& params)
{
    QString text = url;
    for (auto it = params.begin(); it != params.end(); ++it) {
        text += it == params.begin() ? QLatin1Char('?') : QLatin1Char('&');
        text += it.key() + QLatin1Char('=') + it.value();
    }
    return text;
}

QNetworkRequest KHttpClientSync::buildRequest(const QString& url, const QMap<QString, QString>& headers)
{
    QNetworkRequest request;
    KTlsSettings::apply(request);
    request.setUrl(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    for (auto it = headers.begin(); it != headers.end(); ++it)
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
    return request;
}

QNetworkAccessManager* KHttpClientSync::threadManager()
{
    // QThreadStorage deletes each thread's manager in that thread as it ends
    // (the main thread's when the application object goes).
    static QThreadStorage<QNetworkAccessManager*> managers;
    if (!managers.hasLocalData())
        managers.setLocalData(new QNetworkAccessManager);
    return managers.localData();
}

QString KHttpClientSync::waitForBody(QNetworkReply* reply)
{
    KTlsSettings::watch(reply);
    KLowDelay::follow(reply);
    // The time-out aborts the reply, and an aborted reply drops what it holds
    // unread: take the bytes as they arrive.
    QByteArray body;
    const QMetaObject::Connection reading
        = connect(reply, &QNetworkReply::readyRead, reply, [reply, &body] { body += reply->readAll(); });
    KReplyWait::wait(reply, QEventLoop::ExcludeUserInputEvents);
    disconnect(reading);
    // A reply aborted by the time-out is closed already; reading it would warn.
    if (reply->isOpen())
        body += reply->readAll();
    reply->deleteLater();
    return KFileTools::utf8UpToZero(body);
}
