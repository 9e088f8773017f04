#include "api/khttpclientsync.h"
#include "api/khttptools.h"
#include "khttppeer.h"
#include "ktestbasedir.h"
#include "login/ksession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <ctime>
#include <thread>

using Params = QMap<QString, QString>;
Q_DECLARE_METATYPE(Params)

namespace {

const char* const ExampleDate = "Mon, 07 Dec 2026 02:48:47 GMT";
const char* const ExampleResource = "/api/x?b=2&op=klistdir&path=@s1/d";

// Chinese default locale and a zone eight hours east of UTC for one scope.
struct ForeignLocaleAndZone
{
    QLocale savedLocale;
    bool hadTz = qEnvironmentVariableIsSet("TZ");
    QByteArray savedTz = qgetenv("TZ");

    ForeignLocaleAndZone()
    {
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
        qputenv("TZ", "CST-8");
        tzset();
    }
    ~ForeignLocaleAndZone()
    {
        QLocale::setDefault(savedLocale);
        if (hadTz)
            qputenv("TZ", savedTz);
        else
            qunsetenv("TZ");
        tzset();
    }
};

// The HTTP date of a Unix time, written without Qt.
QString cHttpDate(time_t t)
{
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm u{};
    gmtime_r(&t, &u);
    char text[64];
    snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT", days[u.tm_wday], u.tm_mday,
             months[u.tm_mon], u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec);
    return QString::fromLatin1(text);
}

QString jsonText(const QJsonValue& value)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact));
}

void setSigningKey()
{
    WexoraBase::accessdata.accesskeyid = QStringLiteral("AK1");
    WexoraBase::accessdata.accesskeysecret = QStringLiteral("secret");
    WexoraBase::accessdata.accessdomain = QStringLiteral("dom");
}

KSpaceInfo space(const QString& id, const QString& api)
{
    KSpaceInfo s;
    s.spaceid = id;
    s.spaceapi = api;
    return s;
}

int lineIndex(const QList<QByteArray>& lines, const QByteArray& prefix)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).toLower().startsWith(prefix))
            return i;
    }
    return -1;
}

} // namespace

class TestKHttpTools : public QObject
{
    Q_OBJECT

private slots:
    // Must stay first: it needs the shared client not created yet.
    void concurrentFirstUseCreatesOneClient();
    void cleanup();
    void canonicalResource_data();
    void canonicalResource();
    void stringToSign();
    void signature_data();
    void signature();
    void signHeadersForFixedDate();
    void httpDate_data();
    void httpDate();
    void httpDateNowIsEnglishUtc();
    void apiUrlFor_data();
    void apiUrlFor();
    void parseResponse_data();
    void parseResponse();
    void toJsonArrayText_data();
    void toJsonArrayText();
    void signedCallOnTheWire();
    void unsignedCallHasNoSigningHeaders();
    void unmatchedPathFailsAsRequestError();
};

void TestKHttpTools::concurrentFirstUseCreatesOneClient()
{
    QVERIFY(KHttpTools::httpClient == nullptr);
    KHttpPeer peer;
    const int count = 6;
    std::atomic_bool go{false};
    std::vector<KHttpClientSync*> clients(count, nullptr);
    std::vector<QString> bodies(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            clients[i] = KHttpTools::client();
            bodies[i] = KHttpTools::callApi(peer.url("/t"), {{"op", QString::number(i)}}, false);
        });
    }
    go = true;
    for (auto& t : threads)
        t.join();
    QVERIFY(KHttpTools::httpClient != nullptr);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(clients[i], KHttpTools::httpClient);
        QCOMPARE(bodies[i], QStringLiteral("ok"));
    }
    QCOMPARE(peer.requestCount(), count);
}

void TestKHttpTools::cleanup()
{
    WexoraBase::accessdata = KAccessData();
    WexoraBase::baseServer.clear();
}

void TestKHttpTools::canonicalResource_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<Params>("params");
    QTest::addColumn<QString>("resource");
    QTest::newRow("empty and bare pieces vanish") << "https://h/api/x?b=2&a=&c" << Params{{"op", "klistdir"}, {"path", "@s1/d"}}
                                                  << ExampleResource;
    QTest::newRow("http, no pairs keeps ?") << "http://ab/x" << Params{} << "/x?";
    QTest::newRow("https without path keeps host") << "https://host" << Params{{"a", "1"}} << "host?a=1";
    QTest::newRow("http without path loses a letter") << "http://hostname" << Params{} << "ostname?";
    QTest::newRow("parameter replaces address pair") << "https://h/x?op=a&k=1" << Params{{"op", "b"}} << "/x?k=1&op=b";
    QTest::newRow("empty parameter drops address pair") << "https://h/x?a=1&b=2" << Params{{"a", ""}} << "/x?b=2";
    QTest::newRow("plain & and = signed as they are") << "https://h/x" << Params{{"name", "a&b=c"}, {"sp", "a b"}}
                                                      << "/x?name=a&b=c&sp=a b";
    QTest::newRow("value keeps later =") << "https://h/x?q=a=b" << Params{} << "/x?q=a=b";
    QTest::newRow("case-sensitive key order") << "https://h/x" << Params{{"a", "1"}, {"B", "2"}} << "/x?B=2&a=1";
    QTest::newRow("port kept out of path") << "https://h:8443/a/b?" << Params{{"op", "x"}} << "/a/b?op=x";
}

void TestKHttpTools::canonicalResource()
{
    QFETCH(QString, url);
    QFETCH(Params, params);
    QFETCH(QString, resource);
    QCOMPARE(KHttpTools::canonicalResource(url, params), resource);
}

void TestKHttpTools::stringToSign()
{
    QCOMPARE(KHttpTools::stringToSign("post", ExampleResource, ExampleDate),
             QStringLiteral("POST\n/api/x?b=2&op=klistdir&path=@s1/d\nMon, 07 Dec 2026 02:48:47 GMT"));
}

void TestKHttpTools::signature_data()
{
    QTest::addColumn<QString>("secret");
    QTest::addColumn<QString>("expected");
    // Each answer: printf '%s' "POST\n/api/x?b=2&op=klistdir&path=@s1/d\nMon, 07 Dec 2026 02:48:47 GMT"
    //   | openssl dgst -sha1 -hmac "$KEY" -binary | base64
    QTest::newRow("short key") << "secret" << "LXIe24bTjYW4i2D3j/wG1qD15JI=";
    QTest::newRow("empty key") << "" << "Ub1L5JgSMlSe9kN3oVxgWDQxOuI=";
    QTest::newRow("63 bytes") << QString("0123456789abcdef").repeated(4).left(63) << "XPJ3We1TmeOSzzyMCwrZkPdbWP4=";
    // With exactly 64 bytes the key is used directly (its SHA-1 would give 0DTtON+mKZf7Wq+JvnO+BTsfYeQ=).
    QTest::newRow("64 bytes") << QString("0123456789abcdef").repeated(4) << "h6w19wq3gxKVNwTKjIcjN5aS8vs=";
    // Over 64 bytes: equals -macopt hexkey:$(sha1sum of the key).
    QTest::newRow("100 bytes") << QString("k").repeated(100) << "iCipEHCa/MmwvfnQ+ctjhCiqcHc=";
    QTest::newRow("22 characters, 66 utf-8 bytes") << QString("密钥").repeated(11) << "8owhpTBry6hR5MdTLmtI8kzVnUE=";
}

void TestKHttpTools::signature()
{
    QFETCH(QString, secret);
    QFETCH(QString, expected);
    QCOMPARE(KHttpTools::signature("POST", ExampleDate, ExampleResource, secret), expected);
}

void TestKHttpTools::signHeadersForFixedDate()
{
    setSigningKey();
    const Params params{{"op", "klistdir"}, {"path", "@s1/d"}};
    const Params headers = KHttpTools::signHeaders("POST", "https://h/api/x?b=2&a=&c", params, ExampleDate);
    QCOMPARE(headers, (Params{{"x-date", ExampleDate}, {"x-authorization", "dom AK1:LXIe24bTjYW4i2D3j/wG1qD15JI="}}));
}

void TestKHttpTools::httpDate_data()
{
    QTest::addColumn<qint64>("secs");
    QTest::addColumn<QString>("expected");
    // Expected: LC_ALL=C date -u -d @SECONDS '+%a, %d %b %Y %H:%M:%S GMT'
    QTest::newRow("morning") << qint64(1796611727) << ExampleDate;
    QTest::newRow("afternoon, 24-hour") << qint64(1796654927) << "Mon, 07 Dec 2026 14:48:47 GMT";
    QTest::newRow("two-digit day") << qint64(0) << "Thu, 01 Jan 1970 00:00:00 GMT";
    QTest::newRow("leap day") << qint64(951782400) << "Tue, 29 Feb 2000 00:00:00 GMT";
}

void TestKHttpTools::httpDate()
{
    QFETCH(qint64, secs);
    QFETCH(QString, expected);
    ForeignLocaleAndZone foreign;
    // The setting really is foreign: local names and local hours differ.
    QVERIFY(QLocale().toString(QDate(2026, 12, 7), "ddd MMM") != "Mon Dec");
    QCOMPARE(QDateTime::fromSecsSinceEpoch(0).time().hour(), 8);
    // The same instant held as UTC, as local time and with an offset.
    QCOMPARE(KHttpTools::httpDate(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC)), expected);
    QCOMPARE(KHttpTools::httpDate(QDateTime::fromSecsSinceEpoch(secs)), expected);
    QCOMPARE(KHttpTools::httpDate(QDateTime::fromSecsSinceEpoch(secs, Qt::OffsetFromUTC, -5 * 3600)), expected);
}

void TestKHttpTools::httpDateNowIsEnglishUtc()
{
    ForeignLocaleAndZone foreign;
    setSigningKey();
    const QString before = cHttpDate(time(nullptr));
    const QString now = KHttpTools::httpDate();
    const Params headers = KHttpTools::signHeaders("POST", "https://h/api/x", {{"op", "x"}});
    const QString after = cHttpDate(time(nullptr));
    QVERIFY2(now == before || now == after, qPrintable(now + " / " + before));
    const QString date = headers.value("x-date");
    QVERIFY2(date == now || date == after, qPrintable(date));
    QCOMPARE(headers.value("x-authorization"),
             "dom AK1:" + KHttpTools::signature("POST", date, "/api/x?op=x", "secret"));
}

void TestKHttpTools::apiUrlFor_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("url");
    QTest::newRow("space alone") << "@s1" << "https://h/api";
    QTest::newRow("file in space") << "@s1/docs/a.txt" << "https://h/api";
    QTest::newRow("@s10 is not @s1") << "@s10/x" << "http://h10/api";
    QTest::newRow("longer id without slash") << "@s1x" << "";
    QTest::newRow("case-sensitive id") << "@S1/x" << "";
    QTest::newRow("absolute https address") << "@S2/y" << "https://h2/x";
    QTest::newRow("relative without slash concatenates") << "@s3" << "https://hv3";
    QTest::newRow("first of equal ids wins") << "@dup/x" << "https://h/first";
    QTest::newRow("no @") << "s1/x" << "";
    QTest::newRow("empty") << "" << "";
}

void TestKHttpTools::apiUrlFor()
{
    QFETCH(QString, path);
    QFETCH(QString, url);
    WexoraBase::baseServer = QStringLiteral("https://h");
    WexoraBase::accessdata.spaces = {space("s1", "/api"), space("s10", "http://h10/api"), space("S2", "https://h2/x"),
                                     space("s3", "v3"), space("dup", "/first"), space("dup", "/second")};
    QCOMPARE(KHttpTools::apiUrlFor(path), url);
}

void TestKHttpTools::parseResponse_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("throws");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("logged");
    QTest::newRow("empty") << "" << true << "" << "";
    QTest::newRow("invalid json") << "<html>502</html>" << true << "" << "";
    QTest::newRow("array") << "[{\"code\":0}]" << true << "" << "";
    QTest::newRow("no code") << "{\"data\":1}" << true << "" << "";
    QTest::newRow("code 0 without data") << "{\"code\":0}" << false << "[\"\"]" << "";
    QTest::newRow("code 0 with object") << "{\"code\":0,\"data\":{\"a\":1}}" << false << "[{\"a\":1}]" << "";
    QTest::newRow("null data") << "{\"code\":0,\"data\":null}" << false << "[null]" << "";
    QTest::newRow("code 3 with errtip") << "{\"code\":3,\"errtip\":\"x\",\"data\":[1]}" << false << "[[1]]"
                                        << "[请求失败] x";
    QTest::newRow("code 3 without errtip") << "{\"code\":3}" << false << "[\"\"]" << "[请求失败] 请求失败";
    QTest::newRow("non-string errtip") << "{\"code\":-1,\"errtip\":5}" << false << "[\"\"]" << "[请求失败] 请求失败";
    QTest::newRow("string code is success") << "{\"code\":\"5\",\"errtip\":\"y\",\"data\":2}" << false << "[2]" << "";
    QTest::newRow("fraction truncates to 0") << "{\"code\":0.7,\"errtip\":\"z\"}" << false << "[\"\"]" << "";
    QTest::newRow("null code is success") << "{\"code\":null}" << false << "[\"\"]" << "";
}

void TestKHttpTools::parseResponse()
{
    QFETCH(QString, body);
    QFETCH(bool, throws);
    QFETCH(QString, data);
    QFETCH(QString, logged);
    KTestBaseDir base;
    base.installLogSink();
    QString caught;
    QJsonValue value;
    try {
        value = KHttpTools::parseResponse(body);
    } catch (const char* message) {
        caught = QString::fromUtf8(message);
    }
    QCOMPARE(caught, throws ? QStringLiteral("请求异常!") : QString());
    if (!throws)
        QCOMPARE(jsonText(value), data);
    const QString log = base.todaysLog();
    QCOMPARE(log.count("请求失败"), logged.isEmpty() ? 0 : logged.count("请求失败"));
    if (!logged.isEmpty())
        QVERIFY2(log.contains("[Info] \"" + logged + "\""), qPrintable(log));
}

void TestKHttpTools::toJsonArrayText_data()
{
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QStringList() << "[]";
    QTest::newRow("two") << QStringList{"a", "b"} << "[\"a\",\"b\"]";
    QTest::newRow("escapes and utf-8") << QStringList{"a\"b\\", "云 盘"} << "[\"a\\\"b\\\\\",\"云 盘\"]";
}

void TestKHttpTools::toJsonArrayText()
{
    QFETCH(QStringList, list);
    QFETCH(QString, text);
    QCOMPARE(KHttpTools::toJsonArrayText(list), text);
}

void TestKHttpTools::signedCallOnTheWire()
{
    setSigningKey();
    KRawPeer peer("HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\n{\"code\":0}\n");
    const QString url = peer.url("/api/x?b=2");
    const Params params{{"op", "klistdir"}, {"path", "@s1/d a"}, {"empty", ""}};
    QCOMPARE(KHttpTools::callApi(url, params, true), QStringLiteral("{\"code\":0}\n"));

    const QByteArray raw = peer.firstRequest();
    const int headEnd = raw.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    QCOMPARE(raw.mid(headEnd + 4), QByteArray("empty=&op=klistdir&path=%40s1%2Fd%20a"));
    const QList<QByteArray> lines = raw.left(headEnd).split('\n');
    QVERIFY(lines.first().startsWith("POST /api/x?b=2 HTTP/1.1"));
    const int type = lineIndex(lines, "content-type: application/x-www-form-urlencoded");
    const int auth = lineIndex(lines, "x-authorization: ");
    const int date = lineIndex(lines, "x-date: ");
    QVERIFY2(type > 0 && type < auth && auth < date, raw.constData());
    const QString xdate = QString::fromUtf8(lines.at(date).mid(8).trimmed());
    QVERIFY(QRegularExpression("^[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT$").match(xdate).hasMatch());
    // The empty parameter is sent but not signed; "@s1/d a" is signed plain.
    const QString expectedAuth = "dom AK1:" + KHttpTools::signature("POST", xdate, "/api/x?b=2&op=klistdir&path=@s1/d a", "secret");
    QCOMPARE(QString::fromUtf8(lines.at(auth).mid(17).trimmed()), expectedAuth);
    QVERIFY(!raw.contains("secret"));
}

void TestKHttpTools::unsignedCallHasNoSigningHeaders()
{
    setSigningKey();
    KHttpPeer peer;
    QCOMPARE(KHttpTools::callApi(peer.url("/klogin"), {{"userid", "u"}}, false), QStringLiteral("ok"));
    const KPeerRequest request = peer.requests().value(0);
    QCOMPARE(request.body, QByteArray("userid=u"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.headerCount("x-date"), 0);
    QCOMPARE(request.headerCount("x-authorization"), 0);
}

void TestKHttpTools::unmatchedPathFailsAsRequestError()
{
    setSigningKey();
    WexoraBase::accessdata.spaces = {space("s1", "/api")};
    const QString body = KHttpTools::callApi(KHttpTools::apiUrlFor("@s2/x"), {{"op", "kgetnodes"}}, true);
    QCOMPARE(body, QString());
    using CString = const char*;
    QVERIFY_EXCEPTION_THROWN(KHttpTools::parseResponse(body), CString);
}

QTEST_GUILESS_MAIN(TestKHttpTools)
#include "tst_khttptools.moc"
