#include "kcliprocess.h"
#include "ktestserver.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

// The wexora-sync of the installed package (WEXORA_INSTALLED_SYNC, set by
// scripts/test.sh after installing it), run as the user "nobody" with a
// home of its own: login, pair, one pass, whole trees; its files land below
// the user's data folder, not in the read-only install.
class TestInstalledSync : public QObject
{
    Q_OBJECT

private slots:
    void syncsAsUserWithoutRoot();
};

namespace {

bool giveTo(const QString& path, const passwd* user)
{
    return ::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) == 0;
}

} // namespace

void TestInstalledSync::syncsAsUserWithoutRoot()
{
    const QString program = qEnvironmentVariable("WEXORA_INSTALLED_SYNC");
    if (program.isEmpty())
        QSKIP("the package is not installed here (scripts/test.sh installs it and sets WEXORA_INSTALLED_SYNC)");
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        QSKIP("needs root to run the program as the user nobody");
    KTestServer server;
    QVERIFY(server.start());
    const QString space = KTestServer::demoPersonalSpace();
    QVERIFY(server.putFile(space, "installed/from-server.txt", "server bytes"));
    QTemporaryDir home;
    QTemporaryDir local;
    const QMap<QString, QByteArray> localFiles{{"mine.txt", "local bytes"}, {"sub/deep.bin", QByteArray(9000, 'd')}};
    QVERIFY(kWriteTree(local.path(), localFiles));
    QVERIFY(kWriteTree(home.path(), {{"password", "demo123\n"}}));
    for (const QString& path : {home.path(), home.path() + "/password", local.path(), local.path() + "/sub",
                                local.path() + "/mine.txt", local.path() + "/sub/deep.bin"})
        QVERIFY(giveTo(path, nobody));

    // runuser sets HOME from the password database; env puts the test's back.
    QProcessEnvironment environment;
    environment.insert("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
    const KCliProcess cli("runuser", {"-u", "nobody", "--", "env", "HOME=" + home.path(), program}, environment);
    const KCliResult login = cli.run({"login", "--server", server.baseUrl(), "--user", "demo", "--password-file",
                                      home.path() + "/password"});
    QVERIFY2(login.exitCode == 0, qPrintable(login.out + login.err));
    const KCliResult pair = cli.run({"pair", "add", local.path(), "@" + space + "/installed", "--mode", "fill"});
    QVERIFY2(pair.exitCode == 0, qPrintable(pair.out + pair.err));
    const KCliResult run = cli.run({"run", "--once"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));

    QMap<QString, QByteArray> both = localFiles;
    both.insert("from-server.txt", "server bytes");
    QCOMPARE(kLocalTree(local.path()), both);
    QCOMPARE(kSubtree(server.files(space), "installed"), both);
    const QString data = home.path() + "/.local/share/wexora";
    QVERIFY(QFileInfo::exists(data + "/db/wexoradriver.db"));
    QCOMPARE(QFileInfo(data + "/config/config.json").ownerId(), nobody->pw_uid);
    QVERIFY(QFileInfo(data + "/logs").isDir());
}

QTEST_GUILESS_MAIN(TestInstalledSync)
#include "tst_installedsync.moc"
