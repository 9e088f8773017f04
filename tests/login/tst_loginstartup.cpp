#include "api/ktlssettings.h"
#include "ktestbasedir.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

// The program itself, staged in an AppDir of its own: it starts into the
// login window with the certificates trusted in earlier runs loaded.
class TestLoginStartup : public QObject
{
    Q_OBJECT

private slots:
    void startsIntoTheLoginWindow();
};

void TestLoginStartup::startsIntoTheLoginWindow()
{
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    const QString program = appDir.path() + "/usr/bin/wexora";
    QVERIFY(QDir().mkpath(appDir.path() + "/usr/bin"));
    QVERIFY(QFile::copy(WEXORA_CLIENT_BIN, program));
    QVERIFY(kCopyTree(WEXORA_SOURCE_DIR "/resources/page", appDir.path() + "/page"));
    const QSslCertificate certificate =
        QSslCertificate::fromPath(WEXORA_SOURCE_DIR "/tests/api/data/selfsigned.crt").value(0);
    KTlsSettings::pin("127.0.0.1", 8443, certificate);
    QVERIFY(KTlsSettings::savePins(appDir.path() + "/config/pinned_certs.json"));
    KTlsSettings::clearPins();

    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    client.start(program, QStringList());
    QVERIFY(client.waitForStarted());
    const QString logPath =
        appDir.path() + "/logs/[" + QDate::currentDate().toString("yyyyMMdd") + "]log.txt";
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logPath).contains("[op=getLoginData] "), 60000);
    QCOMPARE(client.state(), QProcess::Running);
    client.terminate();
    if (!client.waitForFinished(20000)) {
        client.kill();
        client.waitForFinished(20000);
    }

    const QString log = readFile(logPath);
    const int pinsLoaded = log.indexOf(QString::fromUtf8("[已加载信任的证书] 1"));
    QVERIFY2(pinsLoaded >= 0, qPrintable(log));
    QVERIFY(pinsLoaded < log.indexOf("[op=getLoginData] "));
    // Attributes set once the application object exists are ignored with a warning.
    QVERIFY2(!log.contains("must be set before"), qPrintable(log));
    QVERIFY(QFileInfo(appDir.path() + "/config").isDir());
    QVERIFY(!QFile::exists(appDir.path() + "/config/config.json"));
}

QTEST_GUILESS_MAIN(TestLoginStartup)
#include "tst_loginstartup.moc"
