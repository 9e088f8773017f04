#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "bridge/kjsstring.h"
#include "main/kmain.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesynconcemanager.h"
#include "transfer/kinflightjobs.h"
#include "transfer/kbatchdownload.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kuploadmanager.h"

#include "kguitestmain.h"
#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebEngineView>
#include <QtTest>

using Tree = QMap<QString, QByteArray>;

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7 + (i >> 11)) & 0xff);
    return bytes;
}

void writeTree(const QString& root, const Tree& tree)
{
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        const QString path = root + "/" + it.key();
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(it.value());
    }
}

// Every file below root, hidden ones and partial downloads included.
Tree readTree(const QString& root)
{
    Tree tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        tree.insert(path.mid(root.size() + 1), file.readAll());
    }
    return tree;
}

Tree merged(Tree base, const Tree& extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        if (!base.contains(it.key()))
            base.insert(it.key(), it.value());
    }
    return base;
}

QString describe(const Tree& actual, const Tree& expected)
{
    QStringList lines;
    for (const QString& key : merged(actual, expected).keys()) {
        if (!expected.contains(key))
            lines << "unexpected " + key;
        else if (!actual.contains(key))
            lines << "missing " + key;
        else if (actual.value(key) != expected.value(key))
            lines << "differs " + key;
    }
    return lines.join(", ");
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void savedPairSyncsOnItsOwn_data();
    void savedPairSyncsOnItsOwn();
    void twoPairsSavedInQuickSuccession();

private:
    bool openWindow();
    bool savePair(const QString& localPath, const QString& folder, const QString& syncType);
    Tree serverTree(const QString& folder);
    bool waitForTrees(const QString& localRoot, const Tree& local, const QString& folder, const Tree& server,
                      QString* mismatch);

    KTestServer server;
    QString space;
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QTemporaryDir> localDirs;
    std::unique_ptr<KMain> window;
    std::unique_ptr<KPageProbe> probe;
    QString chosenLocal;
    int round = 0;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestEndToEnd::init()
{
    base.reset(new KTestBaseDir(true));
    base->installLogSink();
    localDirs.reset(new QTemporaryDir);
    KUploadManager::uploadQueue.clear();
    KInflightJobs::clear();
    KDownloadManager::downloadQueue.clear();
    KFileSyncOnceManager::configItemQueue.clear();
    KBatchDownload::forgetServersForTesting();
    QVERIFY(server.clearFaults());
    ++round;
}

void TestEndToEnd::cleanup()
{
    probe.reset();
    window.reset();
    base.reset();
}

void TestEndToEnd::cleanupTestCase()
{
    kClearTestSession();
}

bool TestEndToEnd::openWindow()
{
    window = std::make_unique<KMain>();
    window->setLocalDirPresenter([this] { return chosenLocal; });
    window->show();
    probe = std::make_unique<KPageProbe>(window->webView);
    return probe->waitForPage() && probe->waitFor("typeof mainVue === 'object'");
}

// Adds a pair the way a user does: editor, folder choosers, direction, save.
bool TestEndToEnd::savePair(const QString& localPath, const QString& folder, const QString& syncType)
{
    QSignalSpy replies(window.get(), &KMain::SigSendMessageToJS);
    chosenLocal = localPath;
    if (!probe->click("#btn-add-pair") || !probe->waitFor("!!document.querySelector('#pair-editor')")
        || !probe->click("#btn-choose-local")
        || !probe->waitFor("document.querySelector('#edit-local').value === " + KJsString::quoted(localPath)))
        return false;
    window->setServerDir(folder); // what the server folder picker reports
    // The field shows the space's name; the path it saves is kept beside it.
    if (!probe->waitFor("document.querySelector('#edit-space').dataset.path === " + KJsString::quoted(folder))
        || !probe->click(".segment input[value='" + syncType + "']") || !probe->click("#btn-save-pair"))
        return false;
    return QTest::qWaitFor(
        [&] {
            for (const QList<QVariant>& reply : replies) {
                if (reply.first().toString().startsWith("mainVue.CSharpCallback_saveSyncConfig(0,"))
                    return true;
            }
            return false;
        },
        20000);
}

Tree TestEndToEnd::serverTree(const QString& folder)
{
    Tree tree;
    const Tree all = server.files(space);
    const QString prefix = folder + "/";
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it.key().startsWith(prefix))
            tree.insert(it.key().mid(prefix.size()), it.value());
    }
    return tree;
}

bool TestEndToEnd::waitForTrees(const QString& localRoot, const Tree& local, const QString& folder,
                                const Tree& expectedServer, QString* mismatch)
{
    const bool same = QTest::qWaitFor(
        [&] {
            QTest::qWait(200);
            return readTree(localRoot) == local && serverTree(folder) == expectedServer
                   && KUploadManager::uploadQueue.isEmpty() && KDownloadManager::downloadQueue.isEmpty()
                   && !KConstant::IsDownloading;
        },
        120000);
    *mismatch = "local: " + describe(readTree(localRoot), local) + "; server: "
                + describe(serverTree(folder), expectedServer);
    return same;
}

void TestEndToEnd::savedPairSyncsOnItsOwn_data()
{
    QTest::addColumn<QString>("syncType");
    QTest::addColumn<bool>("batches");
    QTest::newRow("upload only") << "1" << true;
    QTest::newRow("download only") << "2" << true;
    QTest::newRow("both ways") << "0" << true;
    QTest::newRow("download only, server without batches") << "2" << false;
}

void TestEndToEnd::savedPairSyncsOnItsOwn()
{
    QFETCH(QString, syncType);
    QFETCH(bool, batches);
    const Tree localOnly{{"a.txt", "alpha"},
                         {"sub/b.bin", pattern(6 * 1024 * 1024 + 123, 1)}, // two parts
                         {"sub/deep/c.txt", "gamma"},
                         {QStringLiteral("it's 云.txt"), "quoted name"},
                         {"empty.txt", ""}};
    const Tree serverOnly{{"s.txt", "server s"}, {"dir/e.bin", pattern(300000, 2)}, {"dir/x/y.txt", "why"}};
    const QString folder = QStringLiteral("e2e-%1").arg(round);
    const QString localRoot = localDirs->path() + "/pair";
    writeTree(localRoot, merged(localOnly, {{"both.txt", "local both"}}));
    for (auto it = serverOnly.begin(); it != serverOnly.end(); ++it)
        QVERIFY(server.putFile(space, folder + "/" + it.key(), it.value()));
    QVERIFY(server.putFile(space, folder + "/both.txt", "server both"));

    Tree expectedLocal = merged(localOnly, {{"both.txt", "local both"}});
    Tree expectedServer = merged(serverOnly, {{"both.txt", "server both"}});
    if (syncType != "2")
        expectedServer = merged(expectedServer, localOnly);
    if (syncType != "1")
        expectedLocal = merged(expectedLocal, serverOnly);
    if (syncType == "1")
        expectedServer["both.txt"] = "local both"; // a new version; the old one stays on the server

    const QJsonObject unknown{{"code", 3}, {"errtip", "unknown operation"}, {"data", "unknown operation"}};
    if (!batches)
        QVERIFY(server.setFault({{"target", "kbatchdownload"}, {"action", "envelope"}, {"envelope", unknown}, {"times", 0}}));
    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    const QMap<QString, qint64> before = server.stats();
    const qint64 lookupsBefore = before.value("kgetnodes");
    QVERIFY(savePair(localRoot, "@" + space + "/" + folder, syncType));
    QString mismatch;
    QVERIFY2(waitForTrees(localRoot, expectedLocal, folder, expectedServer, &mismatch), qPrintable(mismatch));
    // What the pass saw travels with its uploads: none asks the server again.
    // Saving the pair looks twice, upload-only looks its files up in one request.
    const qint64 lookups = server.stats().value("kgetnodes") - lookupsBefore;
    QVERIFY2(lookups <= (syncType == "1" ? 3 : 2), qPrintable(QString::number(lookups)));
    // Small files come in batches, the one over 256 KiB on its own; a server
    // that does not know batches is asked once and then gets single requests.
    const auto asked = [&](const char* op) { return server.stats().value(op) - before.value(op); };
    if (syncType != "1") {
        QCOMPARE(asked("kaskdownload"), batches ? 1 : qint64(serverOnly.size()));
        QVERIFY2(batches ? asked("kbatchdownload") >= 1 : asked("kbatchdownload") == 1,
                 qPrintable(QString::number(asked("kbatchdownload"))));
    }

    if (syncType == "1") {
        const QJsonArray files = server.tree(space).value("files").toArray();
        for (const QJsonValue& file : files) {
            if (file.toObject().value("path").toString() == folder + "/both.txt")
                QCOMPARE(file.toObject().value("versions").toInt(), 2);
        }
    }
    // Every finished transfer left a sync log row.
    int transfers = syncType == "2" ? serverOnly.size() : syncType == "1" ? localOnly.size() + 1
                                                                          : serverOnly.size() + localOnly.size();
    QTRY_COMPARE(KFileSyncDatabase().getSyncLogs(QString::number(QDateTime::currentSecsSinceEpoch() + 10)).size(),
                 transfers);
    probe->screenshot(window.get(), "endtoend_" + QString(QTest::currentDataTag()).replace(' ', '_'));
}

void TestEndToEnd::twoPairsSavedInQuickSuccession()
{
    const QString first = localDirs->path() + "/first";
    const QString second = localDirs->path() + "/second";
    writeTree(first, {{"one.txt", "one"}, {"nested/two.txt", "two"}});
    writeTree(second, {{"three.txt", "three"}});
    const QString folderA = QStringLiteral("quick-%1-a").arg(round);
    const QString folderB = QStringLiteral("quick-%1-b").arg(round);
    QVERIFY(server.makeFolder(space, folderA));
    QVERIFY(server.makeFolder(space, folderB));
    QVERIFY(server.putFile(space, folderB + "/from-server.txt", "down"));

    QVERIFY2(openWindow(), qPrintable(probe->lastError()));
    QVERIFY(savePair(first, "@" + space + "/" + folderA, "1"));
    QVERIFY(savePair(second, "@" + space + "/" + folderB, "0"));
    QString mismatch;
    QVERIFY2(waitForTrees(first, {{"one.txt", "one"}, {"nested/two.txt", "two"}}, folderA,
                          {{"one.txt", "one"}, {"nested/two.txt", "two"}}, &mismatch),
             qPrintable(mismatch));
    QVERIFY2(waitForTrees(second, {{"three.txt", "three"}, {"from-server.txt", "down"}}, folderB,
                          {{"three.txt", "three"}, {"from-server.txt", "down"}}, &mismatch),
             qPrintable(mismatch));
}

KGUI_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
