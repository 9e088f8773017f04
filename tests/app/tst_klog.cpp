#include "app/klog.h"
#include "ktestbasedir.h"

#include <QDir>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

namespace {

QStringList lines(const QString& log)
{
    QStringList all = log.split(QStringLiteral("\r\n"));
    if (!all.isEmpty() && all.last().isEmpty())
        all.removeLast();
    return all;
}

const QString timePattern = QStringLiteral("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}");

} // namespace

class TestKLog : public QObject
{
    Q_OBJECT

private slots:
    void labelPerLevel();
    void fatalAndUnknownHaveEmptyLabel();
    void placeholdersInMessageStay();
    void infoQuotesTaggedText();
    void info2WritesTwoLines();
    void missingLogsDirectoryWritesNothing();
    void linesFromThreadsNeverInterleave();
};

void TestKLog::labelPerLevel()
{
    KTestBaseDir base;
    base.installLogSink();
    qDebug("d-line");
    qInfo("i-line");
    qWarning("w-line");
    qCritical("c-line");
    const QString log = base.todaysLog();
    QVERIFY(log.endsWith("\r\n"));
    const QStringList all = lines(log);
    QCOMPARE(all.size(), 4);
    const QStringList expected{"[Debug] d-line", "[Info] i-line", "[Error] w-line", "[Critical] c-line"};
    for (int i = 0; i < 4; ++i)
        QVERIFY2(QRegularExpression("^" + timePattern + " " + QRegularExpression::escape(expected[i]) + "$")
                     .match(all[i]).hasMatch(),
                 qPrintable(all[i]));
    QVERIFY(!log.contains(QRegularExpression("[^\r]\n")));
}

void TestKLog::fatalAndUnknownHaveEmptyLabel()
{
    KTestBaseDir base;
    QDir().mkpath(base.logsDir());
    KLog::outputMessage(QtFatalMsg, QMessageLogContext(), QStringLiteral("fatal text"));
    const QStringList all = lines(base.todaysLog());
    QCOMPARE(all.size(), 1);
    QVERIFY2(QRegularExpression("^" + timePattern + "  fatal text$").match(all[0]).hasMatch(), qPrintable(all[0]));
}

void TestKLog::placeholdersInMessageStay()
{
    KTestBaseDir base;
    base.installLogSink();
    qInfo() << qPrintable(QStringLiteral("%1 and %2 and %3 stay"));
    QVERIFY(lines(base.todaysLog()).value(0).endsWith(" [Info] %1 and %2 and %3 stay"));
}

void TestKLog::infoQuotesTaggedText()
{
    KTestBaseDir base;
    base.installLogSink();
    KLog::info(QStringLiteral("登录成功"), QStringLiteral("张三"));
    KLog::info(QStringLiteral("t"), QStringLiteral("a\"b\\c"));
    const QStringList all = lines(base.todaysLog());
    QCOMPARE(all.size(), 2);
    QVERIFY2(all[0].endsWith(QStringLiteral(" [Info] \"[登录成功] 张三\"")), qPrintable(all[0]));
    QVERIFY2(all[1].endsWith(QStringLiteral(" [Info] \"[t] a\\\"b\\\\c\"")), qPrintable(all[1]));
}

void TestKLog::info2WritesTwoLines()
{
    KTestBaseDir base;
    base.installLogSink();
    KLog::info2(QStringLiteral("连接异常!"), QStringLiteral("http://h:1"), QStringLiteral("demo"));
    const QStringList all = lines(base.todaysLog());
    QCOMPARE(all.size(), 2);
    QVERIFY(all[0].endsWith(QStringLiteral("\"[连接异常!] http://h:1\"")));
    QVERIFY(all[1].endsWith(QStringLiteral(" [Info] \"demo\"")));
}

void TestKLog::missingLogsDirectoryWritesNothing()
{
    KTestBaseDir base;
    base.installLogSink();
    qInfo("kept open"); // the log file is open when its folder goes
    QVERIFY(QDir(base.logsDir()).removeRecursively());
    qInfo("lost");
    KLog::info(QStringLiteral("tag"), QStringLiteral("lost too"));
    QVERIFY(!QDir(base.logsDir()).exists());
    QCOMPARE(base.todaysLog(), QString());
    // A file put back in its place is written to again.
    QVERIFY(QDir().mkpath(base.logsDir()));
    qInfo("found again");
    QVERIFY(base.todaysLog().endsWith(" [Info] found again\r\n"));
}

void TestKLog::linesFromThreadsNeverInterleave()
{
    KTestBaseDir base;
    base.installLogSink();
    const int threads = 4;
    const int perThread = 250;
    const QString payload(200, QLatin1Char('x'));
    QList<QThread*> workers;
    for (int t = 0; t < threads; ++t) {
        workers << QThread::create([t, perThread, payload] {
            for (int i = 0; i < perThread; ++i)
                KLog::info(QStringLiteral("T%1").arg(t), QStringLiteral("line %1 ").arg(i) + payload);
        });
        workers.last()->start();
    }
    for (QThread* worker : workers) {
        QVERIFY(worker->wait(60000));
        delete worker;
    }
    const QStringList all = lines(base.todaysLog());
    QCOMPARE(all.size(), threads * perThread);
    const QRegularExpression shape("^" + timePattern + " \\[Info\\] \"\\[T(\\d)\\] line (\\d+) x{200}\"$");
    QSet<QString> seen;
    for (const QString& line : all) {
        const auto match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line.left(120)));
        seen.insert(match.captured(1) + ":" + match.captured(2));
    }
    QCOMPARE(seen.size(), threads * perThread);
}

QTEST_GUILESS_MAIN(TestKLog)
#include "tst_klog.moc"
