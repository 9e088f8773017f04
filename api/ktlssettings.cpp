#include "api/ktlssettings.h"

#include "api/khttptools.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <atomic>

namespace {

// Failures and pins are shared by every thread that sends requests.
struct TlsState
{
    QMutex mutex;
    QHash<QString, KTlsFailure> failures;
    QHash<QString, QSslCertificate> pins;
};

// Never destroyed: certificates must not outlive the TLS library's own
// clean-up at process exit.
TlsState& state()
{
    static TlsState* instance = new TlsState;
    return *instance;
}

std::atomic_int testTimeoutMs{0};

QString endpointKey(const QString& host, int port)
{
    return host.toLower() + QLatin1Char(':') + QString::number(port);
}

int portOf(const QUrl& url)
{
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
}

QSslCertificate presentedCertificate(const QNetworkReply* reply, const QList<QSslError>& errors)
{
    const QList<QSslCertificate> chain = reply->sslConfiguration().peerCertificateChain();
    if (!chain.isEmpty())
        return chain.first();
    return errors.isEmpty() ? QSslCertificate() : errors.first().certificate();
}

} // namespace

void KTlsSettings::apply(QNetworkRequest& request)
{
    // The default configuration trusts the system's CA store (loaded on demand).
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::SecureProtocols);
    request.setSslConfiguration(config);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs());
}

void KTlsSettings::watch(QNetworkReply* reply)
{
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply](const QList<QSslError>& errors) { onSslErrors(reply, errors); });
}

void KTlsSettings::onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    KTlsFailure failure;
    failure.host = reply->url().host();
    failure.port = portOf(reply->url());
    failure.certificate = presentedCertificate(reply, errors);
    failure.errors = errors;
    if (isPinned(failure.host, failure.port, failure.certificate)) {
        reply->ignoreSslErrors(errors);
        return;
    }
    recordFailure(failure);
}

void KTlsSettings::recordFailure(const KTlsFailure& failure)
{
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    s.failures.insert(endpointKey(failure.host, failure.port), failure);
}

KTlsFailure KTlsSettings::lastFailure(const QString& host, int port)
{
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    return s.failures.value(endpointKey(host, port));
}

void KTlsSettings::clearFailure(const QString& host, int port)
{
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    s.failures.remove(endpointKey(host, port));
}

void KTlsSettings::pin(const QString& host, int port, const QSslCertificate& certificate)
{
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    s.pins.insert(endpointKey(host, port), certificate);
}

void KTlsSettings::unpin(const QString& host, int port)
{
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    s.pins.remove(endpointKey(host, port));
}

bool KTlsSettings::isPinned(const QString& host, int port, const QSslCertificate& certificate)
{
    if (certificate.isNull())
        return false;
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    const auto it = s.pins.constFind(endpointKey(host, port));
    return it != s.pins.constEnd() && it.value() == certificate;
}

int KTlsSettings::transferTimeoutMs()
{
    const int forTesting = testTimeoutMs.load();
    return forTesting > 0 ? forTesting : KHttpTools::Default_ConnectTimeOut * 1000;
}

void KTlsSettings::setTransferTimeoutForTesting(int ms)
{
    testTimeoutMs.store(ms);
}
