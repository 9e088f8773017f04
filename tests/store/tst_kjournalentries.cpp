#include "store/kjournalentries.h"

#include <QtTest>

// The compact journal a pass reads: every entry comes back exactly as it
// went in, whatever its hashes look like and in whatever order it came.
class TestKJournalEntries : public QObject
{
    Q_OBJECT

private slots:
    void entriesComeBackAsTheyWent();
};

void TestKJournalEntries::entriesComeBackAsTheyWent()
{
    const QString md5 = QStringLiteral("0123456789abcdef0123456789abcdef");
    const QList<KJournalEntry> given{
        {"a.txt", {0, 1, 2}, md5, md5, 0, 1, 4},                                        // replaced below
        {"z/last.txt", {10, 1700000000123, 77}, md5, md5, 10, 3, 5},
        {"e.txt", {0, 1, 2}, QString(), QString(), 0, 1, 6},                         // nothing known yet
        {"b.txt", {4, 5, 6}, md5.toUpper(), md5, 4, 2, 7},                             // upper case stays upper
        {"c.txt", {4, 5, 6}, md5, "da39a3ee5e6b4b0d3255bfef95601890afd80709", 4, 2, 8}, // another hash kind
        {"d/é ü.txt", {1, 2, 3}, md5, md5.left(31) + 'g', 1, 1, 9},                   // not hex
        {"a.txt", {9, 9, 9}, md5, md5, 9, 2, 10},                                       // replaces the first
    };
    KJournalEntries entries;
    for (const KJournalEntry& entry : given)
        entries.insert(entry);
    QCOMPARE(entries.size(), 6);
    QCOMPARE(entries.paths(), (QStringList{"a.txt", "b.txt", "c.txt", "d/é ü.txt", "e.txt", "z/last.txt"}));
    for (const KJournalEntry& expected : given.mid(1)) {
        const std::optional<KJournalEntry> found = entries.find(expected.relPath);
        QVERIFY2(found, qPrintable(expected.relPath));
        QCOMPARE(found->local, expected.local);
        QCOMPARE(found->md5, expected.md5);
        QCOMPARE(found->datahash, expected.datahash);
        QCOMPARE((QList<qint64>{found->datasize, found->version, found->timeMs}),
                 (QList<qint64>{expected.datasize, expected.version, expected.timeMs}));
    }
    QVERIFY(!entries.find("a.tx"));
    QVERIFY(!entries.find("zz"));
}

QTEST_GUILESS_MAIN(TestKJournalEntries)
#include "tst_kjournalentries.moc"
