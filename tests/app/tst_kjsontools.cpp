#include "app/kjsontools.h"

#include <QtTest>

class TestKJsonTools : public QObject
{
    Q_OBJECT

private slots:
    void parseStringMapConversions();
    void numbersTruncateTowardZero_data();
    void numbersTruncateTowardZero();
    void notAnObjectGivesEmptyMaps_data();
    void notAnObjectGivesEmptyMaps();
    void toJsonTextIsCompactAndOrdered();
    void roundTrip();
};

void TestKJsonTools::parseStringMapConversions()
{
    const auto map = KJsonTools::parseStringMap(
        QStringLiteral("{\"n\":1,\"b\":true,\"f\":false,\"s\":\"text\",\"z\":null,\"a\":[1,2],\"o\":{\"k\":\"v\"}}"));
    QCOMPARE(map.keys(), (QStringList{"b", "f", "n", "s"}));
    QCOMPARE(map.value("n"), QStringLiteral("1"));
    QCOMPARE(map.value("b"), QStringLiteral("1"));
    QCOMPARE(map.value("f"), QStringLiteral("0"));
    QCOMPARE(map.value("s"), QStringLiteral("text"));
}

void TestKJsonTools::numbersTruncateTowardZero_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("expected");
    QTest::newRow("positive fraction") << "12.9" << "12";
    QTest::newRow("negative fraction") << "-3.5" << "-3";
    QTest::newRow("exponent") << "1.9e3" << "1900";
    QTest::newRow("big integer") << "5368709120" << "5368709120";
    QTest::newRow("beyond 64 bits") << "1e30" << "9223372036854775807";
}

void TestKJsonTools::numbersTruncateTowardZero()
{
    QFETCH(QString, json);
    QFETCH(QString, expected);
    QCOMPARE(KJsonTools::parseStringMap("{\"v\":" + json + "}").value("v"), expected);
}

void TestKJsonTools::notAnObjectGivesEmptyMaps_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("malformed") << "{\"a\":";
    QTest::newRow("array") << "[{\"a\":\"b\"}]";
    QTest::newRow("string") << "\"abc\"";
    QTest::newRow("html") << "<html>502</html>";
}

void TestKJsonTools::notAnObjectGivesEmptyMaps()
{
    QFETCH(QString, text);
    QVERIFY(KJsonTools::parseObject(text).isEmpty());
    QVERIFY(KJsonTools::parseStringMap(text).isEmpty());
}

void TestKJsonTools::toJsonTextIsCompactAndOrdered()
{
    QCOMPARE(KJsonTools::toJsonText({}), QStringLiteral("{}"));
    QMap<QString, QString> map;
    map.insert("username", "u v");
    map.insert("address", "a\"b\\c\nd");
    map.insert("Title", "云盘");
    map.insert("é", "x");
    const QString text = KJsonTools::toJsonText(map);
    QCOMPARE(text, QStringLiteral("{\"Title\":\"云盘\",\"address\":\"a\\\"b\\\\c\\nd\",\"username\":\"u v\",\"é\":\"x\"}"));
    QVERIFY(!text.contains('\n'));
}

void TestKJsonTools::roundTrip()
{
    QMap<QString, QString> map{{"code", "0"}, {"message", "登录失败 'x'"}, {"empty", ""}};
    QCOMPARE(KJsonTools::parseStringMap(KJsonTools::toJsonText(map)), map);
}

QTEST_APPLESS_MAIN(TestKJsonTools)
#include "tst_kjsontools.moc"
