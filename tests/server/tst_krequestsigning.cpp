#include "server/kcanonical.h"
#include "server/ksignature.h"
#include "server/kurlsigner.h"

#include <QtTest>

// Known answers come from openssl dgst -sha1 -hmac and date -u +%s.
class TestKRequestSigning : public QObject
{
    Q_OBJECT

private slots:
    void canonicalResource_data();
    void canonicalResource();
    void stringToSignHasThreeLines();
    void parseForm_data();
    void parseForm();
    void hmacSha1KnownAnswers_data();
    void hmacSha1KnownAnswers();
    void httpDates_data();
    void httpDates();
    void formatHttpDateRoundTrips();
    void authorizationHeader_data();
    void authorizationHeader();
    void urlSignerBindsEveryPiece();
};

void TestKRequestSigning::canonicalResource_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QVariantMap>("fields");
    QTest::addColumn<QString>("expected");
    const QVariantMap listing{{"op", "klistdir"}, {"path", "@s1/d"}};
    QTest::newRow("empty and bare query pieces vanish") << "/api/x?b=2&a=&c" << listing << "/api/x?b=2&op=klistdir&path=@s1/d";
    QTest::newRow("no query keeps the question mark") << "/x" << QVariantMap() << "/x?";
    QTest::newRow("fields win over query pairs") << "/api?op=old&z=1" << QVariantMap{{"op", "new"}} << "/api?op=new&z=1";
    QTest::newRow("empty field drops a query pair") << "/api?a=1" << QVariantMap{{"a", ""}} << "/api?";
    QTest::newRow("values stay unencoded") << "/api" << QVariantMap{{"name", "a b&c=d"}, {"op", "kx"}} << "/api?name=a b&c=d&op=kx";
    QTest::newRow("keys sort by code unit, upper case first") << "/api" << QVariantMap{{"b", "1"}, {"B", "2"}, {"a", "3"}}
                                                              << "/api?B=2&a=3&b=1";
    QTest::newRow("non-ascii values kept") << "/api/space" << QVariantMap{{"dirpath", "@t/云盘"}} << "/api/space?dirpath=@t/云盘";
}

void TestKRequestSigning::canonicalResource()
{
    QFETCH(QString, target);
    QFETCH(QVariantMap, fields);
    QFETCH(QString, expected);
    QMap<QString, QString> plain;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        plain.insert(it.key(), it.value().toString());
    QCOMPARE(KCanonical::canonicalResource(target, plain), expected);
}

void TestKRequestSigning::stringToSignHasThreeLines()
{
    const QString text = KCanonical::stringToSign(QStringLiteral("post"), QStringLiteral("/api/x?b=2&op=klistdir&path=@s1/d"),
                                                  QStringLiteral("Mon, 07 Dec 2026 02:48:47 GMT"));
    QCOMPARE(text.toUtf8(), QByteArray("POST\n/api/x?b=2&op=klistdir&path=@s1/d\nMon, 07 Dec 2026 02:48:47 GMT"));
}

void TestKRequestSigning::parseForm_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariantMap>("expected");
    QTest::newRow("client encoding") << QByteArray("name=a%20b%26c&op=kx") << QVariantMap{{"name", "a b&c"}, {"op", "kx"}};
    QTest::newRow("utf-8 bytes") << QByteArray("p=%40s%2F%E4%BA%91") << QVariantMap{{"p", "@s/云"}};
    QTest::newRow("plus is a space, %2B a plus") << QByteArray("a=x+y%2Bz") << QVariantMap{{"a", "x y+z"}};
    QTest::newRow("broken escapes stay") << QByteArray("a=%zz%4") << QVariantMap{{"a", "%zz%4"}};
    QTest::newRow("empty value and bare key") << QByteArray("a=&b") << QVariantMap{{"a", ""}, {"b", ""}};
    QTest::newRow("later duplicate wins") << QByteArray("a=1&a=2") << QVariantMap{{"a", "2"}};
    QTest::newRow("empty body") << QByteArray() << QVariantMap();
    QTest::newRow("NUL kept with what follows") << QByteArray("u=demo%00x&p%00=1") << QVariantMap{{"u", QString("demo") + QChar(0) + "x"}, {QString("p") + QChar(0), "1"}};
    QTest::newRow("equals inside a value") << QByteArray("paths=%5B%22%40s%2Fa%3Db%22%5D") << QVariantMap{{"paths", "[\"@s/a=b\"]"}};
}

void TestKRequestSigning::parseForm()
{
    QFETCH(QByteArray, body);
    QFETCH(QVariantMap, expected);
    const QMap<QString, QString> fields = KCanonical::parseForm(body);
    QCOMPARE(fields.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(fields.value(it.key()), it.value().toString());
    QCOMPARE(KCanonical::holdsNul(fields), body.contains("%00"));
}

void TestKRequestSigning::hmacSha1KnownAnswers_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");
    QTest::newRow("signed listing") << "secret" << "POST\n/api/x?b=2&op=klistdir&path=@s1/d\nMon, 07 Dec 2026 02:48:47 GMT"
                                    << "LXIe24bTjYW4i2D3j/wG1qD15JI=";
    QTest::newRow("64-byte key used as it is") << QString(64, 'k') << "msg" << "GzcpVcUWK4uiChl0gzSY0/fscoo=";
    QTest::newRow("65-byte key hashed first") << QString(65, 'k') << "msg" << "t1oGce0t4DnAM+VED0v4Vk83/v4=";
    QTest::newRow("utf-8 key and message") << "ключ" << "云盘 é" << "IOacLxOOxSdBkogNgqvynlp+ASY=";
    QTest::newRow("empty message") << "key" << "" << "9Cuw7rAY671Fl65yE3EexgdghD8=";
}

void TestKRequestSigning::hmacSha1KnownAnswers()
{
    QFETCH(QString, key);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    QCOMPARE(KSignature::hmacSha1Base64(key, message), expected);
}

void TestKRequestSigning::httpDates_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expected"); // -1: refused
    QTest::newRow("client format") << "Mon, 07 Dec 2026 02:48:47 GMT" << qint64(1796611727);
    QTest::newRow("leap day") << "Tue, 29 Feb 2000 23:59:59 GMT" << qint64(951868799);
    QTest::newRow("day name does not fit") << "Sun, 07 Dec 2026 02:48:47 GMT" << qint64(-1);
    QTest::newRow("single digit day") << "Mon, 7 Dec 2026 02:48:47 GMT" << qint64(-1);
    QTest::newRow("lower-case month") << "Mon, 07 dec 2026 02:48:47 GMT" << qint64(-1);
    QTest::newRow("other zone") << "Mon, 07 Dec 2026 02:48:47 UTC" << qint64(-1);
    QTest::newRow("hour 24") << "Mon, 07 Dec 2026 24:00:00 GMT" << qint64(-1);
    QTest::newRow("no such day") << "Wed, 30 Feb 2000 00:00:00 GMT" << qint64(-1);
    QTest::newRow("iso date") << "2026-12-07T02:48:47Z" << qint64(-1);
    QTest::newRow("empty") << "" << qint64(-1);
}

void TestKRequestSigning::httpDates()
{
    QFETCH(QString, text);
    QFETCH(qint64, expected);
    const std::optional<qint64> parsed = KSignature::parseHttpDate(text);
    QCOMPARE(parsed.value_or(-1), expected);
}

void TestKRequestSigning::formatHttpDateRoundTrips()
{
    QCOMPARE(KSignature::formatHttpDate(1796611727), QStringLiteral("Mon, 07 Dec 2026 02:48:47 GMT"));
    QCOMPARE(KSignature::formatHttpDate(951868799), QStringLiteral("Tue, 29 Feb 2000 23:59:59 GMT"));
    for (qint64 at : {qint64(0), qint64(1234567890), qint64(4102444800)})
        QCOMPARE(KSignature::parseHttpDate(KSignature::formatHttpDate(at)).value_or(-1), at);
}

void TestKRequestSigning::authorizationHeader_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("keyId");
    QTest::addColumn<QString>("signature");
    QTest::newRow("client form") << "wexora AK12:abc/+=" << true << "wexora" << "AK12" << "abc/+=";
    QTest::newRow("no space") << "wexoraAK12:abc" << false << "" << "" << "";
    QTest::newRow("no colon") << "wexora AK12abc" << false << "" << "" << "";
    QTest::newRow("empty key id") << "wexora :abc" << false << "" << "" << "";
    QTest::newRow("empty signature") << "wexora AK12:" << false << "" << "" << "";
    QTest::newRow("empty") << "" << false << "" << "" << "";
}

void TestKRequestSigning::authorizationHeader()
{
    QFETCH(QString, header);
    QFETCH(bool, valid);
    const auto parsed = KSignature::parseAuthorization(header);
    QCOMPARE(bool(parsed), valid);
    if (!valid)
        return;
    QTEST(parsed->domain, "domain");
    QTEST(parsed->keyId, "keyId");
    QTEST(parsed->signature, "signature");
}

void TestKRequestSigning::urlSignerBindsEveryPiece()
{
    const KUrlSigner signer(QByteArray("server secret"));
    const QString sig = signer.sign(QStringLiteral("part"), QStringLiteral("abc/1"), 1000);
    QCOMPARE(sig.size(), 64);
    QVERIFY(signer.verify(QStringLiteral("part"), QStringLiteral("abc/1"), 1000, sig));
    QVERIFY(!signer.verify(QStringLiteral("download"), QStringLiteral("abc/1"), 1000, sig));
    QVERIFY(!signer.verify(QStringLiteral("part"), QStringLiteral("abc/2"), 1000, sig));
    QVERIFY(!signer.verify(QStringLiteral("part"), QStringLiteral("abc/1"), 1001, sig));
    QVERIFY(!KUrlSigner(QByteArray("other")).verify(QStringLiteral("part"), QStringLiteral("abc/1"), 1000, sig));
    QVERIFY(!signer.verify(QStringLiteral("part"), QStringLiteral("abc/1"), 1000, sig.toUpper()));
}

QTEST_GUILESS_MAIN(TestKRequestSigning)
#include "tst_krequestsigning.moc"
