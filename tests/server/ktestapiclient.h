#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QPair>
#include <QString>

// A small client of the drive server for the server tests, written apart
// from the server's code: it signs requests the way the desktop client does
// (canonical resource from the full address text, HMAC-SHA1, English UTC
// date) and sends form posts, part bodies and ranged GETs synchronously.
class KTestApiClient
{
public:
    struct Answer
    {
        int status = 0;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QByteArray body;
        QMap<QByteArray, QByteArray> headers; // lower-case names

        QJsonObject envelope() const;
        int code() const { return envelope().value(QStringLiteral("code")).toInt(-1); }
        QJsonValue data() const { return envelope().value(QStringLiteral("data")); }
    };

    explicit KTestApiClient(const QString& baseUrl);

    // Logs in and keeps the access key and the spaces; true when code is 0.
    bool login(const QString& user, const QString& password);
    Answer loginAt(const QString& url, const QString& user, const QString& password);

    // Signed operation to the API address of the space the path belongs to
    // (the first path for "paths").
    Answer call(const QString& spaceId, QMap<QString, QString> params);
    Answer callAt(const QString& url, const QMap<QString, QString>& params, const QString& date = QString());
    QString apiUrl(const QString& spaceId) const;

    Answer post(const QString& url, const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers);
    Answer put(const QString& url, const QByteArray& body);
    Answer get(const QString& url, const QByteArray& range = QByteArray());
    // A GET over a bare socket (plain HTTP only), read until the server
    // closes: shows exactly what was sent, without Qt's resending of
    // requests whose connection broke.
    Answer rawGet(const QString& url);

    // Client-side uploads: kaskupload, per part kexchangeupload + part body
    // (multipart or PUT as the ticket says), ksubmitupload.
    Answer askUpload(const QString& path, const QByteArray& content, bool createFile = true);
    Answer exchange(const QString& spaceId, const QString& token, int part);
    Answer sendPart(const QJsonObject& ticket, const QByteArray& bytes, qint64 offset);
    Answer submit(const QString& path, const QString& token, bool createFile = true);
    // The whole upload; the answer of ksubmitupload.
    Answer upload(const QString& path, const QByteArray& content, bool createFile = true);
    // kaskdownload's url for a file.
    QString downloadUrl(const QString& path);

    QJsonObject loginData() const { return session; }
    QString keyId() const;
    QString secret() const;
    void setSecret(const QString& secret) { secretOverride = secret; }
    void setKeyId(const QString& keyId) { keyIdOverride = keyId; }

    // The pieces of signing, public for the tests that forge them.
    static QString canonicalResource(const QString& url, const QMap<QString, QString>& params);
    static QString httpDate(const QDateTime& at);
    static QString signature(const QString& stringToSign, const QString& secret);
    static QByteArray formBody(const QMap<QString, QString>& params);
    static QByteArray multipartBody(const QByteArray& boundary, const QByteArray& bytes);
    static QString spaceOf(const QString& serverPath);

    static constexpr qint64 ChunkSize = 5242880;

private:
    Answer send(const QByteArray& method, const QString& url, const QByteArray& body,
                const QList<QPair<QByteArray, QByteArray>>& headers);

    QString base;
    QJsonObject session;
    QString secretOverride;
    QString keyIdOverride;
};
