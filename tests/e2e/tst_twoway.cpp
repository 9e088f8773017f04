#include "api/khttptools.h"
#include "store/kfilesyncdatabase.h"
#include "store/ksyncconflicts.h"
#include "store/ksyncjournal.h"
#include "sync/knodetools.h"
#include "ktestclient.h"
#include "ktestserver.h"
#include "ktestsession.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

// Two clients (two base directories, two local folders) on one server
// folder in the two-way direction, against the reference server: after each
// step the whole trees of both clients and of the server are compared.
class TestTwoWay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void editsTravelBothWaysAndConflictsKeepEveryByte();
    void fileRewrittenDuringItsUploadIsNotCommitted();

private:
    QMap<QString, QByteArray> serverFiles() const;
    QList<QByteArray> allVersions(const QString& rel) const;
    void syncAll(KTestClient& a, KTestClient& b);

    KTestServer server;
    QString space;
    QString folder;
    int round = 0;
};

void TestTwoWay::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestTwoWay::init()
{
    folder = QStringLiteral("shared%1").arg(++round);
    QVERIFY(server.makeFolder(space, folder));
}

QMap<QString, QByteArray> TestTwoWay::serverFiles() const
{
    QMap<QString, QByteArray> below;
    const QMap<QString, QByteArray> all = const_cast<KTestServer&>(server).files(space);
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it.key().startsWith(folder + "/"))
            below.insert(it.key().mid(folder.size() + 1), it.value());
    }
    return below;
}

// The bytes of every version of a server file, newest first, fetched the way
// a client fetches an older version: "kaskdownload" naming its datahash.
QList<QByteArray> TestTwoWay::allVersions(const QString& rel) const
{
    const QString path = "@" + space + "/" + folder + "/" + rel;
    QList<QByteArray> contents;
    QNetworkAccessManager network;
    for (const KVersionInfo& version : KNodeTools::parseNode(KNodeTools::getNode(path)).versions) {
        const QString answer = KHttpTools::callApi(KHttpTools::apiUrlFor(path),
                                                   {{"op", "kaskdownload"}, {"filepath", path},
                                                    {"datahash", version.datahash}},
                                                   true);
        const QString url = KHttpTools::parseResponse(answer).toObject().value("url").toString();
        QNetworkReply* reply = network.get(QNetworkRequest(QUrl(url)));
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        contents.append(reply->readAll());
        reply->deleteLater();
    }
    return contents;
}

void TestTwoWay::syncAll(KTestClient& a, KTestClient& b)
{
    QVERIFY(a.syncOnce());
    QVERIFY(b.syncOnce());
    QVERIFY(a.syncOnce());
}

void TestTwoWay::editsTravelBothWaysAndConflictsKeepEveryByte()
{
    KTestClient a;
    KTestClient b;
    const QString remote = "@" + space + "/" + folder;
    QVERIFY(!a.addPair(remote).isEmpty());
    QVERIFY(!b.addPair(remote).isEmpty());
    QVERIFY(a.write("a.txt", "first"));
    QVERIFY(a.write("sub/b.txt", "bee"));
    QVERIFY(server.putFile(space, folder + "/s.txt", "from the server"));

    // First syncs: everything everywhere.
    syncAll(a, b);
    const QMap<QString, QByteArray> start{{"a.txt", "first"}, {"sub/b.txt", "bee"}, {"s.txt", "from the server"}};
    QCOMPARE(a.files(), start);
    QCOMPARE(b.files(), start);
    QCOMPARE(serverFiles(), start);

    // Nothing changed: no job, no byte read again, on either client.
    const qint64 hashed = KFileSyncDatabase::bytesHashed();
    QVERIFY(a.syncOnce());
    QVERIFY(b.syncOnce());
    QCOMPARE(a.uploadsLastSync() + a.downloadsLastSync() + b.uploadsLastSync() + b.downloadsLastSync(), 0);
    QCOMPARE(KFileSyncDatabase::bytesHashed(), hashed);

    // An edit on A reaches B; an edit on the server reaches A and B.
    QVERIFY(a.write("a.txt", "second, longer"));
    QVERIFY(server.putFile(space, folder + "/sub/b.txt", "bee two"));
    syncAll(a, b);
    const QMap<QString, QByteArray> edited{{"a.txt", "second, longer"}, {"sub/b.txt", "bee two"},
                                           {"s.txt", "from the server"}};
    QCOMPARE(a.files(), edited);
    QCOMPARE(b.files(), edited);
    QCOMPARE(serverFiles(), edited);

    // Both edit the same file: B's content becomes a conflict copy beside it,
    // on both clients and on the server, and no version is lost.
    QVERIFY(a.write("a.txt", "A wins the race"));
    QVERIFY(b.write("a.txt", "B came second"));
    syncAll(a, b);
    const QList<KConflict> conflicts = (b.activate(), KSyncConflicts::all());
    QCOMPARE(conflicts.size(), 1);
    const QString copy = conflicts.first().copyRelPath;
    QVERIFY2(copy.startsWith("a (冲突副本 ") && copy.endsWith(").txt"), qPrintable(copy));
    QMap<QString, QByteArray> settled = edited;
    settled["a.txt"] = "A wins the race";
    settled[copy] = "B came second";
    QCOMPARE(a.files(), settled);
    QCOMPARE(b.files(), settled);
    QCOMPARE(serverFiles(), settled);
    QCOMPARE(allVersions("a.txt"), (QList<QByteArray>{"A wins the race", "second, longer", "first"}));
}

// The commit re-checks the file: content that changed after it was hashed
// must not be committed under the old digest; the next pass sends the new.
void TestTwoWay::fileRewrittenDuringItsUploadIsNotCommitted()
{
    KTestClient a;
    QVERIFY(!a.addPair("@" + space + "/" + folder).isEmpty());
    QVERIFY(a.write("big.bin", QByteArray(6 << 20, 'x')));
    QList<KUploadInfo> jobs = a.collectUploads();
    QCOMPARE(jobs.size(), 1);
    QVERIFY(a.write("big.bin", QByteArray(6 << 20, 'y')));
    a.runUploads(jobs);
    QCOMPARE(serverFiles(), (QMap<QString, QByteArray>{}));
    QVERIFY(a.syncOnce());
    QCOMPARE(serverFiles(), (QMap<QString, QByteArray>{{"big.bin", QByteArray(6 << 20, 'y')}}));
}

QTEST_GUILESS_MAIN(TestTwoWay)
#include "tst_twoway.moc"
