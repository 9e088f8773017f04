#include "khttppeer.h"
#include "ktestbasedir.h"
#include "login/ksession.h"
#include "sync/kfilesyncmanager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// Local tree scans, and the server scan's handling of names a listing must
// never map outside its folder.
class TestLocalAndUnsafeScans : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void missingOrFileRootGivesNothing();
    void emptyFoldersGiveNothing();
    void nameOrderIgnoresCaseWithFoldersInPlace();
    void hiddenEntriesAreLeftOut();
    void trailingSlashOnRoot();
    void linksAreFollowedButCyclesEnd();
    void listEntriesRows();
    void unsafeServerNamesAreDropped();
    void unreadableServerListingThrows();
};

namespace {

void write(const QString& path, const QByteArray& bytes = "x")
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

void TestLocalAndUnsafeScans::cleanup()
{
    WexoraBase::accessdata = KAccessData();
    WexoraBase::baseServer.clear();
}

void TestLocalAndUnsafeScans::missingOrFileRootGivesNothing()
{
    QTemporaryDir tmp;
    write(tmp.path() + "/f.txt");
    QVERIFY(KFileSyncManager::getALLLocalPaths(tmp.path() + "/missing").isEmpty());
    QVERIFY(KFileSyncManager::getALLLocalPaths(tmp.path() + "/f.txt").isEmpty());
    QVERIFY(KFileSyncManager::listEntries(tmp.path() + "/missing", true, true).isEmpty());
}

void TestLocalAndUnsafeScans::emptyFoldersGiveNothing()
{
    QTemporaryDir tmp;
    QVERIFY(KFileSyncManager::getALLLocalPaths(tmp.path()).isEmpty());
    QDir().mkpath(tmp.path() + "/a/b/c");
    QDir().mkpath(tmp.path() + "/d");
    QVERIFY(KFileSyncManager::getALLLocalPaths(tmp.path()).isEmpty());
}

void TestLocalAndUnsafeScans::nameOrderIgnoresCaseWithFoldersInPlace()
{
    QTemporaryDir tmp;
    const QString root = tmp.path();
    write(root + "/b.txt");
    write(root + "/A/x.txt");
    write(root + "/a2/y.txt");
    write(root + "/c.txt");
    write(root + "/a2/Z/deep.bin");
    write(root + "/a2/m.txt");
    QCOMPARE(KFileSyncManager::getALLLocalPaths(root),
             (QStringList{root + "/A/x.txt", root + "/a2/m.txt", root + "/a2/y.txt", root + "/a2/Z/deep.bin",
                          root + "/b.txt", root + "/c.txt"}));
}

void TestLocalAndUnsafeScans::hiddenEntriesAreLeftOut()
{
    QTemporaryDir tmp;
    const QString root = tmp.path();
    write(root + "/.hidden.txt");
    write(root + "/.git/config");
    write(root + "/visible/.secret");
    write(root + "/visible/shown.txt");
    QCOMPARE(KFileSyncManager::getALLLocalPaths(root), QStringList{root + "/visible/shown.txt"});
}

void TestLocalAndUnsafeScans::trailingSlashOnRoot()
{
    QTemporaryDir tmp;
    write(tmp.path() + "/d/f.txt");
    QCOMPARE(KFileSyncManager::getALLLocalPaths(tmp.path() + "/"), QStringList{tmp.path() + "/d/f.txt"});
    QCOMPARE(KFileSyncManager::getALLLocalPaths(tmp.path() + "//"), QStringList{tmp.path() + "/d/f.txt"});
}

void TestLocalAndUnsafeScans::linksAreFollowedButCyclesEnd()
{
    QTemporaryDir tmp;
    const QString root = tmp.path() + "/root";
    write(root + "/a/f.txt");
    write(tmp.path() + "/outside/o.txt");
    QVERIFY(QFile::link(root, root + "/a/back"));          // leads to an ancestor
    QVERIFY(QFile::link(root + "/a", root + "/a/self"));    // leads to itself
    QVERIFY(QFile::link(tmp.path() + "/outside", root + "/out"));
    QVERIFY(QFile::link(root + "/a/f.txt", root + "/flink.txt"));
    QVERIFY(QFile::link(tmp.path() + "/nowhere", root + "/broken"));
    QCOMPARE(KFileSyncManager::getALLLocalPaths(root),
             (QStringList{root + "/a/f.txt", root + "/flink.txt", root + "/out/o.txt"}));
}

void TestLocalAndUnsafeScans::listEntriesRows()
{
    QTemporaryDir tmp;
    write(tmp.path() + "/b.txt");
    QDir().mkpath(tmp.path() + "/A");
    const QList<QStringList> all = KFileSyncManager::listEntries(tmp.path(), true, true);
    QCOMPARE(all, (QList<QStringList>{{"A", "false"}, {"b.txt", "true"}}));
    QCOMPARE(KFileSyncManager::listEntries(tmp.path(), false, true), (QList<QStringList>{{"b.txt", "true"}}));
    QCOMPARE(KFileSyncManager::listEntries(tmp.path(), true, false), (QList<QStringList>{{"A", "false"}}));
}

void TestLocalAndUnsafeScans::unsafeServerNamesAreDropped()
{
    KTestBaseDir base;
    base.installLogSink();
    KHttpPeer peer;
    peer.respond(200, "{\"code\":0,\"data\":["
                      "{\"path\":\"@s1/d/..\",\"isfile\":true},"
                      "{\"path\":\"@s1/d/.\",\"isfile\":true},"
                      "{\"path\":\"@s1/d/\",\"isfile\":true},"
                      "{\"path\":\"\",\"isfile\":true},"
                      "{\"path\":\"..\\\\..\\\\evil.txt\",\"isfile\":true},"
                      "{\"path\":\"@s1/elsewhere/ok.txt\",\"isfile\":true}]}");
    WexoraBase::baseServer = peer.url();
    WexoraBase::accessdata.spaces = {{"s1", "one", "/api", "@s1"}};
    const QList<KNodeInfo> files = KFileSyncManager::getALLServerPaths("@s1/d");
    QStringList paths;
    for (const KNodeInfo& node : files)
        paths << node.path;
    QCOMPARE(paths, (QStringList{"@s1/d/evil.txt", "@s1/d/ok.txt"}));
    QCOMPARE(base.todaysLog().count(QStringLiteral("[忽略非法路径]")), 4);
}

void TestLocalAndUnsafeScans::unreadableServerListingThrows()
{
    KHttpPeer peer;
    peer.respond(502, "<html>bad gateway</html>");
    WexoraBase::baseServer = peer.url();
    WexoraBase::accessdata.spaces = {{"s1", "one", "/api", "@s1"}};
    bool thrown = false;
    try {
        KFileSyncManager::getALLServerPaths("@s1");
    } catch (const char*) {
        thrown = true;
    }
    QVERIFY(thrown);
}

QTEST_GUILESS_MAIN(TestLocalAndUnsafeScans)
#include "tst_kfilesyncmanager_scan.moc"
