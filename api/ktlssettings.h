#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class QNetworkReply;
class QNetworkRequest;
class QUrl;

// What a server presented when its certificate was not trusted: kept per
// host and port so that the user can later be asked whether to trust it.
struct KTlsFailure
{
    QString host;
    int port = 0;
    QSslCertificate certificate;
    QList<QSslError> errors;

    bool isNull() const { return host.isEmpty(); }
};

// The one place for the TLS and request policy of every request the client
// sends: API calls, part uploads and downloads all go through apply() and
// watch(). Thread-safe.
class KTlsSettings
{
public:
    // Certificate verification against the system trust store, Qt's secure
    // protocol set, no automatic redirects, and an inactivity time-out.
    static void apply(QNetworkRequest& request);
    // Records certificate failures of the reply; a certificate the user has
    // pinned for the reply's host and port is accepted instead.
    static void watch(QNetworkReply* reply);

    static KTlsFailure lastFailure(const QString& host, int port);
    static void clearFailure(const QString& host, int port);
    // The port a request to url goes to: the explicit one, else 443 or 80.
    static int portOf(const QUrl& url);

    // In-memory trust of one exact certificate for one host and port.
    static void pin(const QString& host, int port, const QSslCertificate& certificate);
    static void unpin(const QString& host, int port);
    static bool isPinned(const QString& host, int port, const QSslCertificate& certificate);
    static void clearPins();

    // Pins that outlive the process: <base>/config/pinned_certs.json, a JSON
    // object from "host:port" to {"sha256": fingerprint, "pem": certificate}.
    static QString pinFilePath();
    // Replaces the in-memory pins with the file's; an entry whose certificate
    // does not parse or does not match its fingerprint is left out.
    // Returns the number of pins loaded.
    static int loadPins(const QString& path);
    // Writes every in-memory pin, owner-only, through a temporary file.
    static bool savePins(const QString& path);

    // SHA-256 of the DER form as colon-separated upper-case hex pairs: the
    // text a user compares with what the server's administrator gives out.
    static QString fingerprint(const QSslCertificate& certificate);

    // Milliseconds without any transfer after which a request is aborted.
    static int transferTimeoutMs();
    // Tests shorten the time-out; 0 restores the product value.
    static void setTransferTimeoutForTesting(int ms);

private:
    static void onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    static void recordFailure(const KTlsFailure& failure);
    static QByteArray pinFileText();
    static bool writeOwnerOnly(const QString& path, const QByteArray& bytes);
};
