#include "app/klog.h"
#include "bridge/kjsstring.h"
#include "bridge/kpagehost.h"
#include "bridge/loginobj.h"
#include "bridge/mainobj.h"
#include "kguitestmain.h"
#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktesthostwindow.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QRegularExpression>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>
#include <memory>

namespace {

const QString testPage = "/page/bridge.html";
const QString pageReady = "window.channelReady === true";

// Info lines of the log that carry the given tag (the sink may quote the message).
QStringList linesTagged(const QString& log, const QString& tag)
{
    QStringList found;
    for (const QString& line : log.split("\r\n")) {
        if (line.contains(QRegularExpression("\\[Info\\] \"?\\[" + QRegularExpression::escape(tag) + "\\] ")))
            found << line;
    }
    return found;
}

// True when the line ends with the message, written plainly or quoted.
bool endsWithMessage(const QString& line, const QString& message)
{
    QString quoted;
    QDebug(&quoted) << message;
    return line.endsWith(message) || line.endsWith(quoted.trimmed());
}

} // namespace

// The bridge objects between a real page and a window wired by KPageHost.
class TestPageBridge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void hostWiresViewChannelAndBridge();
    void loginIconIsCompiledIn();
    void opsReachTheWindowUnchanged_data();
    void opsReachTheWindowUnchanged();
    void windowScriptsRunInTheGlobalScope();
    void loginObjLogsOneMaskedLinePerOp();
    void mainObjLogsNothing();

private:
    bool openPage(const QString& bridge);
    bool sendOp(const QString& op, const QString& param);

    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<KTestHostWindow> window;
    std::unique_ptr<KPageProbe> probe;
};

void TestPageBridge::init()
{
    base = std::make_unique<KTestBaseDir>(false);
    QVERIFY(QDir().mkpath(base->path() + "/page"));
    QVERIFY(QFile::copy(QStringLiteral(WEXORA_SOURCE_DIR "/tests/bridge/bridgepage.html"), base->path() + testPage));
    window = std::make_unique<KTestHostWindow>(QSize(640, 420));
}

void TestPageBridge::cleanup()
{
    probe.reset();
    window.reset();
    base.reset();
}

bool TestPageBridge::openPage(const QString& bridge)
{
    if (bridge == "login")
        window->hostPage<LoginObj>("loginobj", testPage);
    else
        window->hostPage<MainObj>("mainobj", testPage);
    window->show();
    probe = std::make_unique<KPageProbe>(window->view());
    return probe->waitForPage(pageReady);
}

bool TestPageBridge::sendOp(const QString& op, const QString& param)
{
    const int before = window->received().size();
    probe->run("sendOp(" + KJsString::quoted(op) + "," + KJsString::quoted(param) + "); true");
    return QTest::qWaitFor([&] { return window->received().size() > before; }, 10000);
}

void TestPageBridge::hostWiresViewChannelAndBridge()
{
    KTestHostWindow host(QSize(500, 300));
    const KHostedPage<MainObj> page = KPageHost::host<MainObj>(&host, "mainobj", testPage);
    QVERIFY(page.view && page.bridge);
    QCOMPARE(page.view->parent(), &host);
    QCOMPARE(page.view->size(), QSize(500, 300));
    QCOMPARE(page.bridge->parent(), &host);
    QWebChannel* channel = page.view->page()->webChannel();
    QVERIFY(channel);
    QCOMPARE(channel->parent(), page.view->page());
    QCOMPARE(channel->registeredObjects().keys(), QStringList({"mainobj"}));
    QCOMPARE(channel->registeredObjects().value("mainobj"), page.bridge);
    QTRY_COMPARE(page.view->url(), QUrl("file://" + base->path() + testPage));
    QCOMPARE(KPageHost::pageUrl("/page/main.html").toString(), "file://" + base->path() + "/page/main.html");

    // Both directions are connected: window signal -> bridge signal, bridge -> window handler.
    QSignalSpy toPage(page.bridge, &MainObj::SigSendMessageToJS);
    host.reply("x();");
    QCOMPARE(toPage.count(), 1);
    QCOMPARE(toPage.at(0).at(0).toString(), QString("x();"));
    page.bridge->JSSendMessage("op", "param");
    QCOMPARE(host.receivedOps(), QStringList({"op"}));

    host.resize(900, 700); // sized once, not kept in step
    QCOMPARE(page.view->size(), QSize(500, 300));
}

void TestPageBridge::loginIconIsCompiledIn()
{
    QVERIFY(QFile::exists(":/login/img/logo.ico"));
    const QIcon icon(":/login/img/logo.ico");
    QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
    QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
    QVERIFY(!icon.pixmap(32).isNull());
}

void TestPageBridge::opsReachTheWindowUnchanged_data()
{
    QTest::addColumn<QString>("bridge");
    QTest::newRow("LoginObj") << "login";
    QTest::newRow("MainObj") << "main";
}

void TestPageBridge::opsReachTheWindowUnchanged()
{
    QFETCH(QString, bridge);
    QVERIFY2(openPage(bridge), qPrintable(probe->lastError()));
    const QList<KPageOp> cases{
        {"getConfig", ""},
        {"addSync", "{\"id\":\"\",\"localPath\":\"C:\\\\dir\\\\it's \\\"x\\\"\",\"spacePath\":\"@s/a\"}"},
        {"quote'op\"", "it's a \"test\""},
        {"back\\slash", "a\\b\\\\c\\"},
        {"lines", "one\ntwo\r\nthree\tfour"},
        {"中文操作", "云盘 文件夹 ✓"},
        {"", "</script><b>x</b>"},
    };
    for (const KPageOp& sent : cases) {
        QVERIFY2(sendOp(sent.op, sent.param), qPrintable(sent.op));
        QCOMPARE(window->received().last().op, sent.op);
        QCOMPARE(window->received().last().param, sent.param);
    }
    QCOMPARE(window->received().size(), cases.size());
}

void TestPageBridge::windowScriptsRunInTheGlobalScope()
{
    QVERIFY2(openPage("main"), qPrintable(probe->lastError()));
    const QString text = "it's \"quoted\" \\ back\nline 中文 </script>";
    window->reply("var fromWindow = " + KJsString::quoted(text) + ";");
    QVERIFY(probe->waitFor("typeof fromWindow !== 'undefined'"));
    QCOMPARE(probe->run("fromWindow").toString(), text);

    // An empty script and one without a closing semicolon, as the windows send them.
    window->reply("");
    window->reply("function calledByName(a, b) { window.got = a + '|' + b; }");
    window->reply("calledByName(\"x\",\"y\")");
    QVERIFY(probe->waitFor("window.got === 'x|y'"));
    QCOMPARE(probe->run("scripts.length").toInt(), 4);
    QCOMPARE(probe->run("scripts[1]").toString(), QString(""));
    QCOMPARE(probe->run("scriptErrors.length").toInt(), 0);
}

void TestPageBridge::loginObjLogsOneMaskedLinePerOp()
{
    base->installLogSink();
    QVERIFY2(openPage("login"), qPrintable(probe->lastError()));
    const QString login = "{\"protocol\":\"https://\",\"address\":\"drive.example.com\",\"username\":\"u1\",\"password\":\"s3cr3t!\"}";
    QVERIFY(sendOp("doLogin", login));
    QVERIFY(sendOp("getLoginData", ""));
    QVERIFY(sendOp("note", "password=hunter2"));
    QVERIFY(sendOp("中文", "参数 it's"));

    // The window still gets the password; only the log is masked.
    QCOMPARE(window->received().first().param, login);
    const QString log = base->todaysLog();
    QVERIFY(!log.contains("s3cr3t!"));
    QVERIFY(!log.contains("hunter2"));
    const QStringList loginLines = linesTagged(log, "doLogin");
    QCOMPARE(loginLines.size(), 1);
    QVERIFY2(endsWithMessage(loginLines[0],
                 "[doLogin] {\"address\":\"drive.example.com\",\"password\":\"***\",\"protocol\":\"https://\",\"username\":\"u1\"}"),
             qPrintable(loginLines[0]));
    QCOMPARE(linesTagged(log, "getLoginData").size(), 1);
    QVERIFY(endsWithMessage(linesTagged(log, "getLoginData")[0], "[getLoginData] "));
    QCOMPARE(linesTagged(log, "note").size(), 1);
    QVERIFY(endsWithMessage(linesTagged(log, "note")[0], "[note] ***"));
    QCOMPARE(linesTagged(log, "中文").size(), 1);
    QVERIFY(endsWithMessage(linesTagged(log, "中文")[0], "[中文] 参数 it's"));
}

void TestPageBridge::mainObjLogsNothing()
{
    base->installLogSink();
    QVERIFY2(openPage("main"), qPrintable(probe->lastError()));
    QVERIFY(sendOp("getConfig", "marker-7f3a"));
    KLog::info("after", "sink works");
    const QString log = base->todaysLog();
    QVERIFY(log.contains("[after] sink works"));
    QVERIFY(!log.contains("marker-7f3a"));
    QVERIFY(linesTagged(log, "getConfig").isEmpty());
}

KGUI_TEST_MAIN(TestPageBridge)
#include "tst_pagebridge.moc"
