#include "api/ktlssettings.h"
#include "app/kjsontools.h"
#include "khttppeer.h"
#include "ktestbasedir.h"
#include "login/kloginflow.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"

#include <QFile>
#include <QSslCertificate>
#include <QtTest>
#include <memory>

namespace {

const QString CertPath = QStringLiteral(WEXORA_API_TESTDATA "/selfsigned.crt");
const QString KeyPath = QStringLiteral(WEXORA_API_TESTDATA "/selfsigned.key");
// openssl x509 -in selfsigned.crt -noout -fingerprint -sha256
const QString CertFingerprint = QStringLiteral(
    "5D:D0:8D:74:D8:A1:75:5E:B5:B7:E2:62:89:B9:01:F1:55:2F:54:BB:85:63:93:00:F0:63:FC:AB:92:94:B7:0D");

const QString FailedReply = QString::fromUtf8("loginVue.loginCallback('{\"code\":\"1\",\"message\":\"登录失败\"}');");
const QString AcceptedReply = QStringLiteral("loginVue.loginCallback('{\"code\":\"0\",\"message\":\"\"}');");
const QString FullData = QStringLiteral(
    "{\"userid\":\"u1\",\"username\":\"U\",\"tenantid\":\"t\",\"accesskey\":{\"accesskeyid\":\"k\","
    "\"accesskeysecret\":\"s\",\"accessdomain\":\"d\",\"accesskeytime\":\"1\"},\"spaces\":[]}");

QString loginParam(const QString& protocol, const QString& address, const QString& username,
                   const QString& password)
{
    return KJsonTools::toJsonText({{"protocol", protocol}, {"address", address}, {"username", username},
                                   {"password", password}});
}

QString addressOf(const QString& url)
{
    return url.section(QStringLiteral("://"), 1).section(QLatin1Char('/'), 0, 0);
}

// Everything the flow sends towards the window.
struct FlowRecorder
{
    explicit FlowRecorder(KLoginFlow& flow)
        : flow(flow)
    {
        QObject::connect(&flow, &KLoginFlow::sendScript, &flow, [this](const QString& s) { scripts << s; });
        QObject::connect(&flow, &KLoginFlow::warn, &flow,
                         [this](const QString& title, const QString& text) { warnings << QStringList{title, text}; });
        QObject::connect(&flow, &KLoginFlow::accepted, &flow, [this] { ++accepted; });
        QObject::connect(&flow, &KLoginFlow::hideRequested, &flow, [this] { ++hidden; });
        QObject::connect(&flow, &KLoginFlow::exitRequested, &flow, [this] { ++exited; });
    }

    void answerTrust(bool yes)
    {
        QObject::connect(&flow, &KLoginFlow::askTrust, &flow, [this, yes](const KTlsFailure& failure, bool* trusted) {
            questions << failure;
            *trusted = yes;
        });
    }

    KLoginFlow& flow;
    QStringList scripts;
    QList<QStringList> warnings;
    QList<KTlsFailure> questions;
    int accepted = 0;
    int hidden = 0;
    int exited = 0;
};

} // namespace

class TestKLoginFlow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fieldChecksInOrder_data();
    void fieldChecksInOrder();
    void otherMessagesGetOneEmptyScript_data();
    void otherMessagesGetOneEmptyScript();
    void loginDataWithoutSettingsFile();
    void loginDataIsEscapedForTheScript();
    void serverReplies_data();
    void serverReplies();
    void unreachableServerWarnsWithoutReply();
    void untrustedCertificate_data();
    void untrustedCertificate();
    void trustQuestionNamesTheCertificate();

private:
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<KLoginFlow> flow;
    std::unique_ptr<FlowRecorder> record;
};

void TestKLoginFlow::init()
{
    base = std::make_unique<KTestBaseDir>();
    base->installLogSink();
    WexoraBase::accessdata = KAccessData();
    WexoraBase::baseServer.clear();
    KLoginControl::WexoraTitle = QString::fromUtf8("Wexora云盘");
    KTlsSettings::clearPins();
    flow = std::make_unique<KLoginFlow>();
    record = std::make_unique<FlowRecorder>(*flow);
}

void TestKLoginFlow::cleanup()
{
    record.reset();
    flow.reset();
    KTlsSettings::clearPins();
    base.reset();
}

void TestKLoginFlow::fieldChecksInOrder_data()
{
    QTest::addColumn<QString>("param");
    QTest::addColumn<QString>("warning");
    const QString address = QStringLiteral("127.0.0.1:1");
    QTest::newRow("all empty") << loginParam("http://", "", "", "") << QString::fromUtf8("地址不能为空!");
    QTest::newRow("address empty") << loginParam("http://", "", "u", "p") << QString::fromUtf8("地址不能为空!");
    QTest::newRow("user and password empty") << loginParam("http://", address, "", "")
                                             << QString::fromUtf8("用户名不能为空!");
    QTest::newRow("password empty") << loginParam("", address, "u", "") << QString::fromUtf8("密码不能为空!");
    QTest::newRow("not JSON") << QStringLiteral("address=x") << QString::fromUtf8("地址不能为空!");
}

void TestKLoginFlow::fieldChecksInOrder()
{
    QFETCH(QString, param);
    QFETCH(QString, warning);
    flow->handle("doLogin", param);
    QCOMPARE(record->warnings, QList<QStringList>({{QString::fromUtf8("错误"), warning}}));
    QCOMPARE(record->scripts, QStringList());
    QCOMPARE(WexoraBase::baseServer, QString());
}

void TestKLoginFlow::otherMessagesGetOneEmptyScript_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("hidden");
    QTest::addColumn<int>("exited");
    QTest::newRow("doHide") << "doHide" << 1 << 0;
    QTest::newRow("doExit") << "doExit" << 0 << 1;
    QTest::newRow("unknown") << "doSomething" << 0 << 0;
    QTest::newRow("names are case-sensitive") << "dologin" << 0 << 0;
    QTest::newRow("empty name") << "" << 0 << 0;
}

void TestKLoginFlow::otherMessagesGetOneEmptyScript()
{
    QFETCH(QString, op);
    QFETCH(int, hidden);
    QFETCH(int, exited);
    flow->handle(op, loginParam("http://", "h", "u", "p"));
    QCOMPARE(record->scripts, QStringList({QString("")}));
    QCOMPARE(record->hidden, hidden);
    QCOMPARE(record->exited, exited);
    QVERIFY(record->warnings.isEmpty());
}

void TestKLoginFlow::loginDataWithoutSettingsFile()
{
    flow->handle("getLoginData", "");
    QCOMPARE(record->scripts,
             QStringList({QString::fromUtf8("loginVue.reloadData('{\"address\":\"\",\"password\":\"\",\"protocol\":\"\","
                                            "\"title\":\"Wexora云盘\",\"username\":\"\"}');")}));
    QVERIFY(QFileInfo(base->path() + "/config").isDir());
    QVERIFY(!QFile::exists(base->path() + "/config/config.json"));
}

void TestKLoginFlow::loginDataIsEscapedForTheScript()
{
    // o'neil\<LF>: JSON doubles the backslash and writes \n, the script
    // escapes the quote and every backslash once more.
    KLoginSettings::saveLoginSettings("https://", "h:1", "o'neil\\\n", "p'w");
    flow->handle("getLoginData", "");
    QCOMPARE(record->scripts,
             QStringList({QString::fromUtf8("loginVue.reloadData('{\"address\":\"h:1\",\"password\":\"p\\'w\","
                                            "\"protocol\":\"https://\",\"title\":\"Wexora云盘\","
                                            "\"username\":\"o\\'neil\\\\\\\\\\\\n\"}');")}));
}

void TestKLoginFlow::serverReplies_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("earlierSession");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("rejectedWarning");
    QTest::addColumn<QStringList>("paths");

    const QStringList once{"/klogin"};
    const QString full = QStringLiteral("{\"code\":0,\"errtip\":\"\",\"data\":") + FullData + "}";
    QTest::newRow("accepted") << full << false << true << false << once;
    QTest::newRow("code as a string reads as 0")
        << QString("{\"code\":\"0\",\"data\":" + FullData + "}") << false << true << false << once;
    QTest::newRow("not an envelope") << "<html>busy</html>" << false << false << false << once;
    QTest::newRow("refused without data") << "{\"code\":3,\"errtip\":\"wrong\"}" << false << false << true << once;
    QTest::newRow("refused after an earlier login")
        << "{\"code\":3,\"errtip\":\"wrong\"}" << true << false << true << once;
    QTest::newRow("code 0 without data after an earlier login") << "{\"code\":0}" << true << false << true << once;
    QTest::newRow("refused code with full data")
        << QString("{\"code\":3,\"data\":" + FullData + "}") << false << false << true << once;
    QTest::newRow("data without access key") << "{\"code\":0,\"data\":{\"userid\":\"u1\"}}" << true << false << true
                                             << once;
    QTest::newRow("a redirect is followed once")
        << "{\"code\":0,\"data\":\"{\\\"redirect\\\":\\\"/again\\\"}\"}" << false << false << true
        << QStringList{"/klogin", "/again"};
}

void TestKLoginFlow::serverReplies()
{
    QFETCH(QString, reply);
    QFETCH(bool, earlierSession);
    QFETCH(bool, accepted);
    QFETCH(bool, rejectedWarning);
    QFETCH(QStringList, paths);
    if (earlierSession) {
        WexoraBase::accessdata.userid = "old";
        WexoraBase::accessdata.accesskeyid = "old-id";
        WexoraBase::accessdata.accesskeysecret = "old-secret";
    }
    KHttpPeer peer;
    peer.respond(200, reply.toUtf8());

    flow->handle("doLogin", loginParam("http://", addressOf(peer.url()), "u1", "pw"));

    QStringList seenPaths;
    for (const KPeerRequest& request : peer.requests())
        seenPaths << QString::fromUtf8(request.path);
    QCOMPARE(seenPaths, paths);
    QCOMPARE(record->scripts, QStringList({accepted ? AcceptedReply : FailedReply}));
    QCOMPARE(record->accepted, accepted ? 1 : 0);
    const QList<QStringList> warnings{{QString::fromUtf8("登录失败"), QString::fromUtf8("用户名称或密码错误")}};
    QCOMPARE(record->warnings, rejectedWarning ? warnings : QList<QStringList>());
    QCOMPARE(QFile::exists(KLoginSettings::loginSettingsPath()), accepted);
    // A reply that is not an envelope fails already at the redirect check,
    // before the session parser records the server base.
    const bool envelope = accepted || rejectedWarning;
    QCOMPARE(WexoraBase::baseServer, envelope ? QString("http://" + addressOf(peer.url())) : QString());
    QCOMPARE(base->todaysLog().contains(QString::fromUtf8("[登录成功] u1")), accepted);
}

void TestKLoginFlow::unreachableServerWarnsWithoutReply()
{
    const QString address = QStringLiteral("127.0.0.1:%1").arg(KRawPeer::unusedPort());
    record->answerTrust(true);
    flow->handle("doLogin", loginParam("http://", address, "u1", "pw"));
    QCOMPARE(record->warnings,
             QList<QStringList>({{QString::fromUtf8("连接异常!"), "http://" + address + QString::fromUtf8("无法连接!")}}));
    QVERIFY(record->scripts.isEmpty());
    QVERIFY(record->questions.isEmpty());
    QVERIFY(base->todaysLog().contains(QString::fromUtf8("[连接异常!] http://") + address));
}

void TestKLoginFlow::untrustedCertificate_data()
{
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("nobody to ask") << false << false;
    QTest::newRow("user refuses") << true << false;
    QTest::newRow("user trusts") << true << true;
}

void TestKLoginFlow::untrustedCertificate()
{
    QFETCH(bool, asked);
    QFETCH(bool, trusted);
    KHttpPeer peer(CertPath, KeyPath);
    peer.respond(200, QString("{\"code\":0,\"data\":" + FullData + "}").toUtf8());
    if (asked)
        record->answerTrust(trusted);
    const QString address = addressOf(peer.url());

    flow->handle("doLogin", loginParam("https://", address, "u1", "pw"));

    QCOMPARE(record->questions.size(), asked ? 1 : 0);
    if (asked) {
        QCOMPARE(record->questions[0].port, peer.port());
        QCOMPARE(KTlsSettings::fingerprint(record->questions[0].certificate), CertFingerprint);
    }
    const QSslCertificate certificate = QSslCertificate::fromPath(CertPath).value(0);
    QCOMPARE(KTlsSettings::isPinned("127.0.0.1", peer.port(), certificate), trusted);
    QCOMPARE(QFile::exists(KTlsSettings::pinFilePath()), trusted);
    QCOMPARE(peer.requestCount(), trusted ? 1 : 0);
    QCOMPARE(record->accepted, trusted ? 1 : 0);
    QCOMPARE(record->scripts, trusted ? QStringList{AcceptedReply} : QStringList());
    const QList<QStringList> refused{{QString::fromUtf8("连接异常!"), "https://" + address + QString::fromUtf8("无法连接!")}};
    QCOMPARE(record->warnings, trusted ? QList<QStringList>() : refused);
    // The answer is settled: a failure of this attempt is not left behind.
    QVERIFY(KTlsSettings::lastFailure("127.0.0.1", peer.port()).isNull());
}

void TestKLoginFlow::trustQuestionNamesTheCertificate()
{
    KTlsFailure failure;
    failure.host = "127.0.0.1";
    failure.port = 8443;
    failure.certificate = QSslCertificate::fromPath(CertPath).value(0);
    failure.errors = {QSslError(QSslError::SelfSignedCertificate, failure.certificate),
                      QSslError(QSslError::SelfSignedCertificate, failure.certificate)};
    const QString text = KLoginFlow::trustQuestionText(failure);
    QVERIFY2(text.contains("127.0.0.1:8443"), qPrintable(text));
    QVERIFY2(text.contains("CN=127.0.0.1"), qPrintable(text));
    QVERIFY2(text.contains(CertFingerprint), qPrintable(text));
    const QString reason = failure.errors[0].errorString();
    QCOMPARE(text.count(reason), 1);
    QVERIFY(text.contains(QString::fromUtf8("是否信任")));
}

QTEST_GUILESS_MAIN(TestKLoginFlow)
#include "tst_kloginflow.moc"
