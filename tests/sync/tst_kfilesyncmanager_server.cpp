#include "ktestserver.h"
#include "ktestsession.h"
#include "sync/kfilesyncmanager.h"

#include <QtTest>

// The server scan against the reference server.
class TestServerScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nestedFoldersFlattenToFiles();
    void emptyFolderCostsOneRequest();
    void oneRequestPerFolder();

private:
    qint64 listings();

    KTestServer server;
    QString space;
};

void TestServerScan::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
    QVERIFY(server.putFile(space, "root/F/f1.txt", "one"));
    QVERIFY(server.putFile(space, "root/F/f2.txt", "two"));
    QVERIFY(server.putFile(space, "root/F/G/deep.bin", QByteArray(3000, 'd')));
    QVERIFY(server.putFile(space, "root/g.txt", "gee"));
    QVERIFY(server.putFile(space, "root/F/f1.txt", "one, second version"));
    QVERIFY(server.makeFolder(space, "root/E"));
    QVERIFY(server.makeFolder(space, "empty"));
}

void TestServerScan::cleanupTestCase()
{
    kClearTestSession();
}

qint64 TestServerScan::listings()
{
    return server.stats().value("klistdir");
}

void TestServerScan::nestedFoldersFlattenToFiles()
{
    const QString root = "@" + space + "/root";
    const QList<KNodeInfo> nodes = KFileSyncManager::getALLServerPaths(root);
    QMap<QString, KNodeInfo> byPath;
    for (const KNodeInfo& node : nodes) {
        QVERIFY(node.isfile);
        QVERIFY(node.path.startsWith(root + "/"));
        byPath.insert(node.path, node);
    }
    QCOMPARE(byPath.keys(), (QStringList{root + "/F/G/deep.bin", root + "/F/f1.txt", root + "/F/f2.txt", root + "/g.txt"}));
    const KNodeInfo f1 = byPath.value(root + "/F/f1.txt");
    QCOMPARE(f1.versions.size(), 2);
    // md5sum of "one, second version" and of "one"
    QCOMPARE(f1.versions[0].datahash, QStringLiteral("d51a63a24774d64cd8ab931e4ef8b563"));
    QCOMPARE(f1.versions[0].datasize, qint64(19));
    QCOMPARE(f1.versions[1].datahash, QStringLiteral("f97c5d29941bfb1b2fdab0874906ab82"));
    QCOMPARE(byPath.value(root + "/F/G/deep.bin").versions.value(0).datasize, qint64(3000));
}

void TestServerScan::emptyFolderCostsOneRequest()
{
    const qint64 before = listings();
    QVERIFY(KFileSyncManager::getALLServerPaths("@" + space + "/empty").isEmpty());
    QCOMPARE(listings() - before, qint64(1));
}

void TestServerScan::oneRequestPerFolder()
{
    const qint64 before = listings();
    KFileSyncManager::getALLServerPaths("@" + space + "/root");
    QCOMPARE(listings() - before, qint64(4)); // root, F, F/G, E
}

QTEST_GUILESS_MAIN(TestServerScan)
#include "tst_kfilesyncmanager_server.moc"
