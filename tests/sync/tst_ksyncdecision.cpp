#include "sync/kconflictname.h"
#include "sync/kdeletionguard.h"
#include "sync/kserverremoval.h"
#include "sync/ksyncdecision.h"

#include <QtTest>

Q_DECLARE_METATYPE(KSyncAction)

namespace {

const QString A = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
const QString B = QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
const QString C = QStringLiteral("cccccccccccccccccccccccccccccccc");
const KFileStamp Synced{10, 1000000, 7};
const KFileStamp Edited{12, 2000000, 7};

// A journal entry written long after its file's modification (trusted), or
// moments after it (racy).
KJournalEntry journal(const QString& hash, bool racy = false)
{
    return {QStringLiteral("f.txt"), Synced, hash, hash, 10, 1, Synced.mtimeMs + (racy ? 100 : 60000)};
}

} // namespace

// The two-way decisions, one row per case of the truth table: journal J,
// local L (stamp, and the MD5 once hashed), server S.
class TestKSyncDecision : public QObject
{
    Q_OBJECT

private slots:
    void decide_data();
    void decide();
    void conflictNames_data();
    void conflictNames();
    void deletionGuard_data();
    void deletionGuard();
    void removalRequestAndAnswer();
};

void TestKSyncDecision::decide_data()
{
    QTest::addColumn<bool>("hasJournal");
    QTest::addColumn<bool>("racy");
    QTest::addColumn<QString>("localStamp"); // "", "synced" or "edited"
    QTest::addColumn<QString>("localMd5");   // what hashing the local file gives
    QTest::addColumn<QString>("serverHash"); // "" when the server has no file
    QTest::addColumn<bool>("deletions");
    QTest::addColumn<bool>("hashes");
    QTest::addColumn<KSyncAction>("action");

    using S = KSyncAction;
    QTest::newRow("only local") << false << false << "edited" << A << "" << false << false << S::Upload;
    QTest::newRow("only server") << false << false << "" << "" << A << false << false << S::Download;
    QTest::newRow("both, same content") << false << false << "edited" << A << A << false << true << S::Record;
    QTest::newRow("both, different") << false << false << "edited" << A << B << false << true << S::Conflict;
    QTest::newRow("nothing changed") << true << false << "synced" << A << A << false << false << S::Nothing;
    QTest::newRow("racy stamp, same") << true << true << "synced" << A << A << false << true << S::Record;
    QTest::newRow("racy stamp, edited") << true << true << "synced" << C << A << false << true << S::Upload;
    QTest::newRow("touched only") << true << false << "edited" << A << A << false << true << S::Record;
    QTest::newRow("local edited") << true << false << "edited" << C << A << false << true << S::Upload;
    QTest::newRow("server edited") << true << false << "synced" << A << B << false << false << S::ReplaceLocal;
    QTest::newRow("both edited alike") << true << false << "edited" << B << B << false << true << S::Record;
    QTest::newRow("both edited apart") << true << false << "edited" << C << B << false << true << S::Conflict;
    QTest::newRow("gone both") << true << false << "" << "" << "" << false << false << S::Forget;
    QTest::newRow("local gone, kept") << true << false << "" << "" << A << false << false << S::KeepGone;
    QTest::newRow("local gone, carried") << true << false << "" << "" << A << true << false << S::RemoveServer;
    QTest::newRow("local gone, server edited") << true << false << "" << "" << B << true << false << S::Download;
    QTest::newRow("server gone, kept") << true << false << "synced" << A << "" << false << false << S::KeepGone;
    QTest::newRow("server gone, carried") << true << false << "synced" << A << "" << true << false << S::TrashLocal;
    QTest::newRow("server gone, touched") << true << false << "edited" << A << "" << true << true << S::TrashLocal;
    QTest::newRow("server gone, local edited") << true << false << "edited" << C << "" << true << true << S::Upload;
}

void TestKSyncDecision::decide()
{
    QFETCH(bool, hasJournal);
    QFETCH(bool, racy);
    QFETCH(QString, localStamp);
    QFETCH(QString, localMd5);
    QFETCH(QString, serverHash);
    QFETCH(bool, deletions);
    QFETCH(bool, hashes);
    QFETCH(KSyncAction, action);

    KSyncStates states;
    if (hasJournal)
        states.journal = journal(A, racy);
    if (!localStamp.isEmpty())
        states.local = localStamp == "synced" ? Synced : Edited;
    if (!serverHash.isEmpty())
        states.server = KServerFile{serverHash, 10, 2};
    QCOMPARE(KSyncDecision::needsLocalHash(states), hashes);
    // The decision is only ever taken with the hash it asked for.
    if (hashes)
        states.localMd5 = localMd5;
    QCOMPARE(KSyncDecision::decide(states, deletions), action);
}

void TestKSyncDecision::conflictNames_data()
{
    QTest::addColumn<QString>("original");
    QTest::addColumn<int>("attempt");
    QTest::addColumn<QString>("copy");
    QTest::newRow("extension kept") << "docs/report.pdf" << 0 << "docs/report (冲突副本 2026-12-08 134500).pdf";
    QTest::newRow("no extension") << "Makefile" << 0 << "Makefile (冲突副本 2026-12-08 134500)";
    QTest::newRow("last extension") << "a/b.tar.gz" << 0 << "a/b.tar (冲突副本 2026-12-08 134500).gz";
    QTest::newRow("second copy") << "x.txt" << 1 << "x (冲突副本 2026-12-08 134500 2).txt";
}

void TestKSyncDecision::conflictNames()
{
    QFETCH(QString, original);
    QFETCH(int, attempt);
    QFETCH(QString, copy);
    const QDateTime when(QDate(2026, 12, 8), QTime(13, 45, 0));
    QCOMPARE(KConflictName::make(original, when, attempt), copy);
    // It sorts right before the original among its neighbours.
    QVERIFY(copy < original || original.lastIndexOf('.') < 0);
}

void TestKSyncDecision::deletionGuard_data()
{
    QTest::addColumn<int>("local");
    QTest::addColumn<int>("server");
    QTest::addColumn<bool>("emptied");
    QTest::addColumn<int>("pairFiles");
    QTest::addColumn<bool>("holds");
    QTest::newRow("one file of three") << 1 << 0 << false << 3 << false;
    QTest::newRow("four of four, others remain") << 0 << 4 << false << 4 << false;
    QTest::newRow("the last two files of a side") << 0 << 2 << true << 2 << true;
    QTest::newRow("the last file") << 1 << 0 << true << 1 << false;
    QTest::newRow("five of twenty") << 5 << 0 << false << 20 << false;
    QTest::newRow("six of twenty") << 0 << 6 << false << 20 << true;
    QTest::newRow("fifty of a million") << 50 << 50 << false << 1000000 << false;
    QTest::newRow("51 of a million") << 51 << 0 << false << 1000000 << true;
}

void TestKSyncDecision::deletionGuard()
{
    QFETCH(int, local);
    QFETCH(int, server);
    QFETCH(bool, emptied);
    QFETCH(int, pairFiles);
    QFETCH(bool, holds);
    const KDeletionGuard::Side localSide{local, emptied && local > 0};
    const KDeletionGuard::Side serverSide{server, emptied && server > 0};
    QCOMPARE(KDeletionGuard::holds(localSide, serverSide, pairFiles), holds);
}

// Known answers: the digest from md5sum over the two lines, the form
// values as the server reads them.
void TestKSyncDecision::removalRequestAndAnswer()
{
    QCOMPARE(KServerRemoval::treeDigest({{"sub/b.txt", "92eb5ffee6ae2fec3ad71c777531578f"},
                                         {"a.txt", "0cc175b9c0f1b6a831c399e269772661"}}),
             QStringLiteral("tree:b97bbd8cd35160a9e876996dea1ff6f1"));
    QCOMPARE(KServerRemoval::treeDigest({}), KServerRemoval::emptyFolder());
    const QList<KRemovalItem> asked{{"@s/a b", A}, {"@s/d", KServerRemoval::emptyFolder()}};
    const QMap<QString, QString> params = KServerRemoval::params(asked);
    QCOMPARE(params.value("op"), QStringLiteral("kremovenodes"));
    QCOMPARE(params.value("paths"), QStringLiteral("[\"@s/a b\",\"@s/d\"]"));
    QCOMPARE(params.value("datahashes"), "[\"" + A + "\",\"tree:d41d8cd98f00b204e9800998ecf8427e\"]");

    const KRemovalResult done = KServerRemoval::read(R"({"code":0,"errtip":"","data":[]})", asked);
    QCOMPARE(done.removed, (QSet<QString>{"@s/a b", "@s/d"}));
    const KRemovalResult changed
        = KServerRemoval::read(R"({"code":22,"errtip":"changed","data":[{"path":"@s/d","isfile":false}]})", asked);
    QVERIFY(changed.removed.isEmpty());
    QCOMPARE(changed.changed, QSet<QString>{"@s/d"});
    QVERIFY(KServerRemoval::read(R"({"code":3,"errtip":"unknown","data":"unknown"})", asked).unsupported);
    QCOMPARE(KServerRemoval::read(QString(), asked).failure, QStringLiteral("kremovenodes: no answer"));
}

QTEST_GUILESS_MAIN(TestKSyncDecision)
#include "tst_ksyncdecision.moc"
