#include "server/kpartintake.h"
#include "server/krange.h"

#include <QtTest>

class TestKRange : public QObject
{
    Q_OBJECT

private slots:
    void resolve_data();
    void resolve();
    void troveBytes_data();
    void troveBytes();
};

void TestKRange::resolve_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("contentRange");
    QTest::newRow("no header") << "" << qint64(1000) << 200 << qint64(0) << qint64(1000) << "";
    QTest::newRow("resume from 0") << "bytes=0-" << qint64(1000) << 206 << qint64(0) << qint64(1000) << "bytes 0-999/1000";
    QTest::newRow("client resume") << "bytes=990-" << qint64(1000) << 206 << qint64(990) << qint64(10) << "bytes 990-999/1000";
    QTest::newRow("last byte") << "bytes=999-" << qint64(1000) << 206 << qint64(999) << qint64(1) << "bytes 999-999/1000";
    QTest::newRow("start at size") << "bytes=1000-" << qint64(1000) << 416 << qint64(0) << qint64(0) << "bytes */1000";
    QTest::newRow("start beyond size") << "bytes=5000-" << qint64(1000) << 416 << qint64(0) << qint64(0) << "bytes */1000";
    QTest::newRow("closed range") << "bytes=5-9" << qint64(1000) << 206 << qint64(5) << qint64(5) << "bytes 5-9/1000";
    QTest::newRow("end clipped") << "bytes=900-5000" << qint64(1000) << 206 << qint64(900) << qint64(100) << "bytes 900-999/1000";
    QTest::newRow("suffix") << "bytes=-10" << qint64(1000) << 206 << qint64(990) << qint64(10) << "bytes 990-999/1000";
    QTest::newRow("suffix longer than file") << "bytes=-5000" << qint64(1000) << 206 << qint64(0) << qint64(1000) << "bytes 0-999/1000";
    QTest::newRow("empty file") << "bytes=0-" << qint64(0) << 416 << qint64(0) << qint64(0) << "bytes */0";
    QTest::newRow("beyond 4 GiB") << "bytes=5000000000-" << qint64(5000000001) << 206 << qint64(5000000000) << qint64(1)
                                  << "bytes 5000000000-5000000000/5000000001";
    QTest::newRow("several ranges: whole") << "bytes=0-1,5-6" << qint64(1000) << 200 << qint64(0) << qint64(1000) << "";
    QTest::newRow("other unit: whole") << "items=0-1" << qint64(1000) << 200 << qint64(0) << qint64(1000) << "";
    QTest::newRow("garbage: whole") << "bytes=a-" << qint64(1000) << 200 << qint64(0) << qint64(1000) << "";
    QTest::newRow("reversed: whole") << "bytes=9-5" << qint64(1000) << 200 << qint64(0) << qint64(1000) << "";
    QTest::newRow("signed number: whole") << "bytes=+5-" << qint64(1000) << 200 << qint64(0) << qint64(1000) << "";
}

void TestKRange::resolve()
{
    QFETCH(QString, header);
    QFETCH(qint64, size);
    const KByteRange range = KRange::resolve(header, size);
    QTEST(range.status(), "status");
    QTEST(range.start, "start");
    QTEST(range.length, "length");
    QTEST(range.contentRange(), "contentRange");
    QCOMPARE(range.total, size);
}

void TestKRange::troveBytes_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<qint64>("start");
    QTest::newRow("first part") << "0-5242880" << qint64(0);
    QTest::newRow("short last part keeps the full end") << "10485760-15728640" << qint64(10485760);
    QTest::newRow("blanks") << " 5 - 9 " << qint64(5);
    QTest::newRow("no dash") << "5242880" << qint64(-1);
    QTest::newRow("end before start") << "9-5" << qint64(-1);
    QTest::newRow("negative") << "-5-9" << qint64(-1);
    QTest::newRow("words") << "a-b" << qint64(-1);
}

void TestKRange::troveBytes()
{
    QFETCH(QString, header);
    QTEST(KPartIntake::troveStart(header), "start");
}

QTEST_APPLESS_MAIN(TestKRange)
#include "tst_krange.moc"
