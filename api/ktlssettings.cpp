#include "api/ktlssettings.h"

#include "api/khttptools.h"
#include "app/kfiletools.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

const QString Sha256Key = QStringLiteral("sha256");
const QString PemKey = QStringLiteral("pem");

// The certificate of one pin file entry; null when the entry is damaged or
// its PEM is not the certificate its fingerprint names.
QSslCertificate pinnedCertificateOf(const QJsonObject& entry)
{
    const QSslCertificate certificate(entry.value(PemKey).toString().toLatin1(), QSsl::Pem);
    if (certificate.isNull() || KTlsSettings::fingerprint(certificate) != entry.value(Sha256Key).toString())
        return QSslCertificate();
    return certificate;
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
    failure.port = KTlsSettings::portOf(reply->url());
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

int KTlsSettings::portOf(const QUrl& url)
{
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
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

void KTlsSettings::clearPins()
{
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    s.pins.clear();
}

QString KTlsSettings::pinFilePath()
{
    return KFileTools::formatPath(KFileTools::appBaseDir() + QStringLiteral("/config/pinned_certs.json"));
}

int KTlsSettings::loadPins(const QString& path)
{
    const QJsonObject file = QJsonDocument::fromJson(KFileTools::readTextFile(path).toUtf8()).object();
    QHash<QString, QSslCertificate> loaded;
    for (auto it = file.begin(); it != file.end(); ++it) {
        const QSslCertificate certificate = pinnedCertificateOf(it.value().toObject());
        if (!certificate.isNull())
            loaded.insert(it.key().toLower(), certificate);
    }
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    s.pins = loaded;
    return loaded.size();
}

bool KTlsSettings::savePins(const QString& path)
{
    const QString dir = KFileTools::parentPath(path);
    if (!QDir(dir).exists()) {
        KFileTools::makePath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return writeOwnerOnly(path, pinFileText());
}

QByteArray KTlsSettings::pinFileText()
{
    QJsonObject file;
    TlsState& s = state();
    QMutexLocker lock(&s.mutex);
    for (auto it = s.pins.constBegin(); it != s.pins.constEnd(); ++it) {
        file.insert(it.key(), QJsonObject{{Sha256Key, fingerprint(it.value())},
                                          {PemKey, QString::fromLatin1(it.value().toPem())}});
    }
    return QJsonDocument(file).toJson(QJsonDocument::Indented);
}

bool KTlsSettings::writeOwnerOnly(const QString& path, const QByteArray& bytes)
{
    // A fresh 0600 file renamed over the old one: nobody else can swap in a
    // certificate of their own, and a crash leaves the old pins whole.
    const QByteArray temp = QFile::encodeName(path + QStringLiteral(".tmp"));
    ::unlink(temp.constData());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    const bool closed = ::close(fd) == 0;
    if (written && closed && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0)
        return true;
    ::unlink(temp.constData());
    return false;
}

QString KTlsSettings::fingerprint(const QSslCertificate& certificate)
{
    if (certificate.isNull())
        return QString();
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
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
