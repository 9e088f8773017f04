#include "app/kapprestart.h"
#include "app/kconstant.h"

#include <QCoreApplication>
#include <QtTest>

class TestKAppRestart : public QObject
{
    Q_OBJECT

private slots:
    void restartCodeStartsExactlyOneCopyWithoutArguments();
    void otherCodesStartNothing_data();
    void otherCodesStartNothing();
    void eventLoopExitCodeDecides();
};

namespace {

struct RecordingStarter
{
    QList<QPair<QString, QStringList>> calls;
    KAppRestart::Starter starter()
    {
        return [this](const QString& program, const QStringList& arguments) {
            calls.append({program, arguments});
            return true;
        };
    }
};

} // namespace

void TestKAppRestart::restartCodeStartsExactlyOneCopyWithoutArguments()
{
    QCOMPARE(KConstant::RestartCode, 888);
    RecordingStarter recorder;
    QVERIFY(KAppRestart::restartIfAsked(888, recorder.starter()));
    QCOMPARE(recorder.calls.size(), 1);
    QCOMPARE(recorder.calls[0].first, QCoreApplication::applicationFilePath());
    QVERIFY(recorder.calls[0].second.isEmpty());
}

void TestKAppRestart::otherCodesStartNothing_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("quit") << 0;
    QTest::newRow("error") << 1;
    QTest::newRow("near miss") << 887;
    QTest::newRow("negative") << -888;
}

void TestKAppRestart::otherCodesStartNothing()
{
    QFETCH(int, code);
    RecordingStarter recorder;
    QVERIFY(!KAppRestart::restartIfAsked(code, recorder.starter()));
    QVERIFY(recorder.calls.isEmpty());
}

void TestKAppRestart::eventLoopExitCodeDecides()
{
    // The code comes from a real event loop ended the way log-out ends it.
    RecordingStarter recorder;
    QTimer::singleShot(0, [] { QCoreApplication::exit(KConstant::RestartCode); });
    const int code = QCoreApplication::exec();
    QCOMPARE(code, 888);
    KAppRestart::restartIfAsked(code, recorder.starter());
    QCOMPARE(recorder.calls.size(), 1);

    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    KAppRestart::restartIfAsked(QCoreApplication::exec(), recorder.starter());
    QCOMPARE(recorder.calls.size(), 1);
}

QTEST_GUILESS_MAIN(TestKAppRestart)
#include "tst_kapprestart.moc"
