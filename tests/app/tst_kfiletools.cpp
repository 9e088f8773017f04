#include "app/kfiletools.h"
#include "app/kinstalllayout.h"
#include "ktestbasedir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestKFileTools : public QObject
{
    Q_OBJECT

private slots:
    void formatPath_data();
    void formatPath();
    void parentAndName_data();
    void parentAndName();
    void appBaseDirIsTwoLevelsUp();
    void installLayout_data();
    void installLayout();
    void makePathCreatesMissingLevels();
    void makePathOfRelativePathStartsInCurrentDirectory_data();
    void makePathOfRelativePathStartsInCurrentDirectory();
    void makePathLeavesExistingFolder();
    void makePathOfRootChildNeverTouchesCurrentDirectory();
    void readTextFile();
    void writeTextFileReplacesContent();
    void base64_data();
    void base64();
    void fromBase64SkipsForeignCharactersAndCutsAtZero();
};

void TestKFileTools::formatPath_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("plain") << "/a/b" << "/a/b";
    QTest::newRow("double backslashes") << "C:\\\\x\\\\y" << "C:/x/y";
    QTest::newRow("single backslashes") << "a\\b\\c" << "a/b/c";
    QTest::newRow("runs of slashes") << "a////b///c" << "a/b/c";
    QTest::newRow("mixed") << "\\\\srv\\\\share\\dir//sub\\\\\\file" << "/srv/share/dir/sub/file";
    QTest::newRow("odd backslash run") << "a\\\\\\b" << "a/b";
    QTest::newRow("trailing") << "/a/b//" << "/a/b/";
}

void TestKFileTools::formatPath()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(KFileTools::formatPath(input), expected);
}

void TestKFileTools::parentAndName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("name");
    QTest::newRow("no separator") << "name.txt" << "name.txt" << "name.txt";
    QTest::newRow("nested") << "/a/b/c.txt" << "/a/b" << "c.txt";
    QTest::newRow("root child") << "/a" << "" << "a";
    QTest::newRow("trailing separator") << "/a/b/" << "/a/b" << "";
    QTest::newRow("backslashes") << "a\\b\\c" << "a/b" << "c";
    QTest::newRow("server path") << "@s1/docs/a.txt" << "@s1/docs" << "a.txt";
    QTest::newRow("space root") << "@s1" << "@s1" << "@s1";
    QTest::newRow("empty") << "" << "" << "";
}

void TestKFileTools::parentAndName()
{
    QFETCH(QString, path);
    QFETCH(QString, parent);
    QFETCH(QString, name);
    QCOMPARE(KFileTools::parentPath(path), parent);
    QCOMPARE(KFileTools::fileName(path), name);
}

void TestKFileTools::appBaseDirIsTwoLevelsUp()
{
    KFileTools::setAppBaseDirForTesting(QString());
    QDir expected(QCoreApplication::applicationDirPath());
    expected.cdUp();
    expected.cdUp();
    QCOMPARE(KFileTools::appBaseDir(), expected.absolutePath());
}

void TestKFileTools::installLayout_data()
{
    QTest::addColumn<QString>("exeDir");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("basePages");
    QTest::addColumn<bool>("sharedPages");
    QTest::addColumn<QString>("xdg");
    QTest::addColumn<QString>("dataDir");
    QTest::addColumn<QString>("installDir");
    QTest::newRow("appdir") << "/opt/w/usr/bin" << true << true << false << "" << "/opt/w" << "/opt/w";
    QTest::newRow("read-only appdir") << "/opt/w/usr/bin" << false << true << false << ""
                                      << "/home/u/.local/share/wexora" << "/opt/w";
    QTest::newRow("system") << "/usr/bin" << false << false << true << "" << "/home/u/.local/share/wexora"
                            << "/usr/share/wexora";
    QTest::newRow("system, root") << "/usr/local/bin" << true << false << true << "/x/data"
                                  << "/x/data/wexora" << "/usr/local/share/wexora";
    QTest::newRow("installed with both") << "/d/usr/bin" << true << true << true << "" << "/d" << "/d";
    QTest::newRow("build tree") << "/b/tests/app" << true << false << false << "" << "/b" << "/b";
    QTest::newRow("relative xdg ignored") << "/usr/bin" << false << false << true << "rel"
                                          << "/home/u/.local/share/wexora" << "/usr/share/wexora";
}

void TestKFileTools::installLayout()
{
    QFETCH(QString, exeDir);
    QFETCH(bool, writable);
    QFETCH(bool, basePages);
    QFETCH(bool, sharedPages);
    QFETCH(QString, xdg);
    const KInstallLayout layout =
        KInstallLayout::decide({exeDir, writable, basePages, sharedPages, xdg, QStringLiteral("/home/u")});
    QTEST(layout.dataDir, "dataDir");
    QTEST(layout.installDir, "installDir");
}

void TestKFileTools::makePathCreatesMissingLevels()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString deep = tmp.path() + "/one/two/three";
    QDir().mkdir(tmp.path() + "/one");
    KFileTools::makePath(deep);
    QVERIFY(QDir(tmp.path() + "/one/two").exists());
    QVERIFY(QDir(deep).exists());

    KFileTools::makePath(tmp.path() + "\\x\\\\y//z");
    QVERIFY(QDir(tmp.path() + "/x/y/z").exists());
}

void TestKFileTools::makePathOfRelativePathStartsInCurrentDirectory_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("created");
    QTest::newRow("three levels, none there") << "a/b/c" << "a/b/c";
    QTest::newRow("backslashes") << "a\\b\\c" << "a/b/c";
    QTest::newRow("one level") << "single" << "single";
}

void TestKFileTools::makePathOfRelativePathStartsInCurrentDirectory()
{
    QFETCH(QString, path);
    QFETCH(QString, created);
    QTemporaryDir cwd;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd.path()));
    KFileTools::makePath(path);
    QDir::setCurrent(before);
    QVERIFY2(QDir(cwd.path() + "/" + created).exists(), qPrintable(created));
}

void TestKFileTools::makePathLeavesExistingFolder()
{
    QTemporaryDir tmp;
    QFile marker(tmp.path() + "/keep.txt");
    QVERIFY(marker.open(QIODevice::WriteOnly));
    marker.write("x");
    marker.close();
    KFileTools::makePath(tmp.path());
    QVERIFY(QFile::exists(tmp.path() + "/keep.txt"));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"keep.txt"});
}

void TestKFileTools::makePathOfRootChildNeverTouchesCurrentDirectory()
{
    // "/name" has the empty text as its parent; the root, not the current
    // directory, must be where the first level would go.
    QTemporaryDir cwd;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd.path()));
    const QString name = QStringLiteral("wexora-no-such-root-folder-%1").arg(QCoreApplication::applicationPid());
    KFileTools::makePath(QStringLiteral("/") + name + QStringLiteral("/child"));
    const bool createdInCwd = QDir(cwd.path() + "/" + name).exists();
    QDir(QStringLiteral("/") + name).removeRecursively();
    QDir::setCurrent(before);
    QVERIFY(!createdInCwd);
}

void TestKFileTools::readTextFile()
{
    QTemporaryDir tmp;
    QCOMPARE(KFileTools::readTextFile(tmp.path() + "/missing.txt"), QString());

    const QString path = tmp.path() + "/zero.txt";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("云盘 before", 13) + QByteArray(1, '\0') + QByteArray("after"));
    file.close();
    QCOMPARE(KFileTools::readTextFile(path), QStringLiteral("云盘 before"));
}

void TestKFileTools::writeTextFileReplacesContent()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/t.json";
    KFileTools::createFile(path);
    QVERIFY(QFile::exists(path));
    QCOMPARE(QFileInfo(path).size(), 0);
    KFileTools::writeTextFile(path, QStringLiteral("a much longer first content"));
    KFileTools::writeTextFile(path, QStringLiteral("短"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("\xe7\x9f\xad"));
}

void TestKFileTools::base64_data()
{
    // Known answers from `echo -n ... | base64`.
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("encoded");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("latin") << "héllo" << "aMOpbGxv";
    QTest::newRow("chinese") << "云盘" << "5LqR55uY";
}

void TestKFileTools::base64()
{
    QFETCH(QString, plain);
    QFETCH(QString, encoded);
    QCOMPARE(KFileTools::toBase64(plain), encoded);
    QCOMPARE(KFileTools::fromBase64(encoded), plain);
}

void TestKFileTools::fromBase64SkipsForeignCharactersAndCutsAtZero()
{
    QCOMPARE(KFileTools::fromBase64(QStringLiteral("aM*Op bGx\nv")), QStringLiteral("héllo"));
    QCOMPARE(KFileTools::fromBase64(QStringLiteral("YWIAY2Q=")), QStringLiteral("ab"));
}

QTEST_GUILESS_MAIN(TestKFileTools)
#include "tst_kfiletools.moc"
