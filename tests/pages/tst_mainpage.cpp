#include "app/kjsontools.h"
#include "bridge/kjsstring.h"
#include "bridge/kpageoutbox.h"
#include "bridge/mainobj.h"
#include "main/kmaincommands.h"
#include "main/ktransferlist.h"
#include "sync/kpairstates.h"
#include "kfakemaindata.h"
#include "kguitestmain.h"
#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktesthostwindow.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebEngineView>
#include <QtTest>
#include <functional>
#include <memory>

namespace {

// A transfer row record as the main window sends it.
QString record(const QString& type, const QString& local, const QString& space, const QString& total)
{
    QMap<QString, QString> r;
    r.insert("local", local);
    r.insert("logid", QString::number(qHash(local), 16));
    r.insert("percent", "0");
    r.insert("readsize", "0");
    r.insert("space", space);
    r.insert("speed", "");
    r.insert("totalsize", total);
    r.insert("transfer", "0 KB");
    r.insert("type", type);
    return KJsonTools::toJsonText(r);
}

QString logidOf(const QString& local)
{
    return QString::number(qHash(local), 16);
}

QString addTransferScript(const QString& type, const QString& local, const QString& space, const QString& total)
{
    return "addTransfer(" + KJsString::quoted(record(type, local, space, total)) + ");";
}

// Double quotes and no semicolon, as the window sends it.
QString refreshScript(const QString& local, const QString& done, const QString& speed, int percent)
{
    const QChar dq('"');
    return "refreshThransferData(" + KJsString::quoted(logidOf(local), dq) + "," + KJsString::quoted(done, dq) + ","
           + KJsString::quoted(speed, dq) + "," + KJsString::quoted(QString::number(percent), dq) + ")";
}

QJsonObject jsonObject(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QString localTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm:ss");
}

// The window's script for pair states, from the states it keeps.
QString statesScript(const QString& id, const std::function<void(KPairState&)>& set)
{
    KPairState state;
    state.id = id;
    set(state);
    const QByteArray json = QJsonDocument(QJsonArray{state.toJson()}).toJson(QJsonDocument::Compact);
    return KMainCommands::pairStatesScript(QString::fromUtf8(json));
}

QString conflictsScript(const QString& pairId, const QString& local, const QString& copy, const QString& space, qint64 ms)
{
    const QJsonObject c{{"pairId", pairId}, {"local", local}, {"copy", copy}, {"space", space}, {"time", double(ms)}};
    return KMainCommands::conflictsScript(QString::fromUtf8(QJsonDocument(QJsonArray{c}).toJson(QJsonDocument::Compact)));
}

const QString pairLocal = "/home/u/文档";
const QString failedFile = "/home/u/文档/big it's.iso";

// Every script the page got in one message, as the outbox gathers them.
QString batch(const QStringList& scripts)
{
    return KPageOutbox::batchScript(scripts);
}

} // namespace

class TestMainPage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startAsksForPairsAndLog();
    void pairsAndUserAreShownLiterally();
    void addPairSendsChosenFoldersAndRefreshes();
    void refusedSaveKeepsEditorWithError();
    void editKeepsIdAndRemoveNeedsConfirmation();
    void transferRowsFollowTheirScripts();
    void sameFileQueuedTwiceMovesOneRowAtATime();
    void logPagesAppendOlderRows();
    void errorListShowsRowsOnDemand();
    void headerButtonsSendTheirOps();
    void screenshots();
    void pageFunctionsShowWhatTheySay_data();
    void pageFunctionsShowWhatTheySay();
    void actionsSendTheirOps_data();
    void actionsSendTheirOps();
    void failedScriptsLeaveTheirTextOutOfTheLog();
    void noticeGoesAwayByItself();
    void hundredThousandRowsDrawOnlyTheView();
    void keyboardReachesTheActions();
    void stateScreenshots();

private:
    bool openPage();
    bool openWithPair(const QStringList& scripts);
    QString js(const QString& script) { return probe->run(script).toString(); }

    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<KTestHostWindow> window;
    std::unique_ptr<KPageProbe> probe;
    KFakeMainData data;
    qint64 now = 0;
};

void TestMainPage::init()
{
    base = std::make_unique<KTestBaseDir>(true);
    data = KFakeMainData();
    now = QDateTime::currentMSecsSinceEpoch();
    window = std::make_unique<KTestHostWindow>(QSize(800, 600));
    window->setHandler([this](KTestHostWindow& w, const QString& op, const QString& param) {
        w.reply(data.reply(op, param)); // the main window always answers once
    });
}

void TestMainPage::cleanup()
{
    probe.reset();
    window.reset();
    base.reset();
}

bool TestMainPage::openPage()
{
    window->hostPage<MainObj>("mainobj", "/page/main.html");
    window->show();
    probe = std::make_unique<KPageProbe>(window->view());
    return probe->waitForPage() && window->waitForOp("getConfig") && window->waitForOp("queryLog");
}

bool TestMainPage::openWithPair(const QStringList& scripts)
{
    data.configs << KFakeMainData::config("c1", pairLocal, "@sp1/文档/报表", "3", now);
    if (!openPage() || !probe->waitFor("document.querySelectorAll('.pair').length === 1"))
        return false;
    for (const QString& script : scripts)
        window->reply(script);
    return true;
}

void TestMainPage::startAsksForPairsAndLog()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(window->waitForOp("queryConflicts"));
    QCOMPARE(window->receivedOps(), QStringList({"getConfig", "queryLog", "queryPairStates", "queryConflicts"}));
    QCOMPARE(window->lastParam("getConfig"), QString(""));
    QCOMPARE(jsonObject(window->lastParam("queryLog")), QJsonObject({{"time", ""}}));
    QVERIFY(probe->waitFor("document.querySelector('#tab-pairs .empty')"));
}

void TestMainPage::pairsAndUserAreShownLiterally()
{
    const QString tricky = "/home/u/it's <b>\"x\"</b> \\ 文件";
    data.configs << KFakeMainData::config("c1", tricky, "@sp1/文档/报表", "1", now - 60000)
                 << KFakeMainData::config("c2", "/home/u/photos", "@sp2/photos", "", now);
    data.userName = "李四 <i>'q'</i>";
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->waitFor("document.querySelectorAll('.pair').length === 2"));

    QCOMPARE(probe->text(".pair[data-id='c1'] .pair-local"), tricky);
    QCOMPARE(probe->text(".pair[data-id='c1'] .pair-space"), QString("@sp1/文档/报表"));
    QCOMPARE(probe->text(".pair[data-id='c1'] .pair-direction").trimmed(), QString("仅上传"));
    // Anything but 1, 2 and 3 is the older direction that only adds missing files.
    QCOMPARE(probe->text(".pair[data-id='c2'] .pair-direction").trimmed(), QString("仅补齐缺失文件"));
    QCOMPARE(probe->text("#user-name"), data.userName);
    QCOMPARE(probe->count(".pair-main b, .user i"), 0); // markup stays text
    QVERIFY(probe->text(".pair[data-id='c1'] .pair-meta").contains(localTime(now - 60000)));
}

void TestMainPage::addPairSendsChosenFoldersAndRefreshes()
{
    data.chosenLocalDir = "D:/work/it's \"here\"";
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click("#btn-add-pair"));
    QVERIFY(probe->waitFor("document.querySelector('#pair-editor')"));

    QVERIFY(probe->click("#btn-choose-local"));
    QVERIFY(window->waitForOp("openlocaldir"));
    QVERIFY(probe->waitFor("document.querySelector('#edit-local').value === " + KJsString::quoted(data.chosenLocalDir)));

    QVERIFY(probe->click("#btn-choose-space"));
    QVERIFY(window->waitForOp("selectspacedir"));
    // The server folder picker answers later, outside any handler.
    const QString space = "@sp9/项目/o'k";
    window->reply("CharpCallback_AfterSelectSpaceDir(" + KJsString::quoted(space) + "," + KJsString::quoted(space) + ")");
    QVERIFY(probe->waitFor("document.querySelector('#edit-space').value === " + KJsString::quoted(space)));

    QVERIFY(probe->run("document.querySelector('.segment input[value=\"3\"]').checked").toBool()); // two-way by default
    QVERIFY(probe->click(".segment input[value='2']"));
    QVERIFY(probe->click("#btn-save-pair"));
    QVERIFY(window->waitForOp("addSync"));
    const QJsonObject sent = jsonObject(window->lastParam("addSync"));
    QCOMPARE(sent, QJsonObject({{"id", ""}, {"localPath", data.chosenLocalDir}, {"spacePath", space},
                                {"syncType", "2"}, {"status", "1"}, {"ignoreType", "0"}}));

    QVERIFY(window->waitForOp("getConfig", 2)); // the list is fetched again after a save
    QVERIFY(probe->waitFor("!document.querySelector('#pair-editor') && document.querySelectorAll('.pair').length === 1"));
    QCOMPARE(probe->text(".pair .pair-local"), data.chosenLocalDir);
    QCOMPARE(probe->text(".pair .pair-direction").trimmed(), QString("仅下载"));
}

void TestMainPage::refusedSaveKeepsEditorWithError()
{
    data.refuseSaves = true;
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click("#btn-add-pair"));
    QVERIFY(probe->waitFor("document.querySelector('#pair-editor')"));

    // Nothing chosen yet: the page itself asks for the folders.
    QVERIFY(probe->click("#btn-save-pair"));
    QVERIFY(probe->waitFor("document.querySelector('#editor-error')"));
    QCOMPARE(probe->text("#editor-error").trimmed(), QString("请选择本地文件夹"));

    window->reply("CharpCallback_AfterSelectDir('/gone');");
    window->reply("CharpCallback_AfterSelectSpaceDir('@sp1/a.txt','@sp1/a.txt')");
    QVERIFY(probe->waitFor("document.querySelector('#edit-space').value === '@sp1/a.txt'"));
    QVERIFY(probe->click("#btn-save-pair"));
    QVERIFY(window->waitForOp("addSync"));
    QVERIFY(probe->waitFor("document.querySelector('#editor-error') && !document.querySelector('#btn-save-pair').disabled"));
    QVERIFY(probe->text("#editor-error").contains("保存失败"));
    QCOMPARE(window->count("getConfig"), 1);
    QCOMPARE(probe->count(".pair"), 0);

    // With the reason the window sends ahead of its reply, the editor shows that sentence.
    window->setHandler([this](KTestHostWindow& w, const QString& op, const QString& param) {
        if (op == "addSync")
            w.reply(KMainCommands::saveSyncRefusedScript("server-file", "保存失败：云端路径是一个文件，不是文件夹。"));
        w.reply(data.reply(op, param));
    });
    QVERIFY(probe->click("#btn-save-pair"));
    QVERIFY(window->waitForOp("addSync", 2));
    QVERIFY(probe->waitFor("document.querySelector('#editor-error').textContent.trim() === '保存失败：云端路径是一个文件，不是文件夹。'"));
}

void TestMainPage::editKeepsIdAndRemoveNeedsConfirmation()
{
    data.configs << KFakeMainData::config("c7", "/data/a", "@sp1/a", "3", now)
                 << KFakeMainData::config("c8", "/data/b", "@sp1/b", "2", now - 1000);
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->waitFor("document.querySelectorAll('.pair').length === 2"));
    QVERIFY(probe->click(".pair[data-id='c7'] .act-edit")); // a stored two-way pair stays two-way
    QVERIFY(probe->waitFor("document.querySelector('.segment input[value=\"3\"]').checked"));
    QVERIFY(probe->run("document.dispatchEvent(new KeyboardEvent('keydown', {key: 'Escape'})); true").toBool());
    QVERIFY(probe->waitFor("!document.querySelector('#pair-editor')"));

    QVERIFY(probe->click(".pair[data-id='c8'] .act-edit"));
    QVERIFY(probe->waitFor("document.querySelector('#edit-local').value === '/data/b'"));
    QVERIFY(probe->click(".segment input[value='0']"));
    QVERIFY(probe->click("#btn-save-pair"));
    QVERIFY(window->waitForOp("addSync"));
    QCOMPARE(jsonObject(window->lastParam("addSync")),
             QJsonObject({{"id", "c8"}, {"localPath", "/data/b"}, {"spacePath", "@sp1/b"},
                          {"syncType", "0"}, {"status", "1"}, {"ignoreType", "0"}}));
    QVERIFY(probe->waitFor("!document.querySelector('#pair-editor')"));

    QVERIFY(probe->click(".pair[data-id='c7'] .act-remove"));
    QVERIFY(probe->waitFor("document.querySelector('#confirm')"));
    QVERIFY(probe->click("#btn-confirm-cancel"));
    QVERIFY(probe->waitFor("!document.querySelector('#confirm')"));
    QVERIFY(probe->click(".pair[data-id='c7'] .act-remove"));
    QVERIFY(probe->run("document.dispatchEvent(new KeyboardEvent('keydown', {key: 'Escape'})); true").toBool());
    QVERIFY(probe->waitFor("!document.querySelector('#confirm')"));
    QVERIFY(probe->click(".pair[data-id='c7'] .act-remove"));
    QVERIFY(probe->waitFor("document.querySelector('#confirm')"));
    QVERIFY(probe->click("#btn-confirm-ok"));
    QVERIFY(window->waitForOp("deleteSync"));
    QCOMPARE(window->count("deleteSync"), 1);
    QCOMPARE(jsonObject(window->lastParam("deleteSync")), QJsonObject({{"id", "c7"}}));
    QVERIFY(probe->waitFor("document.querySelectorAll('.pair').length === 1"));
    QCOMPARE(probe->count(".pair[data-id='c8']"), 1);
}

void TestMainPage::transferRowsFollowTheirScripts()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    const QString up = "/home/u/报告 it's \"final\".pdf";
    const QString down = "C:\\Users\\u\\movie.mkv";
    window->reply(addTransferScript("upload", up, "@sp1/docs/报告.pdf", "3.00 MB"));
    window->reply(addTransferScript("download", down, "@sp1/movie.mkv", "1.20 GB"));
    window->reply("mainVue.RefershProgress(3,1,0,2);");
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer').length === 2"));
    QCOMPARE(probe->text("#count-upload"), QString("3"));
    QCOMPARE(probe->text("#count-download"), QString("1"));
    QCOMPARE(probe->text("#count-errors"), QString("2"));
    QCOMPARE(probe->text("#badge-errors"), QString("2"));
    QCOMPARE(probe->text("#badge-transfers"), QString("2"));

    const QString upRow = ".transfer[data-logid='" + logidOf(up) + "']";
    const QString downRow = ".transfer[data-logid='" + logidOf(down) + "']";
    QCOMPARE(probe->text(upRow + " .t-name"), QString("报告 it's \"final\".pdf"));
    QCOMPARE(probe->text(downRow + " .t-name"), QString("movie.mkv"));
    QCOMPARE(probe->text(upRow + " .t-size").simplified(), QString("0 / 3.00 MB"));
    QCOMPARE(js("document.querySelector(\"" + upRow + " .bar\").style.width"), QString("0%"));

    window->reply(refreshScript(up, "1.26 MB", "300.00 KB/s", 42));
    window->reply(refreshScript(down, "12.00 MB", "2.00 MB/s", 1));
    QVERIFY(probe->waitFor("document.querySelector(\"" + upRow + " .bar\").style.width === '42%'"));
    QCOMPARE(js("document.querySelector(\"" + downRow + " .bar\").style.width"), QString("1%"));
    QCOMPARE(probe->text(upRow + " .t-size").simplified(), QString("1.26 MB / 3.00 MB"));
    QCOMPARE(probe->text(upRow + " .t-speed"), QString("300.00 KB/s"));
    QCOMPARE(probe->text(upRow + " .t-percent"), QString("42%"));
    QCOMPARE(probe->text(upRow + " .t-status"), QString("正在上传"));

    window->reply("mainVue.RefershProgress(2,1,0,2);");
    window->reply("finishTransfer(" + KJsString::quoted(logidOf(up)) + ");");
    QVERIFY(probe->waitFor("document.querySelector(\"" + upRow + "\").classList.contains('is-done')"));
    QCOMPARE(probe->text("#count-upload"), QString("2"));
    QCOMPARE(probe->text("#badge-transfers"), QString("1"));
    QCOMPARE(probe->text(upRow + " .t-status"), QString("已结束"));
    QCOMPARE(js("document.querySelector(\"" + upRow + " .bar\").style.width"), QString("100%"));

    QVERIFY(probe->click("#btn-clear-finished"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer').length === 1"));
    QCOMPARE(probe->count(downRow), 1);
}

void TestMainPage::sameFileQueuedTwiceMovesOneRowAtATime()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    const QString file = "/data/again.bin";
    window->reply(addTransferScript("upload", file, "@sp1/again.bin", "10.00 KB"));
    window->reply(addTransferScript("upload", file, "@sp1/again.bin", "10.00 KB"));
    window->reply(refreshScript(file, "5.00 KB", "1.00 KB/s", 50));
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer.is-running').length === 1"));
    QCOMPARE(probe->count(".transfer.is-waiting"), 1);

    window->reply("finishTransfer(" + KJsString::quoted(logidOf(file)) + ");");
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer.is-done').length === 1"));
    QCOMPARE(probe->count(".transfer.is-waiting"), 1);
    window->reply("finishTransfer(" + KJsString::quoted(logidOf(file)) + ");");
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer.is-done').length === 2"));
    // A finish for a row the page never saw changes nothing.
    window->reply("finishTransfer('unknown');refreshThransferData(\"unknown\",\"1\",\"1\",\"9\")");
    window->reply("mainVue.RefershProgress(0,0,0,0);");
    QVERIFY(probe->waitFor("document.querySelector('#count-upload').textContent === '0'"));
    QCOMPARE(probe->count(".transfer"), 2);
}

void TestMainPage::logPagesAppendOlderRows()
{
    const qint64 newest = QDateTime::currentSecsSinceEpoch() - 10;
    for (int i = 0; i < 45; ++i) {
        data.logs << QStringList{QString("log%1").arg(i), QString("/sync/file%1.txt").arg(i),
                                 QString("@sp1/file%1.txt").arg(i), i % 3 ? "upload" : "download",
                                 QString::number(newest - i * 60)};
    }
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click(".tab[data-tab='logs']"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 30"));
    QCOMPARE(probe->text(".log-row[data-id='log0'] .log-time"), localTime(newest * 1000));
    QCOMPARE(probe->text(".log-row[data-id='log0'] .kind"), QString("下载"));
    QCOMPARE(probe->text(".log-row[data-id='log1'] .kind"), QString("上传"));
    QCOMPARE(probe->text(".log-row[data-id='log29'] .log-local"), QString("/sync/file29.txt"));
    QCOMPARE(probe->text(".log-row[data-id='log29'] .log-name"), QString("file29.txt"));
    QCOMPARE(probe->text(".log-row[data-id='log29'] .log-space"), QString("@sp1"));

    QVERIFY(probe->click("#btn-older-logs"));
    QVERIFY(window->waitForOp("addQueryLog"));
    QCOMPARE(jsonObject(window->lastParam("addQueryLog")),
             QJsonObject({{"time", QString::number(newest - 29 * 60)}}));
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 45"));
    QVERIFY(probe->exists("#logs-end"));
    QCOMPARE(js("document.querySelectorAll('.log-row')[44].dataset.id"), QString("log44"));

    QVERIFY(probe->click("#btn-reload-logs"));
    QVERIFY(window->waitForOp("queryLog", 2));
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 30"));
}

void TestMainPage::errorListShowsRowsOnDemand()
{
    data.errors << QStringList{"e1", "/data/big.iso", "@sp1/big.iso", "upload", QString::number(now - 5000),
                               "空间不足#@#请清理后重试"}
                << QStringList{"e2", "/data/<x>.txt", "@sp1/<x>.txt", "upload", QString::number(now), "网络错误"};
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QCOMPARE(window->count("queryErrorLog"), 0);
    QVERIFY(probe->click(".tab[data-tab='errors']"));
    QVERIFY(window->waitForOp("queryErrorLog"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.error-row').length === 2"));
    QCOMPARE(probe->text(".error-row[data-logid='e1'] .e-message"), QString("空间不足#@#请清理后重试"));
    QCOMPARE(probe->text(".error-row[data-logid='e1'] .e-time"), localTime(now - 5000));
    QCOMPARE(probe->text(".error-row[data-logid='e2'] .e-name"), QString("<x>.txt"));
    QCOMPARE(probe->text("#badge-errors"), QString("2"));

    // A changed error count refreshes the open list.
    data.errors.removeFirst();
    window->reply("mainVue.RefershProgress(0,0,0,1);");
    QVERIFY(window->waitForOp("queryErrorLog", 2));
    QVERIFY(probe->waitFor("document.querySelectorAll('.error-row').length === 1"));
}

void TestMainPage::headerButtonsSendTheirOps()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click("#btn-hide"));
    QVERIFY(window->waitForOp("doHide"));
    QCOMPARE(window->lastParam("doHide"), QString(""));

    QVERIFY(probe->click("#btn-logout"));
    QVERIFY(probe->waitFor("document.querySelector('#confirm')"));
    QVERIFY(probe->click("#btn-confirm-ok"));
    QVERIFY(window->waitForOp("doLoginOut"));

    QVERIFY(probe->click("#btn-close"));
    QVERIFY(probe->waitFor("document.querySelector('#confirm')"));
    QVERIFY(probe->click("#btn-confirm-ok"));
    QVERIFY(window->waitForOp("doClose"));
    QCOMPARE(window->receivedOps().mid(4), QStringList({"doHide", "doLoginOut", "doClose"}));
}

void TestMainPage::screenshots()
{
    data.configs << KFakeMainData::config("c1", "/home/zhangsan/文档/项目资料", "@研发部/项目资料", "0", now)
                 << KFakeMainData::config("c2", "/home/zhangsan/图片", "@个人空间/相册/2024", "1", now - 86400000)
                 << KFakeMainData::config("c3", "/home/zhangsan/下载/共享", "@市场部/共享文件", "2", now - 3 * 86400000);
    const qint64 newest = QDateTime::currentSecsSinceEpoch() - 30;
    const QStringList names{"季度报告.docx", "设计稿-v3.sketch", "会议纪要.txt", "产品演示.mp4", "预算表.xlsx"};
    for (int i = 0; i < 12; ++i) {
        const QString name = names[i % names.size()];
        data.logs << QStringList{QString("l%1").arg(i), "/home/zhangsan/文档/项目资料/" + name, "@研发部/项目资料/" + name,
                                 i % 4 ? "upload" : "download", QString::number(newest - i * 317)};
    }
    data.errors << QStringList{"e1", "/home/zhangsan/图片/IMG_2041.HEIC", "@个人空间/相册/2024/IMG_2041.HEIC", "upload",
                               QString::number(now - 120000), "云端空间不足，上传失败"};
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->waitFor("document.querySelectorAll('.pair').length === 3"));
    QVERIFY(!probe->screenshot(window.get(), "main-pairs").isEmpty());

    window->reply(addTransferScript("upload", "/home/zhangsan/文档/项目资料/季度报告.docx", "@研发部/项目资料/季度报告.docx", "2.35 MB"));
    window->reply(addTransferScript("download", "/home/zhangsan/下载/共享/产品演示.mp4", "@市场部/共享文件/产品演示.mp4", "486.20 MB"));
    window->reply(addTransferScript("upload", "/home/zhangsan/图片/IMG_2044.jpg", "@个人空间/相册/2024/IMG_2044.jpg", "3.10 MB"));
    window->reply(addTransferScript("upload", "/home/zhangsan/图片/IMG_2045.jpg", "@个人空间/相册/2024/IMG_2045.jpg", "2.96 MB"));
    window->reply(refreshScript("/home/zhangsan/文档/项目资料/季度报告.docx", "1.72 MB", "845.00 KB/s", 73));
    window->reply(refreshScript("/home/zhangsan/下载/共享/产品演示.mp4", "131.40 MB", "4.20 MB/s", 27));
    window->reply("finishTransfer(" + KJsString::quoted(logidOf("/home/zhangsan/图片/IMG_2044.jpg")) + ");");
    window->reply("mainVue.RefershProgress(14,3,0,1);");
    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer').length === 4"));
    QVERIFY(!probe->screenshot(window.get(), "main-transfers").isEmpty());

    QVERIFY(probe->click(".tab[data-tab='logs']"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 12"));
    QVERIFY(!probe->screenshot(window.get(), "main-logs").isEmpty());

    QVERIFY(probe->click(".tab[data-tab='errors']"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.error-row').length === 1"));
    QVERIFY(!probe->screenshot(window.get(), "main-errors").isEmpty());

    QVERIFY(probe->click(".tab[data-tab='pairs']"));
    QVERIFY(probe->click(".pair[data-id='c2'] .act-edit"));
    QVERIFY(probe->waitFor("document.querySelector('#pair-editor')"));
    QVERIFY(!probe->screenshot(window.get(), "main-editor").isEmpty());
}

// Each new page function, fed the exact script the window builds; each row
// lists selector and expected text pairs.
void TestMainPage::pageFunctionsShowWhatTheySay_data()
{
    QTest::addColumn<QStringList>("scripts");
    QTest::addColumn<QStringList>("checks");
    const qint64 pass = 1700000000000;
    const QString pair = ".pair[data-id='c1'] ";
    QTest::newRow("transferring, last pass")
        << QStringList{statesScript("c1", [&](KPairState& s) { s.uploads = 3; s.downloads = 2; s.lastPass = pass; })}
        << QStringList{pair + ".pair-state", "正在传输 ↑3 ↓2", pair + ".pair-last", "上次同步 " + localTime(pass)};
    QTest::newRow("comparing, never passed")
        << QStringList{statesScript("c1", [](KPairState& s) { s.comparing = true; })}
        << QStringList{pair + ".pair-state", "正在比较", pair + ".pair-last", "尚未完成同步"};
    QTest::newRow("paused") << QStringList{statesScript("c1", [](KPairState& s) { s.paused = true; })}
                            << QStringList{pair + ".pair-state", "已暂停", pair + ".act-resume", "继续"};
    QTest::newRow("failing") << QStringList{statesScript("c1", [](KPairState& s) { s.lastError = "云端空间不足 <b>x</b>"; })}
                             << QStringList{pair + ".pair-state", "同步出错", pair + ".pair-error-text", "云端空间不足 <b>x</b>"};
    QTest::newRow("deletions wait for an answer")
        << QStringList{statesScript("c1", [](KPairState& s) { s.pending = {{"a/x.txt", "b/y.txt"}, {"c/z.txt"}}; })}
        << QStringList{pair + ".pair-state", "等待确认删除", pair + ".pending-title",
                       "这次同步要删除 本地 2 个文件、云端 1 个文件，需要你确认。删除的文件会移到回收站。",
                       pair + ".pending-sample li:last-child", "c/z.txt"};
    QTest::newRow("rescanned, no deletions on this server")
        << QStringList{statesScript("c1", [](KPairState& s) { s.watch = "rescan"; s.deletionsCarried = false; })}
        << QStringList{pair + ".pair-rescan", "文件太多，超出了系统可监视的上限：此文件夹改为定期重新扫描，改动可能要过一会儿才会同步。",
                       pair + ".pair-no-deletions", "此服务器不接受删除：在一侧删除的文件不会在另一侧删除。"};
    QTest::newRow("space names") << QStringList{KMainCommands::spacesScript("[{\"id\":\"sp1\",\"name\":\"研发部 'A'\"}]")}
                                 << QStringList{pair + ".pair-space", "研发部 'A' / 文档/报表"};
    QTest::newRow("product title") << QStringList{KMainCommands::productTitleScript("O'Drive 云盘")}
                                   << QStringList{"#product-title", "O'Drive 云盘", "title", "O'Drive 云盘"};
    QTest::newRow("conflicts")
        << QStringList{statesScript("c1", [](KPairState& s) { s.conflicts = 1; }),
                       conflictsScript("c1", pairLocal + "/报告.docx", pairLocal + "/报告 (冲突副本).docx", "@sp1/文档/报表/报告.docx", pass)}
        << QStringList{pair + ".pair-conflicts", "1 个冲突", ".conflict[data-pair='c1'] .c-name", "报告.docx",
                       ".conflict .c-copy", "副本：报告 (冲突副本).docx", ".conflict .c-time", localTime(pass)};
    QTest::newRow("a failed row stays failed when its job finishes")
        << QStringList{batch({KTransferList::addTransferScript(2, failedFile, "@sp1/big.iso", 1 << 30),
                              KTransferList::failScript(failedFile, "云端空间不足"), KTransferList::finishScript(failedFile)}),
                       "mainVue.showTab('transfers')"}
        << QStringList{".transfer.is-failed .t-status", "失败：云端空间不足", "#transfer-summary .sum-failed b", "1",
                       ".transfer.is-failed .act-retry", "重试"};
    QTest::newRow("new log rows go on top")
        << QStringList{KMainCommands::newLogsScript(KFakeMainData::rowText({{"n1", "/s/new.txt", "@sp1/new.txt", "upload", "1700000000"}})),
                       "mainVue.showTab('logs')"}
        << QStringList{".log-row:first-child .log-name", "new.txt", ".log-row:first-child .log-time", localTime(pass)};
}

void TestMainPage::pageFunctionsShowWhatTheySay()
{
    QFETCH(QStringList, scripts);
    QFETCH(QStringList, checks);
    QVERIFY2(openWithPair(scripts), qPrintable(probe->lastError()));
    for (int i = 0; i + 1 < checks.size(); i += 2) {
        QVERIFY2(probe->waitFor("document.querySelector(" + KJsString::quoted(checks[i]) + ")"), qPrintable(checks[i]));
        QCOMPARE(probe->text(checks[i]).simplified(), checks[i + 1]);
    }
}

// Every new action: the button, with what brings it up, and the operation it sends.
void TestMainPage::actionsSendTheirOps_data()
{
    QTest::addColumn<QStringList>("scripts");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("op");
    QTest::addColumn<QJsonObject>("param");
    const QJsonObject pair{{"id", "c1"}};
    const QStringList failed{batch({KTransferList::addTransferScript(2, failedFile, "@sp1/big.iso", 1 << 30),
                                    KTransferList::failScript(failedFile, "没有权限")}),
                             "mainVue.showTab('transfers')"};
    const QString pending = statesScript("c1", [](KPairState& s) { s.pending = {{"a/x.txt"}, {}}; });
    QTest::newRow("sync now") << QStringList{} << ".act-sync" << "syncNow" << pair;
    QTest::newRow("pause") << QStringList{} << ".act-pause" << "pausePair" << pair;
    QTest::newRow("resume") << QStringList{statesScript("c1", [](KPairState& s) { s.paused = true; })} << ".act-resume"
                            << "resumePair" << pair;
    QTest::newRow("open the pair's folder") << QStringList{} << ".act-open" << "openFolder" << QJsonObject{{"path", pairLocal}};
    QTest::newRow("carry deletions out") << QStringList{pending} << ".act-confirm-deletions" << "confirmDeletions" << pair;
    QTest::newRow("keep the files") << QStringList{pending} << ".act-reject-deletions" << "rejectDeletions" << pair;
    QTest::newRow("retry a failed row") << failed << ".transfer .act-retry" << "retryTransfer" << QJsonObject{{"local", failedFile}};
    QTest::newRow("retry every failed file") << failed << "#btn-retry-failed" << "retryTransfer" << QJsonObject{{"local", failedFile}};
    QTest::newRow("open a row's folder") << failed << ".transfer .act-open-transfer" << "openFolder" << QJsonObject{{"path", failedFile}};
    QTest::newRow("open a conflict's folder")
        << QStringList{conflictsScript("c1", pairLocal + "/a.txt", pairLocal + "/a (冲突).txt", "@sp1/a.txt", now)}
        << ".act-open-conflict" << "openFolder" << QJsonObject{{"path", pairLocal + "/a (冲突).txt"}};
    QTest::newRow("conflicts counted: the list is asked for")
        << QStringList{statesScript("c1", [](KPairState& s) { s.conflicts = 2; })} << "" << "queryConflicts" << QJsonObject{};
}

void TestMainPage::actionsSendTheirOps()
{
    QFETCH(QStringList, scripts);
    QFETCH(QString, button);
    QFETCH(QString, op);
    QFETCH(QJsonObject, param);
    QVERIFY2(openWithPair({}), qPrintable(probe->lastError()));
    QVERIFY(window->waitForOp("queryConflicts"));
    const int before = window->count(op);
    for (const QString& script : scripts)
        window->reply(script);
    if (!button.isEmpty()) {
        QVERIFY2(probe->waitFor("document.querySelector(" + KJsString::quoted(button) + ")"), qPrintable(button));
        QVERIFY(probe->click(button));
    }
    QVERIFY(window->waitForOp(op, before + 1));
    QCOMPARE(jsonObject(window->lastParam(op)), param);
    QCOMPARE(window->count(op), before + 1);
}

// The log takes the page's console messages; a script may carry a password.
void TestMainPage::failedScriptsLeaveTheirTextOutOfTheLog()
{
    base->installLogSink();
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    window->reply("loginVue.loginCallback('{\"password\":\"hunter2-in-call\"}');");
    window->reply("mainVue.reloadData('x','hunter2-in-syntax'oops');");
    QTRY_COMPARE_WITH_TIMEOUT(base->todaysLog().count("native script failed"), 2, 10000);
    const QString log = base->todaysLog();
    QVERIFY(log.contains("native script failed: ReferenceError: loginVue is not defined"));
    QVERIFY(log.contains("native script failed: SyntaxError"));
    QVERIFY(!log.contains("hunter2"));
}

void TestMainPage::noticeGoesAwayByItself()
{
    QVERIFY2(openWithPair({}), qPrintable(probe->lastError()));
    window->reply(KMainCommands::removeSyncScript("c1"));
    QVERIFY(probe->waitFor("document.querySelector('#toast').textContent === '已删除同步文件夹'"));
    QVERIFY(probe->waitFor("!document.querySelector('#toast')"));
    QCOMPARE(probe->count(".pair"), 0);
}

// A first sync of a big folder: 100,000 waiting rows, of which the list draws
// only those in view, scrolled anywhere.
void TestMainPage::hundredThousandRowsDrawOnlyTheView()
{
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    const int total = 100000;
    for (int start = 0; start < total; start += 10000) {
        QStringList scripts;
        for (int i = start; i < start + 10000; ++i)
            scripts << KTransferList::addTransferScript(2, QString("/big/f%1.bin").arg(i), QString("@sp1/f%1.bin").arg(i), i);
        window->reply(batch(scripts));
    }
    window->reply(KTransferList::refreshScript("/big/f7.bin", 30, "1.00 MB/s", "2.00 KB"));
    QVERIFY(probe->waitFor("document.querySelector('#transfer-summary .sum-waiting b').textContent === '99999'", 30000));
    QCOMPARE(probe->text("#badge-transfers"), QString("100000"));
    QCOMPARE(probe->text(".transfer:first-child .t-name"), QString("f7.bin")); // running rows come first
    QCOMPARE(probe->text(".transfer:nth-child(2) .t-name"), QString("f0.bin"));
    QVERIFY(probe->count(".transfer") < 40);

    QVERIFY(probe->run("document.querySelector('.t-scroll').scrollTop = 1e9; true").toBool());
    QVERIFY(probe->waitFor("[...document.querySelectorAll('.transfer .t-name')].some(e => e.textContent === 'f99999.bin')"));
    QVERIFY(probe->count(".transfer") < 40);
    window->reply(KTransferList::finishScript("/big/f7.bin"));
    QVERIFY(probe->waitFor("document.querySelector('#transfer-summary .sum-done b').textContent === '1'"));

    // Most rows leave out of order; positions stay right as the lists shrink.
    QStringList finishes;
    for (int i = 0; i < total; ++i) {
        if (i != 7 && (i < 60000 || i % 2))
            finishes << KTransferList::finishScript(QString("/big/f%1.bin").arg(i));
    }
    window->reply(batch(finishes));
    QVERIFY(probe->waitFor("document.querySelector('#transfer-summary .sum-waiting b').textContent === '20000'", 30000));
    QVERIFY(probe->run("document.querySelector('.t-scroll').scrollTop = 0; true").toBool());
    QVERIFY(probe->waitFor("document.querySelector('.transfer .t-name').textContent === 'f60000.bin'"));
    QCOMPARE(probe->text(".transfer:nth-child(2) .t-name"), QString("f60002.bin"));
    QCOMPARE(probe->text("#transfer-summary .sum-done b"), QString("80000"));
    QVERIFY(probe->run("document.querySelector('.t-scroll').scrollTop = 1e9; true").toBool());
    QVERIFY(probe->waitFor("[...document.querySelectorAll('.transfer .t-name')].pop().textContent === 'f99999.bin'"));
}

// Real key presses: Tab walks the actions with a visible focus ring, Enter
// and Space act, arrows move between the tabs.
void TestMainPage::keyboardReachesTheActions()
{
    QVERIFY2(openWithPair({}), qPrintable(probe->lastError()));
    window->activateWindow();
    QWidget* keys = window->view()->focusProxy();
    keys->setFocus();
    const QString focused = "document.activeElement && document.activeElement.matches(%1)";
    bool reached = false;
    for (int i = 0; i < 30 && !reached; ++i) {
        QTest::keyClick(keys, Qt::Key_Tab);
        reached = probe->waitFor(focused.arg(KJsString::quoted(".pair .act-sync")), 300);
    }
    QVERIFY2(reached, "Tab never reached the sync button");
    const QString ring = "getComputedStyle(document.activeElement).boxShadow !== 'none'"; // rings fade in
    QVERIFY(probe->waitFor(ring));
    QTest::keyClick(keys, Qt::Key_Return);
    QVERIFY(window->waitForOp("syncNow"));

    QVERIFY(probe->run("document.querySelector('#tab-btn-pairs').focus(); true").toBool());
    QTest::keyClick(keys, Qt::Key_Right);
    QVERIFY(probe->waitFor("document.activeElement.id === 'tab-btn-transfers'"));
    QVERIFY(probe->waitFor("getComputedStyle(document.querySelector('#tab-transfers')).display !== 'none'"));
    QVERIFY(probe->waitFor(ring));
    QTest::keyClick(keys, Qt::Key_Left);
    QVERIFY(probe->waitFor("document.activeElement.id === 'tab-btn-pairs'"));

    QVERIFY(probe->run("document.querySelector('#btn-add-pair').focus(); true").toBool());
    QTest::keyClick(keys, Qt::Key_Space);
    QVERIFY(probe->waitFor("document.activeElement && document.activeElement.id === 'edit-local'"));
    QTest::keyClick(keys, Qt::Key_Escape);
    QVERIFY(probe->waitFor("!document.querySelector('#pair-editor')"));
}

void TestMainPage::stateScreenshots()
{
    const qint64 day = 86400000;
    data.configs << KFakeMainData::config("c1", "/home/zhangsan/文档/项目资料", "@dev/项目资料", "3", now)
                 << KFakeMainData::config("c2", "/home/zhangsan/图片", "@home/相册/2024", "1", now - day)
                 << KFakeMainData::config("c3", "/home/zhangsan/下载/共享", "@market/共享文件", "0", now - 3 * day);
    QVERIFY2(openPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->waitFor("document.querySelectorAll('.pair').length === 3"));
    window->reply(KMainCommands::spacesScript("[{\"id\":\"dev\",\"name\":\"研发部\"},{\"id\":\"home\",\"name\":\"个人空间\"},"
                                              "{\"id\":\"market\",\"name\":\"市场部\"}]"));
    window->reply(statesScript("c1", [&](KPairState& s) { s.uploads = 12; s.downloads = 3; s.lastPass = now - 600000; s.conflicts = 1; }));
    window->reply(statesScript("c2", [&](KPairState& s) { s.paused = true; s.lastPass = now - day; s.watch = "rescan"; }));
    window->reply(statesScript("c3", [&](KPairState& s) {
        s.lastPass = now - 2 * day;
        s.deletionsCarried = false;
        s.pending = {{"合同/2023-合同-终版.pdf", "合同/报价单.xlsx", "旧资料/说明.txt"}, {"共享/会议纪要.docx"}};
    }));
    window->reply(conflictsScript("c1", "/home/zhangsan/文档/项目资料/季度报告.docx",
                                  "/home/zhangsan/文档/项目资料/季度报告 (冲突副本 2024-05-06).docx", "@dev/项目资料/季度报告.docx", now - 300000));
    QVERIFY(probe->waitFor("document.querySelector('.pair[data-id=\"c2\"] .pair-state').textContent.includes('已暂停')"));
    QVERIFY(!probe->screenshot(window.get(), "main-pair-states").isEmpty());
    QVERIFY(probe->run("document.querySelector('.pair[data-id=\"c3\"]').scrollIntoView(); true").toBool());
    QVERIFY(!probe->screenshot(window.get(), "main-pair-confirm").isEmpty());
    QVERIFY(probe->run("document.querySelector('#conflicts').scrollIntoView(); true").toBool());
    QVERIFY(!probe->screenshot(window.get(), "main-conflicts").isEmpty());

    QStringList scripts;
    for (int i = 0; i < 100000; ++i) {
        scripts << KTransferList::addTransferScript(i % 7 ? 2 : 1, QString("/home/zhangsan/文档/项目资料/批量/图像_%1.jpg").arg(i),
                                                    QString("@dev/项目资料/批量/图像_%1.jpg").arg(i), 1800000 + i * 37);
        if (scripts.size() == 10000) {
            window->reply(batch(scripts));
            scripts.clear();
        }
    }
    scripts << KTransferList::refreshScript("/home/zhangsan/文档/项目资料/批量/图像_0.jpg", 64, "3.20 MB/s", "1.10 MB")
            << KTransferList::failScript("/home/zhangsan/文档/项目资料/批量/图像_1.jpg", "云端空间不足，上传失败")
            << KTransferList::finishScript("/home/zhangsan/文档/项目资料/批量/图像_1.jpg")
            << KTransferList::counterScript(85714, 14285, 1);
    window->reply(batch(scripts));
    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    QVERIFY(probe->waitFor("document.querySelector('#transfer-summary .sum-waiting b').textContent === '99998'", 30000));
    QVERIFY(!probe->screenshot(window.get(), "main-transfers-100k").isEmpty());
    window->resize(1100, 760);
    window->view()->resize(1100, 760);
    QVERIFY(probe->waitFor("window.innerWidth === 1100"));
    QVERIFY(!probe->screenshot(window.get(), "main-transfers-wide").isEmpty());
}

KGUI_TEST_MAIN(TestMainPage)
#include "tst_mainpage.moc"
