#include "api/khttptools.h"

#include "api/khttpclientsync.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "login/ksession.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <mutex>

KHttpClientSync* KHttpTools::httpClient = nullptr;

KHttpClientSync* KHttpTools::client()
{
    static std::once_flag created;
    std::call_once(created, [] { httpClient = new KHttpClientSync; });
    return httpClient;
}

QString KHttpTools::callApi(QString url, QMap<QString, QString> params, bool isSigned)
{
    QMap<QString, QString> headers;
    if (isSigned)
        headers = signHeaders(QStringLiteral("POST"), url, params);
    return client()->doPost(url, params, headers);
}

QString KHttpTools::apiUrlFor(const QString& serverPath)
{
    for (const KSpaceInfo& space : WexoraBase::accessdata.spaces) {
        const QString root = QLatin1Char('@') + space.spaceid;
        if (serverPath != root && !serverPath.startsWith(root + QLatin1Char('/')))
            continue;
        if (space.spaceapi.startsWith(QLatin1String("http")))
            return space.spaceapi;
        return WexoraBase::baseServer + space.spaceapi;
    }
    return QString();
}

QMap<QString, QString> KHttpTools::signHeaders(const QString& method, const QString& url,
                                               const QMap<QString, QString>& params)
{
    return signHeaders(method, url, params, httpDate());
}

QMap<QString, QString> KHttpTools::signHeaders(const QString& method, const QString& url,
                                               const QMap<QString, QString>& params, const QString& date)
{
    const KAccessData& access = WexoraBase::accessdata;
    const QString sig = signature(method, date, canonicalResource(url, params), access.accesskeysecret);
    QMap<QString, QString> headers;
    headers.insert(QStringLiteral("x-date"), date);
    headers.insert(QStringLiteral("x-authorization"),
                   access.accessdomain + QLatin1Char(' ') + access.accesskeyid + QLatin1Char(':') + sig);
    return headers;
}

QString KHttpTools::httpDate()
{
    return httpDate(QDateTime::currentDateTimeUtc());
}

QString KHttpTools::httpDate(const QDateTime& time)
{
    return QLocale(QLocale::English).toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
}

QString KHttpTools::canonicalResource(const QString& url, const QMap<QString, QString>& params)
{
    // The first 8 characters are "https://"; for http:// the host's first
    // letter goes too, which the cut at the first "/" discards anyway.
    QString rest = url.mid(8);
    const int slash = rest.indexOf(QLatin1Char('/'));
    if (slash >= 0)
        rest = rest.mid(slash);
    const int question = rest.indexOf(QLatin1Char('?'));
    QMap<QString, QString> pairs = question < 0 ? QMap<QString, QString>() : queryPairs(rest.mid(question + 1));
    for (auto it = params.begin(); it != params.end(); ++it)
        pairs.insert(it.key(), it.value());
    QStringList kept;
    for (auto it = pairs.begin(); it != pairs.end(); ++it) {
        if (!it.value().isEmpty())
            kept << it.key() + QLatin1Char('=') + it.value();
    }
    return rest.left(question < 0 ? rest.size() : question) + QLatin1Char('?') + kept.join(QLatin1Char('&'));
}

QMap<QString, QString> KHttpTools::queryPairs(const QString& query)
{
    QMap<QString, QString> pairs;
    for (const QString& piece : query.split(QLatin1Char('&'))) {
        const int equals = piece.indexOf(QLatin1Char('='));
        if (equals >= 0)
            pairs.insert(piece.left(equals), piece.mid(equals + 1));
    }
    return pairs;
}

QString KHttpTools::stringToSign(const QString& method, const QString& resource, const QString& date)
{
    return method.toUpper() + QLatin1Char('\n') + resource + QLatin1Char('\n') + date;
}

QString KHttpTools::signature(const QString& method, const QString& date, const QString& resource,
                              const QString& secret)
{
    // RFC 2104: Qt hashes keys longer than the 64-byte block and zero-pads shorter ones.
    const QByteArray mac = QMessageAuthenticationCode::hash(stringToSign(method, resource, date).toUtf8(),
                                                            secret.toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(mac.toBase64());
}

QJsonValue KHttpTools::parseResponse(const QString& body)
{
    const QMap<QString, QJsonValue> envelope = KJsonTools::parseObject(body);
    if (!envelope.contains(QStringLiteral("code")))
        throw "请求异常!";
    logFailedCode(envelope);
    return envelope.value(QStringLiteral("data"), QJsonValue(QString()));
}

void KHttpTools::logFailedCode(const QMap<QString, QJsonValue>& envelope)
{
    // Only numbers count; any other type (a string included) reads as success.
    const QJsonValue code = envelope.value(QStringLiteral("code"));
    if (!code.isDouble() || KJsonTools::toInt64(code.toDouble()) == 0)
        return;
    QString tip = envelope.value(QStringLiteral("errtip")).toString();
    if (tip.isEmpty())
        tip = QStringLiteral("请求失败");
    KLog::info(QStringLiteral("请求失败"), tip);
}

QString KHttpTools::toJsonArrayText(const QStringList& list)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(list)).toJson(QJsonDocument::Compact));
}
