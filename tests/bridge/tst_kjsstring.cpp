#include "bridge/kjsstring.h"

#include <QJSEngine>
#include <QtTest>

// Every escaped text is evaluated by a real JavaScript engine, which must give
// back exactly the original.
class TestKJsString : public QObject
{
    Q_OBJECT

private slots:
    void evaluatesToOriginal_data();
    void evaluatesToOriginal();
    void randomTextsSurvive();
    void injectionStaysInsideTheString();
};

void TestKJsString::evaluatesToOriginal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QChar>("quote");
    const QList<QPair<QString, QString>> texts{
        {"plain", "hello"},
        {"single quote", "it's"},
        {"double quote", "say \"hi\""},
        {"backslash", "C:\\dir\\file"},
        {"line breaks", "a\nb\r\nc"},
        {"separators", QString("x") + QChar(0x2028) + "y" + QChar(0x2029) + "z"},
        {"controls", QString("nul") + QChar(0) + "bel" + QChar(7) + "del" + QChar(0x7f) + "tab\t"},
        {"chinese", QStringLiteral("用户名称或密码错误")},
        {"json", "{\"local\":\"/h/it's\\\\a\",\"n\":\"1\"}"},
        {"trailing backslash", "ends\\"},
    };
    for (const auto& t : texts) {
        QTest::newRow(qPrintable(t.first + " '")) << t.second << QChar('\'');
        QTest::newRow(qPrintable(t.first + " \"")) << t.second << QChar('"');
    }
}

void TestKJsString::evaluatesToOriginal()
{
    QFETCH(QString, text);
    QFETCH(QChar, quote);
    QJSEngine engine;
    const QJSValue value = engine.evaluate(KJsString::quoted(text, quote));
    QVERIFY2(!value.isError(), qPrintable(value.toString()));
    QCOMPARE(value.toString(), text);
}

void TestKJsString::randomTextsSurvive()
{
    QJSEngine engine;
    QRandomGenerator random(20261208);
    for (int round = 0; round < 300; ++round) {
        QString text;
        const int length = random.bounded(40);
        for (int i = 0; i < length; ++i) {
            const int pick = random.bounded(4);
            ushort unit = pick == 0 ? random.bounded(0x20) : pick == 1 ? random.bounded(0x20, 0x80)
                        : pick == 2 ? random.bounded(0x2020, 0x2030) : random.bounded(0x4e00, 0x9fff);
            text += QChar(unit);
        }
        for (QChar quote : {QChar('\''), QChar('"')}) {
            const QJSValue value = engine.evaluate("(" + KJsString::quoted(text, quote) + ")");
            QVERIFY2(!value.isError(), qPrintable(value.toString()));
            QCOMPARE(value.toString(), text);
        }
    }
}

void TestKJsString::injectionStaysInsideTheString()
{
    QJSEngine engine;
    engine.globalObject().setProperty("hit", false);
    const QString attack = "');hit=true;('";
    const QJSValue value = engine.evaluate("var s = " + KJsString::quoted(attack) + "; s");
    QCOMPARE(value.toString(), attack);
    QCOMPARE(engine.globalObject().property("hit").toBool(), false);
}

QTEST_GUILESS_MAIN(TestKJsString)
#include "tst_kjsstring.moc"
