#include "server/kserverpath.h"

#include <QtTest>

class TestKServerPath : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void parentAndName();
    void ancestorsAndDepth();
};

void TestKServerPath::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("spaceId");
    QTest::addColumn<QString>("relative");
    QTest::newRow("space root") << "@home-demo" << true << "home-demo" << "";
    QTest::newRow("nested file") << "@s1/docs/a.txt" << true << "s1" << "docs/a.txt";
    QTest::newRow("unicode and spaces") << "@s1/云盘 x/b c.txt" << true << "s1" << "云盘 x/b c.txt";
    QTest::newRow("dots inside names") << "@s1/..a/b..c/.hidden" << true << "s1" << "..a/b..c/.hidden";
    QTest::newRow("parent step") << "@s1/a/../b" << false << "" << "";
    QTest::newRow("leading parent step") << "@s1/../home-other/x" << false << "" << "";
    QTest::newRow("current step") << "@s1/./a" << false << "" << "";
    QTest::newRow("empty name") << "@s1/a//b" << false << "" << "";
    QTest::newRow("trailing slash") << "@s1/a/" << false << "" << "";
    QTest::newRow("absolute after space") << "@s1//etc/passwd" << false << "" << "";
    QTest::newRow("backslash") << "@s1/a\\..\\b" << false << "" << "";
    QTest::newRow("control character") << QString("@s1/a\nb") << false << "" << "";
    QTest::newRow("C1 next line") << QString("@s1/a") + QChar(0x85) + "b" << false << "" << "";
    QTest::newRow("C1 CSI") << QString("@s1/a") + QChar(0x9b) + "b" << false << "" << "";
    QTest::newRow("Latin-1 letter after C1") << QString("@s1/a") + QChar(0xa0) + QChar(0xe9) << true << "s1" << QString("a") + QChar(0xa0) + QChar(0xe9);
    QTest::newRow("no at sign") << "s1/a" << false << "" << "";
    QTest::newRow("absolute path") << "/etc/passwd" << false << "" << "";
    QTest::newRow("empty space id") << "@/a" << false << "" << "";
    QTest::newRow("dot space id") << "@../a" << false << "" << "";
    QTest::newRow("space id with slash-like char") << "@s%2F1/a" << false << "" << "";
    QTest::newRow("name of 256 bytes") << "@s1/" + QString(256, 'x') << false << "" << "";
    QTest::newRow("name of 255 bytes") << "@s1/" + QString(255, 'x') << true << "s1" << QString(255, 'x');
    QTest::newRow("empty") << "" << false << "" << "";
}

void TestKServerPath::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const KServerPath path = KServerPath::parse(text);
    QCOMPARE(path.valid, valid);
    QCOMPARE(path.error.isEmpty(), valid);
    if (!valid)
        return;
    QTEST(path.spaceId, "spaceId");
    QTEST(path.relative, "relative");
    QCOMPARE(path.full(), text);
}

void TestKServerPath::parentAndName()
{
    const KServerPath nested = KServerPath::parse(QStringLiteral("@s1/a/b/c.txt"));
    QCOMPARE(nested.parentRelative(), QStringLiteral("a/b"));
    QCOMPARE(nested.name(), QStringLiteral("c.txt"));
    const KServerPath top = KServerPath::parse(QStringLiteral("@s1/c.txt"));
    QCOMPARE(top.parentRelative(), QString());
    QCOMPARE(top.name(), QStringLiteral("c.txt"));
    const KServerPath root = KServerPath::parse(QStringLiteral("@s1"));
    QVERIFY(root.isRoot());
    QCOMPARE(root.name(), QStringLiteral("s1"));
    QCOMPARE(KServerPath::join(QStringLiteral("s1"), QString()), QStringLiteral("@s1"));
}

void TestKServerPath::ancestorsAndDepth()
{
    QCOMPARE(KServerPaths::ancestors(QStringLiteral("a/b/c")), (QStringList{"a", "a/b"}));
    QCOMPARE(KServerPaths::ancestors(QStringLiteral("a")), QStringList());
    QCOMPARE(KServerPaths::depth(QString()), 0);
    QCOMPARE(KServerPaths::depth(QStringLiteral("a")), 1);
    QCOMPARE(KServerPaths::depth(QStringLiteral("a/b/c")), 3);
}

QTEST_APPLESS_MAIN(TestKServerPath)
#include "tst_kserverpath.moc"
