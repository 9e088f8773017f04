#include "ktestapiclient.h"
#include "ktestserver.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

// The tree operations of the running server: kgetnodes, klistdir, domkdirs.
class TestKDriveServerTree : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void makeDirsCreatesTheChain();
    void listingShowsDirectChildrenWithFullPaths();
    void listingFiltersAndDepth();
    void listingRefusals();
    void getNodesKeepsOrderAndSkipsMissing();
    void getNodesCountsForTheUploadCheck();
    void fileInTheWayOfFolders();
    void nodeFieldsHaveTheirTypes();

private:
    KTestApiClient::Answer list(const QString& dir, const QString& depth = "1", const QString& files = "true",
                                const QString& folders = "true");
    KTestApiClient::Answer nodes(const QStringList& paths);
    static QStringList pathsOf(const KTestApiClient::Answer& answer);

    KTestServer server;
    std::unique_ptr<KTestApiClient> client;
    const QString space = KTestServer::demoPersonalSpace();
    const QString root = "@" + KTestServer::demoPersonalSpace();
};

void TestKDriveServerTree::initTestCase()
{
    QVERIFY(server.start());
    client = std::make_unique<KTestApiClient>(server.baseUrl());
    QVERIFY(client->login(KTestServer::demoUser(), KTestServer::demoPassword()));
    QVERIFY(server.putFile(space, "t/docs/a.txt", "alpha"));
    QVERIFY(server.putFile(space, "t/docs/b.txt", "beta"));
    QVERIFY(server.putFile(space, "t/docs/sub/c.txt", "gamma"));
    QVERIFY(server.makeFolder(space, "t/docs/empty"));
    QVERIFY(server.putFile(space, "t/docs.txt", "a sibling that sorts next to the folder"));
}

KTestApiClient::Answer TestKDriveServerTree::list(const QString& dir, const QString& depth, const QString& files,
                                                  const QString& folders)
{
    return client->call(space, {{"op", "klistdir"}, {"dirpath", dir}, {"hasfile", files}, {"hasdir", folders},
                                {"hasmeta", "false"}, {"depth", depth}});
}

KTestApiClient::Answer TestKDriveServerTree::nodes(const QStringList& paths)
{
    return client->call(space, {{"op", "kgetnodes"}, {"paths", QJsonDocument(QJsonArray::fromStringList(paths)).toJson(QJsonDocument::Compact)}});
}

QStringList TestKDriveServerTree::pathsOf(const KTestApiClient::Answer& answer)
{
    QStringList paths;
    for (const QJsonValue& node : answer.data().toArray())
        paths.append(node.toObject().value("path").toString());
    return paths;
}

void TestKDriveServerTree::makeDirsCreatesTheChain()
{
    const KTestApiClient::Answer answer = client->call(space, {{"op", "domkdirs"}, {"dirpath", root + "/m/x/y/云盘"}});
    QCOMPARE(answer.code(), 0);
    QCOMPARE(answer.data().toObject().value("path").toString(), root + "/m/x/y/云盘");
    QCOMPARE(client->call(space, {{"op", "domkdirs"}, {"dirpath", root + "/m/x"}}).code(), 0);
    QCOMPARE(client->call(space, {{"op", "domkdirs"}, {"dirpath", root}}).code(), 0);
    const QStringList folders = server.folders(space);
    for (const QString& folder : QStringList{"m", "m/x", "m/x/y", "m/x/y/云盘"})
        QVERIFY2(folders.contains(folder), qPrintable(folder));
}

void TestKDriveServerTree::listingShowsDirectChildrenWithFullPaths()
{
    const KTestApiClient::Answer answer = list(root + "/t/docs");
    QCOMPARE(answer.code(), 0);
    QCOMPARE(pathsOf(answer), (QStringList{root + "/t/docs/a.txt", root + "/t/docs/b.txt", root + "/t/docs/empty",
                                           root + "/t/docs/sub"}));
    QCOMPARE(pathsOf(list(root + "/t/docs/empty")), QStringList());
    QCOMPARE(pathsOf(list(root + "/t")), (QStringList{root + "/t/docs", root + "/t/docs.txt"}));
}

void TestKDriveServerTree::listingFiltersAndDepth()
{
    QCOMPARE(pathsOf(list(root + "/t/docs", "1", "true", "false")), (QStringList{root + "/t/docs/a.txt", root + "/t/docs/b.txt"}));
    QCOMPARE(pathsOf(list(root + "/t/docs", "1", "false", "true")), (QStringList{root + "/t/docs/empty", root + "/t/docs/sub"}));
    QCOMPARE(pathsOf(list(root + "/t", "2", "true", "false")),
             (QStringList{root + "/t/docs.txt", root + "/t/docs/a.txt", root + "/t/docs/b.txt"}));
    QCOMPARE(pathsOf(list(root + "/t", "3", "true", "false")).size(), 4);
}

void TestKDriveServerTree::listingRefusals()
{
    const KTestApiClient::Answer missing = list(root + "/t/nothing");
    QCOMPARE(missing.code(), 20);
    QCOMPARE(missing.data().toArray().size(), 0);
    QCOMPARE(list(root + "/t/docs/a.txt").code(), 20);
    QCOMPARE(list(root + "/t", "0").code(), 2);
    QCOMPARE(list(root + "/t", "many").code(), 2);
}

void TestKDriveServerTree::getNodesKeepsOrderAndSkipsMissing()
{
    const KTestApiClient::Answer answer = nodes({root + "/t/docs/b.txt", root + "/t/missing", root + "/t/docs", root});
    QCOMPARE(answer.code(), 0);
    QCOMPARE(pathsOf(answer), (QStringList{root + "/t/docs/b.txt", root + "/t/docs", root}));
    QCOMPARE(nodes({}).data().toArray().size(), 0);
    QCOMPARE(client->call(space, {{"op", "kgetnodes"}, {"paths", "not json"}}).code(), 2);
}

void TestKDriveServerTree::getNodesCountsForTheUploadCheck()
{
    // The upload check sends [file, parent]: 2 both exist, 1 only the parent, 0 neither.
    QCOMPARE(nodes({root + "/t/docs/a.txt", root + "/t/docs"}).data().toArray().size(), 2);
    QCOMPARE(nodes({root + "/t/docs/new.txt", root + "/t/docs"}).data().toArray().size(), 1);
    QCOMPARE(nodes({root + "/t/none/new.txt", root + "/t/none"}).data().toArray().size(), 0);
    QCOMPARE(nodes({root + "/top.txt", root}).data().toArray().size(), 1);
}

void TestKDriveServerTree::fileInTheWayOfFolders()
{
    QCOMPARE(client->call(space, {{"op", "domkdirs"}, {"dirpath", root + "/t/docs/a.txt/inner"}}).code(), 21);
    QVERIFY(!server.folders(space).contains("t/docs/a.txt/inner"));
    QCOMPARE(server.fileContent(space, "t/docs/a.txt"), QByteArray("alpha"));
}

void TestKDriveServerTree::nodeFieldsHaveTheirTypes()
{
    const QJsonArray found = nodes({root + "/t/docs/a.txt", root + "/t/docs"}).data().toArray();
    const QJsonObject file = found.at(0).toObject();
    QCOMPARE(file.value("isfile").toBool(), true);
    QVERIFY(file.value("isfile").isBool());
    QVERIFY(file.value("showpath").isString());
    QVERIFY(file.value("cuser").isString());
    QVERIFY(file.value("ctime").isDouble());
    QVERIFY(file.value("cnum").isDouble());
    const QJsonObject version = file.value("versions").toArray().at(0).toObject();
    QCOMPARE(version.value("datahash").toString(),
             QString::fromLatin1(QCryptographicHash::hash("alpha", QCryptographicHash::Md5).toHex()));
    QCOMPARE(version.value("datasize").toDouble(), 5.0);
    QVERIFY(version.value("vuser").isString());
    QVERIFY(version.value("vtime").isDouble());
    QCOMPARE(version.value("version").toDouble(), 1.0);
    const QJsonObject folder = found.at(1).toObject();
    QCOMPARE(folder.value("isfile").toBool(true), false);
    QCOMPARE(folder.value("versions").toArray().size(), 0);
}

QTEST_GUILESS_MAIN(TestKDriveServerTree)
#include "tst_kdriveservertree.moc"
