#include "cli/kclioptions.h"
#include "cli/kclireport.h"
#include "cli/ktransfertally.h"

#include <QtTest>

// The command line, the texts of a run and the tally behind them, without a
// server.
class TestKCliOptions : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void serverAndFingerprint_data();
    void serverAndFingerprint();
    void tallyAndTexts();
};

void TestKCliOptions::parse_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("args");
    QTest::addColumn<QString>("error");
    QTest::newRow("login") << "login --server http://h --user u" << "login" << "" << "";
    QTest::newRow("options first") << "--base /b --json pair add /l @s/x --mode fill" << "pair add" << "/l @s/x" << "";
    QTest::newRow("run once") << "run --once --pair abc" << "run" << "" << "";
    QTest::newRow("help") << "--help" << "help" << "" << "";
    QTest::newRow("nothing") << "" << "" << "" << "no command given";
    QTest::newRow("pair alone") << "pair" << "pair" << "" << "'pair' needs add, list or remove";
    QTest::newRow("unknown option") << "run --fast" << "" << "" << "Unknown option 'fast'.";
    QTest::newRow("missing value") << "login --server" << "" << "" << "Missing value after '--server'.";
    QTest::newRow("foreign option") << "pair list --mode fill" << "pair list" << ""
                                    << "'pair list' does not take --mode";
    QTest::newRow("argument count") << "pair add /l" << "pair add" << "/l" << "'pair add' takes 2 argument(s), not 1";
    QTest::newRow("login needs user") << "login --server http://h" << "login" << "" << "'login' needs --server URL and --user NAME";
    QTest::newRow("bad mode") << "pair add a @b --mode both" << "pair add" << "a @b"
                              << "unknown --mode 'both' (two-way, upload, download or fill)";
    QTest::newRow("bad interval") << "run --interval 0" << "run" << "" << "--interval needs a number of seconds above 0";
    QTest::newRow("bad fingerprint") << "login --server http://h --user u --trust-fingerprint AB" << "login" << ""
                                     << "--trust-fingerprint needs the 64 hex digits of a SHA-256 fingerprint";
}

void TestKCliOptions::parse()
{
    QFETCH(QString, line);
    const KCliRequest request =
        KCliOptions::parse(QStringList{"wexora-sync"} + line.split(' ', Qt::SkipEmptyParts));
    QTEST(request.command, "command");
    QTEST(request.args.join(' '), "args");
    QTEST(request.error, "error");
}

void TestKCliOptions::serverAndFingerprint_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("address");
    QTest::newRow("http with port") << "http://127.0.0.1:8080" << "http://" << "127.0.0.1:8080";
    QTest::newRow("https trailing slash") << "https://drive.example/" << "https://" << "drive.example";
    QTest::newRow("no scheme") << "drive.example:80" << "" << "";
    QTest::newRow("path") << "http://h/api" << "" << "";
    QTest::newRow("ftp") << "ftp://h" << "" << "";
}

void TestKCliOptions::serverAndFingerprint()
{
    QFETCH(QString, input);
    QFETCH(QString, address);
    QString gotProtocol;
    QString gotAddress;
    QCOMPARE(KCliOptions::splitServer(input, &gotProtocol, &gotAddress), !address.isEmpty());
    QTEST(gotProtocol, "protocol");
    QCOMPARE(gotAddress, address);
    const QString hex = QString("ab").repeated(32);
    const QString colons = QString("AB:").repeated(31) + "AB";
    QCOMPARE(KCliOptions::normalFingerprint(hex), colons);
    QCOMPARE(KCliOptions::normalFingerprint(colons.toLower()), colons);
    QCOMPARE(KCliOptions::normalFingerprint(hex + "0"), QString());
    QCOMPARE(KCliOptions::syncTypeOf("two-way") + KCliOptions::syncTypeOf("upload") + KCliOptions::syncTypeOf("download")
                 + KCliOptions::syncTypeOf("fill") + KCliOptions::syncTypeOf("both"),
             QString("3120"));
    QCOMPARE(KCliOptions::modeOf("0") + KCliOptions::modeOf("9"), QString("fillfill"));
}

// Queued, progressing, failed and repeated rows add up, and the texts say
// so byte for byte.
void TestKCliOptions::tallyAndTexts()
{
    KTransferTally tally;
    tally.queued(2, "/l/a", 1000);
    tally.queued(1, "/l/b", 3 * 1024 * 1024);
    tally.queued(2, "/l/c", 24);
    tally.queued(2, "/l/c", 24); // queued again by a second pass
    tally.progressed(1, "/l/b", 50);
    tally.failed(2, "/l/a", "refused");
    QCOMPARE(tally.ended(2, "/l/a"), true);
    QCOMPARE(tally.ended(2, "/l/c"), false);
    QCOMPARE(tally.outstanding(), 2);
    QCOMPARE(tally.bytesDone(), 24 + 3 * 1024 * 1024 / 2);
    QCOMPARE(KCliReport::progressLine(tally, 1024 * 1024),
             QString("files 1/4  1.5 MiB/3.0 MiB  1.0 MiB/s  left 2s"));
    QCOMPARE(tally.ended(1, "/l/b"), false);
    QCOMPARE(tally.ended(2, "/l/c"), false);
    QCOMPARE(tally.ended(2, "/l/unknown"), false);
    QCOMPARE(tally.outstanding(), 0);
    QCOMPARE(KCliReport::summaryLine(tally, 3725000, false),
             QString("finished: 3 of 4 files (2 uploaded, 1 downloaded, 3.0 MiB) in 1h02m, 1 failed"));
    QCOMPARE(KCliReport::failedLine(2, "/l/a", "refused"), QString("failed upload /l/a: refused"));
    QCOMPARE(KCliReport::queuedLine(1, "/l/b", "@s/b", 1023), QString("queued download /l/b <- @s/b (1023 B)"));
    QCOMPARE(KCliReport::durationText(65), QString("1m05s"));
    const QJsonObject summary = KCliReport::summaryEvent(tally, 10, false, 1);
    QCOMPARE(summary.value("failures").toArray().first().toObject().value("reason").toString(), QString("refused"));
    QCOMPARE(summary.value("bytes_done").toDouble(), double(24 * 2 + 3 * 1024 * 1024));
}

QTEST_GUILESS_MAIN(TestKCliOptions)
#include "tst_kclioptions.moc"
