#include "app/kjsontools.h"
#include "bridge/kjsstring.h"
#include "bridge/loginobj.h"
#include "kguitestmain.h"
#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktesthostwindow.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <memory>

namespace {

QString settingsJson(const QString& protocol, const QString& address, const QString& username,
                     const QString& password, const QString& title)
{
    return KJsonTools::toJsonText({{"address", address}, {"password", password}, {"protocol", protocol},
                                   {"title", title}, {"username", username}});
}

QString reloadScript(const QString& settings)
{
    return "loginVue.reloadData(" + KJsString::quoted(settings) + ");";
}

QString callbackScript(const QString& code, const QString& message)
{
    return "loginVue.loginCallback(" + KJsString::quoted(KJsonTools::toJsonText({{"code", code}, {"message", message}}))
           + ");";
}

QJsonObject jsonObject(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

// The login page against a stand-in for the login window that answers the
// way the window does: one script per operation or none.
class TestLoginPage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void asksForSavedDataAndFillsTheForm();
    void loginSendsTheFourFields_data();
    void loginSendsTheFourFields();
    void busyWhileTheWindowWorks();
    void refusedLoginShowsMessageInline();
    void emptyFieldsStayOnThePage();
    void awkwardUserNameSurvivesTheRoundTrip();
    void titleBarButtonsSendTheirOps();
    void screenshots();

private:
    bool openPage();
    // What the window's handler does for each operation.
    std::function<QString(const QString& param)> onLogin;

    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<KTestHostWindow> window;
    std::unique_ptr<KPageProbe> probe;
    QString saved;
};

void TestLoginPage::init()
{
    base = std::make_unique<KTestBaseDir>(true);
    saved = settingsJson("https://", "drive.example.com:8443", "zhangsan", "pw-1", "测试云盘");
    onLogin = [](const QString&) { return QString(); };
    window = std::make_unique<KTestHostWindow>(QSize(362, 471));
    window->setWindowFlags(Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    window->setHandler([this](KTestHostWindow& w, const QString& op, const QString& param) {
        if (op == "getLoginData")
            w.reply(reloadScript(saved));
        else if (op == "doLogin") {
            const QString script = onLogin(param);
            if (!script.isNull())
                w.reply(script);
        } else
            w.reply(QString(""));
    });
}

void TestLoginPage::cleanup()
{
    probe.reset();
    window.reset();
    base.reset();
}

bool TestLoginPage::openPage()
{
    window->hostPage<LoginObj>("loginobj", "/page/login.html");
    window->show();
    probe = std::make_unique<KPageProbe>(window->view());
    return probe->waitForPage() && window->waitForOp("getLoginData")
           && probe->waitFor("document.querySelector('#username').value === 'zhangsan'");
}

void TestLoginPage::asksForSavedDataAndFillsTheForm()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QCOMPARE(window->receivedOps(), QStringList({"getLoginData"}));
    QCOMPARE(window->lastParam("getLoginData"), QString(""));
    QCOMPARE(probe->value("#protocol"), QString("https://"));
    QCOMPARE(probe->value("#address"), QString("drive.example.com:8443"));
    QCOMPARE(probe->value("#password"), QString("pw-1"));
    QCOMPARE(probe->text("#product-title"), QString("测试云盘"));

    // A second answer replaces the form, an unusual protocol included.
    window->reply(reloadScript(settingsJson("ftp://", "", "", "", "")));
    QVERIFY(probe->waitFor("document.querySelector('#username').value === ''"));
    QCOMPARE(probe->value("#protocol"), QString("ftp://"));
    QCOMPARE(probe->value("#address"), QString(""));
    QCOMPARE(probe->text("#product-title"), QString("测试云盘")); // an empty title keeps the shown one
}

void TestLoginPage::loginSendsTheFourFields_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("sentProtocol");
    QTest::addColumn<QString>("sentAddress");
    QTest::newRow("plain") << "http://" << "10.0.0.5:8080" << "http://" << "10.0.0.5:8080";
    QTest::newRow("pasted scheme") << "http://" << " HTTPS://drive.example.com:8443/ " << "https://" << "drive.example.com:8443";
    QTest::newRow("path kept") << "https://" << "example.com/drive" << "https://" << "example.com/drive";
}

void TestLoginPage::loginSendsTheFourFields()
{
    QFETCH(QString, protocol);
    QFETCH(QString, typed);
    QFETCH(QString, sentProtocol);
    QFETCH(QString, sentAddress);
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->setValue("#protocol", protocol));
    QVERIFY(probe->setValue("#address", typed));
    QVERIFY(probe->setValue("#username", "李雷"));
    QVERIFY(probe->setValue("#password", "p@ss 'w\""));
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(window->waitForOp("doLogin"));
    QCOMPARE(jsonObject(window->lastParam("doLogin")),
             QJsonObject({{"protocol", sentProtocol}, {"address", sentAddress}, {"username", "李雷"},
                          {"password", "p@ss 'w\""}}));
}

void TestLoginPage::busyWhileTheWindowWorks()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    // A reply script runs before the page's call returns, so it sees the page
    // as it is while the window works; it is no login verdict, as when the
    // window has shown a message box of its own instead.
    onLogin = [](const QString&) {
        return QString("window.seenDuringLogin = [document.querySelector('#btn-login').disabled,"
                       " document.querySelector('#btn-login').textContent.trim(),"
                       " document.querySelector('#username').disabled];");
    };
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(window->waitForOp("doLogin"));
    QVERIFY(probe->waitFor("window.seenDuringLogin"));
    QCOMPARE(probe->run("window.seenDuringLogin").toList(), QVariantList({true, "正在登录…", true}));
    QVERIFY(probe->waitFor("!document.querySelector('#btn-login').disabled"));
    QCOMPARE(probe->text("#btn-login").trimmed(), QString("登录"));
    QVERIFY(!probe->exists("#login-error"));

    // Success keeps the form locked until the window closes.
    onLogin = [](const QString&) { return callbackScript("0", ""); };
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(window->waitForOp("doLogin", 2));
    QVERIFY(probe->waitFor("document.querySelector('#btn-login').textContent.trim() === '登录成功'"));
    QCOMPARE(probe->run("document.querySelector('#btn-login').disabled").toBool(), true);
    QVERIFY(probe->run("loginVue.login(); true").toBool());
    QVERIFY(probe->click("#btn-hide")); // any later op proves no third login went out before it
    QVERIFY(window->waitForOp("doHide"));
    QCOMPARE(window->count("doLogin"), 2);
}

void TestLoginPage::refusedLoginShowsMessageInline()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    onLogin = [](const QString&) { return callbackScript("1", "用户名称或密码错误 <b>'x'</b>"); };
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(window->waitForOp("doLogin"));
    QVERIFY(probe->waitFor("document.querySelector('#login-error')"));
    QCOMPARE(probe->text("#login-error").trimmed(), QString("用户名称或密码错误 <b>'x'</b>"));
    QCOMPARE(probe->run("document.querySelector('#btn-login').disabled").toBool(), false);

    // A code-1 reply without a message still says the login failed.
    onLogin = [](const QString&) { return callbackScript("1", ""); };
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(window->waitForOp("doLogin", 2));
    QVERIFY(probe->waitFor("document.querySelector('#login-error').textContent.trim() === '登录失败'"));
}

void TestLoginPage::emptyFieldsStayOnThePage()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->setValue("#address", "  "));
    QVERIFY(probe->setValue("#password", ""));
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(probe->waitFor("document.querySelector('#login-error')"));
    QCOMPARE(probe->text("#login-error").trimmed(), QString("请输入服务器地址"));
    QVERIFY(probe->exists("#address.invalid"));

    QVERIFY(probe->setValue("#address", "drive.example.com"));
    QVERIFY(probe->waitFor("!document.querySelector('#login-error')"));
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(probe->waitFor("document.querySelector('#password.invalid')"));
    QCOMPARE(probe->text("#login-error").trimmed(), QString("请输入密码"));

    QVERIFY(probe->click("#btn-exit"));
    QVERIFY(window->waitForOp("doExit"));
    QCOMPARE(window->count("doLogin"), 0);
}

void TestLoginPage::awkwardUserNameSurvivesTheRoundTrip()
{
    const QString name = "o'neil \\ \"q\"\nline2 张三";
    saved = settingsJson("http://", "h:1", name, "pw", "测试云盘");
    window->hostPage<LoginObj>("loginobj", "/page/login.html");
    window->show();
    probe = std::make_unique<KPageProbe>(window->view());
    QVERIFY2(probe->waitForPage(), qPrintable(probe->lastError()));
    QVERIFY(window->waitForOp("getLoginData"));
    QVERIFY(probe->waitFor("loginVue.username !== ''"));
    QCOMPARE(probe->run("loginVue.username").toString(), name);

    QVERIFY(probe->click("#btn-login"));
    QVERIFY(window->waitForOp("doLogin"));
    QCOMPARE(jsonObject(window->lastParam("doLogin")).value("username").toString(), name);
}

void TestLoginPage::titleBarButtonsSendTheirOps()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click("#btn-hide"));
    QVERIFY(probe->click("#btn-exit"));
    QVERIFY(window->waitForOp("doExit"));
    QCOMPARE(window->receivedOps(), QStringList({"getLoginData", "doHide", "doExit"}));
    QCOMPARE(window->lastParam("doHide"), QString(""));
    QCOMPARE(window->lastParam("doExit"), QString(""));
}

void TestLoginPage::screenshots()
{
    saved = settingsJson("https://", "drive.example.com:8443", "zhangsan", "", "Wexora云盘");
    window->hostPage<LoginObj>("loginobj", "/page/login.html");
    window->show();
    probe = std::make_unique<KPageProbe>(window->view());
    QVERIFY2(probe->waitForPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->waitFor("document.querySelector('#username').value === 'zhangsan'"));
    QCOMPARE(window->size(), QSize(362, 471));
    QVERIFY2(!probe->screenshot(window.get(), "login").isEmpty(), qPrintable(probe->lastError()));

    QVERIFY(probe->setValue("#password", "secret"));
    QVERIFY(probe->run("loginVue.state = 'busy'; true").toBool());
    QVERIFY(probe->waitFor("document.querySelector('#btn-login .spinner')"));
    QVERIFY2(!probe->screenshot(window.get(), "login-busy").isEmpty(), qPrintable(probe->lastError()));
    QVERIFY(probe->run("loginVue.state = 'idle'; true").toBool());

    onLogin = [](const QString&) { return callbackScript("1", "用户名称或密码错误"); };
    QVERIFY(probe->click("#btn-login"));
    QVERIFY(probe->waitFor("document.querySelector('#login-error')"));
    QVERIFY2(!probe->screenshot(window.get(), "login-error").isEmpty(), qPrintable(probe->lastError()));
}

KGUI_TEST_MAIN(TestLoginPage)
#include "tst_loginpage.moc"
