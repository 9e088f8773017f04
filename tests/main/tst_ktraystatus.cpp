#include "main/ktraystatus.h"

#include <QtTest>

Q_DECLARE_METATYPE(KTrayStatus::State)

// Events are given as text, one per item: "q path bytes" (queued), "f path"
// (finished), "x path" (failed), "p busy failing error" (pair counts).
class TestKTrayStatus : public QObject
{
    Q_OBJECT

private slots:
    void stateAndToolTip_data();
    void stateAndToolTip();
    void noticesAreSpacedPerKind();
    void onlyRisingConflictsAreNews();
};

void TestKTrayStatus::stateAndToolTip_data()
{
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<KTrayStatus::State>("state");
    QTest::addColumn<QString>("toolTip");
    using S = KTrayStatus::State;
    QTest::newRow("nothing yet") << QStringList{} << S::Idle << "云\n已同步，没有待传输的文件";
    QTest::newRow("two queued, one done")
        << QStringList{"q /a 1024", "q /b 3072", "f /a"} << S::Syncing << "云\n正在同步：1/2 个文件，1.00 KB / 4.00 KB";
    QTest::newRow("all done") << QStringList{"q /a 1024", "f /a"} << S::Idle << "云\n已同步，没有待传输的文件";
    QTest::newRow("a failure and its finish end one file")
        << QStringList{"q /a 10", "q /b 10", "x /a", "f /a"} << S::Syncing
        << "云\n正在同步：1/2 个文件，10 bytes / 20 bytes\n1 个文件传输失败";
    QTest::newRow("a failure marks the round once it ends")
        << QStringList{"q /a 10", "x /a", "f /a"} << S::Error << "云\n1 个文件传输失败";
    QTest::newRow("a new round starts afresh")
        << QStringList{"q /a 10", "x /a", "f /a", "q /b 5"} << S::Syncing << "云\n正在同步：0/1 个文件，0 bytes / 5 bytes";
    QTest::newRow("same file twice: its failure does not end the other")
        << QStringList{"q /a 4", "q /a 4", "x /a", "f /a"} << S::Syncing
        << "云\n正在同步：1/2 个文件，4 bytes / 8 bytes\n1 个文件传输失败";
    QTest::newRow("unknown size counts as none") << QStringList{"q /d -1"} << S::Syncing
                                                 << "云\n正在同步：0/1 个文件，0 bytes / 0 bytes";
    QTest::newRow("a pair comparing") << QStringList{"p 1 0 -"} << S::Syncing << "云\n正在比较文件夹";
    QTest::newRow("a failing pair") << QStringList{"p 0 2 网络不通"} << S::Error << "云\n2 个同步文件夹出错：网络不通";
    QTest::newRow("a finish for a file never queued") << QStringList{"f /z", "x /z"} << S::Idle
                                                      << "云\n已同步，没有待传输的文件";
}

void TestKTrayStatus::stateAndToolTip()
{
    QFETCH(QStringList, events);
    QFETCH(KTrayStatus::State, state);
    QFETCH(QString, toolTip);
    KTrayStatus status;
    for (const QString& event : events) {
        const QStringList f = event.split(' ');
        if (f[0] == "q")
            status.queued(f[1], f[2].toLongLong());
        else if (f[0] == "f")
            status.finished(f[1]);
        else if (f[0] == "x")
            status.failed(f[1]);
        else
            status.setPairs(f[1].toInt(), f[2].toInt(), f[3]);
    }
    QCOMPARE(status.state(), state);
    QCOMPARE(status.toolTip("云"), toolTip);
}

void TestKTrayStatus::noticesAreSpacedPerKind()
{
    KTrayStatus status;
    const qint64 t = 1700000000000;
    QVERIFY(!status.shouldNotify(KFailureKind::Passing, t));
    QVERIFY(status.shouldNotify(KFailureKind::NoSpace, t));
    QVERIFY(!status.shouldNotify(KFailureKind::NoSpace, t + 1000));
    QVERIFY(status.shouldNotify(KFailureKind::Refused, t + 1000));
    QVERIFY(!status.shouldNotify(KFailureKind::NoSpace, t + KTrayStatus::NoticeGapMs - 1));
    QVERIFY(status.shouldNotify(KFailureKind::NoSpace, t + KTrayStatus::NoticeGapMs));
}

void TestKTrayStatus::onlyRisingConflictsAreNews()
{
    KTrayStatus status;
    QVERIFY(!status.conflictsRose("p1", 0));
    QVERIFY(status.conflictsRose("p1", 2));
    QVERIFY(!status.conflictsRose("p1", 2));
    QVERIFY(!status.conflictsRose("p1", 1)); // one resolved
    QVERIFY(status.conflictsRose("p1", 3));
    QVERIFY(status.conflictsRose("p2", 1));
}

QTEST_APPLESS_MAIN(TestKTrayStatus)
#include "tst_ktraystatus.moc"
