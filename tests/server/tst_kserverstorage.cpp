#include "server/kcontentstore.h"
#include "app/kmd5.h"
#include "server/knodestore.h"
#include "server/kpartwriter.h"
#include "server/kshutdown.h"
#include "server/kstorage.h"
#include "server/kuploadclaims.h"
#include "server/kuploaddigests.h"
#include "server/kuploadstore.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QSqlQuery>
#include <QtTest>

// The server's storage pieces against a real SQLite file and real files in a
// private folder. MD5s are checked against Qt's own implementation.
class TestKServerStorage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void foldersAreCreatedAsAChain();
    void fileInTheWayIsAConflict();
    void versionsCountUpNewestFirst();
    void createFlagsDecide();
    void descendantsStayInsideTheFolder();
    void listingDoesNotWalkTheWholeSpace();
    void sessionPartArithmetic_data();
    void sessionPartArithmetic();
    void partsAreReplacedAndListedInOrder();
    void digestsFollowOnlyInOrderParts();
    void claimsRefuseASecondCopyOfAPart();
    void commitHoldKeepsPartsOut();
    void partWriterPlacesBytesAtItsOffset();
    void partWriterRefusesTooManyBytes();
    void contentIsAdoptedOncePerHash();
    void md5KnownAnswers();

private:
    static QByteArray pattern(int size, int seed);
    static QString md5Of(const QByteArray& data);
    KVersionRecord version(const QByteArray& content, const QString& user = QStringLiteral("u")) const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<KStorage> storage;
    std::unique_ptr<KNodeStore> nodes;
};

QByteArray TestKServerStorage::pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + seed * 7 + (i >> 9)) & 0xff);
    return data;
}

QString TestKServerStorage::md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

KVersionRecord TestKServerStorage::version(const QByteArray& content, const QString& user) const
{
    return KVersionRecord{0, md5Of(content), content.size(), user, 1000};
}

// A folder listing must find the children through an index on their parent,
// not by walking every node of the space in path order.
void TestKServerStorage::listingDoesNotWalkTheWholeSpace()
{
    QSqlQuery plan(storage->connection());
    QVERIFY(plan.exec(QStringLiteral("EXPLAIN QUERY PLAN SELECT n.id FROM k_nodes n LEFT JOIN k_versions v"
                                     " ON v.node = n.id WHERE n.spaceid='s' AND n.parent='p'"
                                     " ORDER BY n.path, n.id, v.version DESC")));
    QStringList steps;
    while (plan.next())
        steps << plan.value(3).toString();
    QVERIFY2(steps.join('\n').contains(QStringLiteral("(spaceid=? AND parent=?)")), qPrintable(steps.join('\n')));
}

void TestKServerStorage::init()
{
    dir = std::make_unique<QTemporaryDir>();
    storage = std::make_unique<KStorage>(dir->path() + QStringLiteral("/root"), false);
    QString error;
    QVERIFY2(storage->open(&error), qPrintable(error));
    nodes = std::make_unique<KNodeStore>(*storage);
}

void TestKServerStorage::cleanup()
{
    nodes.reset();
    storage.reset();
    dir.reset();
}

void TestKServerStorage::foldersAreCreatedAsAChain()
{
    QVERIFY(storage->write([&](QSqlDatabase& db) {
        return nodes->makeFolders(db, "s", "a/b/c", "u", 5) == KNodeStore::Outcome::Done;
    }));
    for (const QString& folder : QStringList{"a", "a/b", "a/b/c"}) {
        const auto node = nodes->find("s", folder);
        QVERIFY2(node && !node->isFile, qPrintable(folder));
    }
    QVERIFY(!nodes->find("other", "a"));
    QVERIFY(nodes->find("s", QString())); // a root always exists
    QVERIFY(storage->write([&](QSqlDatabase& db) {
        return nodes->makeFolders(db, "s", "a/b", "u", 6) == KNodeStore::Outcome::Done;
    }));
    QCOMPARE(nodes->descendants("s", QString(), 64).size(), 3);
}

void TestKServerStorage::fileInTheWayIsAConflict()
{
    QVERIFY(storage->write([&](QSqlDatabase& db) {
        return nodes->addVersion(db, "s", "a/f", version("x"), true, true) == KNodeStore::Outcome::Done;
    }));
    KNodeStore::Outcome below = KNodeStore::Outcome::Done;
    QVERIFY(!storage->write([&](QSqlDatabase& db) {
        below = nodes->makeFolders(db, "s", "a/f/g", "u", 1);
        return below == KNodeStore::Outcome::Done;
    }));
    QCOMPARE(below, KNodeStore::Outcome::Conflict);
    QVERIFY(!nodes->find("s", "a/f/g"));
    KNodeStore::Outcome onFolder = KNodeStore::Outcome::Done;
    storage->write([&](QSqlDatabase& db) {
        onFolder = nodes->addVersion(db, "s", "a", version("y"), true, true);
        return onFolder == KNodeStore::Outcome::Done;
    });
    QCOMPARE(onFolder, KNodeStore::Outcome::Conflict);
}

void TestKServerStorage::versionsCountUpNewestFirst()
{
    for (const QByteArray& content : {QByteArray("one"), QByteArray("two!"), QByteArray("three")}) {
        QVERIFY(storage->write([&](QSqlDatabase& db) {
            return nodes->addVersion(db, "s", "d/f.txt", version(content), true, true) == KNodeStore::Outcome::Done;
        }));
    }
    const auto node = nodes->find("s", "d/f.txt");
    QVERIFY(node && node->isFile);
    QCOMPARE(node->versions.size(), 3);
    QCOMPARE(node->versions.at(0).version, qint64(3));
    QCOMPARE(node->versions.at(0).dataHash, md5Of("three"));
    QCOMPARE(node->versions.at(0).dataSize, qint64(5));
    QCOMPARE(node->versions.at(2).dataHash, md5Of("one"));
    QVERIFY(nodes->find("s", "d") && !nodes->find("s", "d")->isFile);
}

void TestKServerStorage::createFlagsDecide()
{
    KNodeStore::Outcome outcome = KNodeStore::Outcome::Done;
    storage->write([&](QSqlDatabase& db) {
        outcome = nodes->addVersion(db, "s", "f", version("a"), false, true);
        return outcome == KNodeStore::Outcome::Done;
    });
    QCOMPARE(outcome, KNodeStore::Outcome::NotFound);
    QVERIFY(storage->write([&](QSqlDatabase& db) {
        return nodes->addVersion(db, "s", "f", version("a"), true, false) == KNodeStore::Outcome::Done;
    }));
    storage->write([&](QSqlDatabase& db) {
        outcome = nodes->addVersion(db, "s", "f", version("b"), true, false);
        return outcome == KNodeStore::Outcome::Done;
    });
    QCOMPARE(outcome, KNodeStore::Outcome::Conflict);
    QCOMPARE(nodes->find("s", "f")->versions.size(), 1);
}

void TestKServerStorage::descendantsStayInsideTheFolder()
{
    // Siblings whose names sort right around "a/b/" must not leak into it.
    for (const QString& path : QStringList{"a/b/x", "a/b/y/z", "a/b.txt", "a/b0", "a/bc/q", "a/b/y/w/deep"}) {
        QVERIFY(storage->write([&](QSqlDatabase& db) {
            return nodes->addVersion(db, "s", path, version(path.toUtf8()), true, true) == KNodeStore::Outcome::Done;
        }));
    }
    QStringList children;
    for (const KNodeRecord& node : nodes->descendants("s", "a/b", 1))
        children.append(node.relative);
    QCOMPARE(children, (QStringList{"a/b/x", "a/b/y"}));
    QStringList two;
    for (const KNodeRecord& node : nodes->descendants("s", "a/b", 2))
        two.append(node.relative);
    QCOMPARE(two, (QStringList{"a/b/x", "a/b/y", "a/b/y/w", "a/b/y/z"}));
    QStringList top;
    for (const KNodeRecord& node : nodes->descendants("s", QString(), 1))
        top.append(node.relative);
    QCOMPARE(top, QStringList{"a"});
}

void TestKServerStorage::sessionPartArithmetic_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("parts");
    QTest::addColumn<qint64>("lastOffset");
    QTest::addColumn<qint64>("lastSize");
    QTest::newRow("12 MiB") << qint64(12582912) << qint64(3) << qint64(10485760) << qint64(2097152);
    QTest::newRow("exactly one chunk") << qint64(5242880) << qint64(1) << qint64(0) << qint64(5242880);
    QTest::newRow("one byte more") << qint64(5242881) << qint64(2) << qint64(5242880) << qint64(1);
    QTest::newRow("small") << qint64(4096) << qint64(1) << qint64(0) << qint64(4096);
    QTest::newRow("empty") << qint64(0) << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("1 TiB in 5 MiB chunks") << (qint64(1) << 40) << qint64(209716) << qint64(1099510579200) << qint64(1048576);
    QTest::newRow("1 GiB") << qint64(1073741824) << qint64(205) << qint64(1069547520) << qint64(4194304);
}

void TestKServerStorage::sessionPartArithmetic()
{
    QFETCH(qint64, size);
    QFETCH(qint64, parts);
    KUploadSession session;
    session.fileSize = size;
    session.chunkSize = 5242880;
    QCOMPARE(session.partCount(), parts);
    if (parts == 0) {
        QCOMPARE(session.partSize(1), qint64(0));
        return;
    }
    QTEST(session.partOffset(int(parts)), "lastOffset");
    QTEST(session.partSize(int(parts)), "lastSize");
    QCOMPARE(session.partSize(int(parts) + 1), qint64(0));
    QCOMPARE(session.partSize(0), qint64(0));
}

void TestKServerStorage::partsAreReplacedAndListedInOrder()
{
    KUploadStore uploads(*storage);
    KUploadSession session{"tok", "u", "s", "f", md5Of("x"), 20, 5, true, true, "open", 1, 99};
    QVERIFY(uploads.create(session));
    QVERIFY(uploads.recordPart("tok", 3, 5));
    QVERIFY(uploads.recordPart("tok", 1, 5));
    QVERIFY(uploads.setPartMd5("tok", 1, "abc"));
    QVERIFY(uploads.recordPart("tok", 1, 4)); // sent again: replaces, forgets the old MD5
    const QList<KStoredPart> parts = uploads.parts("tok");
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts.at(0).number, 1);
    QCOMPARE(parts.at(0).size, qint64(4));
    QVERIFY(parts.at(0).md5.isEmpty());
    QCOMPARE(parts.at(1).number, 3);
    const auto found = uploads.find("tok");
    QVERIFY(found);
    QCOMPARE(found->relative, QStringLiteral("f"));
    QCOMPARE(found->expires, qint64(99));
    QCOMPARE(uploads.expiredOpen(100), QStringList{"tok"});
    QVERIFY(uploads.expiredOpen(99).isEmpty());
}

void TestKServerStorage::digestsFollowOnlyInOrderParts()
{
    // Parts stored out of order: the running MD5 reaches only as far as the
    // stored parts are contiguous from the start, and goes on once a gap fills.
    KContentStore content(dir->path(), false);
    QString error;
    QVERIFY(content.prepare(&error));
    const QByteArray data = pattern(5 * 1024 * 1024 / 2 + 5, 3);
    QFile file(content.sessionPath("t"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    file.close();
    KShutdown shutdown;
    KUploadDigests digests(content, shutdown);
    const qint64 a = 1 << 20;
    const qint64 b = 2 << 20;
    KMd5 state;
    digests.stored("t", b, data.size());
    digests.waitForIdle();
    QCOMPARE(digests.take("t", &state), qint64(0));
    digests.stored("t", 0, a);
    digests.waitForIdle();
    QCOMPARE(digests.take("t", &state), a);
    QCOMPARE(state.hex(), md5Of(data.left(int(a))));
    digests.stored("t", a, b);
    digests.waitForIdle();
    QCOMPARE(digests.take("t", &state), qint64(data.size()));
    QCOMPARE(state.hex(), md5Of(data));
    // Writing hashed bytes again throws the state away.
    digests.rewriting("t", a);
    QCOMPARE(digests.take("t", &state), qint64(0));
    QCOMPARE(state.hex(), md5Of(QByteArray()));
}

void TestKServerStorage::claimsRefuseASecondCopyOfAPart()
{
    KUploadClaims claims;
    QVERIFY(claims.claimPart("t", 1, 0));
    QVERIFY(claims.claimPart("t", 2, 0)); // other parts at the same time
    QVERIFY(claims.busy("t"));
    QVERIFY(!claims.claimPart("t", 1, 50)); // the same part: waits 50 ms, then gives up
    QVERIFY(claims.claimPart("other", 1, 0));
    claims.releasePart("t", 1);
    QVERIFY(claims.claimPart("t", 1, 0));
    claims.releasePart("t", 1);
    claims.releasePart("t", 2);
    QVERIFY(!claims.busy("t"));
}

void TestKServerStorage::commitHoldKeepsPartsOut()
{
    KUploadClaims claims;
    QVERIFY(claims.claimPart("t", 1, 0));
    QVERIFY(!claims.reserve("t", 50)); // a part still arriving
    QVERIFY(claims.claimPart("t", 2, 0)); // the reservation that gave up let go
    claims.releasePart("t", 1);
    claims.releasePart("t", 2);
    QVERIFY(claims.reserve("t", 0));
    QVERIFY(!claims.claimPart("t", 3, 50));
    QVERIFY(!claims.reserve("t", 50)); // a second commit waits for the first
    claims.unreserve("t");
    QVERIFY(!claims.busy("t"));
    QVERIFY(claims.claimPart("t", 3, 0));
}

void TestKServerStorage::partWriterPlacesBytesAtItsOffset()
{
    const QString path = dir->path() + QStringLiteral("/session.data");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(3 * 1024 * 1024));
    file.close();
    const QByteArray part = pattern(2 * 1024 * 1024 + 17, 1); // crosses the 1 MiB buffer twice
    KMd5 md5;
    KPartWriter writer(path, 1000, part.size(), &md5);
    QVERIFY(writer.open());
    for (int offset = 0; offset < part.size(); offset += 4096)
        QVERIFY(writer.write(part.constData() + offset, size_t(qMin(4096, part.size() - offset))));
    QVERIFY(writer.finish());
    QCOMPARE(writer.received(), qint64(part.size()));
    QCOMPARE(md5.hex(), md5Of(part));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray all = file.readAll();
    QCOMPARE(all.size(), 3 * 1024 * 1024);
    QCOMPARE(all.left(1000), QByteArray(1000, '\0'));
    QCOMPARE(all.mid(1000, part.size()), part);
}

void TestKServerStorage::partWriterRefusesTooManyBytes()
{
    const QString path = dir->path() + QStringLiteral("/small.data");
    KPartWriter writer(path, 0, 10, nullptr);
    QVERIFY(writer.open(true));
    QVERIFY(writer.write("0123456789", 10));
    QVERIFY(!writer.write("x", 1));
    QVERIFY(writer.overflowed());
    QVERIFY(writer.finish());
    QCOMPARE(writer.received(), qint64(10));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("0123456789"));
}

void TestKServerStorage::contentIsAdoptedOncePerHash()
{
    KContentStore content(dir->path() + QStringLiteral("/root"), false);
    QString error;
    QVERIFY(content.prepare(&error));
    const QByteArray data = pattern(5000, 3);
    for (const QString& token : QStringList{"t1", "t2"}) {
        QVERIFY(content.createSession(token, data.size()));
        QFile session(content.sessionPath(token));
        QVERIFY(session.open(QIODevice::ReadWrite));
        session.write(data);
        session.close();
        QVERIFY(content.adoptSession(token, md5Of(data), data.size()));
        QVERIFY(!QFile::exists(content.sessionPath(token)));
    }
    QVERIFY(content.hasContent(md5Of(data), data.size()));
    QVERIFY(!content.hasContent(md5Of(data), data.size() + 1));
    QFile stored(content.contentPath(md5Of(data), data.size()));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), data);
    QVERIFY(content.createSession("short", 10));
    QVERIFY(!content.adoptSession("short", md5Of(data), data.size())); // wrong size is never adopted
}

void TestKServerStorage::md5KnownAnswers()
{
    // md5sum of "abc" and of nothing.
    QCOMPARE(KMd5::of("abc"), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));
    QCOMPARE(KMd5::of(QByteArray()), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    KMd5 running;
    running.add("ab");
    const KMd5 copy = running;
    running.add("c");
    QCOMPARE(running.hex(), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));
    QCOMPARE(copy.hex(), KMd5::of("ab"));
}

QTEST_GUILESS_MAIN(TestKServerStorage)
#include "tst_kserverstorage.moc"
