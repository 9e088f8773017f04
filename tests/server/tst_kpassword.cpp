#include "server/kpassword.h"

#include <QElapsedTimer>
#include <QtTest>

// Known answers from Python's hashlib.pbkdf2_hmac and openssl kdf PBKDF2.
class TestKPassword : public QObject
{
    Q_OBJECT

private slots:
    void pbkdf2KnownAnswers_data();
    void pbkdf2KnownAnswers();
    void hashesVerifyOnlyTheirPassword();
    void saltsDiffer();
    void brokenRecordsNeverVerify();
    void defaultCostStaysUsableForLogin();
};

void TestKPassword::pbkdf2KnownAnswers_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("salt");
    QTest::addColumn<int>("iterations");
    QTest::addColumn<QByteArray>("expectedHex");
    QTest::newRow("rfc 7914 vector") << QByteArray("passwd") << QByteArray("salt") << 1
                                     << QByteArray("55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                                                   "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    QTest::newRow("binary salt") << QByteArray("demo123") << QByteArray::fromHex("00112233445566778899aabbccddeeff") << 1000
                                 << QByteArray("c1bdba98023fef901da0afe61295873a6e76f521fc2d991e9a071a698d1efe2d");
    QTest::newRow("utf-8 password, default cost") << QStringLiteral("密码").toUtf8() << QByteArray("NaCl") << 60000
                                                  << QByteArray("566d93ed13dc969d043a9045538a48e1a19b481d40a2ddc0d825376461eff2bf");
}

void TestKPassword::pbkdf2KnownAnswers()
{
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, salt);
    QFETCH(int, iterations);
    QFETCH(QByteArray, expectedHex);
    QCOMPARE(KPassword::pbkdf2Sha256(password, salt, iterations, expectedHex.size() / 2).toHex(), expectedHex);
}

void TestKPassword::hashesVerifyOnlyTheirPassword()
{
    const KPasswordHash stored = KPassword::makeHash(QStringLiteral("demo123"), 1000);
    QCOMPARE(stored.iterations, 1000);
    QCOMPARE(stored.salt.size(), KPassword::SaltBytes);
    QCOMPARE(stored.hash, KPassword::pbkdf2Sha256("demo123", stored.salt, 1000, KPassword::HashBytes));
    QVERIFY(KPassword::verify(QStringLiteral("demo123"), stored));
    QVERIFY(!KPassword::verify(QStringLiteral("demo124"), stored));
    QVERIFY(!KPassword::verify(QStringLiteral("Demo123"), stored));
    QVERIFY(!KPassword::verify(QString(), stored));
}

void TestKPassword::saltsDiffer()
{
    const KPasswordHash a = KPassword::makeHash(QStringLiteral("same"), 1000);
    const KPasswordHash b = KPassword::makeHash(QStringLiteral("same"), 1000);
    QVERIFY(a.salt != b.salt);
    QVERIFY(a.hash != b.hash);
}

void TestKPassword::brokenRecordsNeverVerify()
{
    KPasswordHash stored = KPassword::makeHash(QStringLiteral("x"), 1000);
    stored.iterations = 0;
    QVERIFY(!KPassword::verify(QStringLiteral("x"), stored));
    QVERIFY(!KPassword::verify(QStringLiteral("x"), KPasswordHash()));
}

void TestKPassword::defaultCostStaysUsableForLogin()
{
    QElapsedTimer timer;
    timer.start();
    const KPasswordHash stored = KPassword::makeHash(QStringLiteral("demo123"));
    QVERIFY(KPassword::verify(QStringLiteral("demo123"), stored));
    // Two derivations; generous for a loaded test machine.
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(TestKPassword)
#include "tst_kpassword.moc"
