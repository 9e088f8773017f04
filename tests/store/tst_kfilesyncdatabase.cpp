#include "app/kfiletools.h"
#include "app/kjsontools.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesynconcemanager.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// The store on a private base directory, with a real server behind the
// configuration checks.
class TestKFileSyncDatabase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void freshBaseCreatesTablesOnce();
    void addEditAndListConfigurations();
    void refusedConfigurationsChangeNothing_data();
    void refusedConfigurationsChangeNothing();
    void editWhoseInsertFailsKeepsThePair();
    void deleteConfiguration();
    void logsPageBackwardsStrictlyThirtyAtATime();
    void logsBoundFromText_data();
    void logsBoundFromText();
    void fileMd5();
    void fourThreadsLoseNoRow();

private:
    void insertLog(const QString& id, qint64 time);
    int countRows(const QString& table);

    KTestServer server;
    QString space;
    std::unique_ptr<KTestBaseDir> base;
    QTemporaryDir local;
};

void TestKFileSyncDatabase::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = QStringLiteral("@") + KTestServer::demoPersonalSpace();
    QVERIFY(server.makeFolder(KTestServer::demoPersonalSpace(), "docs"));
    QVERIFY(server.putFile(KTestServer::demoPersonalSpace(), "docs/file.txt", "content"));
}

void TestKFileSyncDatabase::init()
{
    base.reset(new KTestBaseDir);
    base->installLogSink();
    KFileSyncOnceManager::configItemQueue.clear();
}

void TestKFileSyncDatabase::cleanup()
{
    base.reset();
}

void TestKFileSyncDatabase::cleanupTestCase()
{
    kClearTestSession();
}

void TestKFileSyncDatabase::insertLog(const QString& id, qint64 time)
{
    QSqlDatabase db = QSqlDatabase::database(KFileSyncDatabase::connectionName());
    QSqlQuery sql(db);
    sql.prepare("insert into k_driver_sync_logs(pk_id,tx_localpath,tx_spacepath,tx_type,l_time) values(?,?,?,?,?)");
    sql.addBindValue(id);
    sql.addBindValue("/l/" + id);
    sql.addBindValue("@s/" + id);
    sql.addBindValue("upload");
    sql.addBindValue(time);
    QVERIFY(sql.exec());
}

int TestKFileSyncDatabase::countRows(const QString& table)
{
    QSqlQuery sql(QSqlDatabase::database(KFileSyncDatabase::connectionName()));
    sql.exec("select count(*) from " + table);
    return sql.next() ? sql.value(0).toInt() : -1;
}

void TestKFileSyncDatabase::freshBaseCreatesTablesOnce()
{
    QVERIFY(!QDir(base->path() + "/db").exists());
    KFileSyncDatabase().initDatabase();
    QVERIFY(QFile::exists(base->path() + "/db/wexoradriver.db"));
    const QStringList tables = QSqlDatabase::database(KFileSyncDatabase::connectionName()).tables();
    QVERIFY(tables.contains("k_driver_sync_config"));
    QVERIFY(tables.contains("k_driver_sync_logs"));
    QCOMPARE(base->todaysLog().count(QStringLiteral("数据库表创建成功！")), 2);
    KFileSyncDatabase().initDatabase();
    QCOMPARE(base->todaysLog().count(QStringLiteral("数据库表创建")), 2);
    QVERIFY(!base->todaysLog().contains(QStringLiteral("execute语句失败")));
}

void TestKFileSyncDatabase::addEditAndListConfigurations()
{
    KFileSyncDatabase store;
    store.initDatabase();
    QVERIFY(store.getSyncConfigs().isEmpty());
    const QString first = store.addSyncConfig("", local.path(), space + "/docs", "1", "0", "3");
    const QMap<QString, QString> saved = KJsonTools::parseStringMap(first);
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(saved.value("id")).hasMatch());
    QCOMPARE(first, QStringLiteral("{\"id\":\"%1\",\"ignoreType\":\"0\",\"localPath\":\"%2\",\"spacePath\":\"%3\","
                                   "\"status\":\"1\",\"syncType\":\"3\"}")
                        .arg(saved.value("id"), local.path(), space + "/docs"));
    QCOMPARE(KFileSyncOnceManager::configItemQueue.size(), 1);

    QThread::msleep(2); // l_time has millisecond resolution
    const QString other = KJsonTools::parseStringMap(store.addSyncConfig("", local.path(), space, "1", "0", "1")).value("id");
    QVERIFY(!other.isEmpty());
    QList<QStringList> rows = store.getSyncConfigs();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].value(0), other); // newest first

    QThread::msleep(2); // l_time has millisecond resolution
    const QString edited = store.addSyncConfig(saved.value("id"), local.path(), space + "/docs", "1", "0", "2");
    QCOMPARE(KJsonTools::parseStringMap(edited).value("id"), saved.value("id"));
    rows = store.getSyncConfigs();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0], (QStringList{saved.value("id"), local.path(), space + "/docs", "1", "0", "2", rows[0].value(6)}));
    QVERIFY(rows[0].value(6).toLongLong() > QDateTime::currentMSecsSinceEpoch() - 60000);
    QCOMPARE(store.getSyncConfigById(saved.value("id")), rows[0]);
    QVERIFY(store.getSyncConfigById("nope").isEmpty());

    const QList<KSyncConfigItem> queued = KFileSyncOnceManager::configItemQueue.snapshot();
    QCOMPARE(queued.size(), 3);
    QCOMPARE(queued[0].syncType, QStringLiteral("3"));
    QCOMPARE(queued[2].id, saved.value("id"));
    QCOMPARE(queued[2].syncType, QStringLiteral("2"));
    QCOMPARE(queued[2].spacePath, space + "/docs");
    QCOMPARE(queued[2].status, QStringLiteral("1"));
    QCOMPARE(queued[2].ignoreType, QStringLiteral("0"));
}

void TestKFileSyncDatabase::refusedConfigurationsChangeNothing_data()
{
    QTest::addColumn<QString>("localSuffix");
    QTest::addColumn<QString>("spaceSuffix");
    QTest::addColumn<QString>("fault"); // a fault rule on "kgetnodes", JSON
    QTest::addColumn<QString>("reason");
    QTest::newRow("local folder missing") << "/missing" << "/docs" << "" << "local-missing";
    QTest::newRow("server path is a file") << "" << "/docs/file.txt" << "" << "server-file";
    QTest::newRow("server path missing") << "" << "/nothing-here" << "" << "server-missing";
    QTest::newRow("space not granted") << "" << "@@other/docs" << "" << "server-missing";
    QTest::newRow("server silent") << "" << "/docs" << R"({"action":"empty","times":0})" << "server-unreachable";
    QTest::newRow("server error page") << "" << "/docs" << R"({"action":"html","times":0})" << "server-refused";
    QTest::newRow("signature refused") << "" << "/docs"
                                       << R"({"action":"envelope","times":0,"envelope":{"code":11,"errtip":"x","data":""}})"
                                       << "server-refused";
}

// Nothing changes, and the reason tells which side is wrong: a server that
// cannot be reached is not a folder that does not exist.
void TestKFileSyncDatabase::refusedConfigurationsChangeNothing()
{
    QFETCH(QString, localSuffix);
    QFETCH(QString, spaceSuffix);
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    KFileSyncDatabase store;
    store.initDatabase();
    const QString id = KJsonTools::parseStringMap(store.addSyncConfig("", local.path(), space, "1", "0", "1")).value("id");
    const QList<QStringList> before = store.getSyncConfigs();
    const int queued = KFileSyncOnceManager::configItemQueue.size();
    const QString serverPath = spaceSuffix.startsWith("@@") ? spaceSuffix.mid(1) : space + spaceSuffix;
    if (!fault.isEmpty()) {
        QJsonObject rule = QJsonDocument::fromJson(fault.toUtf8()).object();
        rule.insert("target", "kgetnodes");
        QVERIFY(server.setFault(rule));
    }
    QCOMPARE(store.addSyncConfig(id, local.path() + localSuffix, serverPath, "1", "0", "2"), QString());
    const KPairSave save = store.saveSyncConfig("", local.path() + localSuffix, serverPath, "1", "0", "2");
    QVERIFY(server.clearFaults());
    QCOMPARE(save.saved, QString());
    QCOMPARE(KPairCheck::code(save.refusal), reason);
    QCOMPARE(store.getSyncConfigs(), before);
    QCOMPARE(KFileSyncOnceManager::configItemQueue.size(), queued);
}

// An edit replaces its row in one transaction: when the new row cannot be
// written the old one stays and the save is reported as failed.
void TestKFileSyncDatabase::editWhoseInsertFailsKeepsThePair()
{
    KFileSyncDatabase store;
    store.initDatabase();
    const QString id = KJsonTools::parseStringMap(store.addSyncConfig("", local.path(), space, "1", "0", "1")).value("id");
    const QList<QStringList> before = store.getSyncConfigs();
    QSqlQuery sql(QSqlDatabase::database(KFileSyncDatabase::connectionName()));
    QVERIFY(sql.exec("CREATE TRIGGER refuse BEFORE INSERT ON k_driver_sync_config WHEN NEW.tx_status = 'x' "
                     "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    const KPairSave save = store.saveSyncConfig(id, local.path(), space + "/docs", "x", "0", "2");
    QCOMPARE(save.saved, QString());
    QCOMPARE(save.refusal, KPairRefusal::StoreFailed);
    QCOMPARE(store.getSyncConfigs(), before);
    QCOMPARE(KFileSyncOnceManager::configItemQueue.size(), 1);
}

void TestKFileSyncDatabase::deleteConfiguration()
{
    KFileSyncDatabase store;
    store.initDatabase();
    const QString id = KJsonTools::parseStringMap(store.addSyncConfig("", local.path(), space, "1", "0", "1")).value("id");
    QVERIFY(store.deleteSyncConfig(id));
    QVERIFY(store.getSyncConfigs().isEmpty());
    QVERIFY(store.deleteSyncConfig(id)); // no row matched: still ran
}

void TestKFileSyncDatabase::logsPageBackwardsStrictlyThirtyAtATime()
{
    KFileSyncDatabase store;
    store.initDatabase();
    // 40 rows, two per second from t0 - 1 back to t0 - 20; one in the future.
    const qint64 t0 = QDateTime::currentSecsSinceEpoch();
    for (int i = 0; i < 40; ++i)
        insertLog(QStringLiteral("r%1").arg(i, 2, 10, QLatin1Char('0')), t0 - 1 - i / 2);
    insertLog("future", t0 + 100);

    const QList<QStringList> page1 = store.getSyncLogs("");
    QCOMPARE(page1.size(), 30);
    QCOMPARE(page1.first().value(4).toLongLong(), t0 - 1);
    for (int i = 1; i < page1.size(); ++i)
        QVERIFY(page1[i].value(4).toLongLong() <= page1[i - 1].value(4).toLongLong());
    QCOMPARE(page1.last().value(4).toLongLong(), t0 - 15); // rows r28 and r29 share this second
    QCOMPARE(page1.first().size(), 5);
    QCOMPARE(page1.first().value(3), QStringLiteral("upload"));

    // The next page starts strictly below the oldest second shown.
    const QList<QStringList> page2 = store.getSyncLogs(page1.last().value(4));
    QCOMPARE(page2.size(), 10);
    QCOMPARE(page2.first().value(4).toLongLong(), t0 - 16);
    QCOMPARE(page2.last().value(4).toLongLong(), t0 - 20);
    QVERIFY(store.getSyncLogs(QString::number(t0 - 20)).isEmpty());
}

void TestKFileSyncDatabase::logsBoundFromText_data()
{
    QTest::addColumn<QString>("time");
    QTest::newRow("empty") << "";
    QTest::newRow("zero") << "0";
    QTest::newRow("negative") << "-5";
    QTest::newRow("not a number") << "yesterday";
}

void TestKFileSyncDatabase::logsBoundFromText()
{
    QFETCH(QString, time);
    KFileSyncDatabase store;
    store.initDatabase();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    insertLog("past", now - 10);
    insertLog("later", now + 100);
    const QList<QStringList> rows = store.getSyncLogs(time);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].value(0), QStringLiteral("past"));
}

void TestKFileSyncDatabase::fileMd5()
{
    KFileSyncDatabase store;
    QTemporaryDir tmp;
    QCOMPARE(store.getFileMd5OrDatabase(tmp.path() + "/missing"), QString());
    QCOMPARE(store.getFileMd5OrDatabase(tmp.path()), QString());
    QCOMPARE(store.getFileMd5OrDatabase(""), QString());

    QByteArray bytes;
    for (int i = 0; i < 10000; ++i)
        bytes.append(char((i * 7) % 251));
    QFile file(tmp.path() + "/ten.bin");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    // python3 -c "import sys; sys.stdout.buffer.write(bytes((i*7)%251 for i in range(10000)))" | md5sum
    QCOMPARE(store.getFileMd5OrDatabase(tmp.path() + "/ten.bin"), QStringLiteral("018b2477dacde0f3980e695a1d86f43f"));
    QCOMPARE(store.getFileMd5OrDatabase(tmp.path() + "//ten.bin"), QStringLiteral("018b2477dacde0f3980e695a1d86f43f"));

    QFile empty(tmp.path() + "/empty");
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QCOMPARE(store.getFileMd5OrDatabase(empty.fileName()), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
}

void TestKFileSyncDatabase::fourThreadsLoseNoRow()
{
    KFileSyncDatabase().initDatabase();
    const int perThread = 150;
    QList<QThread*> threads;
    for (int t = 0; t < 4; ++t) {
        threads << QThread::create([t, perThread] {
            KFileSyncDatabase store;
            for (int i = 0; i < perThread; ++i) {
                QVERIFY(!store.addSynLog(QStringLiteral("/l/%1/%2").arg(t).arg(i), "@s/x", "download").isEmpty());
                if (i % 10 == 0)
                    store.getSyncLogs("");
            }
        });
    }
    for (QThread* thread : threads)
        thread->start();
    for (QThread* thread : threads) {
        QVERIFY(thread->wait(120000));
        delete thread;
    }
    QCOMPARE(countRows("k_driver_sync_logs"), 4 * perThread);
    QVERIFY(!base->todaysLog().contains(QStringLiteral("execute语句失败")));
}

QTEST_GUILESS_MAIN(TestKFileSyncDatabase)
#include "tst_kfilesyncdatabase.moc"
