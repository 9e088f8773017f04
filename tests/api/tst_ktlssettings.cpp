#include "api/khttpclientsync.h"
#include "api/ktlssettings.h"
#include "khttppeer.h"

#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QtTest>

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

QTEST_GUILESS_MAIN(TestKTlsSettings)
#include "tst_ktlssettings.moc"
