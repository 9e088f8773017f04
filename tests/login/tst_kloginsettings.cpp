#include "app/kfiletools.h"
#include "ktestbasedir.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>

using Settings = QMap<QString, QString>;

namespace {

const QString DefaultTitle = QStringLiteral("Wexora云盘");

int modeOf(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 0777);
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes, int mode)
{
    QDir().mkpath(KFileTools::parentPath(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
}

} // namespace

class TestKLoginSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void missingFileReadsDefaults();
    void saveWritesExactBytes_data();
    void saveWritesExactBytes();
    void fileStaysOwnerOnly();
    void readDecodesAndKeepsScalars();
    void malformedFileReadsAsEmpty();
    void titleHandling_data();
    void titleHandling();
    void clearLoginUserKeepsServerAndTitle();

private:
    QScopedPointer<KTestBaseDir> base;
    QString configDir() const { return base->path() + "/config"; }
    QString configFile() const { return configDir() + "/config.json"; }
};

void TestKLoginSettings::init()
{
    base.reset(new KTestBaseDir);
    QVERIFY(base->isValid());
}

void TestKLoginSettings::cleanup()
{
    base.reset();
    KLoginControl::WexoraTitle = DefaultTitle;
}

void TestKLoginSettings::missingFileReadsDefaults()
{
    QCOMPARE(KLoginSettings::loginSettingsPath(), configFile());
    QCOMPARE(KLoginSettings::readLoginSettings(), (Settings{{"protocol", ""}, {"address", ""}, {"username", ""},
                                                            {"password", ""}, {"title", DefaultTitle}}));
    QVERIFY(QDir(configDir()).exists());
    QCOMPARE(modeOf(configDir()), 0700);
    QVERIFY(!QFile::exists(configFile()));
    QCOMPARE(KLoginControl::WexoraTitle, DefaultTitle);
}

void TestKLoginSettings::saveWritesExactBytes_data()
{
    QTest::addColumn<QStringList>("values"); // protocol, address, username, password
    QTest::addColumn<QString>("title");
    QTest::addColumn<QByteArray>("bytes");
    // Base64 fields: printf '%s' VALUE | base64 -w0
    QTest::newRow("all fields") << QStringList{"https://", "drive.example.com:8443", "张三", "p@ss w0rd"} << DefaultTitle
                                << QByteArray(R"({"address":"ZHJpdmUuZXhhbXBsZS5jb206ODQ0Mw==","password":"cEBzcyB3MHJk",)"
                                              R"("protocol":"aHR0cHM6Ly8=","title":"Wexora云盘","username":"5byg5LiJ"})");
    QTest::newRow("empty stays empty") << QStringList{"", "10.0.0.5", "", ""} << QString("My \"Drive\"")
                                       << QByteArray(R"({"address":"MTAuMC4wLjU=","password":"","protocol":"",)"
                                                     R"("title":"My \"Drive\"","username":""})");
}

void TestKLoginSettings::saveWritesExactBytes()
{
    QFETCH(QStringList, values);
    QFETCH(QString, title);
    QFETCH(QByteArray, bytes);
    KLoginControl::WexoraTitle = title;
    KLoginSettings::saveLoginSettings(values.at(0), values.at(1), values.at(2), values.at(3));
    QCOMPARE(fileBytes(configFile()), bytes);
    QCOMPARE(QDir(configDir()).entryList(QDir::Files), QStringList{"config.json"});

    const Settings read = KLoginSettings::readLoginSettings();
    QCOMPARE((QStringList{read.value("protocol"), read.value("address"), read.value("username"), read.value("password")}),
             values);
    QCOMPARE(read.value("title"), title);
}

void TestKLoginSettings::fileStaysOwnerOnly()
{
    KLoginSettings::saveLoginSettings("https://", "h", "u", "pw");
    QCOMPARE(modeOf(configFile()), 0600);
    QCOMPARE(modeOf(configDir()), 0700);

    // A file someone loosened: the next write tightens it again.
    QVERIFY(::chmod(QFile::encodeName(configFile()).constData(), 0644) == 0);
    KLoginSettings::saveLoginSettings("https://", "h", "u", "pw2");
    QCOMPARE(modeOf(configFile()), 0600);
    QVERIFY(fileBytes(configFile()).contains("\"password\":\"cHcy\""));

    QVERIFY(::chmod(QFile::encodeName(configFile()).constData(), 0644) == 0);
    KLoginSettings::clearLoginUser();
    QCOMPARE(modeOf(configFile()), 0600);
}

void TestKLoginSettings::readDecodesAndKeepsScalars()
{
    // "YWIAY2Q=" is base64 of "ab\0cd": cut at the zero byte.
    writeFile(configFile(), R"({"address":"YWIAY2Q=","username":"dQ==","n":5.9,"b":true,"s":"x","a":[1],"o":{}})", 0600);
    QCOMPARE(KLoginSettings::readLoginSettings(),
             (Settings{{"protocol", ""}, {"address", "ab"}, {"username", "u"}, {"password", ""},
                       {"title", DefaultTitle}, {"n", "5"}, {"b", "1"}, {"s", "x"}}));
}

void TestKLoginSettings::malformedFileReadsAsEmpty()
{
    writeFile(configFile(), R"({"address":"dQ==", "title":)", 0600);
    QCOMPARE(KLoginSettings::readLoginSettings(), (Settings{{"protocol", ""}, {"address", ""}, {"username", ""},
                                                            {"password", ""}, {"title", DefaultTitle}}));
}

void TestKLoginSettings::titleHandling_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("title");
    QTest::newRow("absent: current title") << QByteArray(R"({"address":""})") << DefaultTitle;
    QTest::newRow("empty title taken") << QByteArray(R"({"title":""})") << QString("");
    QTest::newRow("title taken") << QByteArray(R"({"title":"Team Drive"})") << QString("Team Drive");
}

void TestKLoginSettings::titleHandling()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, title);
    writeFile(configFile(), file, 0600);
    QCOMPARE(KLoginSettings::readLoginSettings().value("title", "<absent>"), title);
    QCOMPARE(KLoginControl::WexoraTitle, title);
    KLoginSettings::saveLoginSettings("", "", "", "");
    QVERIFY(fileBytes(configFile()).contains(QByteArray(",\"title\":\"") + title.toUtf8() + "\","));
}

void TestKLoginSettings::clearLoginUserKeepsServerAndTitle()
{
    KLoginControl::WexoraTitle = QStringLiteral("Team Drive");
    KLoginSettings::saveLoginSettings("http://", "10.0.0.5", "u", "pw");
    KLoginControl::WexoraTitle = DefaultTitle;
    KLoginSettings::clearLoginUser();
    QCOMPARE(fileBytes(configFile()), QByteArray(R"({"address":"MTAuMC4wLjU=","password":"","protocol":"aHR0cDovLw==",)"
                                                 R"("title":"Team Drive","username":""})"));
    QCOMPARE(KLoginControl::WexoraTitle, QStringLiteral("Team Drive"));
}

QTEST_GUILESS_MAIN(TestKLoginSettings)
#include "tst_kloginsettings.moc"
