#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Blocking HTTP: each call sends one request and waits for the whole reply in
// a local event loop of the calling thread, then returns the body as text (up
// to the first zero byte). Status and network errors are not examined; a
// failed or timed-out request returns whatever arrived, usually "".
// Keeps no state of its own, so one instance serves every thread.
class KHttpClientSync : public QObject
{
    Q_OBJECT

public:
    explicit KHttpClientSync(QObject* parent = nullptr);

    QString doGet(QString url, QMap<QString, QString> params = {}, QMap<QString, QString> headers = {});
    QString doPost(QString url, QMap<QString, QString> params = {}, QMap<QString, QString> headers = {});

    // key=percent-encoded value pairs in key order, joined by "&"; keys as they are.
    static QByteArray formBody(const QMap<QString, QString>& params);
    // The URL with "?k=v&k=v" appended in key order, nothing encoded.
    static QString queryUrl(const QString& url, const QMap<QString, QString>& params);
    // URL, form Content-Type, then the extra headers in key order, under the
    // program's TLS and time-out policy.
    static QNetworkRequest buildRequest(const QString& url, const QMap<QString, QString>& headers);

    // The calling thread's manager: created on first use, deleted when the
    // thread ends, so connections are reused between calls of one thread.
    static QNetworkAccessManager* threadManager();

private:
    static QString waitForBody(QNetworkReply* reply);
};
