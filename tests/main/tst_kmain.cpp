#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/kmainwindow.h"
#include "bridge/kjsstring.h"
#include "bridge/mainobj.h"
#include "dialogs/kspacetreedialog.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"
#include "main/kmain.h"
#include "main/kmaincommands.h"
#include "main/ktransferfailure.h"
#include "store/kfilesyncdatabase.h"
#include "store/ktransfersettings.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/kpairstates.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kuploadmanager.h"

#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"

#include <QAction>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QWebEngineView>
#include <QtTest>
#include <functional>
#include <memory>

namespace {

QStringList texts(const QSignalSpy& spy)
{
    QStringList all;
    for (const QList<QVariant>& call : spy)
        all.append(call.value(0).toString());
    return all;
}

bool anyStartsWith(const QSignalSpy& spy, const QString& prefix)
{
    for (const QString& text : texts(spy)) {
        if (text.startsWith(prefix))
            return true;
    }
    return false;
}

QTreeWidgetItem* childNamed(QTreeWidgetItem* parent, const QString& name)
{
    for (int i = 0; i < parent->childCount(); ++i) {
        if (parent->child(i)->text(0) == name)
            return parent->child(i);
    }
    return nullptr;
}

} // namespace

// The real main window with the real page, store and picker, against the
// reference drive server.
class TestKMain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowTrayAndPicker();
    void operationsAnswerOnceThroughTheBridge();
    void pairAddedThroughThePageIsListed();
    void transferSlotsSendRowsAndCounters();
    void pageFollowsTransfersAndPagesTheLog();
    void rowsSentBeforeThePageConnectsReachIt();
    void threadsStartAfterWhatTheyReach();
    void trayAndApplicationActivation();
    void trayFollowsTransfersAndTellsWhatNeedsTheUser();
    void finishedTransfersBringTheirLogRows();
    void unopenableDatabaseStopsTheStart();
    void screenshots();
    void endingTheLoop_data();
    void endingTheLoop();

private:
    bool openWindow();
    void insertLog(const QString& id, qint64 seconds);
    QString makeLocalDir(const QString& name);
    void clickItem(QTreeWidgetItem* item);

    KTestServer server;
    QString spaceId;
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QTemporaryDir> localRoot;
    std::unique_ptr<KMain> window;
    std::unique_ptr<KPageProbe> probe;
    QString chosenLocal;
};

void TestKMain::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    spaceId = KTestServer::demoPersonalSpace();
    QVERIFY(server.makeFolder(spaceId, "docs"));
    QVERIFY(server.makeFolder(spaceId, "photos/2024"));
    QVERIFY(server.putFile(spaceId, "readme.txt", "r"));
    WexoraBase::accessdata.username = "王'五";
}

void TestKMain::init()
{
    base = std::make_unique<KTestBaseDir>(true);
    localRoot = std::make_unique<QTemporaryDir>();
    KLoginControl::WexoraTitle = "Wexora云盘";
    KConstant::ErrorMap.clear();
    KUploadManager::uploadQueue.clear();
    KInflightJobs::clear();
    KDownloadManager::downloadQueue.clear();
    chosenLocal.clear();
}

void TestKMain::cleanup()
{
    probe.reset();
    window.reset();
    localRoot.reset();
    base.reset();
}

bool TestKMain::openWindow()
{
    window = std::make_unique<KMain>();
    window->setLocalDirPresenter([this] { return chosenLocal; });
    QSignalSpy replies(window.get(), &KMain::SigSendMessageToJS);
    window->show();
    probe = std::make_unique<KPageProbe>(window->webView);
    // Once its channel is open the page asks for the pairs and the log.
    return probe->waitForPage()
           && QTest::qWaitFor([&] { return anyStartsWith(replies, "mainVue.CSharpCallback_QueryLogs("); }, 15000);
}

void TestKMain::insertLog(const QString& id, qint64 seconds)
{
    QSqlQuery sql(QSqlDatabase::database(KFileSyncDatabase::connectionName()));
    sql.prepare("insert into k_driver_sync_logs(pk_id,tx_localpath,tx_spacepath,tx_type,l_time) values(?,?,?,?,?)");
    sql.addBindValue(id);
    sql.addBindValue("/sync/" + id + ".txt");
    sql.addBindValue("@" + spaceId + "/docs/" + id + ".txt");
    sql.addBindValue("upload");
    sql.addBindValue(seconds);
    QVERIFY(sql.exec());
}

QString TestKMain::makeLocalDir(const QString& name)
{
    const QString path = localRoot->path() + "/" + name;
    return QDir().mkpath(path) ? path : QString();
}

void TestKMain::clickItem(QTreeWidgetItem* item)
{
    QTreeWidget* tree = item->treeWidget();
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

void TestKMain::windowTrayAndPicker()
{
    KLoginControl::WexoraTitle = "测试云盘";
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    KLoginControl::WexoraTitle = "改过的标题";

    QCOMPARE(KMain::KMainWindow, window.get());
    QVERIFY(window->isUsable());
    QCOMPARE(window->objectName(), QString("KMain"));
    QCOMPARE(window->size(), QSize(800, 600));
    QCOMPARE(window->windowTitle(), QString("测试云盘")); // the title as the window was made
    // Qt adds the system menu hint to a customised title bar with buttons.
    QCOMPARE(int(window->windowFlags() & 0x0A005001), 0x0A005001);
    // The page fills the window at any size.
    QVERIFY(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    window->resize(1024, 700);
    QTRY_COMPARE(window->webView->size(), QSize(1024, 700));
    QVERIFY(probe->waitFor("window.innerWidth === 1024 && window.innerHeight === 700"));
    QVERIFY(probe->waitFor("document.querySelector('#product-title').textContent === '测试云盘'"));
    window->resize(800, 600);

    // The title as the icon was made, then what the client is doing.
    QCOMPARE(window->trayIcon->toolTip(), QString("测试云盘\n已同步，没有待传输的文件"));
    QVERIFY(!window->trayIcon->icon().isNull());
    QCOMPARE(window->trayIcon->contextMenu(), window->trayIconMenu);
    QStringList entries;
    for (QAction* action : window->trayIconMenu->actions())
        entries << action->text();
    QCOMPARE(entries, QStringList({"打开主界面", "注销", "退出"}));
    QCOMPARE(window->trayIconMenu->actions(),
             QList<QAction*>({window->openMainAction, window->loginOutAction, window->exitAction}));

    KSpaceTreeDialog* picker = window->spaceTreeDialog;
    QVERIFY(picker);
    QCOMPARE(picker->parent(), window.get());
    QCOMPARE(picker->windowTitle(), QString("选择文件夹"));
    QVERIFY(!picker->isVisible());
    auto* tabs = picker->findChild<QTabWidget*>("spaceWidget");
    QCOMPARE(tabs->count(), WexoraBase::accessdata.spaces.size());
    QCOMPARE(tabs->tabText(0), WexoraBase::accessdata.spaces.first().spacename);

    QVERIFY(window->uploadThread && window->uploadThread->isRunning());
    QVERIFY(window->downloadThread && window->downloadThread->isRunning());
    QVERIFY(window->fileSyncThread && window->fileSyncThread->isRunning());
    QVERIFY(window->fileSyncOnceThread && window->fileSyncOnceThread->isRunning());
    QCOMPARE(KUploadManager::uploadManager, window->uploadThread);
    QCOMPARE(KDownloadManager::downloadManager, window->downloadThread);
    QCOMPARE(window->uploadThread->thread(), QCoreApplication::instance()->thread());
    QCOMPARE(window->networkManager->parent(), window.get());
    QCOMPARE(window->webView->parent(), window.get());
    QCOMPARE(window->mainObj->parent(), window.get());
    QTRY_COMPARE(window->webView->size(), QSize(800, 600));
    QCOMPARE(window->webView->url(), QUrl("file://" + base->path() + "/page/main.html"));

    window.reset();
    QCOMPARE(KMain::KMainWindow, nullptr);
}

void TestKMain::operationsAnswerOnceThroughTheBridge()
{
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    const QString user = WexoraBase::accessdata.userid;
    const QString refusedSync = "{\"id\":\"\",\"localPath\":\"/no/such\",\"spacePath\":\"@" + spaceId
                                + "/docs\",\"syncType\":\"0\",\"status\":\"1\",\"ignoreType\":\"0\"}";
    struct Case
    {
        QString op;
        QString param;
        QString chosen;
        QString expected;
        QString before = QString(); // a script the operation sends ahead of its reply
    };
    const QList<Case> cases{
        {"doHide", "", "", ""},
        {"selectspacedir", "", "", ""},
        {"doSomething", "{}", "", ""},
        {"getconfig", "", "", ""},
        {"openlocaldir", "", "", ""},
        {"openlocaldir", "", "/home/u/it's", "CharpCallback_AfterSelectDir('/home/u/it\\'s');"},
        {"getConfig", "", "", "mainVue.reloadData('[]','" + KJsString::escape(user) + "','王\\'五');"},
        {"queryErrorLog", "", "", "mainVue.CSharpCallback_ShowErrorLog('[]');"},
        {"queryLog", "{\"time\":\"\"}", "", "mainVue.CSharpCallback_QueryLogs('[]');"},
        {"addQueryLog", "{\"time\":\"99\"}", "", "mainVue.CSharpCallback_AddQueryLogs('[]');"},
        {"deleteSync", "{\"id\":\"c'1\"}", "", "mainVue.CSharpCallback_doRemoveSync('c\\'1');"},
        {"addSync", refusedSync, "", "mainVue.CSharpCallback_saveSyncConfig(1,'');",
         "mainVue.CSharpCallback_saveSyncRefused('local-missing','保存失败：本地文件夹不存在。');"},
    };
    for (const Case& c : cases) {
        chosenLocal = c.chosen;
        QSignalSpy replies(window.get(), &KMain::SigSendMessageToJS);
        window->mainObj->JSSendMessage(c.op, c.param);
        const QStringList expected = c.before.isEmpty() ? QStringList{c.expected} : QStringList{c.before, c.expected};
        QCOMPARE(texts(replies), expected);
    }
    QVERIFY(window->spaceTreeDialog->isVisible());
    QTRY_VERIFY(window->isMinimized());
}

void TestKMain::pairAddedThroughThePageIsListed()
{
    chosenLocal = makeLocalDir("it's mine");
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    QVERIFY(probe->click("#btn-add-pair"));
    QVERIFY(probe->waitFor("!!document.querySelector('#pair-editor')"));

    QVERIFY(probe->click("#btn-choose-local"));
    QVERIFY(probe->waitFor("document.querySelector('#edit-local').value === " + KJsString::quoted(chosenLocal)));

    // The picker answers later, outside the page's operation.
    QVERIFY(probe->click("#btn-choose-space"));
    const QString spaceName = WexoraBase::accessdata.spaces.first().spacename;
    KSpaceTreeDialog* picker = window->spaceTreeDialog;
    QTRY_VERIFY(picker->isVisible());
    auto* tree = qobject_cast<QTreeWidget*>(picker->findChild<QTabWidget*>("spaceWidget")->widget(0));
    QTreeWidgetItem* docs = childNamed(tree->topLevelItem(0), "docs");
    QVERIFY(docs);
    clickItem(docs);
    QSignalSpy replies(window.get(), &KMain::SigSendMessageToJS);
    QTest::mouseClick(picker->findChild<QPushButton*>("okButton"), Qt::LeftButton);
    const QString folder = "@" + spaceId + "/docs";
    QCOMPARE(texts(replies), QStringList({"CharpCallback_AfterSelectSpaceDir('" + folder + "','" + folder + "')"}));
    QVERIFY(!picker->isVisible());
    // The folder is shown by its space's name; the path itself is what is saved.
    QVERIFY(probe->waitFor("document.querySelector('#edit-space').value === " + KJsString::quoted(spaceName + " / docs")));
    QCOMPARE(probe->run("document.querySelector('#edit-space').dataset.path").toString(), folder);

    QVERIFY(probe->click(".segment input[value='2']"));
    QVERIFY(probe->click("#btn-save-pair"));
    QVERIFY(probe->waitFor("!document.querySelector('#pair-editor') && document.querySelectorAll('.pair').length === 1"));
    QCOMPARE(probe->text(".pair .pair-local"), chosenLocal);
    QCOMPARE(probe->text(".pair .pair-space"), spaceName + " / docs");

    // The store got status, ignore type and sync type in their own columns.
    const QList<QStringList> rows = KFileSyncDatabase().getSyncConfigs();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().mid(1, 5), QStringList({chosenLocal, folder, "1", "0", "2"}));
    QTRY_COMPARE(replies.count(), 3); // the pick, the save, the list fetched again
    QCOMPARE(texts(replies).at(1), "mainVue.CSharpCallback_saveSyncConfig(0,'{\"id\":\"" + rows.first().first()
                                       + "\",\"ignoreType\":\"0\",\"localPath\":\"" + KJsString::escape(chosenLocal)
                                       + "\",\"spacePath\":\"" + folder + "\",\"status\":\"1\",\"syncType\":\"2\"}');");
}

void TestKMain::transferSlotsSendRowsAndCounters()
{
    base->installLogSink();
    // One upload thread and one download: the test stops them both below.
    KFileSyncDatabase().initDatabase();
    KTransferSettings::setUploadJobs(1);
    KTransferSettings::setDownloadJobs(1);
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    // The counters read the shared queues: keep the window's consumers away from them.
    window->uploadThread->stop();
    window->downloadThread->stop();
    QVERIFY(window->uploadThread->wait(30000));
    QVERIFY(window->downloadThread->wait(30000));
    KUploadManager::uploadQueue.append(KUploadInfo{"/u/1", "@s/u/1", 1, QString()});
    KUploadManager::uploadQueue.append(KUploadInfo{"/u/2", "@s/u/2", 1, QString()});
    KDownloadManager::downloadQueue.append(KDownloadInfo{"/d/1", "@s/d/1", 5, "h"});
    KConstant::ErrorMap.replace("/e/1", {"k", "/e/1", "@s/e/1", "upload", "1", "x"});
    QSignalSpy replies(window.get(), &KMain::SigSendMessageToJS);
    const QString id = "49dadc3116d8c559503ba9a9a63b3b5e"; // md5 of "/home/u/a.txt"

    window->addFileItem(1, "/home/u/a.txt", "@s/a.txt", -1);
    window->refreshProgress(1, "/home/u/a.txt", 42, "1.00 KB/s", "2.00 KB");
    KUploadManager::uploadQueue.clear();
    window->deleteFileItem(1, "/home/u/a.txt");
    QCOMPARE(texts(replies),
             QStringList({"addTransfer('{\"local\":\"/home/u/a.txt\",\"logid\":\"" + id
                              + "\",\"percent\":\"0\",\"readsize\":\"0\",\"space\":\"@s/a.txt\",\"speed\":\"\","
                                "\"totalsize\":\"0\",\"transfer\":\"0 KB\",\"type\":\"download\"}');",
                          "mainVue.RefershProgress(2,1,0,1);",
                          "refreshThransferData(\"" + id + "\",\"2.00 KB\",\"1.00 KB/s\",\"42\")",
                          "mainVue.RefershProgress(0,1,0,1);", "finishTransfer('" + id + "');"}));
    const QString log = base->todaysLog();
    QVERIFY(log.contains("[KMain::refreshProgress] 42"));
    QVERIFY(log.contains("\"1.00 KB/s2.00 KB\""));
    QVERIFY(log.contains("[KMain::deleteFileItem] /home/u/a.txt"));

    QCOMPARE(KMain::logId("/home/u/a.txt"), id);
    QCOMPARE(KMain::logId("/d/云盘.txt"), KMain::logId("/d/文件.txt"));
    QCOMPARE(KMain::sizeText(-5), QString("0"));
    QCOMPARE(KMain::sizeText(1023), QString("1023 bytes"));
    QCOMPARE(KMain::sizeText(1024), QString("1.00 KB"));
    QCOMPARE(KMain::sizeText(1048576), QString("1.00 MB"));
    QCOMPARE(KMain::sizeText(1073741824), QString("1.00 GB"));
}

void TestKMain::pageFollowsTransfersAndPagesTheLog()
{
    KFileSyncDatabase().initDatabase(); // this test's database, before the window opens it
    const qint64 newest = QDateTime::currentSecsSinceEpoch() - 60;
    for (int i = 0; i < 45; ++i)
        insertLog(QString("log%1").arg(i, 2, 10, QChar('0')), newest - i * 10);
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));

    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    const QString up = "/home/u/报告 it's.pdf";
    const QString down = "/home/u/movie.mkv";
    window->addFileItem(2, up, "@" + spaceId + "/docs/报告.pdf", 3 * 1048576);
    window->addFileItem(1, down, "@" + spaceId + "/movie.mkv", 1288490188);
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer').length === 2"));
    const QString upRow = ".transfer[data-logid='" + KMain::logId(up) + "']";
    QCOMPARE(probe->text(upRow + " .t-name"), QString("报告 it's.pdf"));
    QCOMPARE(probe->text(upRow + " .t-size").simplified(), QString("0 / 3.00 MB"));

    window->refreshProgress(2, up, 42, "300.00 KB/s", "1.26 MB");
    QVERIFY(probe->waitFor("document.querySelector(\"" + upRow + " .bar\").style.width === '42%'"));
    QCOMPARE(probe->text(upRow + " .t-speed"), QString("300.00 KB/s"));
    QCOMPARE(probe->text(upRow + " .t-status"), QString("正在上传"));

    KConstant::ErrorMap.replace("/e/1", {"k", "/e/1", "@s/e/1", "upload", "1", "x"});
    window->deleteFileItem(2, up);
    QVERIFY(probe->waitFor("document.querySelector(\"" + upRow + "\").classList.contains('is-done')"));
    QCOMPARE(probe->text("#count-errors"), QString("1"));
    QCOMPARE(probe->text(upRow + " .t-status"), QString("已结束"));

    QVERIFY(probe->click(".tab[data-tab='logs']"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 30"));
    QVERIFY(probe->click("#btn-older-logs"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 45"));
    QCOMPARE(probe->run("document.querySelectorAll('.log-row')[44].dataset.id").toString(), QString("log44"));
}

void TestKMain::rowsSentBeforeThePageConnectsReachIt()
{
    window = std::make_unique<KMain>();
    // The page has not even loaded yet.
    window->addFileItem(2, "/home/u/early-row.txt", "@s/early-row.txt", 10);
    window->show();
    probe = std::make_unique<KPageProbe>(window->webView);
    QVERIFY2(probe->waitForPage(), qPrintable(probe->lastError()));
    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    QVERIFY(probe->waitFor("document.body.innerText.includes('early-row.txt')"));
}

// A pair saved before the window exists is compared as soon as the threads
// run, while the picker still waits for slow listings: the download it hands
// over must find the window complete.
void TestKMain::threadsStartAfterWhatTheyReach()
{
    KFileSyncDatabase store;
    store.initDatabase();
    const QString localDir = makeLocalDir("early");
    QVERIFY(server.putFile(spaceId, "early/e.txt", "early bytes"));
    QVERIFY(!store.addSyncConfig("", localDir, "@" + spaceId + "/early", "1", "0", "0").isEmpty());
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "delay"}, {"delayMs", 700}, {"times", 0}}));
    const bool opened = openWindow();
    QVERIFY(server.clearFaults());
    QVERIFY2(opened, qPrintable(probe->lastError()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(localDir + "/e.txt"), 30000);
    QFile placed(localDir + "/e.txt");
    QVERIFY(placed.open(QIODevice::ReadOnly));
    QCOMPARE(placed.readAll(), QByteArray("early bytes"));
    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    QVERIFY(probe->waitFor("document.body.innerText.includes('e.txt')"));
}

void TestKMain::trayAndApplicationActivation()
{
    QEvent activate(QEvent::ApplicationActivate);
    QVERIFY(!KMain::KMainWindow);
    QCoreApplication::sendEvent(qApp, &activate); // nothing to restore yet

    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    window->hide();
    window->iconActivated(QSystemTrayIcon::Context);
    window->iconActivated(QSystemTrayIcon::MiddleClick);
    QVERIFY(!window->isVisible());
    window->iconActivated(QSystemTrayIcon::Trigger);
    QVERIFY(window->isVisible());

    window->mainObj->JSSendMessage("doHide", "");
    QTRY_VERIFY(window->isMinimized());
    window->iconActivated(QSystemTrayIcon::DoubleClick);
    QTRY_VERIFY(window->isVisible() && !window->isMinimized());

    window->hide();
    window->openMainAction->trigger();
    QVERIFY(window->isVisible());

    window->showMinimized();
    QTRY_VERIFY(window->isMinimized());
    QCoreApplication::sendEvent(qApp, &activate);
    QTRY_VERIFY(window->isVisible() && !window->isMinimized());
    window->hide();
    QCoreApplication::sendEvent(qApp, &activate);
    QVERIFY(window->isVisible());
}

// Idle, syncing with progress, error; a notification for a failure the user
// must act on (once) and for a new conflict, none for a passing failure.
void TestKMain::trayFollowsTransfersAndTellsWhatNeedsTheUser()
{
    KFileSyncDatabase store;
    store.initDatabase();
    const QString folder = makeLocalDir("冲突");
    // Paused: no pass of the engine's own comes in between.
    QVERIFY(!store.addSyncConfig("", folder, "@" + spaceId + "/docs", "0", "0", "3").isEmpty());
    const QString pairId = store.getSyncConfigs().value(0).value(0);
    KLoginControl::WexoraTitle = "托盘云盘";
    KPairStates::instance().clear();
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    window->uploadThread->stop();
    window->downloadThread->stop();
    QVERIFY(window->uploadThread->wait(30000) && window->downloadThread->wait(30000));
    QSignalSpy messages(window.get(), &KMain::trayMessage);
    const qint64 idleIcon = window->trayIcon->icon().cacheKey();
    QCOMPARE(window->trayIcon->toolTip(), QString("托盘云盘\n已同步，没有待传输的文件"));

    window->addFileItem(2, "/u/a.txt", "@s/a.txt", 2048);
    window->addFileItem(2, "/u/b.txt", "@s/b.txt", 2048);
    window->deleteFileItem(2, "/u/a.txt");
    QTRY_COMPARE(window->trayIcon->toolTip(), QString("托盘云盘\n正在同步：1/2 个文件，2.00 KB / 4.00 KB"));
    const qint64 syncingIcon = window->trayIcon->icon().cacheKey();
    QVERIFY(syncingIcon != idleIcon);

    window->failFileItem(2, "/u/b.txt", "申请上传无响应");          // passes by itself: no notification
    window->failFileItem(2, "/u/b.txt", "云端空间不足，上传失败");    // a second report of the same file
    window->deleteFileItem(2, "/u/b.txt");
    QTRY_COMPARE(window->trayIcon->toolTip(), QString("托盘云盘\n1 个文件传输失败"));
    QVERIFY(window->trayIcon->icon().cacheKey() != syncingIcon);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QString("托盘云盘"));
    QCOMPARE(messages.at(0).at(1).toString(), KTransferFailure::notice(KFailureKind::NoSpace) + "\nb.txt");
    window->addFileItem(2, "/u/c.txt", "@s/c.txt", 1);
    window->failFileItem(2, "/u/c.txt", "空间不足");
    QCOMPARE(messages.count(), 1); // not again so soon

    KPairStates::instance().passEnded(pairId, QString(), 2);
    QTRY_COMPARE(messages.count(), 2);
    QVERIFY(messages.at(1).at(1).toString().contains(folder));
    QVERIFY(probe->waitFor("document.querySelector('.pair .pair-conflicts').textContent.trim() === '2 个冲突'"));
    KPairStates::instance().clear();
}

void TestKMain::finishedTransfersBringTheirLogRows()
{
    KFileSyncDatabase().initDatabase();
    const qint64 newest = QDateTime::currentSecsSinceEpoch() - 60;
    insertLog("older", newest - 10);
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    QVERIFY(probe->click(".tab[data-tab='logs']"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 1"));
    QSignalSpy replies(window.get(), &KMain::SigSendMessageToJS);

    insertLog("fresh", newest);
    window->deleteFileItem(2, "/sync/fresh.txt");
    QVERIFY(probe->waitFor("document.querySelectorAll('.log-row').length === 2"));
    QCOMPARE(probe->run("document.querySelector('.log-row').dataset.id").toString(), QString("fresh"));
    const QString expected = KMainCommands::newLogsScript(
        KMainCommands::rowsToText({{"fresh", "/sync/fresh.txt", "@" + spaceId + "/docs/fresh.txt", "upload", QString::number(newest)},
                                   {"older", "/sync/older.txt", "@" + spaceId + "/docs/older.txt", "upload", QString::number(newest - 10)}}));
    QVERIFY(texts(replies).contains(expected));
}

void TestKMain::unopenableDatabaseStopsTheStart()
{
    QFile blocker(base->path() + "/db");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QStringList shown;
    KMain broken(nullptr, [&shown](const QString& title, const QString& text) {
        shown << title << text;
        // A real message box activates the application while it is up.
        QEvent activate(QEvent::ApplicationActivate);
        QCoreApplication::sendEvent(qApp, &activate);
    });
    QCOMPARE(shown.size(), 2);
    QCOMPARE(KMain::KMainWindow, nullptr);
    QCOMPARE(shown[0], QString("Wexora云盘"));
    QVERIFY2(shown[1].contains(base->path() + "/db/wexoradriver.db"), qPrintable(shown[1]));
    QVERIFY(!broken.isUsable());
    QVERIFY(!broken.webView && !broken.spaceTreeDialog && !broken.syncDatabase && !broken.networkManager);
    QVERIFY(!broken.trayIcon->isVisible());

    // Would end the loop with 7 if the loop ran.
    QTimer loopRan;
    loopRan.setSingleShot(true);
    connect(&loopRan, &QTimer::timeout, [] { QCoreApplication::exit(7); });
    loopRan.start(0);
    QCOMPARE(broken.runEventLoop(), 0);
    QVERIFY(!broken.isVisible());
}

void TestKMain::screenshots()
{
    KFileSyncDatabase store;
    store.initDatabase();
    const QString folder = "@" + spaceId;
    QVERIFY(!store.addSyncConfig("", makeLocalDir("项目资料"), folder + "/docs", "1", "0", "0").isEmpty());
    QVERIFY(!store.addSyncConfig("", makeLocalDir("图片"), folder + "/photos", "1", "0", "1").isEmpty());
    QVERIFY(!store.addSyncConfig("", makeLocalDir("相册 2024"), folder + "/photos/2024", "1", "0", "2").isEmpty());
    const qint64 newest = QDateTime::currentSecsSinceEpoch() - 60;
    for (int i = 0; i < 6; ++i)
        insertLog(QString("季度报告-%1").arg(i), newest - i * 317);
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    QVERIFY(probe->waitFor("document.querySelectorAll('.pair').length === 3"));

    const QString docs = localRoot->path() + "/项目资料/";
    KUploadManager::uploadQueue.append(KUploadInfo{docs + "预算表.xlsx", folder + "/docs/预算表.xlsx", 88000, QString()});
    window->addFileItem(2, docs + "季度报告.docx", folder + "/docs/季度报告.docx", 2464153);
    window->addFileItem(1, docs + "产品演示.mp4", folder + "/docs/产品演示.mp4", 509818470);
    window->addFileItem(2, docs + "预算表.xlsx", folder + "/docs/预算表.xlsx", 88000);
    window->refreshProgress(2, docs + "季度报告.docx", 73, "845.00 KB/s", "1.72 MB");
    window->refreshProgress(1, docs + "产品演示.mp4", 27, "4.20 MB/s", "131.40 MB");
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer.is-running').length === 2"));
    QVERIFY(!probe->screenshot(window.get(), "main_window").isEmpty());

    QVERIFY(probe->click(".tab[data-tab='transfers']"));
    QVERIFY(probe->waitFor("document.querySelectorAll('.transfer').length === 3"));
    QVERIFY(!probe->screenshot(window.get(), "main_window_transfers").isEmpty());
    const QIcon product(base->path() + "/page/img/logo.ico");
    QVERIFY(KMain::trayIconFor(product, KTrayStatus::State::Syncing).pixmap(64).save(KPageProbe::screenshotDir() + "/tray-syncing.png"));
    QVERIFY(KMain::trayIconFor(product, KTrayStatus::State::Error).pixmap(64).save(KPageProbe::screenshotDir() + "/tray-error.png"));
}

void TestKMain::endingTheLoop_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("userCleared");
    QTest::newRow("page logout") << "doLoginOut" << 888 << true;
    QTest::newRow("page close") << "doClose" << 0 << false;
    QTest::newRow("tray logout") << "注销" << 888 << false;
    QTest::newRow("tray exit") << "退出" << 0 << false;
}

void TestKMain::endingTheLoop()
{
    QFETCH(QString, trigger);
    QFETCH(int, code);
    QFETCH(bool, userCleared);
    KLoginControl::WexoraTitle = "测试云盘";
    KLoginSettings::saveLoginSettings("http://", "127.0.0.1:8080", "demo", "s3cret");
    const QString before = KFileTools::readTextFile(KLoginSettings::loginSettingsPath());
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));

    QSignalSpy replies(window.get(), &KMain::SigSendMessageToJS);
    QTimer act;
    act.setSingleShot(true);
    connect(&act, &QTimer::timeout, this, [&] {
        const QList<QAction*> menu = window->trayIconMenu->actions();
        const auto entry = std::find_if(menu.begin(), menu.end(), [&](QAction* a) { return a->text() == trigger; });
        if (entry != menu.end())
            (*entry)->trigger();
        else
            window->mainObj->JSSendMessage(trigger, "");
    });
    QTimer stuck; // ends a loop that nothing else ends
    stuck.setSingleShot(true);
    connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(-99); });
    act.start(0);
    stuck.start(20000);
    QCOMPARE(window->runEventLoop(), code);

    QCOMPARE(texts(replies), trigger.startsWith("do") ? QStringList({""}) : QStringList());
    const QString after = KFileTools::readTextFile(KLoginSettings::loginSettingsPath());
    if (userCleared) {
        QCOMPARE(after, QString("{\"address\":\"MTI3LjAuMC4xOjgwODA=\",\"password\":\"\",\"protocol\":\"aHR0cDovLw==\","
                                "\"title\":\"测试云盘\",\"username\":\"\"}"));
    } else {
        QCOMPARE(after, before);
        QVERIFY(after.contains("\"username\":\"ZGVtbw==\""));
    }
}

int main(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    KMainWindow app(argc, argv); // the real application object, for its activation rule
    TestKMain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kmain.moc"
