#include "main/ktransferlist.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

class TestKTransferList : public QObject
{
    Q_OBJECT

private slots:
    void sizeText_data();
    void sizeText();
    void logIdIsMd5OfLatin1();
    void rowRecordForUploadAndDownload();
    void scriptsHaveTheirExactForms();
    void quotesInPathsStayInsideTheScripts();
    void rowsToText();
};

void TestKTransferList::sizeText_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("negative") << qint64(-5) << "0";
    QTest::newRow("minus one") << qint64(-1) << "0";
    QTest::newRow("zero") << qint64(0) << "0 bytes";
    QTest::newRow("1023") << qint64(1023) << "1023 bytes";
    QTest::newRow("1024") << qint64(1024) << "1.00 KB";
    QTest::newRow("1536") << qint64(1536) << "1.50 KB";
    QTest::newRow("just below MB") << qint64(1048575) << "1024.00 KB";
    QTest::newRow("1 MB") << qint64(1048576) << "1.00 MB";
    QTest::newRow("5 MiB + 1 KiB") << qint64(5243904) << "5.00 MB";
    QTest::newRow("1 GB") << qint64(1073741824) << "1.00 GB";
    QTest::newRow("12.5 GB") << qint64(13421772800) << "12.50 GB";
}

void TestKTransferList::sizeText()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(KTransferList::sizeText(bytes), text);
}

void TestKTransferList::logIdIsMd5OfLatin1()
{
    // echo -n "/home/u/a.txt" | md5sum ; echo -n "/home/u/?.txt" | md5sum
    QCOMPARE(KTransferList::logId("/home/u/a.txt"), QStringLiteral("49dadc3116d8c559503ba9a9a63b3b5e"));
    QCOMPARE(KTransferList::logId(QStringLiteral("/home/u/云.txt")), QStringLiteral("72c4c8b3ac9c987c50a3afc5de0f299d"));
    QCOMPARE(KTransferList::logId(QStringLiteral("/home/u/云.txt")), KTransferList::logId(QStringLiteral("/home/u/盘.txt")));
    QVERIFY(KTransferList::logId(QStringLiteral("/home/u/é.txt")) != KTransferList::logId("/home/u/?.txt"));
}

void TestKTransferList::rowRecordForUploadAndDownload()
{
    QCOMPARE(KTransferList::rowRecord(2, "/l/a.txt", "@s1/a.txt", 1536),
             QStringLiteral("{\"local\":\"/l/a.txt\",\"logid\":\"") + KTransferList::logId("/l/a.txt")
                 + "\",\"percent\":\"0\",\"readsize\":\"0\",\"space\":\"@s1/a.txt\",\"speed\":\"\","
                   "\"totalsize\":\"1.50 KB\",\"transfer\":\"0 KB\",\"type\":\"upload\"}");
    const QString download = KTransferList::rowRecord(1, "/l/b", "@s1/b", -1);
    QVERIFY(download.contains("\"type\":\"download\""));
    QVERIFY(download.contains("\"totalsize\":\"0\""));
    QVERIFY(KTransferList::rowRecord(7, "/l/c", "@s1/c", 0).contains("\"type\":\"upload\""));
}

void TestKTransferList::scriptsHaveTheirExactForms()
{
    const QString id = KTransferList::logId("/l/a.txt");
    QCOMPARE(KTransferList::counterScript(0, 0, 0), QStringLiteral("mainVue.RefershProgress(0,0,0,0);"));
    QCOMPARE(KTransferList::counterScript(3, 12, 1), QStringLiteral("mainVue.RefershProgress(3,12,0,1);"));
    QCOMPARE(KTransferList::refreshScript("/l/a.txt", 42, "1.25 MB/s", "5.00 MB"),
             QStringLiteral("refreshThransferData(\"") + id + "\",\"5.00 MB\",\"1.25 MB/s\",\"42\")");
    QCOMPARE(KTransferList::finishScript("/l/a.txt"), QStringLiteral("finishTransfer('") + id + "');");
    QCOMPARE(KTransferList::failScript("/l/a.txt", "空间不足: it's\n"),
             QStringLiteral("failTransfer('") + id + "','空间不足: it\\'s\\n');");
    QVERIFY(KTransferList::addTransferScript(2, "/l/a.txt", "@s1/a.txt", 10).startsWith("addTransfer('{\"local\":"));
    QVERIFY(KTransferList::addTransferScript(2, "/l/a.txt", "@s1/a.txt", 10).endsWith("}');"));
}

void TestKTransferList::quotesInPathsStayInsideTheScripts()
{
    const QString path = QStringLiteral("/l/it's \"x\"\\n\ny.txt");
    const QString script = KTransferList::addTransferScript(2, path, "@s1/it's", 1);
    const QString inside = script.mid(13, script.size() - 13 - 3);
    QVERIFY(!inside.contains(QRegularExpression("(^|[^\\\\])'")));
    QVERIFY(!inside.contains('\n'));
}

void TestKTransferList::rowsToText()
{
    QCOMPARE(KTransferList::rowsToText({}), QStringLiteral("[]"));
    const QString text = KTransferList::rowsToText({{"id1", "/l/it's", "@s1/d", "1", "0", "2", "1700000000000"},
                                                    {"id2", "/l/b", "@s1/e", "1", "0", "1", "1700000000001"}});
    const QJsonArray rows = QJsonDocument::fromJson(text.toUtf8()).array();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].toString(), QStringLiteral("id1#@#/l/it's#@#@s1/d#@#1#@#0#@#2#@#1700000000000"));
    QCOMPARE(rows[1].toString().split("#@#").size(), 7);
    QVERIFY(!text.contains(' '));
}

QTEST_APPLESS_MAIN(TestKTransferList)
#include "tst_ktransferlist.moc"
