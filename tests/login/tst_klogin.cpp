#include "api/khttptools.h"
#include "api/ktlssettings.h"
#include "app/kjsontools.h"
#include "bridge/loginobj.h"
#include "khttppeer.h"
#include "kguitestmain.h"
#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "login/klogin.h"
#include "login/kloginflow.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"

#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QSignalSpy>
#include <QWebEngineView>
#include <QtTest>
#include <memory>

#include <sys/stat.h>

namespace {

const QString AcceptedReply = QStringLiteral("loginVue.loginCallback('{\"code\":\"0\",\"message\":\"\"}');");
const QString FailedReply = QString::fromUtf8("loginVue.loginCallback('{\"code\":\"1\",\"message\":\"登录失败\"}');");

// The fingerprint as openssl prints it, to check ours against an outside tool.
QString opensslFingerprint(const QString& certPath)
{
    QProcess openssl;
    openssl.start("openssl", {"x509", "-in", certPath, "-noout", "-fingerprint", "-sha256"});
    if (!openssl.waitForFinished(30000))
        return QString();
    return QString::fromLatin1(openssl.readAllStandardOutput()).trimmed().section('=', 1);
}

int modeOf(const QString& path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QJsonObject readJsonFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

QString base64(const QString& text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

QString pinnedFingerprint(const QString& endpoint)
{
    return readJsonFile(KTlsSettings::pinFilePath()).value(endpoint).toObject().value("sha256").toString();
}

QStringList sortedSpaceIds()
{
    QStringList ids;
    for (const KSpaceInfo& space : WexoraBase::accessdata.spaces)
        ids << space.spaceid;
    ids.sort();
    return ids;
}

} // namespace

// The real login window with the real login page: what the page sends
// reaches the window, every answer reaches the page, and the login runs
// against the reference drive server. Message boxes are replaced by
// recorders, so nothing modal blocks a test.
class TestKLogin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formSetUp();
    void loginDataFillsThePage();
    void loginDataDefaultsWithoutSettingsFile();
    void awkwardUserNameReachesThePageUnchanged();
    void oneReplyPerMessage();
    void fullLoginFillsSessionSavesAndAccepts();
    void rejectedLoginStaysOpen();
    void unreachableServerWarnsWithoutReply();
    void redirect_data();
    void redirect();
    void passwordNeverReachesTheLog();
    void trustedCertificateIsPinnedForLaterRequests();
    void refusedCertificateIsNotPinned();
    void changedCertificateAsksAgain();
    void messageBoxesRefuseByDefault();
    void hideEndsTheDialog();
    void screenshot();
    // Last: QCoreApplication::exit leaves every later event loop of this
    // process returning at once.
    void exitEndsTheDialog();

private:
    void openWindow(bool show = true, bool recorders = true);
    void installRecorders();
    bool waitForLoginData();
    bool submit(const QString& protocol, const QString& address, const QString& username, const QString& password);
    bool waitUntilIdle();
    void writeSettingsFile(const QString& username, const QString& password, const QString& title);

    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<KLogin> login;
    std::unique_ptr<KPageProbe> probe;
    std::unique_ptr<QSignalSpy> scripts;
    std::unique_ptr<QSignalSpy> accepted;
    QList<QStringList> warnings;
    QList<KTlsFailure> questions;
    bool trustAnswer = false;
};

void TestKLogin::init()
{
    base = std::make_unique<KTestBaseDir>(true);
    base->installLogSink();
    WexoraBase::accessdata = KAccessData();
    WexoraBase::baseServer.clear();
    KLoginControl::WexoraTitle = QString::fromUtf8("Wexora云盘");
    KTlsSettings::clearPins();
    warnings.clear();
    questions.clear();
    trustAnswer = false;
}

void TestKLogin::cleanup()
{
    probe.reset();
    scripts.reset();
    accepted.reset();
    login.reset();
    KTlsSettings::clearPins();
    base.reset();
}

void TestKLogin::openWindow(bool show, bool recorders)
{
    probe.reset();
    scripts.reset();
    accepted.reset();
    login = std::make_unique<KLogin>();
    if (recorders)
        installRecorders();
    scripts = std::make_unique<QSignalSpy>(login.get(), &KLogin::SigSendMessageToJS);
    accepted = std::make_unique<QSignalSpy>(login.get(), &QDialog::accepted);
    probe = std::make_unique<KPageProbe>(login->webView);
    if (show)
        login->show();
}

void TestKLogin::installRecorders()
{
    login->setWarningPresenter([this](const QString& title, const QString& text) { warnings << QStringList{title, text}; });
    login->setTrustPresenter([this](const KTlsFailure& failure) {
        questions << failure;
        return trustAnswer;
    });
}

// The page asks for its data as soon as its channel is open; the answer has
// run once the page shows a saved address or has put the focus on its first
// empty field.
bool TestKLogin::waitForLoginData()
{
    return probe->waitForPage() && QTest::qWaitFor([this] { return scripts->count() >= 1; }, 15000)
           && probe->waitFor("loginVue.address !== '' || "
                             "(!!document.activeElement && document.activeElement.tagName === 'INPUT')");
}

bool TestKLogin::submit(const QString& protocol, const QString& address, const QString& username,
                        const QString& password)
{
    return probe->waitFor("loginVue.state === 'idle'") && probe->setValue("#protocol", protocol)
           && probe->setValue("#address", address) && probe->setValue("#username", username)
           && probe->setValue("#password", password) && probe->click("#btn-login");
}

// The page leaves its busy state when the window's handler has returned.
bool TestKLogin::waitUntilIdle()
{
    return probe->waitFor("loginVue.state === 'idle'", 30000);
}

void TestKLogin::writeSettingsFile(const QString& username, const QString& password, const QString& title)
{
    QFile file(KLoginSettings::loginSettingsPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(KLoginSettings::settingsText("http://", "files.example:8080", username, password, title).toUtf8());
}

void TestKLogin::formSetUp()
{
    openWindow(false);
    QCOMPARE(login->objectName(), QString("KLogin"));
    QCOMPARE(login->size(), QSize(362, 471));
    // A top-level widget is a window; the dialog type bit is gone.
    QCOMPARE(login->windowType(), Qt::Window);
    QCOMPARE(int(login->windowFlags() & ~Qt::WindowType_Mask),
             int(Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint));
    QVERIFY(!login->windowIcon().isNull());
    QVERIFY(login->windowTitle().isEmpty());
    QCOMPARE(login->webView->parent(), login.get());
    QCOMPARE(login->webView->size(), QSize(362, 471));
    QCOMPARE(login->loginObj->parent(), login.get());
    QTRY_COMPARE(login->webView->url().toString(), QString("file://" + base->path() + "/page/login.html"));
}

void TestKLogin::loginDataFillsThePage()
{
    writeSettingsFile("zhangsan", "", QString::fromUtf8("测试云盘"));
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QCOMPARE(scripts->count(), 1);
    QVERIFY(scripts->at(0).at(0).toString().startsWith("loginVue.reloadData('"));
    QCOMPARE(probe->value("#protocol"), QString("http://"));
    QCOMPARE(probe->value("#address"), QString("files.example:8080"));
    QCOMPARE(probe->value("#username"), QString("zhangsan"));
    QCOMPARE(probe->value("#password"), QString());
    QCOMPARE(probe->text("#product-title"), QString::fromUtf8("测试云盘"));
    // The page's own message went through the window's handler.
    QVERIFY(base->todaysLog().contains("[op=getLoginData] "));
}

void TestKLogin::loginDataDefaultsWithoutSettingsFile()
{
    openWindow();
    QVERIFY2(probe->waitForPage(), qPrintable(probe->lastError()));
    QTRY_COMPARE(scripts->count(), 1);
    QCOMPARE(scripts->at(0).at(0).toString(),
             QString::fromUtf8("loginVue.reloadData('{\"address\":\"\",\"password\":\"\",\"protocol\":\"\","
                               "\"title\":\"Wexora云盘\",\"username\":\"\"}');"));
    QVERIFY(probe->waitFor("!!document.activeElement && document.activeElement.id === 'address'"));
    QCOMPARE(probe->value("#username"), QString());
    QCOMPARE(probe->value("#password"), QString());
    QCOMPARE(probe->text("#product-title"), QString::fromUtf8("Wexora云盘"));
    QVERIFY(!QFile::exists(KLoginSettings::loginSettingsPath()));
}

void TestKLogin::awkwardUserNameReachesThePageUnchanged()
{
    const QString name = QString::fromUtf8("o'neil \\ \"q\"\nline2 张三");
    const QString password = QString::fromUtf8("p'w\\\"\n</script>");
    writeSettingsFile(name, password, QString::fromUtf8("O'Brien \\ 云盘"));
    openWindow();
    QVERIFY2(probe->waitForPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->waitFor("loginVue.username !== ''"));
    QCOMPARE(probe->run("loginVue.username").toString(), name);
    QCOMPARE(probe->run("loginVue.password").toString(), password);
    QCOMPARE(probe->text("#product-title"), QString::fromUtf8("O'Brien \\ 云盘"));
}

void TestKLogin::oneReplyPerMessage()
{
    openWindow();
    QVERIFY2(probe->waitForPage(), qPrintable(probe->lastError()));
    QTRY_COMPARE(scripts->count(), 1);

    login->loginObj->JSSendMessage("noSuchOp", "x");
    QCOMPARE(scripts->count(), 2);
    QCOMPARE(scripts->at(1).at(0).toString(), QString(""));
    QVERIFY(base->todaysLog().contains("[op=noSuchOp] x"));

    // A missing field is told in a warning, not in a reply.
    login->loginObj->JSSendMessage("doLogin", "{\"protocol\":\"http://\",\"address\":\"\",\"username\":\"\",\"password\":\"\"}");
    QCOMPARE(scripts->count(), 2);
    QCOMPARE(warnings, QList<QStringList>({{QString::fromUtf8("错误"), QString::fromUtf8("地址不能为空!")}}));
    login->loginObj->JSSendMessage("doLogin", "{\"protocol\":\"http://\",\"address\":\"h:1\",\"username\":\"u\",\"password\":\"\"}");
    QCOMPARE(scripts->count(), 2);
    QCOMPARE(warnings.last(), QStringList({QString::fromUtf8("错误"), QString::fromUtf8("密码不能为空!")}));

    QVERIFY(probe->click("#btn-hide"));
    QTRY_COMPARE(scripts->count(), 3);
    QCOMPARE(scripts->at(2).at(0).toString(), QString(""));
    QVERIFY(!login->isVisible());
    QVERIFY(base->todaysLog().contains("[op=doHide] "));
}

void TestKLogin::fullLoginFillsSessionSavesAndAccepts()
{
    KTestServer server;
    QVERIFY(server.start());
    openWindow(false);
    bool driven = false;
    QTimer::singleShot(0, login.get(), [&] {
        driven = waitForLoginData()
                 && submit(server.protocol(), server.address(), KTestServer::demoUser(), KTestServer::demoPassword());
        if (!driven)
            login->reject();
    });
    QTimer::singleShot(120000, login.get(), &QDialog::reject);
    QCOMPARE(login->exec(), int(QDialog::Accepted));
    QVERIFY(driven);

    QCOMPARE(scripts->count(), 2);
    QCOMPARE(scripts->at(1).at(0).toString(), AcceptedReply);
    QCOMPARE(accepted->count(), 1);
    QCOMPARE(server.stats().value("klogin"), 1);
    QCOMPARE(WexoraBase::baseServer, server.baseUrl());
    QCOMPARE(WexoraBase::accessdata.userid, KTestServer::demoUser());
    QVERIFY(!WexoraBase::accessdata.accesskeyid.isEmpty());
    QVERIFY(!WexoraBase::accessdata.accesskeysecret.isEmpty());
    QCOMPARE(sortedSpaceIds(), QStringList({KTestServer::demoPersonalSpace(), KTestServer::demoSharedSpace()}));

    const QJsonObject settings = readJsonFile(KLoginSettings::loginSettingsPath());
    QCOMPARE(settings.keys(), QStringList({"address", "password", "protocol", "title", "username"}));
    QCOMPARE(settings.value("address").toString(), base64(server.address()));
    QCOMPARE(settings.value("password").toString(), base64(KTestServer::demoPassword()));
    QCOMPARE(settings.value("protocol").toString(), base64("http://"));
    QCOMPARE(settings.value("title").toString(), QString::fromUtf8("Wexora云盘"));
    QCOMPARE(settings.value("username").toString(), base64(KTestServer::demoUser()));
    QVERIFY(base->todaysLog().contains(QString::fromUtf8("[登录成功] demo")));
}

void TestKLogin::rejectedLoginStaysOpen()
{
    KTestServer server;
    QVERIFY(server.start());
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit(server.protocol(), server.address(), KTestServer::demoUser(), "not-the-password"));
    QTRY_COMPARE_WITH_TIMEOUT(scripts->count(), 2, 30000);
    QCOMPARE(scripts->at(1).at(0).toString(), FailedReply);
    QCOMPARE(warnings, QList<QStringList>({{QString::fromUtf8("登录失败"), QString::fromUtf8("用户名称或密码错误")}}));
    QVERIFY(probe->waitFor("!!document.querySelector('#login-error')"));
    QCOMPARE(probe->text("#login-error").trimmed(), QString::fromUtf8("登录失败"));
    QVERIFY(login->isVisible());
    QCOMPARE(accepted->count(), 0);
    QVERIFY(!QFile::exists(KLoginSettings::loginSettingsPath()));
    QCOMPARE(server.stats().value("klogin"), 1);
}

void TestKLogin::unreachableServerWarnsWithoutReply()
{
    const QString address = QStringLiteral("127.0.0.1:%1").arg(KRawPeer::unusedPort());
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit("http://", address, "demo", "pw"));
    QTRY_VERIFY_WITH_TIMEOUT(!warnings.isEmpty(), 30000);
    QVERIFY(waitUntilIdle());
    QCOMPARE(warnings, QList<QStringList>({{QString::fromUtf8("连接异常!"), "http://" + address + QString::fromUtf8("无法连接!")}}));
    QCOMPARE(scripts->count(), 1);
    QVERIFY(login->isVisible());
    QVERIFY(questions.isEmpty());
}

void TestKLogin::redirect_data()
{
    QTest::addColumn<bool>("absolute");
    QTest::newRow("bare path") << false;
    QTest::newRow("absolute URL") << true;
}

void TestKLogin::redirect()
{
    QFETCH(bool, absolute);
    KTestServer target;
    KTestServer server;
    if (absolute) {
        QVERIFY(target.start());
        QVERIFY(server.start({"--redirect", target.baseUrl() + "/klogin"}));
    } else {
        QVERIFY(server.start({"--redirect", "/auth/klogin"}));
    }
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit(server.protocol(), server.address(), KTestServer::demoUser(), KTestServer::demoPassword()));
    QTRY_COMPARE_WITH_TIMEOUT(accepted->count(), 1, 30000);
    QCOMPARE(scripts->last().at(0).toString(), AcceptedReply);
    // The server here answers /klogin with the redirect and logs in only at
    // the path it names; nothing is appended to the redirect.
    QCOMPARE(server.stats().value("klogin"), absolute ? 1 : 2);
    if (absolute)
        QCOMPARE(target.stats().value("klogin"), 1);
    QCOMPARE(WexoraBase::baseServer, server.baseUrl());
    QCOMPARE(WexoraBase::accessdata.userid, KTestServer::demoUser());
}

void TestKLogin::passwordNeverReachesTheLog()
{
    const QString password = QString::fromUtf8("Pa55-秘密-xyz");
    const QString wrong = QString::fromUtf8("Wr0ng-秘密-abc");
    KTestServer server;
    QVERIFY(server.start());
    QVERIFY(!server.addUser("zhang", password).isEmpty());
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit(server.protocol(), server.address(), "zhang", wrong));
    QTRY_COMPARE_WITH_TIMEOUT(warnings.size(), 1, 30000);
    QVERIFY(waitUntilIdle());
    QVERIFY(submit(server.protocol(), server.address(), "zhang", password));
    QTRY_COMPARE_WITH_TIMEOUT(accepted->count(), 1, 30000);

    const QString log = base->todaysLog();
    QCOMPARE(log.count("[op=doLogin] "), 2);
    // The window's and the bridge's lines, as the log writes quoted text.
    QCOMPARE(log.count("\\\"password\\\":\\\"***\\\""), 4);
    QVERIFY(log.contains(QString::fromUtf8("[登录成功] zhang")));
    for (const QString& secret : {password, wrong, base64(password), WexoraBase::accessdata.accesskeysecret})
        QVERIFY2(!log.contains(secret), qPrintable(secret));
}

void TestKLogin::trustedCertificateIsPinnedForLaterRequests()
{
    KTestServer server;
    QVERIFY(server.startTls());
    const QString fingerprint = opensslFingerprint(server.certificatePath());
    QVERIFY(!fingerprint.isEmpty());
    const QString endpoint = "127.0.0.1:" + QString::number(server.port());
    trustAnswer = true;
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit("https://", server.address(), KTestServer::demoUser(), KTestServer::demoPassword()));
    QTRY_COMPARE_WITH_TIMEOUT(accepted->count(), 1, 30000);

    QCOMPARE(questions.size(), 1);
    QCOMPARE(KTlsSettings::fingerprint(questions[0].certificate), fingerprint);
    QVERIFY(KLoginFlow::trustQuestionText(questions[0]).contains(fingerprint));
    QCOMPARE(modeOf(KTlsSettings::pinFilePath()), 0600);
    QCOMPARE(pinnedFingerprint(endpoint), fingerprint);
    QCOMPARE(server.stats().value("klogin"), 1);

    // A signed operation to the same server goes through on the pin alone.
    const QString body = KHttpTools::callApi(KHttpTools::apiUrlFor("@" + KTestServer::demoPersonalSpace()),
                                             {{"op", "kgetnodes"}, {"paths", "[\"@" + KTestServer::demoPersonalSpace() + "\"]"}},
                                             true);
    QCOMPARE(QJsonDocument::fromJson(body.toUtf8()).object().value("code").toInt(-1), 0);
    QCOMPARE(server.stats().value("kgetnodes"), 1);
    QCOMPARE(questions.size(), 1);
    QVERIFY(!base->todaysLog().contains(QString::fromLatin1(questions[0].certificate.toPem()).section('\n', 1, 1)));
}

void TestKLogin::refusedCertificateIsNotPinned()
{
    KTestServer server;
    QVERIFY(server.startTls());
    trustAnswer = false;
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit("https://", server.address(), KTestServer::demoUser(), KTestServer::demoPassword()));
    QTRY_VERIFY_WITH_TIMEOUT(!warnings.isEmpty(), 30000);
    QVERIFY(waitUntilIdle());

    QCOMPARE(questions.size(), 1);
    QCOMPARE(warnings, QList<QStringList>({{QString::fromUtf8("连接异常!"), "https://" + server.address() + QString::fromUtf8("无法连接!")}}));
    QCOMPARE(scripts->count(), 1);
    QVERIFY(!QFile::exists(KTlsSettings::pinFilePath()));
    QVERIFY(!KTlsSettings::isPinned("127.0.0.1", server.port(), questions[0].certificate));
    QVERIFY(WexoraBase::accessdata.accesskeyid.isEmpty());
    QCOMPARE(server.stats().value("klogin"), 0);
    QVERIFY(login->isVisible());
}

void TestKLogin::changedCertificateAsksAgain()
{
    auto first = std::make_unique<KTestServer>();
    QVERIFY(first->startTls());
    const int port = first->port();
    const QString endpoint = "127.0.0.1:" + QString::number(port);
    const QString oldFingerprint = opensslFingerprint(first->certificatePath());
    trustAnswer = true;
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit("https://", first->address(), KTestServer::demoUser(), KTestServer::demoPassword()));
    QTRY_COMPARE_WITH_TIMEOUT(accepted->count(), 1, 30000);
    QCOMPARE(pinnedFingerprint(endpoint), oldFingerprint);
    QVERIFY(first->stop());

    // Another server with its own certificate on the same port; a new start
    // of the program takes the pins from the file.
    KTestServer second;
    QVERIFY(second.startTls({"--port", QString::number(port)}));
    QCOMPARE(second.port(), port);
    const QString newFingerprint = opensslFingerprint(second.certificatePath());
    QVERIFY(newFingerprint != oldFingerprint);
    KTlsSettings::clearPins();
    QCOMPARE(KTlsSettings::loadPins(KTlsSettings::pinFilePath()), 1);
    questions.clear();
    trustAnswer = false;
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QVERIFY(submit("https://", second.address(), KTestServer::demoUser(), KTestServer::demoPassword()));
    QTRY_VERIFY_WITH_TIMEOUT(!warnings.isEmpty(), 30000);
    QVERIFY(waitUntilIdle());
    QCOMPARE(questions.size(), 1);
    QCOMPARE(KTlsSettings::fingerprint(questions[0].certificate), newFingerprint);
    QCOMPARE(accepted->count(), 0);
    QCOMPARE(second.stats().value("klogin"), 0);
    QCOMPARE(pinnedFingerprint(endpoint), oldFingerprint);

    trustAnswer = true;
    QVERIFY(submit("https://", second.address(), KTestServer::demoUser(), KTestServer::demoPassword()));
    QTRY_COMPARE_WITH_TIMEOUT(accepted->count(), 1, 30000);
    QCOMPARE(questions.size(), 2);
    QCOMPARE(readJsonFile(KTlsSettings::pinFilePath()).keys(), QStringList({endpoint}));
    QCOMPARE(pinnedFingerprint(endpoint), newFingerprint);
}

// The window's own boxes: the certificate question comes first, shows the
// fingerprint and refuses on Escape; the connection warning follows.
void TestKLogin::messageBoxesRefuseByDefault()
{
    KTestServer server;
    QVERIFY(server.startTls());
    const QString fingerprint = opensslFingerprint(server.certificatePath());
    openWindow(true, false);
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));

    QList<QStringList> boxes;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        // Recorded, never checked here: the box must close whatever it shows.
        const bool defaultIsNo = box->defaultButton() && static_cast<QAbstractButton*>(box->defaultButton()) == box->button(QMessageBox::No);
        boxes << QStringList{box->windowTitle(), box->text(), QString::number(box->standardButtons()),
                             defaultIsNo ? "default No" : "other default"};
        if (boxes.size() == 1)
            box->grab().save(KPageProbe::screenshotDir() + "/trust_question.png");
        if (box->escapeButton())
            QTest::keyClick(box, Qt::Key_Escape);
        else
            box->close();
    });
    closer.start(50);
    QVERIFY(submit("https://", server.address(), KTestServer::demoUser(), KTestServer::demoPassword()));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), 2, 30000);
    QVERIFY(waitUntilIdle());
    closer.stop();

    QCOMPARE(boxes[0][0], KLoginFlow::trustQuestionTitle());
    QVERIFY2(boxes[0][1].contains(fingerprint), qPrintable(boxes[0][1]));
    QCOMPARE(boxes[0][2].toInt(), int(QMessageBox::Yes | QMessageBox::No));
    QCOMPARE(boxes[0][3], QString("default No"));
    QCOMPARE(boxes[1].mid(0, 3), QStringList({QString::fromUtf8("连接异常!"),
                                              "https://" + server.address() + QString::fromUtf8("无法连接!"),
                                              QString::number(QMessageBox::Yes)}));
    QVERIFY(!QFile::exists(KTlsSettings::pinFilePath()));
    QCOMPARE(accepted->count(), 0);
}

void TestKLogin::hideEndsTheDialog()
{
    openWindow(false);
    QTimer::singleShot(0, login.get(), [&] {
        if (!waitForLoginData() || !probe->click("#btn-hide"))
            login->accept();
    });
    QTimer::singleShot(120000, login.get(), &QDialog::accept);
    QCOMPARE(login->exec(), int(QDialog::Rejected));
    QCOMPARE(scripts->count(), 2);
    QCOMPARE(scripts->at(1).at(0).toString(), QString(""));
}

void TestKLogin::screenshot()
{
    writeSettingsFile("zhangsan", "", QString::fromUtf8("Wexora云盘"));
    openWindow();
    QVERIFY2(waitForLoginData(), qPrintable(probe->lastError()));
    QCOMPARE(login->size(), QSize(362, 471));
    const QString path = probe->screenshot(login.get(), "login_window");
    QVERIFY2(!path.isEmpty(), qPrintable(probe->lastError()));
    const QImage image(path);
    QCOMPARE(image.size() / image.devicePixelRatio(), QSize(362, 471));
}

void TestKLogin::exitEndsTheDialog()
{
    openWindow(false);
    QTimer::singleShot(0, login.get(), [&] {
        // The exit also ends the probe's own wait, so its result says nothing.
        if (waitForLoginData())
            probe->click("#btn-exit");
        else
            login->accept();
    });
    QTimer::singleShot(120000, login.get(), &QDialog::accept);
    QCOMPARE(login->exec(), int(QDialog::Rejected));
    QVERIFY(base->todaysLog().contains("[op=doExit] "));
}

KGUI_TEST_MAIN(TestKLogin)
#include "tst_klogin.moc"
