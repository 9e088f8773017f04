#include "app/kfiletools.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/kfilesyncdatabase.h"
#include "store/ktransfersettings.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/kpairstates.h"
#include "sync/kpairwatching.h"
#include "sync/kserverremoval.h"
#include "sync/kserverwatcher.h"
#include "sync/ksyncengine.h"
#include "transfer/kinflightjobs.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Tree = QMap<QString, QByteArray>;

// The whole engine with its real threads and watchers against the reference
// server: nobody starts a pass by hand; changes on either side are noticed
// and carried over, deletions go to the other side's trash, a mass deletion
// waits for the user, a paused pair moves nothing. Every wait is for the
// trees to become what they must be.
class TestLiveSync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void editsAndDeletionsFollowWithoutAPass();
    void manyDeletionsWaitForTheUser();
    void pausedPairMovesNothing();

private:
    QString addPair(const QString& name, QTemporaryDir& local);
    Tree localTree(const QString& root) const;
    Tree serverTree(const QString& name);
    QStringList serverTrash(const QString& name);
    static bool write(const QString& path, const QByteArray& bytes);
    static QStringList desktopTrash();

    KTestServer server;
    QTemporaryDir desktop;
    QString space;
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QNetworkAccessManager> network;
    std::unique_ptr<KFileSyncDatabase> store;
    std::unique_ptr<KSyncEngine> engine;
    int round = 0;
};

void TestLiveSync::initTestCase()
{
    qputenv("XDG_DATA_HOME", desktop.path().toUtf8());
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestLiveSync::init()
{
    base = std::make_unique<KTestBaseDir>();
    KFileSyncDatabase().initDatabase();
    KTransferSettings::setUploadJobs(2);
    KTransferSettings::setDownloadJobs(2);
    network = std::make_unique<QNetworkAccessManager>();
    store = std::make_unique<KFileSyncDatabase>();
    engine = std::make_unique<KSyncEngine>(network.get(), store.get());
    engine->watching()->server()->setIntervalMs(300);
    ++round;
}

void TestLiveSync::cleanup()
{
    engine.reset();
    KFileSyncOnceManager::configItemQueue.clear();
    KFileSyncOnceManager::passQueue.clear();
    KInflightJobs::clear();
    base.reset();
}

// Saved as the page saves it: the first pass runs at once.
QString TestLiveSync::addPair(const QString& name, QTemporaryDir& local)
{
    const QString folder = QStringLiteral("live%1-%2").arg(round).arg(name);
    if (!server.makeFolder(space, folder))
        return QString();
    const QString saved = store->addSyncConfig("", local.path(), "@" + space + "/" + folder, "1", "0", "3");
    engine->watching()->refresh();
    return folder;
}

Tree TestLiveSync::localTree(const QString& root) const
{
    Tree tree;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        tree.insert(file.fileName().mid(root.size() + 1), file.readAll());
    }
    return tree;
}

Tree TestLiveSync::serverTree(const QString& folder)
{
    Tree below;
    const Tree all = server.files(space);
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it.key().startsWith(folder + "/"))
            below.insert(it.key().mid(folder.size() + 1), it.value());
    }
    return below;
}

QStringList TestLiveSync::serverTrash(const QString& folder)
{
    QStringList paths;
    for (const QJsonValue& entry : server.trash(space))
        paths << entry.toObject().value("path").toString().section(folder + "/", 1);
    paths.removeAll(QString());
    paths.sort();
    return paths;
}

bool TestLiveSync::write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QStringList TestLiveSync::desktopTrash()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Trash/files")
        .entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
}

void TestLiveSync::editsAndDeletionsFollowWithoutAPass()
{
    QTemporaryDir local;
    QVERIFY(write(local.filePath("first.txt"), "there before"));
    const QString folder = addPair("edits", local);
    QVERIFY(!folder.isEmpty());
    engine->start();
    QTRY_COMPARE_WITH_TIMEOUT(serverTree(folder), (Tree{{"first.txt", "there before"}}), 30000);

    // A save on the local side, then an edit on the server, then deletions.
    QVERIFY(write(local.filePath("sub/saved.txt"), "saved locally"));
    QTRY_COMPARE_WITH_TIMEOUT(serverTree(folder).value("sub/saved.txt"), QByteArray("saved locally"), 30000);
    QVERIFY(server.putFile(space, folder + "/first.txt", "edited on the server"));
    QTRY_COMPARE_WITH_TIMEOUT(localTree(local.path()).value("first.txt"), QByteArray("edited on the server"), 30000);
    QVERIFY(QFile::remove(local.filePath("sub/saved.txt")));
    QTRY_COMPARE_WITH_TIMEOUT(serverTrash(folder).contains("sub/saved.txt") || serverTrash(folder).contains("sub"), true,
                              30000);
    QVERIFY(KServerRemoval::remove({{"@" + space + "/" + folder + "/first.txt", QString()}}).removed.size() == 1);
    QTRY_COMPARE_WITH_TIMEOUT(localTree(local.path()), Tree(), 30000);
    QVERIFY(desktopTrash().contains("first.txt"));
    QCOMPARE(serverTree(folder), Tree());
}

void TestLiveSync::manyDeletionsWaitForTheUser()
{
    QTemporaryDir local;
    Tree files;
    for (int i = 0; i < 60; ++i)
        files.insert(QStringLiteral("many/f%1.txt").arg(i), QByteArray::number(i));
    files.insert("kept.txt", "kept");
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY(write(local.filePath(it.key()), it.value()));
    const QString folder = addPair("guard", local);
    const QString id = store->getSyncConfigs().value(0).value(0);
    engine->start();
    QTRY_COMPARE_WITH_TIMEOUT(serverTree(folder), files, 60000);

    QVERIFY(QDir(local.filePath("many")).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(KPairStates::instance().state(id).state(), QStringLiteral("confirm"), 30000);
    QCOMPARE(KPairStates::instance().state(id).pending.server.size(), 60);
    QCOMPARE(serverTree(folder), files);
    engine->answerDeletions(id, true);
    QTRY_COMPARE_WITH_TIMEOUT(serverTree(folder), (Tree{{"kept.txt", "kept"}}), 30000);
    QCOMPARE(serverTrash(folder), QStringList{"many"});
}

// A paused pair is neither watched nor passed: its edit stays local while
// the edit of a pair beside it arrives.
void TestLiveSync::pausedPairMovesNothing()
{
    QTemporaryDir pausedLocal;
    QTemporaryDir activeLocal;
    const QString paused = addPair("paused", pausedLocal);
    const QString active = addPair("active", activeLocal);
    for (const QStringList& row : store->getSyncConfigs()) {
        if (row.value(1) == pausedLocal.path())
            QVERIFY(store->setPairPaused(row.value(0), true));
    }
    engine->start();
    QVERIFY(write(pausedLocal.filePath("stays.txt"), "not sent"));
    QVERIFY(write(activeLocal.filePath("goes.txt"), "sent"));
    QTRY_COMPARE_WITH_TIMEOUT(serverTree(active), (Tree{{"goes.txt", "sent"}}), 30000);
    QVERIFY(server.putFile(space, paused + "/from-server.txt", "not fetched"));
    QVERIFY(server.putFile(space, active + "/from-server.txt", "fetched"));
    QTRY_COMPARE_WITH_TIMEOUT(localTree(activeLocal.path()).value("from-server.txt"), QByteArray("fetched"), 30000);
    QCOMPARE(serverTree(paused), (Tree{{"from-server.txt", "not fetched"}}));
    QCOMPARE(localTree(pausedLocal.path()), (Tree{{"stays.txt", "not sent"}}));
}

QTEST_GUILESS_MAIN(TestLiveSync)
#include "tst_livesync.moc"
