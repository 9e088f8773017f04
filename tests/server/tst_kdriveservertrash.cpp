#include "ktestapiclient.h"
#include "ktestserver.h"

#include <QByteArrayList>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

// Removal into the trash over HTTP (kremovenodes), its 30 days, and restores
// from the command line beside the running server.
class TestKDriveServerTrash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void removesFilesAndFolderTrees();
    void changedNodesStopTheWholeRequest_data();
    void changedNodesStopTheWholeRequest();
    void resentRequestIsAnsweredOnce();
    void refusedRequestsRemoveNothing_data();
    void refusedRequestsRemoveNothing();
    void restoresFromTheCommandLine();
    void purgesAfterThirtyDays();

private:
    QMap<QString, QString> removal(const QStringList& paths, const QStringList& hashes = {});
    KTestApiClient::Answer remove(const QStringList& paths, const QStringList& hashes = {});
    QMap<QString, QByteArray> filesUnder(const QString& prefix);
    QJsonArray entriesUnder(const QString& prefix);
    static QStringList nodePaths(const QJsonObject& entry);
    static QString md5(const QByteArray& bytes);
    static QString treeDigest(const QMap<QString, QByteArray>& files);
    static QString json(const QStringList& texts);

    KTestServer server;
    std::unique_ptr<KTestApiClient> client;
    const QString space = KTestServer::demoPersonalSpace();
    const QString root = "@" + KTestServer::demoPersonalSpace();
};

void TestKDriveServerTrash::initTestCase()
{
    QVERIFY(server.start());
    client = std::make_unique<KTestApiClient>(server.baseUrl());
    QVERIFY(client->login(KTestServer::demoUser(), KTestServer::demoPassword()));
    QVERIFY(!server.addUser("eve", "eve-pw").isEmpty());
    QVERIFY(server.putFile(KTestServer::personalSpaceOf("eve"), "eve.txt", "eve's"));
}

QString TestKDriveServerTrash::json(const QStringList& texts)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(texts)).toJson(QJsonDocument::Compact));
}

QMap<QString, QString> TestKDriveServerTrash::removal(const QStringList& paths, const QStringList& hashes)
{
    QMap<QString, QString> params{{"op", "kremovenodes"}, {"paths", json(paths)}};
    if (!hashes.isEmpty())
        params.insert("datahashes", json(hashes));
    return params;
}

KTestApiClient::Answer TestKDriveServerTrash::remove(const QStringList& paths, const QStringList& hashes)
{
    return client->call(space, removal(paths, hashes));
}

QMap<QString, QByteArray> TestKDriveServerTrash::filesUnder(const QString& prefix)
{
    QMap<QString, QByteArray> found;
    const QMap<QString, QByteArray> all = server.files(space);
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        if (it.key().startsWith(prefix + "/"))
            found.insert(it.key().mid(prefix.size() + 1), it.value());
    }
    return found;
}

QJsonArray TestKDriveServerTrash::entriesUnder(const QString& prefix)
{
    QJsonArray found;
    for (const QJsonValue& entry : server.trash(space)) {
        if (entry.toObject().value("path").toString().startsWith(root + "/" + prefix + "/"))
            found.append(entry);
    }
    return found;
}

QStringList TestKDriveServerTrash::nodePaths(const QJsonObject& entry)
{
    QStringList paths;
    for (const QJsonValue& node : entry.value("nodes").toArray())
        paths.append(node.toObject().value("path").toString());
    return paths;
}

QString TestKDriveServerTrash::md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// What a client that last saw these files (paths inside the folder) expects
// of the folder: one "path TAB md5 LF" line per file, sorted, hashed.
QString TestKDriveServerTrash::treeDigest(const QMap<QString, QByteArray>& files)
{
    QByteArrayList lines;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        lines.append(it.key().toUtf8() + '\t' + md5(it.value()).toLatin1() + '\n');
    std::sort(lines.begin(), lines.end());
    return "tree:" + md5(lines.join());
}

void TestKDriveServerTrash::removesFilesAndFolderTrees()
{
    QVERIFY(server.putFile(space, "rm/a.txt", "first"));
    QVERIFY(server.putFile(space, "rm/a.txt", "second"));
    QVERIFY(server.putFile(space, "rm/docs/b.txt", "beta"));
    QVERIFY(server.putFile(space, "rm/docs/sub/c.txt", "gamma"));
    QVERIFY(server.makeFolder(space, "rm/docs/empty"));
    // Neighbours that sort right before and after the folder's subtree.
    QVERIFY(server.putFile(space, "rm/docs.txt", "stays"));
    QVERIFY(server.putFile(space, "rm/docs0/d.txt", "stays too"));

    const KTestApiClient::Answer answer = remove({root + "/rm/a.txt", root + "/rm/docs"});
    QCOMPARE(answer.code(), 0);
    const QJsonArray outcomes = answer.data().toArray();
    QCOMPARE(outcomes.size(), 2);
    QCOMPARE(outcomes.at(1).toObject().value("path").toString(), root + "/rm/docs");
    QCOMPARE(outcomes.at(1).toObject().value("removed").toBool(), true);

    QCOMPARE(filesUnder("rm"), (QMap<QString, QByteArray>{{"docs.txt", "stays"}, {"docs0/d.txt", "stays too"}}));
    QVERIFY(!server.folders(space).contains("rm/docs/empty"));
    const QJsonArray entries = entriesUnder("rm");
    QCOMPARE(entries.size(), 2);
    const QJsonObject file = entries.at(0).toObject();
    QCOMPARE(file.value("entryid").toDouble(), outcomes.at(0).toObject().value("entryid").toDouble());
    QCOMPARE(file.value("path").toString(), root + "/rm/a.txt");
    QCOMPARE(file.value("isfile").toBool(), true);
    QCOMPARE(file.value("ruser").toString(), KTestServer::demoUser());
    QCOMPARE(file.value("expires").toDouble() - file.value("rtime").toDouble(), 30.0 * 86400 * 1000);
    const QJsonArray versions = file.value("nodes").toArray().at(0).toObject().value("versions").toArray();
    QCOMPARE(versions.size(), 2);
    QCOMPARE(versions.at(0).toObject().value("datahash").toString(), md5("second"));
    QCOMPARE(versions.at(1).toObject().value("datahash").toString(), md5("first"));
    const QJsonObject folder = entries.at(1).toObject();
    QCOMPARE(folder.value("isfile").toBool(true), false);
    QCOMPARE(nodePaths(folder), (QStringList{root + "/rm/docs", root + "/rm/docs/b.txt", root + "/rm/docs/empty",
                                             root + "/rm/docs/sub", root + "/rm/docs/sub/c.txt"}));
}

void TestKDriveServerTrash::changedNodesStopTheWholeRequest_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("stale");
    QTest::addColumn<QString>("current");
    const QMap<QString, QByteArray> folder{{"a.txt", "alpha"}, {"sub/b.txt", "beta"}};
    QTest::newRow("file edited") << "f.txt" << md5("old") << md5("new");
    QTest::newRow("file added in the folder") << "d" << treeDigest({{"a.txt", "alpha"}}) << treeDigest(folder);
    QTest::newRow("file edited in the folder") << "d" << treeDigest({{"a.txt", "alpha 0"}, {"sub/b.txt", "beta"}})
                                               << treeDigest(folder);
    QTest::newRow("file renamed in the folder") << "d" << treeDigest({{"a.txt", "alpha"}, {"sub/c.txt", "beta"}})
                                                << treeDigest(folder);
    QTest::newRow("folder where a file was") << "d" << md5("alpha") << treeDigest(folder);
    QTest::newRow("file where a folder was") << "f.txt" << treeDigest({}) << md5("new");
}

void TestKDriveServerTrash::changedNodesStopTheWholeRequest()
{
    QFETCH(QString, target);
    QFETCH(QString, stale);
    QFETCH(QString, current);
    const QString dir = QStringLiteral("stale/") + QTest::currentDataTag();
    QVERIFY(server.putFile(space, dir + "/keep.txt", "removed only with the rest"));
    QVERIFY(server.putFile(space, dir + "/f.txt", "old"));
    QVERIFY(server.putFile(space, dir + "/f.txt", "new"));
    QVERIFY(server.putFile(space, dir + "/d/a.txt", "alpha"));
    QVERIFY(server.putFile(space, dir + "/d/sub/b.txt", "beta"));
    const QMap<QString, QByteArray> before = filesUnder(dir);
    const QStringList paths{root + "/" + dir + "/keep.txt", root + "/" + dir + "/" + target};

    const KTestApiClient::Answer refused = remove(paths, {"", stale});
    QCOMPARE(refused.code(), 22);
    QCOMPARE(refused.data().toArray().size(), 1);
    QCOMPARE(refused.data().toArray().at(0).toObject().value("path").toString(), paths.at(1));
    QCOMPARE(filesUnder(dir), before);
    QCOMPARE(entriesUnder(dir).size(), 0);

    QCOMPARE(remove(paths, {"", current.toUpper().replace("TREE:", "tree:")}).code(), 0);
    QCOMPARE(entriesUnder(dir).size(), 2);
    QVERIFY(!filesUnder(dir).contains(target == "d" ? "d/a.txt" : "f.txt"));
}

void TestKDriveServerTrash::resentRequestIsAnsweredOnce()
{
    const QString path = root + "/again/a.txt";
    QVERIFY(server.putFile(space, "again/a.txt", "one"));
    // A resent POST carries the same x-date and signature as the first.
    const QString date = KTestApiClient::httpDate(QDateTime::currentDateTimeUtc());
    const QMap<QString, QString> params = removal({path});
    const KTestApiClient::Answer first = client->callAt(client->apiUrl(space), params, date);
    QCOMPARE(first.code(), 0);
    QVERIFY(server.putFile(space, "again/a.txt", "two"));
    const KTestApiClient::Answer resent = client->callAt(client->apiUrl(space), params, date);
    QCOMPARE(resent.code(), 0);
    QCOMPARE(resent.data(), first.data());
    QCOMPARE(filesUnder("again"), (QMap<QString, QByteArray>{{"a.txt", "two"}}));
    QCOMPARE(entriesUnder("again").size(), 1);

    const KTestApiClient::Answer absent = remove({root + "/again/never.txt"}, {md5("x")});
    QCOMPARE(absent.code(), 0);
    QCOMPARE(absent.data().toArray().at(0).toObject().value("removed").toBool(true), false);
    QCOMPARE(absent.data().toArray().at(0).toObject().value("entryid").toDouble(-1), 0.0);
    QCOMPARE(entriesUnder("again").size(), 1);

    // A fault on the operation answers before anything is removed.
    QVERIFY(server.setFault({{"target", "kremovenodes"}, {"action", "html"}}));
    QCOMPARE(remove({path}, {md5("two")}).status, 500);
    QCOMPARE(filesUnder("again").size(), 1);
    QCOMPARE(remove({path}, {md5("two")}).code(), 0);
    QCOMPARE(filesUnder("again").size(), 0);
    QCOMPARE(entriesUnder("again").size(), 2);
}

void TestKDriveServerTrash::refusedRequestsRemoveNothing_data()
{
    QTest::addColumn<QString>("paths");
    QTest::addColumn<QString>("hashes");
    QTest::addColumn<int>("code");
    const QString mine = root + "/refused/mine.txt";
    QStringList many;
    for (int i = 0; i < 1001; ++i)
        many.append(mine);
    QTest::newRow("foreign space") << json({mine, "@home-eve/eve.txt"}) << "" << 13;
    QTest::newRow("system space") << json({"@sys-demo/x"}) << "" << 13;
    QTest::newRow("climbing out") << json({mine, root + "/refused/../x"}) << "" << 14;
    QTest::newRow("trailing slash") << json({root + "/refused/"}) << "" << 14;
    QTest::newRow("space root") << json({root}) << "" << 14;
    QTest::newRow("not an array") << mine << "" << 2;
    QTest::newRow("not texts") << "[1]" << "" << 2;
    QTest::newRow("too many") << json(many) << "" << 2;
    QTest::newRow("one hash for two paths") << json({mine, mine}) << json({md5("mine")}) << 2;
    QTest::newRow("hash not hex") << json({mine}) << json({"xyz"}) << 2;
    QTest::newRow("tree without digest") << json({mine}) << json({"tree:"}) << 2;
}

void TestKDriveServerTrash::refusedRequestsRemoveNothing()
{
    QFETCH(QString, paths);
    QFETCH(QString, hashes);
    QFETCH(int, code);
    QVERIFY(server.putFile(space, "refused/mine.txt", "mine"));
    const QMap<QString, QByteArray> eve = server.files(KTestServer::personalSpaceOf("eve"));
    const QMap<QString, QByteArray> mine = server.files(space);
    const int entries = server.trash(space).size();
    QMap<QString, QString> params{{"op", "kremovenodes"}, {"paths", paths}};
    if (!hashes.isEmpty())
        params.insert("datahashes", hashes);
    const KTestApiClient::Answer answer = client->call(space, params);
    QVERIFY2(answer.code() == code, answer.body.constData());
    QCOMPARE(server.files(KTestServer::personalSpaceOf("eve")), eve);
    QCOMPARE(server.files(space), mine);
    QCOMPARE(server.trash(space).size(), entries);
    QCOMPARE(server.trash(KTestServer::personalSpaceOf("eve")).size(), 0);
}

void TestKDriveServerTrash::restoresFromTheCommandLine()
{
    QVERIFY(server.putFile(space, "back/docs/a.txt", "a1"));
    QVERIFY(server.putFile(space, "back/docs/a.txt", "a2"));
    QVERIFY(server.putFile(space, "back/docs/sub/b.txt", "b"));
    QVERIFY(server.putFile(space, "back/f.txt", "f"));
    QCOMPARE(remove({root + "/back/docs", root + "/back/f.txt"}).code(), 0);
    const QJsonArray entries = entriesUnder("back");
    QCOMPARE(entries.size(), 2);
    const QString folderId = QString::number(entries.at(0).toObject().value("entryid").toInt());
    const QString fileId = QString::number(entries.at(1).toObject().value("entryid").toInt());
    QString output;
    QCOMPARE(server.runCommand({"trash-list", space}, &output), 0);
    QVERIFY2(output.contains(QRegularExpression("^" + folderId + "\t\\d{4}-\\d\\d-\\d\\dT[0-9:]{8}Z\tdemo\tfolder\t2\t"
                                                + QRegularExpression::escape(root + "/back/docs") + "$",
                                                QRegularExpression::MultilineOption)),
             qPrintable(output));

    // Both places were taken again after the removal.
    QVERIFY(server.putFile(space, "back/docs/a.txt", "new a"));
    QVERIFY(server.putFile(space, "back/f.txt", "new f"));
    QCOMPARE(server.runCommand({"restore", space, folderId}, &output), 0);
    QCOMPARE(output, "restored entry " + folderId + " to " + root + "/back/docs (restored)\n");
    QCOMPARE(server.runCommand({"restore", space, fileId, "--to", "back/f.txt"}, &output), 0);
    QCOMPARE(output, "restored entry " + fileId + " to " + root + "/back/f (restored).txt\n");
    QCOMPARE(filesUnder("back"), (QMap<QString, QByteArray>{{"docs/a.txt", "new a"},
                                                             {"docs (restored)/a.txt", "a2"},
                                                             {"docs (restored)/sub/b.txt", "b"},
                                                             {"f.txt", "new f"},
                                                             {"f (restored).txt", "f"}}));
    const QJsonArray restored = client->call(space, {{"op", "kgetnodes"}, {"paths", json({root + "/back/docs (restored)/a.txt"})}})
                                    .data().toArray();
    QCOMPARE(restored.at(0).toObject().value("versions").toArray().size(), 2);
    QCOMPARE(entriesUnder("back").size(), 0);
    QCOMPARE(server.runCommand({"restore", space, fileId}, &output), 1);
    QVERIFY2(output.contains("no entry " + fileId), qPrintable(output));

    // Elsewhere, under names of other lengths, and refused where a file is in the way.
    QCOMPARE(remove({root + "/back/docs (restored)"}).code(), 0);
    const QString againId = QString::number(entriesUnder("back").at(0).toObject().value("entryid").toInt());
    QCOMPARE(server.runCommand({"restore", space, againId, "--to", "back/f.txt/inner"}, &output), 1);
    QVERIFY2(output.contains("a file is in the way of " + root + "/back/f.txt"), qPrintable(output));
    QCOMPARE(server.runCommand({"restore", space, againId, "--to", "back/../x"}, &output), 1);
    QCOMPARE(server.runCommand({"restore", space, againId, "--to", "back/移/😀"}, &output), 0);
    QCOMPARE(filesUnder("back/移"), (QMap<QString, QByteArray>{{"😀/a.txt", "a2"}, {"😀/sub/b.txt", "b"}}));
    QCOMPARE(server.runCommand({"trash-list", "no-such-space"}, &output), 1);
}

void TestKDriveServerTrash::purgesAfterThirtyDays()
{
    const QByteArray content = "kept in the content store after the purge";
    QVERIFY(server.putFile(space, "old/a.txt", content));
    QCOMPARE(remove({root + "/old/a.txt"}).code(), 0);
    const auto anyRequest = [&] { return client->call(space, {{"op", "kgetnodes"}, {"paths", "[]"}}).code(); };

    QVERIFY(server.configure({{"trashClockOffset", 29 * 86400}}));
    QCOMPARE(anyRequest(), 0);
    QCOMPARE(entriesUnder("old").size(), 1);
    QVERIFY(server.configure({{"trashClockOffset", 31 * 86400}}));
    QCOMPARE(anyRequest(), 0);
    QCOMPARE(server.trash(space).size(), 0);
    QVERIFY(server.configure({{"trashClockOffset", 0}}));
    QCOMPARE(client->askUpload(root + "/old/again.txt", content).data().toObject().value("upmethod").toString(),
             QStringLiteral("HIT"));
}

QTEST_GUILESS_MAIN(TestKDriveServerTrash)
#include "tst_kdriveservertrash.moc"
