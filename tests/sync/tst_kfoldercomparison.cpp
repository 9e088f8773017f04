#include "app/kfiletools.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"
#include "store/khashcache.h"
#include "store/kpartialdownloads.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfoldercomparison.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Records what a comparison hands over, in order.
struct Recorder
{
    QStringList handovers; // "up 101", "down 3", ...
    QList<KUploadInfo> uploads;
    QList<KDownloadInfo> downloads;

    KJobSink sink()
    {
        KJobSink s;
        s.uploads = [this](const QList<KUploadInfo>& jobs) {
            handovers << QStringLiteral("up %1").arg(jobs.size());
            uploads += jobs;
        };
        s.downloads = [this](const QList<KDownloadInfo>& jobs) {
            handovers << QStringLiteral("down %1").arg(jobs.size());
            downloads += jobs;
        };
        return s;
    }
    QStringList uploadTargets() const
    {
        QStringList t;
        for (const auto& j : uploads)
            t << j.serverPath;
        return t;
    }
    QStringList downloadTargets() const
    {
        QStringList t;
        for (const auto& j : downloads)
            t << j.localPath;
        return t;
    }
};

QString md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class TestKFolderComparison : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void parsePath_data();
    void parsePath();
    void uploadOnlyDecisions();
    void ownPartialDownloadsNeverLeave_data();
    void ownPartialDownloadsNeverLeave();
    void downloadOnlyDecisions();
    void nodeWithoutVersionsIsQueuedWithUnknownSize();
    void bothWaysDecisions();
    void bothWaysBatchOrder();
    void unreadableListingEndsOnlyThisComparison();
    void pathsOutsideTheirRootAreSkipped();

private:
    QString serverRoot() const { return "@" + space + "/" + folder; }
    void put(const QString& rel, const QByteArray& bytes) { QVERIFY(server.putFile(space, folder + "/" + rel, bytes)); }

    KTestServer server;
    std::unique_ptr<KTestBaseDir> base;
    std::unique_ptr<QTemporaryDir> local;
    QString space;
    QString folder;
    int round = 0;
};

void TestKFolderComparison::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestKFolderComparison::init()
{
    base.reset(); // the old one would undo the new one's settings
    base.reset(new KTestBaseDir);
    base->installLogSink();
    local.reset(new QTemporaryDir);
    folder = QStringLiteral("case%1").arg(++round);
    QVERIFY(server.makeFolder(space, folder));
    QVERIFY(server.clearFaults());
}

void TestKFolderComparison::cleanupTestCase()
{
    base.reset();
    kClearTestSession();
}

void TestKFolderComparison::parsePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("mapped");
    QTest::newRow("local to server") << "/u/docs/a/b.txt" << "/u/docs" << "@s1/D" << "@s1/D/a/b.txt";
    QTest::newRow("outside the root") << "/u/other/a.txt" << "/u/docs" << "@s1/D" << "";
    QTest::newRow("server to local") << "@s1/D/x/y.bin" << "@s1/D" << "/home/u/sync" << "/home/u/sync/x/y.bin";
    QTest::newRow("root with trailing slash") << "/u/docs/a.txt" << "/u/docs/" << "@s1" << "@s1/a.txt";
    QTest::newRow("case differs") << "/U/docs/a.txt" << "/u/docs" << "@s1" << "";
    QTest::newRow("prefix of a sibling") << "/u/docs2/a.txt" << "/u/docs" << "@s1/D" << "@s1/D/2/a.txt";
}

void TestKFolderComparison::parsePath()
{
    QFETCH(QString, path);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, mapped);
    QCOMPARE(KFileSyncManager::parsePath(path, from, to), mapped);
}

void TestKFolderComparison::uploadOnlyDecisions()
{
    // The server holds three versions of same.txt; the local copy equals the oldest.
    put("same.txt", "v1");
    put("same.txt", "v2");
    put("same.txt", "v3");
    put("changed.txt", "server");
    put("serveronly.txt", "only on the server");
    QVERIFY(server.makeFolder(space, folder + "/folder.txt"));
    const QString root = local->path();
    write(root + "/same.txt", "v1");
    write(root + "/changed.txt", "local edit");
    write(root + "/new/n.txt", "brand new");
    write(root + "/folder.txt", "a file where the server has a folder");

    Recorder recorder;
    KFolderComparison(root, serverRoot(), recorder.sink()).run("1");
    QCOMPARE(recorder.uploadTargets(),
             (QStringList{serverRoot() + "/changed.txt", serverRoot() + "/folder.txt", serverRoot() + "/new/n.txt"}));
    QCOMPARE(recorder.uploads[0].filemd5, md5("local edit"));
    QCOMPARE(recorder.uploads[0].filesize, qint64(10));
    QCOMPARE(recorder.uploads[0].localPath, root + "/changed.txt");
    // The answer travels with the jobs; a folder in the way is asked about again.
    const QList<KServerKnown> known{recorder.uploads[0].server, recorder.uploads[1].server, recorder.uploads[2].server};
    QVERIFY(known == (QList<KServerKnown>{KServerKnown::NewVersion, KServerKnown::Unknown, KServerKnown::NewFolder}));
    QVERIFY(recorder.downloads.isEmpty());
    QCOMPARE(recorder.handovers, QStringList{"up 3"});
}

void TestKFolderComparison::ownPartialDownloadsNeverLeave_data()
{
    QTest::addColumn<QString>("syncType");
    QTest::newRow("upload only") << "1";
    QTest::newRow("fill both ways") << "0";
    QTest::newRow("two-way") << "3";
}

// A partial download the client recorded as its own stays out of every
// comparison; a file the user named the same way is the user's and goes up.
void TestKFolderComparison::ownPartialDownloadsNeverLeave()
{
    QFETCH(QString, syncType);
    const QString root = local->path();
    write(root + "/a.txt", "a");
    write(root + "/notes.txt.wexora", "the user's own file");
    const KPartialPlan plan = KPartialDownloads::plan(root + "/sub/big.bin", serverRoot() + "/sub/big.bin", 9, md5("x"));
    write(plan.tempPath, "half of ");
    KPartialDownloads::opened(plan.tempPath, KFileStamp::of(plan.tempPath).inode);

    Recorder recorder;
    KFolderComparison comparison(root, serverRoot(), recorder.sink());
    comparison.setPairId(QStringLiteral("pair-") + syncType);
    QVERIFY(comparison.run(syncType));
    QStringList targets = recorder.uploadTargets();
    targets.sort();
    QCOMPARE(targets, (QStringList{serverRoot() + "/a.txt", serverRoot() + "/notes.txt.wexora"}));
}

void TestKFolderComparison::downloadOnlyDecisions()
{
    put("a.txt", "server a");
    put("sub/b.txt", "server b");
    put("conflict.txt", "server version");
    put(".hidden.txt", "server hidden");
    const QString root = local->path();
    write(root + "/conflict.txt", "local version");
    write(root + "/.hidden.txt", "local hidden");
    write(root + "/localonly.txt", "stays local");

    Recorder recorder;
    KFolderComparison(root, serverRoot(), recorder.sink()).run("2");
    QStringList targets = recorder.downloadTargets();
    targets.sort();
    QCOMPARE(targets, (QStringList{root + "/a.txt", root + "/sub/b.txt"}));
    for (const KDownloadInfo& job : recorder.downloads) {
        if (job.localPath.endsWith("a.txt")) {
            QCOMPARE(job.serverPath, serverRoot() + "/a.txt");
            QCOMPARE(job.fileSize, qint64(8));
            QCOMPARE(job.dataHash, md5("server a"));
        }
    }
    QVERIFY(recorder.uploads.isEmpty());
}

void TestKFolderComparison::nodeWithoutVersionsIsQueuedWithUnknownSize()
{
    QJsonObject envelope{{"code", 0}, {"errtip", ""},
                         {"data", QJsonArray{QJsonObject{{"path", serverRoot() + "/noversion.bin"}, {"isfile", true}}}}};
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "envelope"}, {"envelope", envelope}}));
    Recorder recorder;
    KFolderComparison(local->path(), serverRoot(), recorder.sink()).run("2");
    QCOMPARE(recorder.downloads.size(), 1);
    QCOMPARE(recorder.downloads[0].fileSize, qint64(-1));
    QCOMPARE(recorder.downloads[0].dataHash, QString());
}

void TestKFolderComparison::bothWaysDecisions()
{
    put("both.txt", "server side");
    put("serveronly/s.txt", "from the server");
    put(".hidden.txt", "server hidden");
    const QString root = local->path();
    write(root + "/both.txt", "local side, different");
    write(root + "/localonly.txt", "from here");
    write(root + "/.hidden.txt", "local hidden");
    write(root + "/serveronly/l.txt", "into a folder the server has");
    write(root + "/newdir/n.txt", "into a folder the server lacks");

    for (const QString& type : {QString(""), QString("0"), QString("both")}) {
        Recorder recorder;
        KFolderComparison(root, serverRoot(), recorder.sink()).run(type);
        // What the listing showed travels with each job: no upload asks again.
        QMap<QString, KServerKnown> known;
        for (const KUploadInfo& job : recorder.uploads)
            known.insert(job.serverPath, job.server);
        const QMap<QString, KServerKnown> expected{{serverRoot() + "/localonly.txt", KServerKnown::NewFile},
                                                   {serverRoot() + "/serveronly/l.txt", KServerKnown::NewFile},
                                                   {serverRoot() + "/newdir/n.txt", KServerKnown::NewFolder}};
        QVERIFY(known == expected);
        QStringList downloads = recorder.downloadTargets();
        downloads.sort();
        // The local scan never lists hidden files, so a hidden counterpart is downloaded again.
        QCOMPARE(downloads, (QStringList{root + "/.hidden.txt", root + "/serveronly/s.txt"}));
        QCOMPARE(recorder.handovers, (QStringList{"down 2", "up 3"}));
    }
}

void TestKFolderComparison::bothWaysBatchOrder()
{
    const QString root = local->path();
    for (int i = 0; i < 250; ++i)
        write(QStringLiteral("%1/f%2.txt").arg(root).arg(i, 3, 10, QLatin1Char('0')), QByteArray::number(i));
    put("s1.txt", "1");
    put("s2.txt", "2");
    put("s3.txt", "3");
    Recorder recorder;
    KFolderComparison(root, serverRoot(), recorder.sink()).run("");
    QCOMPARE(recorder.handovers, (QStringList{"up 101", "up 101", "down 3", "up 48"}));
    QCOMPARE(recorder.uploads.first().localPath, root + "/f000.txt");
    QCOMPARE(recorder.uploads.last().localPath, root + "/f249.txt");
}

void TestKFolderComparison::unreadableListingEndsOnlyThisComparison()
{
    put("sub/x.txt", "x");
    write(local->path() + "/l.txt", "l");
    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", "html"}, {"skip", 1}}));
    Recorder recorder;
    KFolderComparison(local->path(), serverRoot(), recorder.sink()).run("");
    QVERIFY(recorder.handovers.isEmpty());
    QVERIFY(base->todaysLog().contains(QStringLiteral("[同步比较失败]")));

    // The next comparison works again.
    Recorder again;
    KFolderComparison(local->path(), serverRoot(), again.sink()).run("");
    QCOMPARE(again.uploads.size(), 1);
    QCOMPARE(again.downloads.size(), 1);
}

void TestKFolderComparison::pathsOutsideTheirRootAreSkipped()
{
    // A root stored with a doubled separator never prefixes the normalised scan.
    put("s.txt", "s");
    write(local->path() + "/l.txt", "l");
    const QString oddLocalRoot = QString(local->path()).replace("/tmp/", "/tmp//");
    Recorder recorder;
    KFolderComparison(oddLocalRoot, serverRoot(), recorder.sink()).run("");
    QVERIFY(recorder.uploads.isEmpty());
    QCOMPARE(recorder.downloads.size(), 1);
    QVERIFY(!recorder.downloads[0].localPath.isEmpty());
    QVERIFY(base->todaysLog().contains(QStringLiteral("[路径不在同步目录下]")));
}

QTEST_GUILESS_MAIN(TestKFolderComparison)
#include "tst_kfoldercomparison.moc"
