#include "server/kfaultinjector.h"
#include "server/kserverconfig.h"

#include <QtTest>

class TestKServerConfig : public QObject
{
    Q_OBJECT

private slots:
    void serveOptions();
    void subcommands();
    void refusedLines_data();
    void refusedLines();
    void faultRulesFromJson_data();
    void faultRulesFromJson();
    void faultsSkipThenHitTimes();
    void faultsMatchTargetAndPart();
};

void TestKServerConfig::serveOptions()
{
    const KCommandLine line = KCommandLine::parse({"--root", "/r", "--port", "8080", "--host", "0.0.0.0",
                                                   "--upload-method", "put", "--redirect", "/auth/klogin",
                                                   "--admin-token", "t", "--api-style", "relative", "--threads", "4", "--max-threads", "40",
                                                   "--tls-cert", "c.pem", "--tls-key", "k.pem", "--sync"});
    QVERIFY2(line.error.isEmpty(), qPrintable(line.error));
    QCOMPARE(line.command, QStringLiteral("serve"));
    QCOMPARE(line.config.root, QStringLiteral("/r"));
    QCOMPARE(line.config.port, 8080);
    QCOMPARE(line.config.host, QStringLiteral("0.0.0.0"));
    QCOMPARE(line.config.uploadMethod, QStringLiteral("PUT"));
    QCOMPARE(line.config.redirect, QStringLiteral("/auth/klogin"));
    QCOMPARE(line.config.adminToken, QStringLiteral("t"));
    QCOMPARE(line.config.apiStyle, QStringLiteral("relative"));
    QCOMPARE(line.config.threads, 4);
    QCOMPARE(line.config.maxThreads, 40);
    QVERIFY(line.config.useTls());
    QVERIFY(line.config.syncWrites);
    const KCommandLine defaults = KCommandLine::parse({"serve", "--root", "/r"});
    QCOMPARE(defaults.config.host, QStringLiteral("127.0.0.1"));
    QCOMPARE(defaults.config.port, 0);
    QCOMPARE(defaults.config.uploadMethod, QStringLiteral("POST"));
    QVERIFY(defaults.config.adminToken.isEmpty());
    QVERIFY(!defaults.config.useTls());
}

void TestKServerConfig::subcommands()
{
    const KCommandLine user = KCommandLine::parse({"add-user", "--root", "/r", "alice", "pw", "Alice A"});
    QVERIFY(user.error.isEmpty());
    QCOMPARE(user.command, QStringLiteral("add-user"));
    QCOMPARE(user.arguments, (QStringList{"alice", "pw", "Alice A"}));
    const KCommandLine space = KCommandLine::parse({"add-space", "--root", "/r", "team", "Team", "--member", "a", "--member", "b"});
    QVERIFY(space.error.isEmpty());
    QCOMPARE(space.members, (QStringList{"a", "b"}));
    QCOMPARE(space.spaceType, QStringLiteral("sharedspace"));
    QCOMPARE(KCommandLine::parse({"--help"}).command, QStringLiteral("help"));
    const KCommandLine restore = KCommandLine::parse({"restore", "--root", "/r", "team", "12", "--to", "docs/old"});
    QVERIFY2(restore.error.isEmpty(), qPrintable(restore.error));
    QCOMPARE(restore.arguments, (QStringList{"team", "12"}));
    QCOMPARE(restore.restoreTo, QStringLiteral("docs/old"));
}

void TestKServerConfig::refusedLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no root") << QStringList{"--port", "1"};
    QTest::newRow("port too big") << QStringList{"--root", "/r", "--port", "70000"};
    QTest::newRow("port not a number") << QStringList{"--root", "/r", "--port", "x"};
    QTest::newRow("value missing") << QStringList{"--root"};
    QTest::newRow("unknown option") << QStringList{"--root", "/r", "--fast"};
    QTest::newRow("cert without key") << QStringList{"--root", "/r", "--tls-cert", "c"};
    QTest::newRow("max threads below threads") << QStringList{"--root", "/r", "--threads", "40", "--max-threads", "30"};
    QTest::newRow("bad method") << QStringList{"--root", "/r", "--upload-method", "patch"};
    QTest::newRow("bad api style") << QStringList{"--root", "/r", "--api-style", "odd"};
    QTest::newRow("stray argument") << QStringList{"--root", "/r", "extra"};
    QTest::newRow("add-user without password") << QStringList{"add-user", "--root", "/r", "alice"};
    QTest::newRow("add-space without name") << QStringList{"add-space", "--root", "/r", "team"};
    QTest::newRow("trash-list without space") << QStringList{"trash-list", "--root", "/r"};
    QTest::newRow("restore without entry") << QStringList{"restore", "--root", "/r", "team"};
    QTest::newRow("restore of a name") << QStringList{"restore", "--root", "/r", "team", "latest"};
}

void TestKServerConfig::refusedLines()
{
    QFETCH(QStringList, args);
    QVERIFY(!KCommandLine::parse(args).error.isEmpty());
}

void TestKServerConfig::faultRulesFromJson_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");
    QTest::newRow("drop after bytes") << QByteArray(R"({"target":"part","action":"drop","afterBytes":1000})") << true;
    QTest::newRow("html for one op") << QByteArray(R"({"target":"kaskupload","action":"html","times":2})") << true;
    QTest::newRow("every request") << QByteArray(R"({"target":"*","action":"delay","delayMs":10,"times":0})") << true;
    QTest::newRow("unknown action") << QByteArray(R"({"target":"part","action":"explode"})") << false;
    QTest::newRow("no target") << QByteArray(R"({"action":"html"})") << false;
    QTest::newRow("negative bytes") << QByteArray(R"({"target":"part","action":"drop","afterBytes":-1})") << false;
    QTest::newRow("status out of range") << QByteArray(R"({"target":"x","action":"status","status":99})") << false;
}

void TestKServerConfig::faultRulesFromJson()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);
    QString error;
    const auto rule = KFaultRule::fromJson(QJsonDocument::fromJson(json).object(), &error);
    QCOMPARE(bool(rule), valid);
    QCOMPARE(error.isEmpty(), valid);
}

void TestKServerConfig::faultsSkipThenHitTimes()
{
    KFaultInjector faults;
    KFaultRule rule;
    rule.target = "kgetnodes";
    rule.action = "empty";
    rule.skip = 1;
    rule.times = 2;
    faults.add(rule);
    QVERIFY(!faults.take("kgetnodes"));
    QVERIFY(faults.take("kgetnodes"));
    QVERIFY(faults.take("kgetnodes"));
    QVERIFY(!faults.take("kgetnodes"));
    QCOMPARE(faults.list().size(), 0);
    rule.skip = 0;
    rule.times = 0; // until cleared
    faults.add(rule);
    for (int i = 0; i < 5; ++i)
        QVERIFY(faults.take("kgetnodes"));
    faults.clear();
    QVERIFY(!faults.take("kgetnodes"));
}

void TestKServerConfig::faultsMatchTargetAndPart()
{
    KFaultInjector faults;
    KFaultRule third;
    third.target = "part";
    third.action = "drop";
    third.partNumber = 3;
    faults.add(third);
    KFaultRule any;
    any.target = "*";
    any.action = "delay";
    faults.add(any);
    QCOMPARE(faults.take("part", 1)->action, QStringLiteral("delay"));
    QCOMPARE(faults.take("part", 3)->action, QStringLiteral("drop"));
    QVERIFY(!faults.take("part", 3));
}

QTEST_APPLESS_MAIN(TestKServerConfig)
#include "tst_kserverconfig.moc"
