#include "bridge/klogredact.h"

#include <QtTest>

class TestKLogRedact : public QObject
{
    Q_OBJECT

private slots:
    void params_data();
    void params();
};

void TestKLogRedact::params_data()
{
    QTest::addColumn<QString>("param");
    QTest::addColumn<QString>("logged");

    // Left alone, byte for byte.
    QTest::newRow("empty") << "" << "";
    QTest::newRow("plain") << "hello" << "hello";
    QTest::newRow("chinese") << "打开主界面" << "打开主界面";
    QTest::newRow("object without password, spacing kept") << "{ \"time\" : \"\" }" << "{ \"time\" : \"\" }";
    QTest::newRow("password only in a value") << "{\"note\":\"no password here\"}" << "{\"note\":\"no password here\"}";

    // Objects: the value goes, the rest stays readable.
    QTest::newRow("login") << "{\"protocol\":\"https://\",\"address\":\"h:1\",\"username\":\"u\",\"password\":\"p'w\\\"d\"}"
                           << "{\"address\":\"h:1\",\"password\":\"***\",\"protocol\":\"https://\",\"username\":\"u\"}";
    QTest::newRow("empty password") << "{\"password\":\"\"}" << "{\"password\":\"***\"}";
    QTest::newRow("number password") << "{\"password\":123456}" << "{\"password\":\"***\"}";
    QTest::newRow("other case") << "{\"PassWord\":\"x\"}" << "{\"PassWord\":\"***\"}";
    QTest::newRow("nested") << "{\"user\":{\"name\":\"u\",\"password\":\"x\"}}"
                            << "{\"user\":{\"name\":\"u\",\"password\":\"***\"}}";
    QTest::newRow("in an array") << "{\"users\":[{\"password\":\"x\"},{\"password\":\"y\"}]}"
                                 << "{\"users\":[{\"password\":\"***\"},{\"password\":\"***\"}]}";
    QTest::newRow("duplicate member") << "{\"password\":\"first\",\"password\":\"second\"}" << "{\"password\":\"***\"}";

    // Anything else that mentions a password goes as a whole.
    QTest::newRow("form text") << "user=u&password=secret" << "***";
    QTest::newRow("upper case") << "PASSWORD: secret" << "***";
    QTest::newRow("broken json") << "{\"password\":\"secret\"" << "***";
    QTest::newRow("array") << "[\"password\",\"secret\"]" << "***";
}

void TestKLogRedact::params()
{
    QFETCH(QString, param);
    QFETCH(QString, logged);
    QCOMPARE(KLogRedact::params(param), logged);
}

QTEST_GUILESS_MAIN(TestKLogRedact)
#include "tst_klogredact.moc"
