#include "ktestapiclient.h"
#include "ktestserver.h"

#include <QDateTime>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

// Login and request signing of the running server, over HTTP: what it
// accepts, what it refuses, and that nobody leaves their own spaces.
class TestKDriveServerAuth : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loginAnswersIdentityKeyAndSpaces();
    void loginRefusals_data();
    void loginRefusals();
    void redirectFromTheCommandLine();
    void redirectSwitchedAtRuntime();
    void signedRequestsAccepted();
    void signatureRefusals_data();
    void signatureRefusals();
    void dateWindowIsFifteenMinutes();
    void unknownOperation();
    void anotherUsersSpaceIsOutOfReach();
    void anotherUsersUploadTokenIsUseless();
    void traversalPathsRefused_data();
    void traversalPathsRefused();
    void nulInAnyFieldRefused_data();
    void nulInAnyFieldRefused();
    void accountsFromTheCommandLine();
    void passwordsAreNotStored();
    void serverEndsWithItsParent();

private:
    KTestServer server;
    std::unique_ptr<KTestApiClient> demo;
};

void TestKDriveServerAuth::initTestCase()
{
    QVERIFY(server.start());
    demo = std::make_unique<KTestApiClient>(server.baseUrl());
    QVERIFY(demo->login(KTestServer::demoUser(), KTestServer::demoPassword()));
    QVERIFY(!server.addUser("alice", "alice-pw", "Alice").isEmpty());
}

void TestKDriveServerAuth::loginAnswersIdentityKeyAndSpaces()
{
    const QJsonObject data = demo->loginData();
    QCOMPARE(data.value("userid").toString(), QStringLiteral("demo"));
    QVERIFY(data.value("username").isString());
    QVERIFY(!data.value("tenantid").toString().isEmpty());
    QVERIFY(data.value("ext").isObject());
    const QJsonObject key = data.value("accesskey").toObject();
    for (const char* member : {"accesskeyid", "accesskeysecret", "accessdomain", "accesskeytime"})
        QVERIFY2(!key.value(member).toString().isEmpty(), member);
    QStringList types;
    for (const QJsonValue& value : data.value("spaces").toArray()) {
        const QJsonObject space = value.toObject();
        for (const char* member : {"spacetype", "spaceid", "spaceapi", "spacename", "spaceroot"})
            QVERIFY2(space.value(member).isString(), member);
        QCOMPARE(space.value("spaceroot").toString(), "@" + space.value("spaceid").toString());
        types.append(space.value("spacetype").toString());
    }
    QCOMPARE(types, (QStringList{"personalspace", "systemspace", "sharedspace"}));
    // The personal space has a relative address, the shared one an absolute
    // address on the host the client used.
    QCOMPARE(data.value("spaces").toArray().at(0).toObject().value("spaceapi").toString(), QStringLiteral("/api"));
    QVERIFY(data.value("spaces").toArray().at(2).toObject().value("spaceapi").toString().startsWith(server.baseUrl() + "/"));
    QCOMPARE(demo->apiUrl(KTestServer::demoPersonalSpace()), server.baseUrl() + "/api");
}

void TestKDriveServerAuth::loginRefusals_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::newRow("wrong password") << "demo" << "demo124";
    QTest::newRow("unknown user") << "nobody" << "demo123";
    QTest::newRow("empty password") << "demo" << "";
    QTest::newRow("user in other case") << "DEMO" << "demo123";
}

void TestKDriveServerAuth::loginRefusals()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    KTestApiClient client(server.baseUrl());
    const KTestApiClient::Answer answer = client.loginAt(server.baseUrl() + "/klogin", user, password);
    QVERIFY(answer.envelope().contains("code"));
    QVERIFY(answer.code() != 0);
    QVERIFY(!answer.envelope().value("errtip").toString().isEmpty());
    QVERIFY(!answer.data().isObject());
}

void TestKDriveServerAuth::redirectFromTheCommandLine()
{
    KTestServer redirecting;
    QVERIFY(redirecting.start({"--redirect", "/auth/klogin"}));
    KTestApiClient client(redirecting.baseUrl());
    const KTestApiClient::Answer first = client.loginAt(redirecting.baseUrl() + "/klogin", "demo", "demo123");
    QCOMPARE(first.code(), 0);
    QVERIFY(first.data().isString());
    const QJsonObject inner = QJsonDocument::fromJson(first.data().toString().toUtf8()).object();
    QCOMPARE(inner.value("redirect").toString(), QStringLiteral("/auth/klogin"));
    const KTestApiClient::Answer second = client.loginAt(redirecting.baseUrl() + inner.value("redirect").toString(), "demo", "demo123");
    QCOMPARE(second.code(), 0);
    QCOMPARE(second.data().toObject().value("userid").toString(), QStringLiteral("demo"));
    QVERIFY(redirecting.stop());
}

void TestKDriveServerAuth::redirectSwitchedAtRuntime()
{
    KTestApiClient client(server.baseUrl());
    const QString elsewhere = server.baseUrl() + "/elsewhere/klogin";
    QVERIFY(server.configure({{"redirect", elsewhere}}));
    const KTestApiClient::Answer answer = client.loginAt(server.baseUrl() + "/klogin", "demo", "demo123");
    QVERIFY(server.configure({{"redirect", ""}}));
    QCOMPARE(QJsonDocument::fromJson(answer.data().toString().toUtf8()).object().value("redirect").toString(), elsewhere);
    QVERIFY(client.login("demo", "demo123"));
}

void TestKDriveServerAuth::signedRequestsAccepted()
{
    const QString root = "@" + KTestServer::demoPersonalSpace();
    const KTestApiClient::Answer personal = demo->call(KTestServer::demoPersonalSpace(), {{"op", "kgetnodes"}, {"paths", "[\"" + root + "\"]"}});
    QCOMPARE(personal.code(), 0);
    QCOMPARE(personal.data().toArray().size(), 1);
    // The shared space goes to its absolute address, signed over that path.
    const QString shared = "@" + KTestServer::demoSharedSpace();
    const KTestApiClient::Answer other = demo->call(KTestServer::demoSharedSpace(),
                                                    {{"op", "klistdir"}, {"dirpath", shared}, {"hasfile", "true"},
                                                     {"hasdir", "true"}, {"hasmeta", "false"}, {"depth", "1"}});
    QCOMPARE(other.code(), 0);
    // A query in the address takes part in the signature like the client's.
    const KTestApiClient::Answer withQuery = demo->callAt(server.baseUrl() + "/api?x=1&y=", {{"op", "kgetnodes"}, {"paths", "[\"" + root + "\"]"}});
    QCOMPARE(withQuery.code(), 0);
}

void TestKDriveServerAuth::signatureRefusals_data()
{
    QTest::addColumn<QString>("forgery");
    QTest::addColumn<int>("code");
    QTest::newRow("wrong secret") << "secret" << 11;
    QTest::newRow("unknown key id") << "keyid" << 11;
    QTest::newRow("other user's key id") << "alicekey" << 11;
    QTest::newRow("value changed after signing") << "body" << 11;
    QTest::newRow("signed for another address") << "address" << 11;
    QTest::newRow("wrong domain") << "domain" << 11;
    QTest::newRow("no headers") << "none" << 12;
    QTest::newRow("date not in the format") << "isodate" << 12;
}

void TestKDriveServerAuth::signatureRefusals()
{
    QFETCH(QString, forgery);
    QFETCH(int, code);
    KTestApiClient client(server.baseUrl());
    QVERIFY(client.login("demo", "demo123"));
    const QString url = client.apiUrl(KTestServer::demoPersonalSpace());
    const QMap<QString, QString> params{{"op", "kgetnodes"}, {"paths", "[\"@home-demo\"]"}};
    const QString date = KTestApiClient::httpDate(QDateTime::currentDateTimeUtc());
    QString resource = KTestApiClient::canonicalResource(url, params);
    QString authorization;
    if (forgery == "secret")
        client.setSecret("not the secret");
    if (forgery == "keyid")
        client.setKeyId("AKNOSUCHKEY");
    if (forgery == "alicekey") {
        KTestApiClient alice(server.baseUrl());
        QVERIFY(alice.login("alice", "alice-pw"));
        client.setKeyId(alice.keyId());
    }
    if (forgery == "address")
        resource = KTestApiClient::canonicalResource(server.baseUrl() + "/other", params);
    const QString domain = forgery == "domain" ? "other" : client.loginData().value("accesskey").toObject().value("accessdomain").toString();
    const QString signature = KTestApiClient::signature("POST\n" + resource + "\n" + date, client.secret());
    authorization = domain + " " + client.keyId() + ":" + signature;
    QMap<QString, QString> sent = params;
    if (forgery == "body")
        sent["paths"] = "[\"@home-alice\"]";
    QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "application/x-www-form-urlencoded"}};
    if (forgery != "none") {
        headers.append({"x-authorization", authorization.toUtf8()});
        headers.append({"x-date", forgery == "isodate" ? QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toUtf8() : date.toUtf8()});
    }
    const KTestApiClient::Answer answer = client.post(url, KTestApiClient::formBody(sent), headers);
    QCOMPARE(answer.code(), code);
    QVERIFY(!answer.envelope().value("errtip").toString().isEmpty());
    QVERIFY(!answer.data().isArray());
}

void TestKDriveServerAuth::dateWindowIsFifteenMinutes()
{
    const QString url = demo->apiUrl(KTestServer::demoPersonalSpace());
    const QMap<QString, QString> params{{"op", "kgetnodes"}, {"paths", "[\"@home-demo\"]"}};
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QCOMPARE(demo->callAt(url, params, KTestApiClient::httpDate(now.addSecs(14 * 60))).code(), 0);
    QCOMPARE(demo->callAt(url, params, KTestApiClient::httpDate(now.addSecs(-14 * 60))).code(), 0);
    QCOMPARE(demo->callAt(url, params, KTestApiClient::httpDate(now.addSecs(16 * 60))).code(), 12);
    QCOMPARE(demo->callAt(url, params, KTestApiClient::httpDate(now.addSecs(-16 * 60))).code(), 12);
    QCOMPARE(demo->callAt(url, params, KTestApiClient::httpDate(now.addDays(-1))).code(), 12);
}

void TestKDriveServerAuth::unknownOperation()
{
    const KTestApiClient::Answer answer = demo->call(KTestServer::demoPersonalSpace(), {{"op", "kdeleteall"}, {"dirpath", "@home-demo"}});
    QCOMPARE(answer.code(), 3);
}

void TestKDriveServerAuth::anotherUsersSpaceIsOutOfReach()
{
    QVERIFY(server.putFile(KTestServer::demoPersonalSpace(), "private/plan.txt", "demo only"));
    KTestApiClient alice(server.baseUrl());
    QVERIFY(alice.login("alice", "alice-pw"));
    const QString own = "@" + KTestServer::personalSpaceOf("alice");
    const QString api = alice.apiUrl(KTestServer::personalSpaceOf("alice"));
    const QList<QMap<QString, QString>> attempts = {
        {{"op", "klistdir"}, {"dirpath", "@home-demo"}, {"depth", "1"}},
        {{"op", "kgetnodes"}, {"paths", "[\"" + own + "\",\"@home-demo/private/plan.txt\"]"}},
        {{"op", "domkdirs"}, {"dirpath", "@home-demo/intruder"}},
        {{"op", "kaskdownload"}, {"filepath", "@home-demo/private/plan.txt"}},
        {{"op", "kaskupload"}, {"filepath", "@home-demo/private/plan.txt"}, {"filemd5", "00000000000000000000000000000000"},
         {"filesize", "1"}, {"chunksize", "5242880"}},
        {{"op", "klistdir"}, {"dirpath", "@team-demo"}, {"depth", "1"}},
        {{"op", "klistdir"}, {"dirpath", "@sys-demo"}, {"depth", "1"}},
        {{"op", "klistdir"}, {"dirpath", "@sys-alice"}, {"depth", "1"}},
    };
    for (const auto& params : attempts) {
        const KTestApiClient::Answer answer = alice.callAt(api, params);
        QVERIFY2(answer.code() == 13, qPrintable(params.value("op") + " " + answer.body));
        QVERIFY(!answer.data().isArray() || answer.data().toArray().isEmpty());
    }
    QCOMPARE(server.folders(KTestServer::demoPersonalSpace()), QStringList{"private"});
    QCOMPARE(alice.callAt(api, {{"op", "klistdir"}, {"dirpath", own}, {"depth", "1"}}).code(), 0);
}

void TestKDriveServerAuth::anotherUsersUploadTokenIsUseless()
{
    const QByteArray content("token of demo");
    const KTestApiClient::Answer asked = demo->askUpload("@home-demo/token.txt", content);
    const QString token = asked.data().toObject().value("uptoken").toString();
    QVERIFY(!token.isEmpty());
    KTestApiClient alice(server.baseUrl());
    QVERIFY(alice.login("alice", "alice-pw"));
    const QString space = KTestServer::personalSpaceOf("alice");
    QCOMPARE(alice.exchange(space, token, 1).code(), 30);
    QCOMPARE(alice.call(space, {{"op", "kqueryuploaded"}, {"uptoken", token}}).code(), 30);
    QCOMPARE(alice.call(space, {{"op", "ksubmitupload"}, {"uptoken", token}, {"filepath", "@home-demo/token.txt"}}).code(), 30);
    // The owner can still finish it.
    const KTestApiClient::Answer ticket = demo->exchange(KTestServer::demoPersonalSpace(), token, 1);
    QCOMPARE(demo->sendPart(ticket.data().toObject(), content, 0).code(), 0);
    QCOMPARE(demo->submit("@home-demo/token.txt", token).code(), 0);
    QCOMPARE(server.fileContent(KTestServer::demoPersonalSpace(), "token.txt"), content);
}

void TestKDriveServerAuth::traversalPathsRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("parent step into another space") << "@home-demo/../home-alice/x";
    QTest::newRow("parent step at the end") << "@home-demo/a/..";
    QTest::newRow("current step") << "@home-demo/a/./b";
    QTest::newRow("empty name") << "@home-demo/a//b";
    QTest::newRow("absolute after the space") << "@home-demo//etc/passwd";
    QTest::newRow("backslash") << "@home-demo/a\\..\\..\\b";
    QTest::newRow("no space") << "/etc/passwd";
    QTest::newRow("control character") << "@home-demo/a\tb";
    QTest::newRow("C1 next line") << QString("@home-demo/a") + QChar(0x85) + "b";
    QTest::newRow("C1 CSI") << QString("@home-demo/a") + QChar(0x9b) + "b";
}

void TestKDriveServerAuth::traversalPathsRefused()
{
    QFETCH(QString, path);
    const QString space = KTestServer::demoPersonalSpace();
    const QStringList before = server.folders(space);
    for (const QString& op : QStringList{"domkdirs", "klistdir"}) {
        const KTestApiClient::Answer answer = demo->call(space, {{"op", op}, {"dirpath", path}, {"depth", "1"}});
        QVERIFY2(answer.code() == 14, qPrintable(op + " " + answer.body));
    }
    QCOMPARE(demo->askUpload(path, "x").code(), 14);
    QCOMPARE(demo->call(space, {{"op", "kgetnodes"}, {"paths", QJsonDocument(QJsonArray{path}).toJson(QJsonDocument::Compact)}}).code(), 14);
    QCOMPARE(server.folders(space), before);
}

void TestKDriveServerAuth::nulInAnyFieldRefused_data()
{
    // A field with a NUL, signed over the text before it (what a server that
    // cut values at the NUL would check), or over all of it, or not signed.
    const QChar nul(0);
    const QVariantMap mkdir{{"op", "domkdirs"}, {"dirpath", "@home-demo/nulcut"}};
    QVariantMap cutValue = mkdir;
    cutValue["dirpath"] = QString("@home-demo/nulcut") + nul + "/../elsewhere";
    QVariantMap cutKey = mkdir;
    cutKey.remove("dirpath");
    cutKey[QString("dirpath") + nul + "x"] = "@home-demo/nulcut";
    QTest::addColumn<QString>("address");
    QTest::addColumn<QVariantMap>("sent");
    QTest::addColumn<QVariantMap>("signedOver");
    QTest::newRow("login user id") << "/klogin" << QVariantMap{{"userid", QString("demo") + nul + "x"}, {"password", "demo123"}} << QVariantMap();
    QTest::newRow("login password") << "/klogin" << QVariantMap{{"userid", "demo"}, {"password", QString("demo123") + nul + "x"}} << QVariantMap();
    QTest::newRow("value signed up to the NUL") << "/api" << cutValue << mkdir;
    QTest::newRow("key signed up to the NUL") << "/api" << cutKey << mkdir;
    QTest::newRow("value signed whole") << "/api" << cutValue << cutValue;
    QTest::newRow("query of the address") << "/api?x=a%00b" << mkdir << mkdir;
}

void TestKDriveServerAuth::nulInAnyFieldRefused()
{
    QFETCH(QString, address);
    QFETCH(QVariantMap, sent);
    QFETCH(QVariantMap, signedOver);
    const auto strings = [](const QVariantMap& map) {
        QMap<QString, QString> out;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            out.insert(it.key(), it.value().toString());
        return out;
    };
    const QString url = server.baseUrl() + address;
    QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "application/x-www-form-urlencoded"}};
    if (!signedOver.isEmpty()) {
        const QString date = KTestApiClient::httpDate(QDateTime::currentDateTimeUtc());
        const QString text = "POST\n" + KTestApiClient::canonicalResource(url, strings(signedOver)) + "\n" + date;
        const QString domain = demo->loginData().value("accesskey").toObject().value("accessdomain").toString();
        headers.append({"x-authorization", (domain + " " + demo->keyId() + ":" + KTestApiClient::signature(text, demo->secret())).toUtf8()});
        headers.append({"x-date", date.toUtf8()});
    }
    const KTestApiClient::Answer answer = demo->post(url, KTestApiClient::formBody(strings(sent)), headers);
    QCOMPARE(answer.code(), 2);
    QVERIFY(!answer.data().isObject());
    QVERIFY(!server.folders(KTestServer::demoPersonalSpace()).contains("nulcut"));
}

void TestKDriveServerAuth::accountsFromTheCommandLine()
{
    const auto run = [](const QStringList& args) {
        QProcess process;
        process.start(KTestServer::program(), args);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    };
    const QString root = server.rootDir();
    // Next to the running server, on the same database.
    QCOMPARE(run({"add-user", "--root", root, "bob", "bob-pw", "Bob B"}), 0);
    QCOMPARE(run({"add-space", "--root", root, "project-x", "Project X", "--member", "bob", "--member", "demo"}), 0);
    QCOMPARE(run({"add-user", "--root", root, "bob", "other"}), 1);
    QCOMPARE(run({"add-user", "--root", root, "../evil", "pw"}), 1);
    QCOMPARE(run({"add-space", "--root", root, "team-y", "Y", "--member", "nobody"}), 1);
    QCOMPARE(run({"add-user", "--root", root, "carol"}), 2);
    QCOMPARE(run({"--help"}), 0);
    KTestApiClient bob(server.baseUrl());
    QVERIFY(bob.login("bob", "bob-pw"));
    QCOMPARE(bob.loginData().value("username").toString(), QStringLiteral("Bob B"));
    QStringList spaces;
    for (const QJsonValue& space : bob.loginData().value("spaces").toArray())
        spaces.append(space.toObject().value("spaceid").toString());
    QCOMPARE(spaces, (QStringList{"home-bob", "sys-bob", "project-x"}));
    QCOMPARE(bob.call("project-x", {{"op", "domkdirs"}, {"dirpath", "@project-x/shared"}}).code(), 0);
    QCOMPARE(demo->callAt(server.baseUrl() + "/api", {{"op", "klistdir"}, {"dirpath", "@project-x"}, {"depth", "1"}}).data().toArray().size(), 1);
}

void TestKDriveServerAuth::passwordsAreNotStored()
{
    QVERIFY(!server.addUser("dave", "dave-Secret-42").isEmpty());
    KTestApiClient dave(server.baseUrl());
    QVERIFY(dave.login("dave", "dave-Secret-42"));
    QDirIterator files(server.rootDir(), QDir::Files, QDirIterator::Subdirectories);
    int read = 0;
    while (files.hasNext()) {
        QFile file(files.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY2(!bytes.contains("dave-Secret-42"), qPrintable(file.fileName()));
        QVERIFY(!bytes.contains("demo123"));
        ++read;
    }
    QVERIFY(read >= 2); // the database and its write-ahead log at least
}

// Gone, or a zombie nobody has reaped yet.
static bool processEnded(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    return !status.open(QIODevice::ReadOnly) || status.readAll().contains("State:\tZ");
}

void TestKDriveServerAuth::serverEndsWithItsParent()
{
    QTemporaryDir root;
    QProcess shell;
    // The shell starts the server in the background and waits for a line;
    // closing its input ends the shell, the server's parent.
    shell.start("sh", {"-c", "\"$0\" serve --root \"$1\" --port 0 --exit-with-parent >/dev/null & echo $!; read line",
                       KTestServer::program(), root.path()});
    QVERIFY(shell.waitForReadyRead(10000));
    const qint64 pid = shell.readLine().trimmed().toLongLong();
    QVERIFY(pid > 0);
    QVERIFY(!processEnded(pid));
    shell.closeWriteChannel();
    QVERIFY(shell.waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(processEnded(pid), 15000);
}

QTEST_GUILESS_MAIN(TestKDriveServerAuth)
#include "tst_kdriveserverauth.moc"
