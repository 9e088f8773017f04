#include "ktestapiclient.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

KTestApiClient::KTestApiClient(const QString& baseUrl)
    : base(baseUrl)
{
}

QJsonObject KTestApiClient::Answer::envelope() const
{
    return QJsonDocument::fromJson(body).object();
}

KTestApiClient::Answer KTestApiClient::send(const QByteArray& method, const QString& url, const QByteArray& body,
                                            const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url, QUrl::TolerantMode)};
    for (const auto& header : headers)
        request.setRawHeader(header.first, header.second);
    QNetworkReply* reply = manager.sendCustomRequest(request, method, body);
    reply->ignoreSslErrors();
    QEventLoop loop;
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.error = reply->error();
    answer.body = reply->readAll();
    for (const auto& pair : reply->rawHeaderPairs())
        answer.headers.insert(pair.first.toLower(), pair.second);
    delete reply;
    return answer;
}

KTestApiClient::Answer KTestApiClient::post(const QString& url, const QByteArray& body,
                                            const QList<QPair<QByteArray, QByteArray>>& headers)
{
    return send("POST", url, body, headers);
}

KTestApiClient::Answer KTestApiClient::put(const QString& url, const QByteArray& body)
{
    return send("PUT", url, body, {});
}

KTestApiClient::Answer KTestApiClient::get(const QString& url, const QByteArray& range)
{
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!range.isEmpty())
        headers.append({"Range", range});
    return send("GET", url, QByteArray(), headers);
}

KTestApiClient::Answer KTestApiClient::rawGet(const QString& url)
{
    const QUrl address(url);
    QTcpSocket socket;
    socket.connectToHost(address.host(), quint16(address.port()));
    Answer answer;
    if (!socket.waitForConnected(10000))
        return answer;
    socket.write("GET " + address.path(QUrl::FullyEncoded).toLatin1() + '?' + address.query(QUrl::FullyEncoded).toLatin1()
                 + " HTTP/1.1\r\nHost: " + address.authority().toLatin1() + "\r\nConnection: close\r\n\r\n");
    QByteArray all;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        all += socket.readAll();
    all += socket.readAll();
    const int split = all.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = all.left(split).split('\n');
    answer.status = lines.value(0).split(' ').value(1).toInt();
    for (const QByteArray& line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        answer.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    answer.body = split < 0 ? QByteArray() : all.mid(split + 4);
    return answer;
}

QByteArray KTestApiClient::formBody(const QMap<QString, QString>& params)
{
    QByteArray body;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (!body.isEmpty())
            body += '&';
        body += it.key().toUtf8() + '=' + QUrl::toPercentEncoding(it.value());
    }
    return body;
}

KTestApiClient::Answer KTestApiClient::loginAt(const QString& url, const QString& user, const QString& password)
{
    const QMap<QString, QString> fields{{QStringLiteral("userid"), user},
                                        {QStringLiteral("password"), password},
                                        {QStringLiteral("mac"), QStringLiteral("[]")}};
    return post(url, formBody(fields), {{"Content-Type", "application/x-www-form-urlencoded"}});
}

bool KTestApiClient::login(const QString& user, const QString& password)
{
    const Answer answer = loginAt(base + QStringLiteral("/klogin"), user, password);
    session = answer.data().toObject();
    return answer.code() == 0 && !session.isEmpty();
}

QString KTestApiClient::keyId() const
{
    return keyIdOverride.isEmpty() ? session.value("accesskey").toObject().value("accesskeyid").toString() : keyIdOverride;
}

QString KTestApiClient::secret() const
{
    return secretOverride.isEmpty() ? session.value("accesskey").toObject().value("accesskeysecret").toString()
                                    : secretOverride;
}

QString KTestApiClient::apiUrl(const QString& spaceId) const
{
    for (const QJsonValue& value : session.value(QStringLiteral("spaces")).toArray()) {
        const QJsonObject space = value.toObject();
        if (space.value(QStringLiteral("spaceid")).toString() != spaceId)
            continue;
        const QString api = space.value(QStringLiteral("spaceapi")).toString();
        return api.startsWith(QLatin1String("http")) ? api : base + api;
    }
    return base + QStringLiteral("/api");
}

QString KTestApiClient::spaceOf(const QString& serverPath)
{
    return serverPath.mid(1).section(QLatin1Char('/'), 0, 0);
}

QString KTestApiClient::canonicalResource(const QString& url, const QMap<QString, QString>& params)
{
    QString rest = url.mid(8);
    if (rest.contains(QLatin1Char('/')))
        rest = rest.mid(rest.indexOf(QLatin1Char('/')));
    QMap<QString, QString> pairs;
    QString path = rest;
    if (rest.contains(QLatin1Char('?'))) {
        path = rest.section(QLatin1Char('?'), 0, 0);
        for (const QString& piece : rest.section(QLatin1Char('?'), 1).split(QLatin1Char('&'))) {
            if (piece.contains(QLatin1Char('=')))
                pairs.insert(piece.section(QLatin1Char('='), 0, 0), piece.section(QLatin1Char('='), 1));
        }
    }
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        pairs.insert(it.key(), it.value());
    QStringList joined;
    for (auto it = pairs.cbegin(); it != pairs.cend(); ++it) {
        if (!it.value().isEmpty())
            joined.append(it.key() + QLatin1Char('=') + it.value());
    }
    return path + QLatin1Char('?') + joined.join(QLatin1Char('&'));
}

QString KTestApiClient::httpDate(const QDateTime& at)
{
    return QLocale(QLocale::English).toString(at.toUTC(), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
}

QString KTestApiClient::signature(const QString& stringToSign, const QString& secret)
{
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(stringToSign.toUtf8(), secret.toUtf8(), QCryptographicHash::Sha1).toBase64());
}

KTestApiClient::Answer KTestApiClient::callAt(const QString& url, const QMap<QString, QString>& params,
                                              const QString& date)
{
    const QString when = date.isEmpty() ? httpDate(QDateTime::currentDateTimeUtc()) : date;
    const QString toSign = QStringLiteral("POST\n") + canonicalResource(url, params) + QLatin1Char('\n') + when;
    const QString domain = session.value("accesskey").toObject().value("accessdomain").toString();
    const QString authorization = domain + QLatin1Char(' ') + keyId() + QLatin1Char(':') + signature(toSign, secret());
    return post(url, formBody(params), {{"Content-Type", "application/x-www-form-urlencoded"},
                                        {"x-authorization", authorization.toUtf8()},
                                        {"x-date", when.toUtf8()}});
}

KTestApiClient::Answer KTestApiClient::call(const QString& spaceId, QMap<QString, QString> params)
{
    return callAt(apiUrl(spaceId), params);
}

KTestApiClient::Answer KTestApiClient::askUpload(const QString& path, const QByteArray& content, bool createFile)
{
    return call(spaceOf(path), {{"op", "kaskupload"}, {"filepath", path},
                                {"filemd5", QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())},
                                {"filesize", QString::number(content.size())}, {"chunksize", QString::number(ChunkSize)},
                                {"hopesrvs", ""}, {"iscreatefile", createFile ? "true" : "false"},
                                {"iscreateversion", "true"}, {"expiredsecond", "86400"}, {"baseurl", ""}});
}

KTestApiClient::Answer KTestApiClient::exchange(const QString& spaceId, const QString& token, int part)
{
    return call(spaceId, {{"op", "kexchangeupload"}, {"uptoken", token}, {"partnumber", QString::number(part)}, {"baseurl", ""}});
}

QByteArray KTestApiClient::multipartBody(const QByteArray& boundary, const QByteArray& bytes)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" + boundary + "--\r\n";
}

KTestApiClient::Answer KTestApiClient::sendPart(const QJsonObject& ticket, const QByteArray& bytes, qint64 offset)
{
    const QString url = ticket.value(QStringLiteral("httpurl")).toString();
    if (ticket.value(QStringLiteral("upmethod")).toString() == QLatin1String("PUT"))
        return put(url, bytes);
    const QByteArray boundary = QUuid::createUuid().toByteArray();
    return post(url, multipartBody(boundary, bytes),
                {{"Content-Type", "multipart/form-data;boundary=" + boundary},
                 {"TROV-BYTES", QByteArray::number(offset) + '-' + QByteArray::number(offset + ChunkSize)}});
}

KTestApiClient::Answer KTestApiClient::submit(const QString& path, const QString& token, bool createFile)
{
    return call(spaceOf(path), {{"op", "ksubmitupload"}, {"uptoken", token}, {"filepath", path}, {"meta", ""},
                                {"iscreatefile", createFile ? "true" : "false"}, {"iscreateversion", "true"}});
}

KTestApiClient::Answer KTestApiClient::upload(const QString& path, const QByteArray& content, bool createFile)
{
    const Answer asked = askUpload(path, content, createFile);
    const QString token = asked.data().toObject().value(QStringLiteral("uptoken")).toString();
    if (asked.data().toObject().value(QStringLiteral("upmethod")).toString() != QLatin1String("HIT")) {
        for (qint64 offset = 0; offset < content.size(); offset += ChunkSize) {
            const Answer ticket = exchange(spaceOf(path), token, int(offset / ChunkSize) + 1);
            sendPart(ticket.data().toObject(), content.mid(int(offset), int(ChunkSize)), offset);
        }
    }
    return submit(path, token, createFile);
}

QString KTestApiClient::downloadUrl(const QString& path)
{
    const Answer answer = call(spaceOf(path), {{"op", "kaskdownload"}, {"filepath", path}, {"expiredsecond", ""},
                                               {"hopesrvs", ""}, {"datahash", ""}, {"downfilename", ""}, {"downmimetype", ""}});
    return answer.data().toObject().value(QStringLiteral("url")).toString();
}
