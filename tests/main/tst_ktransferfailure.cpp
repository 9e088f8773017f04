#include "main/ktransferfailure.h"

#include <QtTest>

Q_DECLARE_METATYPE(KFailureKind)

class TestKTransferFailure : public QObject
{
    Q_OBJECT

private slots:
    void kind_data();
    void kind();
    void onlyWhatTheUserMustFixHasANotice();
};

void TestKTransferFailure::kind_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("certificateRefused");
    QTest::addColumn<KFailureKind>("kind");
    const auto row = [](const char* name, const QString& reason, KFailureKind kind, bool refused = false) {
        QTest::newRow(name) << reason << refused << kind;
    };
    row("server tip: no space", QStringLiteral("云端空间不足，上传失败"), KFailureKind::NoSpace);
    row("quota", "user quota exceeded", KFailureKind::NoSpace);
    row("local disk full", "No space left on device", KFailureKind::NoSpace);
    row("space not yours", "the space is not yours: @team", KFailureKind::Refused);
    row("local permission", QStringLiteral("本地文件无法读取: Permission denied"), KFailureKind::Refused);
    row("forbidden, any case", "FORBIDDEN", KFailureKind::Refused);
    row("certificate text", "SSL handshake failed: the certificate is self-signed", KFailureKind::Certificate);
    row("certificate beats the rest", QStringLiteral("证书无效，拒绝访问"), KFailureKind::Certificate);
    row("no answer after a refused certificate", QStringLiteral("申请上传无响应"), KFailureKind::Certificate, true);
    row("no answer", QStringLiteral("申请上传无响应"), KFailureKind::Passing);
    row("checksum", "MD5 differs from the server's datahash 0cc175b9c0f1b6a831c399e269772661", KFailureKind::Passing);
    row("a path holding such words is no reason", "cannot rename /home/u/ssl/tls notes.txt.wexora", KFailureKind::Passing);
    row("empty", "", KFailureKind::Passing);
}

void TestKTransferFailure::kind()
{
    QFETCH(QString, reason);
    QFETCH(bool, certificateRefused);
    QFETCH(KFailureKind, kind);
    QCOMPARE(KTransferFailure::kind(reason, certificateRefused), kind);
}

void TestKTransferFailure::onlyWhatTheUserMustFixHasANotice()
{
    QCOMPARE(KTransferFailure::notice(KFailureKind::Passing), QString());
    const QList<KFailureKind> kinds{KFailureKind::NoSpace, KFailureKind::Refused, KFailureKind::Certificate};
    QSet<QString> notices;
    for (KFailureKind kind : kinds)
        notices.insert(KTransferFailure::notice(kind));
    QCOMPARE(notices.size(), 3);
    QVERIFY(!notices.contains(QString()));
}

QTEST_APPLESS_MAIN(TestKTransferFailure)
#include "tst_ktransferfailure.moc"
