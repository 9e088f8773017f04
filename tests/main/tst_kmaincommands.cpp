#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"
#include "main/kmaincommands.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/kpairstates.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kuploadmanager.h"

#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"

#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

// The main page's operations without a window: the exact reply of each, what
// reaches the store, and what is asked of the window.
class TestKMainCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scriptsEscapeEveryValue_data();
    void scriptsEscapeEveryValue();
    void operationsAnswerOnce_data();
    void operationsAnswerOnce();
    void openLocalDirAsksInPlace();
    void addSyncPassesFieldsInStoreOrder();
    void addSyncRefusalAnswersCodeOne();
    void getConfigRowsKeepQuotes();
    void errorRowsInPathOrder();
    void logPagesFollowTheTimeBound();
    void logoutClearsUserAndAsksForRestart();
    void countersReadQueuesAndErrors();
    void pairOperationsReachTheirPair();

private:
    void insertLog(const QString& id, const QString& local, qint64 seconds);
    QString reply(const QString& op, const QString& param = QString()) { return commands->handle(op, param); }

    KTestServer server;
    std::unique_ptr<KTestBaseDir> base;
    KFileSyncDatabase store;
    std::unique_ptr<KMainCommands> commands;
    QString space;
};

void TestKMainCommands::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = "@" + KTestServer::demoPersonalSpace();
    QVERIFY(server.makeFolder(KTestServer::demoPersonalSpace(), "docs"));
    QVERIFY(server.putFile(KTestServer::demoPersonalSpace(), "note.txt", "n"));
}

void TestKMainCommands::init()
{
    base = std::make_unique<KTestBaseDir>();
    store.initDatabase();
    commands = std::make_unique<KMainCommands>(&store);
    KConstant::ErrorMap.clear();
    KUploadManager::uploadQueue.clear();
    KInflightJobs::clear();
    KDownloadManager::downloadQueue.clear();
    WexoraBase::accessdata.userid = "u-7";
    WexoraBase::accessdata.username = "王'五";
}

void TestKMainCommands::cleanup()
{
    commands.reset();
    base.reset();
}

void TestKMainCommands::insertLog(const QString& id, const QString& local, qint64 seconds)
{
    QSqlQuery sql(QSqlDatabase::database(KFileSyncDatabase::connectionName()));
    sql.prepare("insert into k_driver_sync_logs(pk_id,tx_localpath,tx_spacepath,tx_type,l_time) values(?,?,?,?,?)");
    sql.addBindValue(id);
    sql.addBindValue(local);
    sql.addBindValue(space + "/x");
    sql.addBindValue("upload");
    sql.addBindValue(seconds);
    QVERIFY(sql.exec());
}

void TestKMainCommands::scriptsEscapeEveryValue_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");
    QTest::newRow("local folder") << KMainCommands::selectDirScript("/home/u/it's \\ here")
                                  << "CharpCallback_AfterSelectDir('/home/u/it\\'s \\\\ here');";
    QTest::newRow("server folder twice, no semicolon") << KMainCommands::selectSpaceDirScript("@sp/o'k")
                                                       << "CharpCallback_AfterSelectSpaceDir('@sp/o\\'k','@sp/o\\'k')";
    QTest::newRow("saved") << KMainCommands::saveSyncConfigScript("{\"id\":\"a'b\"}")
                           << "mainVue.CSharpCallback_saveSyncConfig(0,'{\"id\":\"a\\'b\"}');";
    QTest::newRow("refused") << KMainCommands::saveSyncConfigScript("")
                             << "mainVue.CSharpCallback_saveSyncConfig(1,'');";
    QTest::newRow("removed") << KMainCommands::removeSyncScript("x\ny")
                             << "mainVue.CSharpCallback_doRemoveSync('x\\ny');";
    QTest::newRow("reload") << KMainCommands::reloadDataScript("[]", "u1", "张'三")
                            << "mainVue.reloadData('[]','u1','张\\'三');";
    QTest::newRow("errors") << KMainCommands::errorLogScript("[\"a#@#it's\"]")
                            << "mainVue.CSharpCallback_ShowErrorLog('[\"a#@#it\\'s\"]');";
    QTest::newRow("logs") << KMainCommands::queryLogsScript("[]") << "mainVue.CSharpCallback_QueryLogs('[]');";
    // A line separator ends a script line; it travels as an escape.
    QTest::newRow("older logs") << KMainCommands::addQueryLogsScript(QString("[\"") + QChar(0x2028) + "\"]")
                                << "mainVue.CSharpCallback_AddQueryLogs('[\"\\u2028\"]');";
    QTest::newRow("new logs") << KMainCommands::newLogsScript("[\"l1#@#/a/it's#@#@s/a#@#upload#@#17\"]")
                              << "mainVue.showNewLogs('[\"l1#@#/a/it\\'s#@#@s/a#@#upload#@#17\"]');";
    QTest::newRow("pair states") << KMainCommands::pairStatesScript("[{\"id\":\"p'1\",\"state\":\"idle\"}]")
                                 << "mainVue.updatePairStates('[{\"id\":\"p\\'1\",\"state\":\"idle\"}]');";
    QTest::newRow("conflicts") << KMainCommands::conflictsScript("[]") << "mainVue.showConflicts('[]');";
    QTest::newRow("spaces") << KMainCommands::spacesScript("[{\"id\":\"s\",\"name\":\"张'三\"}]")
                            << "mainVue.setSpaces('[{\"id\":\"s\",\"name\":\"张\\'三\"}]');";
    QTest::newRow("title") << KMainCommands::productTitleScript("O'Drive\n") << "mainVue.setProductTitle('O\\'Drive\\n');";
    QTest::newRow("refusal") << KMainCommands::saveSyncRefusedScript("server-file", "云端路径是文件'")
                             << "mainVue.CSharpCallback_saveSyncRefused('server-file','云端路径是文件\\'');";
}

void TestKMainCommands::scriptsEscapeEveryValue()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QCOMPARE(script, expected);
}

void TestKMainCommands::operationsAnswerOnce_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("param");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("request"); // the signal the window acts on; "" for none

    QTest::newRow("doClose") << "doClose" << "" << "" << "quit";
    QTest::newRow("selectspacedir") << "selectspacedir" << "" << "" << "picker";
    QTest::newRow("doHide") << "doHide" << "" << "" << "minimise";
    QTest::newRow("unknown") << "doSomething" << "{}" << "" << "";
    QTest::newRow("names are case-sensitive") << "DoClose" << "" << "" << "";
    QTest::newRow("getConfig without rows") << "getConfig" << "" << "mainVue.reloadData('[]','u-7','王\\'五');" << "";
    QTest::newRow("no errors") << "queryErrorLog" << "" << "mainVue.CSharpCallback_ShowErrorLog('[]');" << "";
    QTest::newRow("no logs") << "queryLog" << "{\"time\":\"\"}" << "mainVue.CSharpCallback_QueryLogs('[]');" << "";
    QTest::newRow("no older logs") << "addQueryLog" << "{\"time\":\"12\"}"
                                   << "mainVue.CSharpCallback_AddQueryLogs('[]');" << "";
    QTest::newRow("delete answers the id") << "deleteSync" << "{\"id\":\"it's\"}"
                                           << "mainVue.CSharpCallback_doRemoveSync('it\\'s');" << "";
    QTest::newRow("param not an object") << "deleteSync" << "it's" << "mainVue.CSharpCallback_doRemoveSync('');" << "";
    QTest::newRow("addSync, local folder missing")
        << "addSync" << "{\"id\":\"\",\"localPath\":\"/no/such/dir\",\"spacePath\":\"@x/docs\",\"syncType\":\"0\",\"status\":\"1\",\"ignoreType\":\"0\"}"
        << "mainVue.CSharpCallback_saveSyncConfig(1,'');" << "";
}

void TestKMainCommands::operationsAnswerOnce()
{
    QFETCH(QString, op);
    QFETCH(QString, param);
    QFETCH(QString, expected);
    QFETCH(QString, request);
    QSignalSpy quit(commands.get(), &KMainCommands::quitRequested);
    QSignalSpy picker(commands.get(), &KMainCommands::showServerPicker);
    QSignalSpy minimise(commands.get(), &KMainCommands::minimiseRequested);
    QSignalSpy exit(commands.get(), &KMainCommands::exitRequested);

    QCOMPARE(reply(op, param), expected);
    QCOMPARE(quit.count(), request == "quit" ? 1 : 0);
    QCOMPARE(picker.count(), request == "picker" ? 1 : 0);
    QCOMPARE(minimise.count(), request == "minimise" ? 1 : 0);
    QCOMPARE(exit.count(), 0);
}

void TestKMainCommands::openLocalDirAsksInPlace()
{
    QString answer = "/home/u/it's";
    connect(commands.get(), &KMainCommands::askLocalDir, this, [&answer](QString* path) { *path = answer; },
            Qt::DirectConnection);
    QCOMPARE(reply("openlocaldir"), QString("CharpCallback_AfterSelectDir('/home/u/it\\'s');"));
    answer.clear(); // cancelled
    QCOMPARE(reply("openlocaldir"), QString());
}

void TestKMainCommands::addSyncPassesFieldsInStoreOrder()
{
    QTemporaryDir local;
    const QString param = QString("{\"id\":\"\",\"localPath\":\"%1\",\"spacePath\":\"%2/docs\",\"syncType\":\"T\",\"status\":\"S\",\"ignoreType\":\"I\"}")
                              .arg(local.path(), space);
    const QString answer = reply("addSync", param);

    const QList<QStringList> rows = store.getSyncConfigs();
    QCOMPARE(rows.size(), 1);
    const QStringList row = rows.first();
    QCOMPARE(row.mid(1, 5), QStringList({local.path(), space + "/docs", "S", "I", "T"}));
    QCOMPARE(row[0].size(), 32);
    const QString saved = QString("{\"id\":\"%1\",\"ignoreType\":\"I\",\"localPath\":\"%2\",\"spacePath\":\"%3/docs\",\"status\":\"S\",\"syncType\":\"T\"}")
                              .arg(row[0], local.path(), space);
    QCOMPARE(answer, "mainVue.CSharpCallback_saveSyncConfig(0,'" + saved + "');");

    // Saving the same id again edits the row instead of adding one.
    QVERIFY(!reply("addSync", QString(param).replace("\"id\":\"\"", "\"id\":\"" + row[0] + "\"")).isEmpty());
    QCOMPARE(store.getSyncConfigs().size(), 1);
    QCOMPARE(reply("deleteSync", "{\"id\":\"" + row[0] + "\"}"), "mainVue.CSharpCallback_doRemoveSync('" + row[0] + "');");
    QVERIFY(store.getSyncConfigs().isEmpty());
}

void TestKMainCommands::addSyncRefusalAnswersCodeOne()
{
    QTemporaryDir local;
    const QString refused = "mainVue.CSharpCallback_saveSyncConfig(1,'');";
    const QString form = "{\"id\":\"\",\"localPath\":\"%1\",\"spacePath\":\"%2\",\"syncType\":\"0\",\"status\":\"1\",\"ignoreType\":\"0\"}";
    QCOMPARE(reply("addSync", QString(form).arg(local.path(), space + "/note.txt")), refused);
    QCOMPARE(reply("addSync", QString(form).arg(local.path(), space + "/missing")), refused);
    QVERIFY(store.getSyncConfigs().isEmpty());
}

void TestKMainCommands::getConfigRowsKeepQuotes()
{
    QTemporaryDir parent;
    const QString local = parent.path() + "/it's";
    QVERIFY(QDir().mkpath(local));
    const QString param = QString("{\"id\":\"\",\"localPath\":\"%1\",\"spacePath\":\"%2/docs\",\"syncType\":\"1\",\"status\":\"1\",\"ignoreType\":\"0\"}")
                              .arg(local, space);
    QVERIFY(reply("addSync", param).startsWith("mainVue.CSharpCallback_saveSyncConfig(0,"));
    const QStringList row = store.getSyncConfigs().value(0);
    QCOMPARE(row.size(), 7);

    const QString escapedLocal = QString(local).replace("'", "\\'");
    const QString rowText = "[\"" + row[0] + "#@#" + escapedLocal + "#@#" + space + "/docs#@#1#@#0#@#1#@#" + row[6] + "\"]";
    QCOMPARE(reply("getConfig"), "mainVue.reloadData('" + rowText + "','u-7','王\\'五');");
}

void TestKMainCommands::errorRowsInPathOrder()
{
    const QStringList z{"k2", "/z/b.txt", "@s/b.txt", "upload", "1700000000001", "网络错误"};
    const QStringList a{"k1", "/a/it's.txt", "@s/a.txt", "upload", "1700000000000", "空间不足"};
    KConstant::ErrorMap.replace("/z/b.txt", z);
    KConstant::ErrorMap.replace("/a/it's.txt", a);
    QCOMPARE(KMainCommands::errorLogRows(), QList<QStringList>({a, z}));
    QCOMPARE(reply("queryErrorLog"),
             QString("mainVue.CSharpCallback_ShowErrorLog('[\"k1#@#/a/it\\'s.txt#@#@s/a.txt#@#upload#@#1700000000000#@#空间不足\","
                     "\"k2#@#/z/b.txt#@#@s/b.txt#@#upload#@#1700000000001#@#网络错误\"]');"));
}

void TestKMainCommands::logPagesFollowTheTimeBound()
{
    const qint64 newest = QDateTime::currentSecsSinceEpoch() - 100;
    for (int i = 0; i < 35; ++i)
        insertLog(QString("log%1").arg(i, 2, 10, QChar('0')), QString("/s/f%1").arg(i), newest - i);

    const QString first = reply("queryLog", "{\"time\":\"\"}");
    QVERIFY(first.startsWith("mainVue.CSharpCallback_QueryLogs('[\"log00#@#/s/f0#@#" + space + "/x#@#upload#@#"
                             + QString::number(newest) + "\","));
    QCOMPARE(first.count("#@#upload#@#"), 30);

    const QString older = reply("addQueryLog", "{\"time\":\"" + QString::number(newest - 29) + "\"}");
    QVERIFY(older.startsWith("mainVue.CSharpCallback_AddQueryLogs('[\"log30#@#"));
    QCOMPARE(older.count("#@#upload#@#"), 5);
    QVERIFY(older.endsWith("#@#" + QString::number(newest - 34) + "\"]');"));
}

void TestKMainCommands::logoutClearsUserAndAsksForRestart()
{
    KLoginControl::WexoraTitle = "测试云盘";
    KLoginSettings::saveLoginSettings("http://", "127.0.0.1:8080", "demo", "s3cret");
    QSignalSpy exit(commands.get(), &KMainCommands::exitRequested);

    QCOMPARE(reply("doLoginOut"), QString());
    QCOMPARE(exit.count(), 1);
    QCOMPARE(exit.first().first().toInt(), 888);
    QCOMPARE(KFileTools::readTextFile(base->path() + "/config/config.json"),
             QString("{\"address\":\"MTI3LjAuMC4xOjgwODA=\",\"password\":\"\",\"protocol\":\"aHR0cDovLw==\",\"title\":\"测试云盘\",\"username\":\"\"}"));
}

void TestKMainCommands::countersReadQueuesAndErrors()
{
    QCOMPARE(KMainCommands::counterScript(), QString("mainVue.RefershProgress(0,0,0,0);"));
    for (int i = 0; i < 3; ++i)
        KUploadManager::uploadQueue.append(KUploadInfo{QString("/u/%1").arg(i), "@s/u", 1, QString()});
    KDownloadManager::downloadQueue.append(KDownloadInfo{"/d/1", "@s/d/1", 5, "h"});
    KConstant::ErrorMap.replace("/e/1", {"k", "/e/1", "@s/e/1", "upload", "1", "x"});
    QCOMPARE(KMainCommands::counterScript(), QString("mainVue.RefershProgress(3,1,0,1);"));
}

// The operations on one stored pair: states, passes, pause, retry, folders
// and the answer to held-back deletions, each with its reply and effect.
void TestKMainCommands::pairOperationsReachTheirPair()
{
    QTemporaryDir local;
    QVERIFY(QDir().mkpath(local.path() + "/sub"));
    const QString param = QString("{\"id\":\"\",\"localPath\":\"%1\",\"spacePath\":\"%2/docs\",\"syncType\":\"3\",\"status\":\"1\",\"ignoreType\":\"0\"}")
                              .arg(local.path(), space);
    QVERIFY(reply("addSync", param).startsWith("mainVue.CSharpCallback_saveSyncConfig(0,"));
    const QString id = store.getSyncConfigs().value(0).value(0);
    const QString byId = "{\"id\":\"" + id + "\"}";
    KFileSyncOnceManager::configItemQueue.clear();
    KPairStates::instance().clear();
    QSignalSpy opened(commands.get(), &KMainCommands::openFolderRequested);
    QSignalSpy answered(commands.get(), &KMainCommands::deletionsAnswered);
    struct Case
    {
        QString op;
        QString param;
        QString reply;
        int passesQueued;
    };
    const QList<Case> cases{
        {"queryPairStates", "", "mainVue.updatePairStates('[{\"conflicts\":0,\"deletionsCarried\":true,\"downloads\":0,\"id\":\"" + id
                                    + "\",\"lastError\":\"\",\"lastPass\":0,\"pendingDeletion\":null,\"state\":\"idle\",\"uploads\":0,\"watch\":\"off\"}]');", 0},
        {"queryConflicts", "", "mainVue.showConflicts('[]');", 0},
        {"syncNow", byId, "", 1},
        {"pausePair", byId, "", 0},
        {"syncNow", byId, "", 0},                                             // paused pairs are not passed
        {"retryTransfer", "{\"local\":\"" + local.path() + "/sub/a.txt\"}", "", 0},
        {"resumePair", byId, "", 1},
        {"retryTransfer", "{\"local\":\"" + local.path() + "/sub/a.txt\"}", "", 1},
        {"retryTransfer", "{\"local\":\"/elsewhere/a.txt\"}", "", 0},      // outside every pair
        {"openFolder", "{\"path\":\"" + local.path() + "/sub/a.txt\"}", "", 0},
        {"openFolder", "{\"path\":\"/etc\"}", "", 0},
        {"confirmDeletions", byId, "", 0},
        {"rejectDeletions", byId, "", 0},
        {"confirmDeletions", "{\"id\":\"no-such-pair\"}", "", 0},
    };
    for (const Case& c : cases) {
        const int before = KFileSyncOnceManager::configItemQueue.size();
        QCOMPARE(reply(c.op, c.param), c.reply);
        QVERIFY2(KFileSyncOnceManager::configItemQueue.size() - before == c.passesQueued, qPrintable(c.op + c.param));
    }
    QCOMPARE(KFileSyncOnceManager::configItemQueue.snapshot().value(0).id, id);
    QCOMPARE(opened.count(), 1);
    QCOMPARE(opened.first().first().toString(), local.path() + "/sub");
    QCOMPARE(answered.count(), 2);
    QCOMPARE(answered.at(0), QList<QVariant>({id, true}));
    QCOMPARE(answered.at(1), QList<QVariant>({id, false}));
    KFileSyncOnceManager::configItemQueue.clear();
    KPairStates::instance().clear();

    insertLog("newest", "/s/new.txt", 1700000000);
    QCOMPARE(commands->latestLogsScript(),
             "mainVue.showNewLogs('[\"newest#@#/s/new.txt#@#" + space + "/x#@#upload#@#1700000000\"]');");
}

QTEST_GUILESS_MAIN(TestKMainCommands)
#include "tst_kmaincommands.moc"
