#include "store/kfilesyncdatabase.h"
#include "sync/kdeletionanswer.h"
#include "sync/kpairstates.h"
#include "sync/kserverremoval.h"
#include "ktestclient.h"
#include "ktestserver.h"
#include "ktestsession.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// Deletions in the two-way direction, two clients on one server folder
// against the reference server: what one side deletes goes to the other
// side's trash (the server's, or the desktop's), an edit wins over a
// deletion, and a deletion of many files waits for the user.
class TestDeletions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void deletionsReachTheOtherSidesTrash();
    void anEditWinsOverADeletion_data();
    void anEditWinsOverADeletion();
    void manyDeletionsWaitForTheUser_data();
    void manyDeletionsWaitForTheUser();
    void fileAndFolderSwapPlaces();
    void caseOnlyRenameOnTheServer();

private:
    QMap<QString, QByteArray> serverFiles() const;
    QStringList serverTrash() const;
    void syncAll(KTestClient& a, KTestClient& b);
    void pairBoth(KTestClient& a, KTestClient& b);

    KTestServer server;
    QTemporaryDir desktop;
    QString space;
    QString folder;
    int round = 0;
};

void TestDeletions::initTestCase()
{
    // The desktop's trash of this process lies in a folder of the test's own.
    qputenv("XDG_DATA_HOME", desktop.path().toUtf8());
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    space = KTestServer::demoPersonalSpace();
}

void TestDeletions::init()
{
    folder = QStringLiteral("shared%1").arg(++round);
    QVERIFY(server.makeFolder(space, folder));
}

QMap<QString, QByteArray> TestDeletions::serverFiles() const
{
    QMap<QString, QByteArray> below;
    const QMap<QString, QByteArray> all = const_cast<KTestServer&>(server).files(space);
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it.key().startsWith(folder + "/"))
            below.insert(it.key().mid(folder.size() + 1), it.value());
    }
    return below;
}

// The paths of this folder's trash entries, below the folder, sorted.
QStringList TestDeletions::serverTrash() const
{
    QStringList paths;
    const QString prefix = "@" + space + "/" + folder + "/";
    for (const QJsonValue& entry : const_cast<KTestServer&>(server).trash(space)) {
        const QString path = entry.toObject().value("path").toString();
        if (path.startsWith(prefix))
            paths << path.mid(prefix.size());
    }
    paths.sort();
    return paths;
}

void TestDeletions::pairBoth(KTestClient& a, KTestClient& b)
{
    const QString remote = "@" + space + "/" + folder;
    QVERIFY(!a.addPair(remote).isEmpty());
    QVERIFY(!b.addPair(remote).isEmpty());
}

void TestDeletions::syncAll(KTestClient& a, KTestClient& b)
{
    QVERIFY(a.syncOnce());
    QVERIFY(b.syncOnce());
    QVERIFY(a.syncOnce());
}

void TestDeletions::deletionsReachTheOtherSidesTrash()
{
    KTestClient a;
    KTestClient b;
    pairBoth(a, b);
    QVERIFY(a.write("gone.txt", "deleted on A"));
    QVERIFY(a.write("keep.txt", "kept"));
    QVERIFY(a.write("dir/one.txt", "one"));
    QVERIFY(a.write("dir/two.txt", "two"));
    syncAll(a, b);
    QCOMPARE(b.files().size(), 4);

    // A deletes a file, B a whole folder; each reaches the server's trash,
    // then the other client's desktop trash.
    QVERIFY(a.remove("gone.txt"));
    QVERIFY(b.remove("dir"));
    syncAll(a, b);
    QVERIFY(b.syncOnce());
    const QMap<QString, QByteArray> left{{"keep.txt", "kept"}};
    QCOMPARE(a.files(), left);
    QCOMPARE(b.files(), left);
    QCOMPARE(serverFiles(), left);
    // The folder went as one entry, with its files in it.
    QCOMPARE(serverTrash(), (QStringList{"dir", "gone.txt"}));
    QCOMPARE(const_cast<KTestServer&>(server).folders(space).contains(folder + "/dir"), false);
    const QStringList trashed = KTestClient::trashed();
    QVERIFY2(trashed.contains("gone.txt") && trashed.contains("one.txt") && trashed.contains("two.txt"),
             qPrintable(trashed.join(',')));
    QVERIFY(!QFileInfo::exists(a.localPath("dir")));
}

void TestDeletions::anEditWinsOverADeletion_data()
{
    QTest::addColumn<bool>("editSyncedFirst");
    QTest::newRow("edit reaches the server first") << true;
    QTest::newRow("deletion reaches the server first") << false;
}

void TestDeletions::anEditWinsOverADeletion()
{
    QFETCH(bool, editSyncedFirst);
    KTestClient a;
    KTestClient b;
    pairBoth(a, b);
    QVERIFY(a.write("x.txt", "first"));
    syncAll(a, b);

    QVERIFY(a.write("x.txt", "edited on A"));
    QVERIFY(b.remove("x.txt"));
    if (editSyncedFirst) {
        QVERIFY(a.syncOnce());
        QVERIFY(b.syncOnce());
    } else {
        QVERIFY(b.syncOnce());
        QVERIFY(a.syncOnce());
    }
    syncAll(a, b);
    const QMap<QString, QByteArray> edited{{"x.txt", "edited on A"}};
    QCOMPARE(a.files(), edited);
    QCOMPARE(b.files(), edited);
    QCOMPARE(serverFiles(), edited);
}

void TestDeletions::manyDeletionsWaitForTheUser_data()
{
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("confirmed") << true;
    QTest::newRow("refused") << false;
}

// 60 files deleted at once: nothing is removed until the user answers; a
// confirmation removes them, a refusal brings them back.
void TestDeletions::manyDeletionsWaitForTheUser()
{
    QFETCH(bool, confirmed);
    KTestClient a;
    KTestClient b;
    pairBoth(a, b);
    QMap<QString, QByteArray> all{{"other.txt", "stays"}};
    for (int i = 0; i < 60; ++i)
        all.insert(QStringLiteral("many/f%1.txt").arg(i), QByteArray::number(i));
    for (auto it = all.begin(); it != all.end(); ++it)
        QVERIFY(a.write(it.key(), it.value()));
    syncAll(a, b);
    QCOMPARE(serverFiles(), all);

    QVERIFY(a.remove("many"));
    QVERIFY(!a.syncOnce());
    QVERIFY(!a.syncOnce());
    QCOMPARE(serverFiles(), all);
    QCOMPARE(KPairStates::instance().state(a.id()).pending.server.size(), 60);
    QCOMPARE(KPairStates::instance().state(a.id()).state(), QStringLiteral("confirm"));

    const QMap<QString, QByteArray> after = confirmed ? QMap<QString, QByteArray>{{"other.txt", "stays"}} : all;
    QVERIFY(a.syncOnce(confirmed ? KDeletionAnswer::confirm(a.id()) : KDeletionAnswer::refuse(a.id())));
    // B is asked too before its 60 files go to its trash.
    QCOMPARE(b.syncOnce(), !confirmed);
    if (confirmed) {
        QCOMPARE(KPairStates::instance().state(b.id()).pending.local.size(), 60);
        QVERIFY(b.syncOnce(KDeletionAnswer::confirm(b.id())));
    }
    QCOMPARE(serverFiles(), after);
    QCOMPARE(a.files(), after);
    QCOMPARE(b.files(), after);
    QCOMPARE(serverTrash(), confirmed ? QStringList{"many"} : QStringList());
    QVERIFY(KPairStates::instance().state(a.id()).pending.isEmpty());
}

// A file replaced by a folder and a folder replaced by a file on A: the old
// one goes to the server's trash first, then the new one arrives, on B too.
void TestDeletions::fileAndFolderSwapPlaces()
{
    KTestClient a;
    KTestClient b;
    pairBoth(a, b);
    QVERIFY(a.write("x", "a file first"));
    QVERIFY(a.write("y/inner.txt", "a folder first"));
    syncAll(a, b);

    QVERIFY(a.remove("x") && a.write("x/now.txt", "now a folder"));
    QVERIFY(a.remove("y") && a.write("y", "now a file"));
    syncAll(a, b);
    const QMap<QString, QByteArray> swapped{{"x/now.txt", "now a folder"}, {"y", "now a file"}};
    QCOMPARE(serverFiles(), swapped);
    QCOMPARE(a.files(), swapped);
    QCOMPARE(b.files(), swapped);
    QCOMPARE(serverTrash(), (QStringList{"x", "y"}));
}

// The server renames a file by its case alone: the client ends with the
// server's name, the old one in its trash.
void TestDeletions::caseOnlyRenameOnTheServer()
{
    KTestClient a;
    QVERIFY(!a.addPair("@" + space + "/" + folder).isEmpty());
    QVERIFY(a.write("Report.txt", "the report"));
    QVERIFY(a.syncOnce());

    QVERIFY(server.putFile(space, folder + "/report.txt", "the report"));
    const KRemovalResult removed = KServerRemoval::remove({{"@" + space + "/" + folder + "/Report.txt", QString()}});
    QCOMPARE(removed.removed.size(), 1);
    QVERIFY(a.syncOnce());
    QVERIFY(a.syncOnce());
    QCOMPARE(a.files(), (QMap<QString, QByteArray>{{"report.txt", "the report"}}));
    QVERIFY(KTestClient::trashed().contains("Report.txt"));
}

QTEST_GUILESS_MAIN(TestDeletions)
#include "tst_deletions.moc"
