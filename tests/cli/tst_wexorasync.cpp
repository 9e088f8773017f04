#include "kcliprocess.h"
#include "store/ktransfersettings.h"
#include "ktestserver.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Tree = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Tree)

// wexora-sync as a user runs it: a child process against the reference
// server, each test with its own base folder, local folder and server folder;
// after each run both whole trees are compared.
class TestWexoraSync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void commandLine_data();
    void commandLine();
    void pairAdd_data();
    void pairAdd();
    void runOnce_data();
    void runOnce();
    void failedTransfer_data();
    void failedTransfer();
    void twoWayConflictIsAnEvent();
    void untrustedCertificateIsPinnedByFingerprint();
    void secondRunIsRefusedAndLockedStoreSaysSo();
    void killedRunLosesAndRepeatsNothing();
    void twoLiveClientsStayEqual();

private:
    KCliResult cli(const QStringList& args) const;
    static QString logTail(const QString& basePath);
    void loginAndPair(const QString& mode);
    Tree serverTree() { return kSubtree(server.files(space), folder); }
    QString allLogs() const;

    KTestServer server;
    QString space;
    QString folder;
    int tests = 0;
    std::unique_ptr<QTemporaryDir> base;
    std::unique_ptr<QTemporaryDir> local;
};

void TestWexoraSync::initTestCase()
{
    QVERIFY(server.start());
    space = KTestServer::demoPersonalSpace();
}

void TestWexoraSync::init()
{
    base = std::make_unique<QTemporaryDir>();
    local = std::make_unique<QTemporaryDir>();
    folder = QStringLiteral("t%1").arg(++tests);
    QVERIFY(server.clearFaults());
    QVERIFY(server.makeFolder(space, folder));
}

// The last lines a client's base logged, for a failure's report.
QString TestWexoraSync::logTail(const QString& basePath)
{
    QString text;
    for (const QFileInfo& log : QDir(basePath + "/logs").entryInfoList(QDir::Files, QDir::Name)) {
        QFile file(log.filePath());
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text.right(6000);
}

KCliResult TestWexoraSync::cli(const QStringList& args) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("WEXORA_PASSWORD", KTestServer::demoPassword());
    return KCliProcess(WEXORA_SYNC_BIN, {"--base", base->path()}, environment).run(args);
}

void TestWexoraSync::loginAndPair(const QString& mode)
{
    QCOMPARE(cli({"login", "--server", server.baseUrl(), "--user", KTestServer::demoUser()}).exitCode, 0);
    const KCliResult added = cli({"pair", "add", local->path(), "@" + space + "/" + folder, "--mode", mode});
    QVERIFY2(added.exitCode == 0, qPrintable(added.err));
}

QString TestWexoraSync::allLogs() const
{
    QString text;
    QDirIterator it(base->path() + "/logs", QDir::Files);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        text += QString::fromUtf8(file.readAll());
    }
    return text;
}

void TestWexoraSync::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    const QString url = server.baseUrl();
    const QStringList login{"login", "--server", url, "--user", "demo"};
    QTest::newRow("login") << login << "demo123" << 0 << "logged in as demo";
    QTest::newRow("wrong password") << login << "not-the-password-42" << 2 << "wrong user name or password";
    QTest::newRow("unreachable") << QStringList{"login", "--server", "http://127.0.0.1:1", "--user", "demo"}
                                 << "demo123" << 2 << "cannot reach http://127.0.0.1:1";
    QTest::newRow("no scheme") << QStringList{"login", "--server", server.address(), "--user", "demo"} << "demo123"
                               << 2 << "--server needs http://";
    QTest::newRow("no user") << QStringList{"login", "--server", url} << "demo123" << 2 << "needs --server URL";
    QTest::newRow("unknown option") << QStringList{"run", "--frobnicate"} << "" << 2 << "Unknown option";
    QTest::newRow("foreign option") << QStringList{"pair", "list", "--once"} << "" << 2 << "does not take --once";
    QTest::newRow("unknown command") << QStringList{"sync"} << "" << 2 << "unknown command 'sync'";
    QTest::newRow("not logged in") << QStringList{"run", "--once"} << "" << 2 << "not logged in";
    QTest::newRow("no such pair") << QStringList{"pair", "remove", "123"} << "" << 2 << "no pair with id 123";
}

// Exit statuses and messages of the command line and the login; the
// password reaches neither the output nor the log.
void TestWexoraSync::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, password);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QFile passwordFile(base->path() + "/password");
    QVERIFY(passwordFile.open(QIODevice::WriteOnly));
    passwordFile.write(password.toUtf8() + "\n");
    passwordFile.close();
    if (args.first() == "login")
        args << "--password-file" << passwordFile.fileName();
    const KCliResult result = cli(args);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.out + result.err));
    QVERIFY2((result.out + result.err).contains(says), qPrintable(result.out + result.err));
    if (!password.isEmpty())
        QVERIFY(!(result.out + result.err + allLogs()).contains(password));
    const QFileInfo settings(base->path() + "/config/config.json");
    QCOMPARE(settings.exists(), exitCode == 0);
    if (exitCode == 0)
        QCOMPARE(settings.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
}

void TestWexoraSync::pairAdd_data()
{
    QTest::addColumn<QString>("localKind");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::newRow("saved") << "dir" << "%F" << "upload" << 0 << "added pair";
    QTest::newRow("local missing") << "missing" << "%F" << "upload" << 2 << "does not exist";
    QTest::newRow("local is a file") << "file" << "%F" << "fill" << 2 << "is a file, not a folder";
    QTest::newRow("server missing") << "dir" << "%F/none" << "download" << 2 << "[server-missing]";
    QTest::newRow("server path is a file") << "dir" << "%F/file.txt" << "two-way" << 2 << "[server-file]";
    QTest::newRow("foreign space") << "dir" << "@nobody-space/x" << "fill" << 2 << "[server-missing]";
    QTest::newRow("not a server path") << "dir" << "docs" << "fill" << 2 << "REMOTE is a server folder";
    QTest::newRow("unknown mode") << "dir" << "%F" << "mirror" << 2 << "unknown --mode 'mirror'";
}

// Each refusal of a pair, told in the main page's words; only a saved pair
// appears in the list.
void TestWexoraSync::pairAdd()
{
    QFETCH(QString, localKind);
    QFETCH(QString, remote);
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QVERIFY(server.putFile(space, folder + "/file.txt", "x"));
    QCOMPARE(cli({"login", "--server", server.baseUrl(), "--user", KTestServer::demoUser()}).exitCode, 0);
    QString path = local->path() + "/" + localKind;
    if (localKind == "dir")
        QVERIFY(QDir().mkpath(path));
    if (localKind == "file")
        QVERIFY(kWriteTree(local->path(), {{"file", "x"}}));
    remote.replace("%F", "@" + space + "/" + folder);
    const KCliResult result = cli({"pair", "add", path, remote, "--mode", mode});
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.out + result.err));
    QVERIFY2((result.out + result.err).contains(says), qPrintable(result.out + result.err));
    const KCliResult listed = cli({"--json", "pair", "list"});
    QCOMPARE(listed.exitCode, 0);
    QCOMPARE(listed.count("pair"), exitCode == 0 ? 1 : 0);
}

void TestWexoraSync::runOnce_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("up");
    QTest::addColumn<bool>("down");
    QTest::newRow("upload") << "upload" << true << false;
    QTest::newRow("download") << "download" << false << true;
    QTest::newRow("fill") << "fill" << true << true;
    QTest::newRow("two-way") << "two-way" << true << true;
}

// One pass in each direction: the command ends when every transfer has
// ended, its events add up, both whole trees are what the direction asks
// for, and a second run finds nothing to do.
void TestWexoraSync::runOnce()
{
    QFETCH(QString, mode);
    QFETCH(bool, up);
    QFETCH(bool, down);
    const Tree localFiles{{"a.txt", "local " + folder.toUtf8()},
                          {"sub/b.bin", QByteArray(70000, 'b') + folder.toUtf8()},
                          {"big.bin", QByteArray(5 * 1024 * 1024 + 3, 'g') + folder.toUtf8()}};
    const Tree serverFiles{{"c.txt", "server " + folder.toUtf8()}, {"deep/d/e.txt", "e" + folder.toUtf8()}};
    QVERIFY(kWriteTree(local->path(), localFiles));
    for (auto it = serverFiles.begin(); it != serverFiles.end(); ++it)
        QVERIFY(server.putFile(space, folder + "/" + it.key(), it.value()));
    loginAndPair(mode);

    const KCliResult result = cli({"--json", "run", "--once"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.out + result.err));
    bool parsed = false;
    const QList<QJsonObject> events = result.events(&parsed);
    QVERIFY(parsed);
    const int transfers = (up ? localFiles.size() : 0) + (down ? serverFiles.size() : 0);
    QCOMPARE(result.count("queued"), transfers);
    QCOMPARE(result.count("done"), transfers);
    QCOMPARE(events.last().value("event").toString(), QString("summary"));
    QCOMPARE(events.last().value("files_done").toInt(), transfers);
    QCOMPARE(events.last().value("exit").toInt(), 0);
    Tree localAfter = localFiles;
    Tree serverAfter = serverFiles;
    if (down)
        localAfter.insert(serverFiles);
    if (up)
        serverAfter.insert(localFiles);
    QCOMPARE(kLocalTree(local->path()), localAfter);
    QCOMPARE(serverTree(), serverAfter);

    const KCliResult again = cli({"--json", "run", "--once"});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.count("queued"), 0);
    QCOMPARE(kLocalTree(local->path()), localAfter);
}

void TestWexoraSync::failedTransfer_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("operations");
    QTest::newRow("upload") << "upload" << QStringList{"kaskupload"};
    QTest::newRow("download") << "download" << QStringList{"kbatchdownload", "kaskdownload"};
}

// A transfer the server refuses: exit status 1 with the failure listed, the
// file is not in place; the next run, with the server well, brings it.
void TestWexoraSync::failedTransfer()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, operations);
    const QByteArray bytes = "refused once " + folder.toUtf8();
    if (mode == "upload")
        QVERIFY(kWriteTree(local->path(), {{"f.txt", bytes}}));
    else
        QVERIFY(server.putFile(space, folder + "/f.txt", bytes));
    loginAndPair(mode);
    const QJsonObject refusal{{"code", 1}, {"errtip", "injected refusal"}, {"data", "injected refusal"}};
    for (const QString& operation : operations)
        QVERIFY(server.setFault({{"target", operation}, {"action", "envelope"}, {"envelope", refusal}, {"times", 0}}));

    const KCliResult failed = cli({"run", "--once"});
    QVERIFY2(failed.exitCode == 1, qPrintable(failed.out + failed.err));
    QVERIFY2(failed.out.contains("failed " + mode + " " + local->path() + "/f.txt"), qPrintable(failed.out));
    QVERIFY(failed.out.contains(", 1 failed"));
    QCOMPARE(kLocalTree(local->path()).contains("f.txt"), mode == "upload");
    QCOMPARE(serverTree().contains("f.txt"), mode == "download");

    QVERIFY(server.clearFaults());
    const KCliResult retried = cli({"run", "--once"});
    QVERIFY2(retried.exitCode == 0, qPrintable(retried.out + retried.err));
    QCOMPARE(kLocalTree(local->path()), Tree({{"f.txt", bytes}}));
    QCOMPARE(serverTree(), Tree({{"f.txt", bytes}}));
}

// Both sides edit a synced file: the run keeps both contents and tells of
// the conflict copy in its events.
void TestWexoraSync::twoWayConflictIsAnEvent()
{
    QVERIFY(kWriteTree(local->path(), {{"doc.txt", "first " + folder.toUtf8()}}));
    loginAndPair("two-way");
    QCOMPARE(cli({"run", "--once"}).exitCode, 0);
    QVERIFY(kWriteTree(local->path(), {{"doc.txt", "local edit"}}));
    QVERIFY(server.putFile(space, folder + "/doc.txt", "server edit"));

    const KCliResult result = cli({"--json", "run", "--once"});
    QVERIFY2(result.exitCode == 0, qPrintable(result.out + result.err));
    bool parsed = false;
    QJsonObject conflict;
    for (const QJsonObject& event : result.events(&parsed))
        conflict = event.value("event").toString() == "conflict" ? event : conflict;
    QVERIFY(parsed);
    QCOMPARE(result.count("conflict"), 1);
    QCOMPARE(conflict.value("path").toString(), QString("doc.txt"));
    const Tree after = kLocalTree(local->path());
    QCOMPARE(after.value(conflict.value("copy").toString()), QByteArray("local edit"));
    QCOMPARE(after.value("doc.txt"), QByteArray("server edit"));
    QCOMPARE(serverTree().value("doc.txt"), QByteArray("server edit"));
}

// A certificate that does not verify is refused with its fingerprint; the
// same fingerprint given back pins it, and later commands use the pin.
void TestWexoraSync::untrustedCertificateIsPinnedByFingerprint()
{
    KTestServer tls;
    QVERIFY(tls.startTls());
    const QStringList login{"login", "--server", tls.baseUrl(), "--user", KTestServer::demoUser()};
    const KCliResult refused = cli(login);
    QCOMPARE(refused.exitCode, 2);
    const QRegularExpression fingerprint("--trust-fingerprint ([0-9A-F:]{95})");
    const QString pin = fingerprint.match(refused.err).captured(1);
    QVERIFY2(!pin.isEmpty(), qPrintable(refused.err));
    QCOMPARE(cli(login + QStringList{"--trust-fingerprint", QString(pin).remove(':').toLower()}).exitCode, 0);
    QVERIFY(QFile::exists(base->path() + "/config/pinned_certs.json"));
    QDir().mkpath(local->path() + "/tls");
    const KCliResult added = cli({"pair", "add", local->path() + "/tls", "@" + space, "--mode", "download"});
    QVERIFY2(added.exitCode == 0, qPrintable(added.err));
}

// A second run on the same base folder is refused while the first runs on,
// a store another program holds locked is named as such, and neither harms
// the first run, which stops cleanly on SIGTERM.
void TestWexoraSync::secondRunIsRefusedAndLockedStoreSaysSo()
{
    const Tree files{{"one.txt", "first run " + folder.toUtf8()}};
    QVERIFY(kWriteTree(local->path(), files));
    loginAndPair("upload");
    QProcess first;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    first.setProcessEnvironment(environment);
    first.start(WEXORA_SYNC_BIN, {"--base", base->path(), "--json", "run", "--interval", "3600"});
    QTRY_COMPARE_WITH_TIMEOUT(serverTree(), files, 60000);

    const KCliResult second = cli({"run", "--once"});
    QCOMPARE(second.exitCode, 2);
    QVERIFY2(second.err.contains("another 'wexora-sync run' (pid " + QString::number(first.processId())),
             qPrintable(second.err));

    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "locker");
        db.setDatabaseName(base->path() + "/db/wexoradriver.db");
        QVERIFY(db.open());
        QSqlQuery lock(db);
        QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
        const KCliResult locked = cli({"pair", "list"});
        QCOMPARE(locked.exitCode, 2);
        QVERIFY2(locked.err.contains("is locked by another program"), qPrintable(locked.err));
        QVERIFY(lock.exec("ROLLBACK"));
    }
    QSqlDatabase::removeDatabase("locker");

    first.terminate();
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(first.exitCode(), 0);
    bool parsed = false;
    const QList<QJsonObject> events = KCliResult{0, QString::fromUtf8(first.readAllStandardOutput()), {}}.events(&parsed);
    QVERIFY(parsed && !events.isEmpty());
    QCOMPARE(events.last().value("event").toString(), QString("summary"));
    QCOMPARE(events.last().value("stopped").toBool(), true);
    QCOMPARE(events.last().value("files_done").toInt(), 1);
    const KCliResult listed = cli({"--json", "pair", "list"});
    QCOMPARE(listed.count("pair"), 1);
    QCOMPARE(cli({"run", "--once"}).exitCode, 0);
    QCOMPARE(serverTree(), files);
    QCOMPARE(kLocalTree(local->path()), files);
}

// A two-way run killed in the middle of its uploads: the next run sends only
// what had not been committed (the jobs in flight at most once more), loses
// nothing, and a third run finds nothing to do: the journal outlived the kill.
void TestWexoraSync::killedRunLosesAndRepeatsNothing()
{
    Tree files;
    for (int i = 0; i < 30; ++i)
        files.insert(QStringLiteral("f%1.bin").arg(i, 2, 10, QLatin1Char('0')), QByteArray(20000 + i, char('a' + i % 26)));
    QVERIFY(kWriteTree(local->path(), files));
    loginAndPair("two-way");
    QVERIFY(server.setFault({{"target", "ksubmitupload"}, {"action", "delay"}, {"delayMs", 150}, {"times", 0}}));
    QProcess killed;
    killed.start(WEXORA_SYNC_BIN, {"--base", base->path(), "--json", "run", "--once"});
    QVERIFY(server.waitForStat("ksubmitupload", 10, 60000));
    killed.kill();
    QVERIFY(killed.waitForFinished(10000));
    const qint64 committedBefore = server.stats().value("ksubmitupload");
    QVERIFY(server.clearFaults());

    const KCliResult rerun = cli({"run", "--once"});
    QVERIFY2(rerun.exitCode == 0, qPrintable((rerun.out + rerun.err).right(900)));
    QCOMPARE(serverTree(), files);
    QCOMPARE(kLocalTree(local->path()), files);
    const qint64 committedAfter = server.stats().value("ksubmitupload");
    QVERIFY2(committedAfter <= files.size() - committedBefore + KTransferSettings::DefaultUploadJobs,
             qPrintable(QStringLiteral("%1 before the kill, %2 after").arg(committedBefore).arg(committedAfter)));
    QCOMPARE(cli({"--json", "run", "--once"}).count("queued"), 0);
}

// Two clients running on (no --once) on one server folder, each with its own
// base and local folder: every edit and deletion, on either client or on the
// server, reaches the others without anyone starting a pass.
void TestWexoraSync::twoLiveClientsStayEqual()
{
    QTemporaryDir baseB;
    QTemporaryDir localB;
    loginAndPair("two-way");
    const KCliProcess clientB(WEXORA_SYNC_BIN, {"--base", baseB.path()}, [] {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("WEXORA_PASSWORD", KTestServer::demoPassword());
        return environment;
    }());
    QCOMPARE(clientB.run({"login", "--server", server.baseUrl(), "--user", KTestServer::demoUser()}).exitCode, 0);
    QCOMPARE(clientB.run({"pair", "add", localB.path(), "@" + space + "/" + folder}).exitCode, 0);
    QProcess a;
    QProcess b;
    a.start(WEXORA_SYNC_BIN, {"--base", base->path(), "run", "--interval", "3600", "--check-interval", "1"});
    b.start(WEXORA_SYNC_BIN, {"--base", baseB.path(), "run", "--interval", "3600", "--check-interval", "1"});
    const QString rootA = local->path();
    const QString rootB = localB.path();
    // Every side equal to expected; on a time-out the trees and the clients'
    // last log lines, and the test stops there (its clients are killed).
    const auto settled = [&](const Tree& expected) {
        const auto equal = [&] {
            return kLocalTree(rootA) == expected && kLocalTree(rootB) == expected && serverTree() == expected;
        };
        if (QTest::qWaitFor(equal, 60000))
            return true;
        qWarning().noquote() << "A:" << kLocalTree(rootA).keys() << "B:" << kLocalTree(rootB).keys()
                             << "server:" << serverTree().keys() << "expected:" << expected.keys() << "\nA's log:\n"
                             << logTail(base->path()) << "\nB's log:\n" << logTail(baseB.path());
        return false;
    };

    QVERIFY(kWriteTree(rootA, {{"a.txt", "from A"}}));
    QVERIFY(settled({{"a.txt", "from A"}}));
    QVERIFY(kWriteTree(rootB, {{"a.txt", "edited on B, longer"}, {"sub/b.txt", "from B"}}));
    QVERIFY(settled({{"a.txt", "edited on B, longer"}, {"sub/b.txt", "from B"}}));
    QVERIFY(QFile::remove(rootA + "/a.txt"));
    QVERIFY(settled({{"sub/b.txt", "from B"}}));
    QVERIFY(server.putFile(space, folder + "/sub/b.txt", "edited on the server"));
    QVERIFY(settled({{"sub/b.txt", "edited on the server"}}));
    QVERIFY(QDir(rootB + "/sub").removeRecursively());
    QVERIFY(settled(Tree()));

    a.terminate();
    b.terminate();
    QVERIFY(a.waitForFinished(30000) && b.waitForFinished(30000));
    QCOMPARE(a.exitCode(), 0);
    QCOMPARE(b.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestWexoraSync)
#include "tst_wexorasync.moc"
