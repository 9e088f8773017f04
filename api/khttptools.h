#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>

class KHttpClientSync;

// Server operations: addressing by space, request signing, sending through
// the shared blocking client and reading the JSON reply envelope.
// Every function may run in any thread.
class KHttpTools
{
public:
    // Created on first use by client(), never deleted.
    static KHttpClientSync* httpClient;
    // Seconds without any transfer after which a request is given up.
    static constexpr int Default_ConnectTimeOut = 30;

    // The shared client, created exactly once even when threads race here.
    static KHttpClientSync* client();

    // POSTs the form; signed requests carry x-date and x-authorization.
    static QString callApi(QString url, QMap<QString, QString> params, bool isSigned);
    // The address serving a server path "@space[/...]", "" when no space holds it.
    static QString apiUrlFor(const QString& serverPath);

    static QMap<QString, QString> signHeaders(const QString& method, const QString& url,
                                              const QMap<QString, QString>& params);
    // The same for a given date text, with the session's access key.
    static QMap<QString, QString> signHeaders(const QString& method, const QString& url,
                                              const QMap<QString, QString>& params, const QString& date);
    static QString httpDate();
    // "Mon, 07 Dec 2026 02:48:47 GMT": UTC, English, whatever the system locale.
    static QString httpDate(const QDateTime& time);
    static QString canonicalResource(const QString& url, const QMap<QString, QString>& params);
    static QString stringToSign(const QString& method, const QString& resource, const QString& date);
    // Base64 of HMAC-SHA1 over stringToSign with the UTF-8 secret as key.
    static QString signature(const QString& method, const QString& date, const QString& resource,
                             const QString& secret);

    // The envelope's "data"; throws "请求异常!" when the body has no "code".
    static QJsonValue parseResponse(const QString& body);
    // Compact JSON array of strings: [] or ["a","b"].
    static QString toJsonArrayText(const QStringList& list);

private:
    static QMap<QString, QString> queryPairs(const QString& query);
    static void logFailedCode(const QMap<QString, QJsonValue>& envelope);
};
