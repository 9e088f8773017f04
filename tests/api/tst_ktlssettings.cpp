#include "api/khttpclientsync.h"
#include "api/ktlssettings.h"
#include "khttppeer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString CertPath = QStringLiteral(WEXORA_API_TESTDATA "/selfsigned.crt");
const QString KeyPath = QStringLiteral(WEXORA_API_TESTDATA "/selfsigned.key");
const QString Loopback = QStringLiteral("127.0.0.1");

QSslCertificate testCertificate()
{
    return QSslCertificate::fromPath(CertPath).value(0);
}

bool hasError(const QList<QSslError>& errors, QSslError::SslError kind)
{
    for (const QSslError& error : errors) {
        if (error.error() == kind)
            return true;
    }
    return false;
}

} // namespace

class TestKTlsSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void applySetsPolicy();
    void timeoutSeamRestoresProductValue();
    void untrustedCertificateFailsAndIsRecorded();
    void pinnedCertificateIsAccepted_data();
    void pinnedCertificateIsAccepted();
    void fingerprintIsSha256OfTheCertificate();
    void pinsAreSavedOwnerOnly();
    void loadedPinsReplaceMemoryAndSkipDamagedEntries();
    void loadedPinLetsRequestsThrough();

private:
    int pinnedPort = 0;
};

void TestKTlsSettings::initTestCase()
{
    QVERIFY(QSslSocket::supportsSsl());
    QVERIFY(!testCertificate().isNull());
}

void TestKTlsSettings::cleanup()
{
    KTlsSettings::setTransferTimeoutForTesting(0);
    if (pinnedPort)
        KTlsSettings::unpin(Loopback, pinnedPort);
    pinnedPort = 0;
}

void TestKTlsSettings::applySetsPolicy()
{
    QNetworkRequest request(QUrl("https://example.invalid/x"));
    KTlsSettings::apply(request);
    const QSslConfiguration config = request.sslConfiguration();
    QCOMPARE(config.peerVerifyMode(), QSslSocket::VerifyPeer);
    QCOMPARE(config.protocol(), QSsl::SecureProtocols);
    QCOMPARE(request.transferTimeout(), 30000);
    QCOMPARE(request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
             int(QNetworkRequest::ManualRedirectPolicy));
}

void TestKTlsSettings::timeoutSeamRestoresProductValue()
{
    KTlsSettings::setTransferTimeoutForTesting(250);
    QNetworkRequest shortened;
    KTlsSettings::apply(shortened);
    QCOMPARE(shortened.transferTimeout(), 250);
    KTlsSettings::setTransferTimeoutForTesting(0);
    QNetworkRequest product;
    KTlsSettings::apply(product);
    QCOMPARE(product.transferTimeout(), 30000);
}

void TestKTlsSettings::untrustedCertificateFailsAndIsRecorded()
{
    KHttpPeer peer(CertPath, KeyPath);
    QVERIFY(KTlsSettings::lastFailure(Loopback, peer.port()).isNull());
    QCOMPARE(KHttpClientSync().doGet(peer.url("/x")), QString());
    QCOMPARE(peer.requestCount(), 0);

    const KTlsFailure failure = KTlsSettings::lastFailure(Loopback, peer.port());
    QCOMPARE(failure.host, Loopback);
    QCOMPARE(failure.port, peer.port());
    QCOMPARE(failure.certificate, testCertificate());
    QVERIFY(hasError(failure.errors, QSslError::SelfSignedCertificate));
    QVERIFY(KTlsSettings::lastFailure(Loopback, peer.port() + 1).isNull());

    KTlsSettings::clearFailure(Loopback, peer.port());
    QVERIFY(KTlsSettings::lastFailure(Loopback, peer.port()).isNull());
}

void TestKTlsSettings::pinnedCertificateIsAccepted_data()
{
    QTest::addColumn<int>("portShift");
    QTest::addColumn<bool>("sameCertificate");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("same certificate, same port") << 0 << true << true;
    QTest::newRow("pinned for another port") << 1 << true << false;
    QTest::newRow("another certificate pinned") << 0 << false << false;
}

void TestKTlsSettings::pinnedCertificateIsAccepted()
{
    QFETCH(int, portShift);
    QFETCH(bool, sameCertificate);
    QFETCH(bool, accepted);
    KHttpPeer peer(CertPath, KeyPath);
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    const QSslCertificate pinned = sameCertificate ? testCertificate() : system.value(0);
    QVERIFY(!pinned.isNull());
    pinnedPort = peer.port() + portShift;
    KTlsSettings::pin(Loopback, pinnedPort, pinned);

    QCOMPARE(KHttpClientSync().doGet(peer.url("/x")), accepted ? QStringLiteral("ok") : QString());
    QCOMPARE(peer.requestCount(), accepted ? 1 : 0);
    QCOMPARE(KTlsSettings::lastFailure(Loopback, peer.port()).isNull(), accepted);
    KTlsSettings::clearFailure(Loopback, peer.port());
}

namespace {

// Permission bits as the file system holds them.
int modeOf(const QString& path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QJsonObject readJsonFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// openssl x509 -in selfsigned.crt -noout -fingerprint -sha256
const QString TestFingerprint = QStringLiteral(
    "5D:D0:8D:74:D8:A1:75:5E:B5:B7:E2:62:89:B9:01:F1:55:2F:54:BB:85:63:93:00:F0:63:FC:AB:92:94:B7:0D");

} // namespace

void TestKTlsSettings::fingerprintIsSha256OfTheCertificate()
{
    QCOMPARE(KTlsSettings::fingerprint(testCertificate()), TestFingerprint);
    QCOMPARE(KTlsSettings::fingerprint(QSslCertificate()), QString());
}

void TestKTlsSettings::pinsAreSavedOwnerOnly()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/config/pinned_certs.json";
    KTlsSettings::clearPins();
    KTlsSettings::pin("LocalHost", 8443, testCertificate());
    QVERIFY(KTlsSettings::savePins(path));
    KTlsSettings::clearPins();

    QCOMPARE(modeOf(path), 0600);
    QCOMPARE(modeOf(dir.path() + "/config"), 0700);
    QVERIFY(!QFile::exists(path + ".tmp"));
    const QJsonObject file = readJsonFile(path);
    QCOMPARE(file.keys(), QStringList({"localhost:8443"}));
    const QJsonObject entry = file.value("localhost:8443").toObject();
    QCOMPARE(entry.keys(), QStringList({"pem", "sha256"}));
    QCOMPARE(entry.value("sha256").toString(), TestFingerprint);
    QCOMPARE(QSslCertificate(entry.value("pem").toString().toLatin1(), QSsl::Pem), testCertificate());
}

void TestKTlsSettings::loadedPinsReplaceMemoryAndSkipDamagedEntries()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/pins.json";
    const QString pem = QString::fromLatin1(testCertificate().toPem());
    const QJsonObject file{
        {"127.0.0.1:1", QJsonObject{{"sha256", TestFingerprint}, {"pem", pem}}},
        {"127.0.0.1:2", QJsonObject{{"sha256", QString(TestFingerprint).replace("5D", "5E")}, {"pem", pem}}},
        {"127.0.0.1:3", QJsonObject{{"sha256", TestFingerprint}, {"pem", "-----BEGIN CERTIFICATE-----"}}},
        {"127.0.0.1:4", "not an object"}};
    QVERIFY(writeFile(path, QJsonDocument(file).toJson()));
    KTlsSettings::pin(Loopback, 9, testCertificate());

    QCOMPARE(KTlsSettings::loadPins(path), 1);
    QVERIFY(KTlsSettings::isPinned(Loopback, 1, testCertificate()));
    for (int port : {2, 3, 4, 9})
        QVERIFY2(!KTlsSettings::isPinned(Loopback, port, testCertificate()), qPrintable(QString::number(port)));

    QCOMPARE(KTlsSettings::loadPins(dir.path() + "/missing.json"), 0);
    QVERIFY(!KTlsSettings::isPinned(Loopback, 1, testCertificate()));
}

void TestKTlsSettings::loadedPinLetsRequestsThrough()
{
    KHttpPeer peer(CertPath, KeyPath);
    QTemporaryDir dir;
    const QString path = dir.path() + "/pins.json";
    KTlsSettings::pin(Loopback, peer.port(), testCertificate());
    QVERIFY(KTlsSettings::savePins(path));
    KTlsSettings::clearPins();
    QCOMPARE(KHttpClientSync().doGet(peer.url("/x")), QString());
    KTlsSettings::clearFailure(Loopback, peer.port());

    QCOMPARE(KTlsSettings::loadPins(path), 1);
    QCOMPARE(KHttpClientSync().doGet(peer.url("/x")), QStringLiteral("ok"));
    QCOMPARE(peer.requestCount(), 1);
    KTlsSettings::clearPins();
}

QTEST_GUILESS_MAIN(TestKTlsSettings)
#include "tst_ktlssettings.moc"
