#include "ktestbasedir.h"
#include "transfer/kuploadcache.h"
#include "transfer/kuploadmanager.h"

#include <QtTest>

// The resume cache on disk: one entry per (local path, server path, MD5).
class TestUploadCache : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void keysAreMd5OfLatin1_data();
    void keysAreMd5OfLatin1();
    void anyChangeOfTheJobGivesAnotherEntry();
    void readingAMissingEntryCreatesOnlyTheRoot();
    void writeOverwriteAndRead();
    void deletingTheOnlyEntryRemovesEmptyParents();
    void deletingOneOfTwoEntriesKeepsTheOther();
    void removeDirLeavesHiddenEntriesAndLinkedFolders();

private:
    QString root() const { return base->path() + QStringLiteral("/datas/cache/upload"); }
    static QByteArray fileBytes(const QString& path);

    std::unique_ptr<KTestBaseDir> base;
};

namespace {
const QString EmptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
}

void TestUploadCache::init()
{
    base = std::make_unique<KTestBaseDir>();
    QVERIFY(base->isValid());
}

void TestUploadCache::cleanup()
{
    base.reset();
}

QByteArray TestUploadCache::fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void TestUploadCache::keysAreMd5OfLatin1_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<QString>("key");
    // Known answers: printf '<joined bytes>' | md5sum
    QTest::newRow("ascii") << "/home/u/a.txt" << "@s1/a.txt" << EmptyMd5 << "12d33891dc185dd119f0711eb024f6dd";
    QTest::newRow("latin-1 byte") << QString::fromUtf8("/home/u/é.txt") << QString::fromUtf8("@s1/é.txt") << EmptyMd5
                                  << "4851c3209f7dc578c9ba7bcb2c6b0267";
    // Characters above U+00FF all count as "?".
    QTest::newRow("cjk as ?") << QString::fromUtf8("/home/u/文件.txt") << QString::fromUtf8("@s1/文件.txt") << EmptyMd5
                              << "4eacdbc9839f1a72ef37e7892542119a";
    QTest::newRow("other cjk, same positions") << QString::fromUtf8("/home/u/数据.txt")
                                               << QString::fromUtf8("@s1/数据.txt") << EmptyMd5
                                               << "4eacdbc9839f1a72ef37e7892542119a";
    QTest::newRow("literal ?") << "/home/u/??.txt" << "@s1/??.txt" << EmptyMd5 << "4eacdbc9839f1a72ef37e7892542119a";
}

void TestUploadCache::keysAreMd5OfLatin1()
{
    QFETCH(QString, local);
    QFETCH(QString, server);
    QFETCH(QString, md5);
    QFETCH(QString, key);
    QCOMPARE(KUploadCache::key(local, server, md5), key);
    QCOMPARE(KUploadManager::uploadTokenDir(local, server, md5), root() + "/" + key);
}

void TestUploadCache::anyChangeOfTheJobGivesAnotherEntry()
{
    const QString md5 = QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
    KUploadManager::writeUploadToken("/l/a", "@s1/a", md5, "t1");
    QCOMPARE(KUploadManager::readUploadToken("/l/a", "@s1/a", md5), QString("t1"));
    QCOMPARE(KUploadManager::readUploadToken("/l/b", "@s1/a", md5), QString());
    QCOMPARE(KUploadManager::readUploadToken("/l/a", "@s1/b", md5), QString());
    QCOMPARE(KUploadManager::readUploadToken("/l/a", "@s1/a", EmptyMd5), QString());
    // The colliding paths share the entry.
    KUploadManager::writeUploadToken(QString::fromUtf8("/l/文"), "@s1/x", md5, "shared");
    QCOMPARE(KUploadManager::readUploadToken(QString::fromUtf8("/l/档"), "@s1/x", md5), QString("shared"));
}

void TestUploadCache::readingAMissingEntryCreatesOnlyTheRoot()
{
    QVERIFY(!QDir(root()).exists());
    QCOMPARE(KUploadManager::readUploadToken("/l/a", "@s1/a", EmptyMd5), QString());
    QVERIFY(QDir(root()).exists());
    QVERIFY(QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    QCOMPARE(KUploadManager::uploadCacheDir(), root());
}

void TestUploadCache::writeOverwriteAndRead()
{
    const QString entry = KUploadManager::uploadTokenDir("/l/a", "@s1/a", EmptyMd5);
    KUploadManager::writeUploadToken("/l/a", "@s1/a", EmptyMd5, QString::fromUtf8("a-long-first-token-ü"));
    QCOMPARE(fileBytes(entry + "/token.db"), QString::fromUtf8("a-long-first-token-ü").toUtf8());
    KUploadManager::writeUploadToken("/l/a", "@s1/a", EmptyMd5, "short");
    // Only the new token: no rest of the longer old one, no line break.
    QCOMPARE(fileBytes(entry + "/token.db"), QByteArray("short"));
    QCOMPARE(QDir(entry).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"token.db"});
    QCOMPARE(KUploadManager::readUploadToken("/l/a", "@s1/a", EmptyMd5), QString("short"));
    // An empty token reads as no token.
    KUploadManager::writeUploadToken("/l/a", "@s1/a", EmptyMd5, QString());
    QCOMPARE(fileBytes(entry + "/token.db"), QByteArray());
    QCOMPARE(KUploadManager::readUploadToken("/l/a", "@s1/a", EmptyMd5), QString());
}

void TestUploadCache::deletingTheOnlyEntryRemovesEmptyParents()
{
    QVERIFY(QDir().mkpath(base->path() + "/logs")); // keeps the base folder itself
    KUploadManager::writeUploadToken("/l/a", "@s1/a", EmptyMd5, "t");
    QVERIFY(QFile::exists(KUploadManager::uploadTokenDir("/l/a", "@s1/a", EmptyMd5) + "/token.db"));
    KUploadManager::deleteUploadToken("/l/a", "@s1/a", EmptyMd5);
    QVERIFY(!QDir(base->path() + "/datas").exists());
    QVERIFY(QDir(base->path() + "/logs").exists());
    // Deleting what is not there is fine.
    KUploadManager::deleteUploadToken("/l/a", "@s1/a", EmptyMd5);
    QVERIFY(KUploadManager::removeDir(base->path() + "/nothing/here"));
}

void TestUploadCache::deletingOneOfTwoEntriesKeepsTheOther()
{
    KUploadManager::writeUploadToken("/l/a", "@s1/a", EmptyMd5, "ta");
    KUploadManager::writeUploadToken("/l/b", "@s1/b", EmptyMd5, "tb");
    KUploadManager::deleteUploadToken("/l/a", "@s1/a", EmptyMd5);
    QVERIFY(!QDir(KUploadManager::uploadTokenDir("/l/a", "@s1/a", EmptyMd5)).exists());
    QCOMPARE(KUploadManager::readUploadToken("/l/b", "@s1/b", EmptyMd5), QString("tb"));
    QVERIFY(QDir(root()).exists());
}

void TestUploadCache::removeDirLeavesHiddenEntriesAndLinkedFolders()
{
    const QString dir = base->path() + "/x/y";
    QVERIFY(QDir().mkpath(dir + "/sub/deeper"));
    QFile deep(dir + "/sub/deeper/f");
    QVERIFY(deep.open(QIODevice::WriteOnly));
    deep.close();
    const QString outside = base->path() + "/outside";
    QVERIFY(QDir().mkpath(outside));
    QFile keep(outside + "/keep");
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.close();
    QVERIFY(QFile::link(outside, dir + "/link"));
    QVERIFY(KUploadManager::removeDir(base->path() + "/x"));
    QVERIFY(!QDir(base->path() + "/x").exists());
    QVERIFY(QFile::exists(outside + "/keep"));

    QVERIFY(QDir().mkpath(dir));
    QFile hidden(dir + "/.hidden");
    QVERIFY(hidden.open(QIODevice::WriteOnly));
    hidden.close();
    QVERIFY(!KUploadManager::removeDir(dir));
    QVERIFY(QFile::exists(dir + "/.hidden"));
}

QTEST_GUILESS_MAIN(TestUploadCache)
#include "tst_kuploadcache.moc"
