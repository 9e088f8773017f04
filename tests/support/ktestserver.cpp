#include "ktestserver.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>

namespace
{
constexpr int StartTimeoutMs = 20000;
constexpr int StopTimeoutMs = 20000;
constexpr int AdminTimeoutMs = 60000;

QString queryValue(const QString& text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}
}

KTestServer::KTestServer()
    : token(QUuid::createUuid().toString(QUuid::Id128))
{
}

KTestServer::~KTestServer()
{
    stop();
}

QString KTestServer::demoUser()
{
    return QStringLiteral("demo");
}

QString KTestServer::demoPassword()
{
    return QStringLiteral("demo123");
}

QString KTestServer::demoPersonalSpace()
{
    return personalSpaceOf(demoUser());
}

QString KTestServer::demoSharedSpace()
{
    return QStringLiteral("team-demo");
}

QString KTestServer::personalSpaceOf(const QString& userId)
{
    return QStringLiteral("home-") + userId;
}

bool KTestServer::start(const QStringList& extraArgs)
{
    if (isRunning() || !root.isValid())
        return false;
    arguments = extraArgs;
    tls = false;
    return launch(0);
}

bool KTestServer::startTls(const QStringList& extraArgs)
{
    const QString cert = certificatePath();
    const QString key = root.path() + QStringLiteral("/tls-key.pem");
    if (isRunning() || !makeSelfSignedCertificate(cert, key))
        return false;
    arguments = extraArgs + QStringList{QStringLiteral("--tls-cert"), cert, QStringLiteral("--tls-key"), key};
    tls = true;
    return launch(0);
}

QString KTestServer::certificatePath() const
{
    return root.path() + QStringLiteral("/tls-cert.pem");
}

bool KTestServer::launch(int port)
{
    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList args = QStringList{QStringLiteral("serve"), QStringLiteral("--root"), rootDir(),
                                         QStringLiteral("--port"), QString::number(port),
                                         QStringLiteral("--admin-token"), token, QStringLiteral("--exit-with-parent")}
                             + arguments;
    process->start(program(), args);
    if (!process->waitForStarted(StartTimeoutMs) || !readListeningLine()) {
        process->kill();
        process->waitForFinished(StopTimeoutMs);
        return false;
    }
    return true;
}

bool KTestServer::readListeningLine()
{
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        while (process->canReadLine()) {
            const QString line = QString::fromUtf8(process->readLine()).trimmed();
            printed += line + QLatin1Char('\n');
            if (line.startsWith(QLatin1String("listening "))) {
                listenUrl = line.mid(10);
                listenPort = listenUrl.section(QLatin1Char(':'), -1).toInt();
                return listenPort > 0;
            }
        }
        if (process->state() != QProcess::Running || !process->waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return false;
}

bool KTestServer::stop()
{
    if (!process)
        return true;
    bool clean = false;
    if (process->state() == QProcess::Running) {
        process->terminate();
        clean = process->waitForFinished(StopTimeoutMs);
        if (!clean) {
            process->kill();
            process->waitForFinished(StopTimeoutMs);
        }
    }
    printed += QString::fromUtf8(process->readAllStandardOutput());
    clean = clean && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    process.reset();
    return clean;
}

bool KTestServer::restart()
{
    const int oldPort = listenPort;
    if (!stop())
        return false;
    // The old port is normally free at once (SO_REUSEADDR); if another
    // process took it meanwhile, any port will do.
    return launch(oldPort) || launch(0);
}

bool KTestServer::isRunning() const
{
    return process && process->state() == QProcess::Running;
}

qint64 KTestServer::pid() const
{
    return process ? process->processId() : 0;
}

QString KTestServer::baseUrl() const
{
    return listenUrl;
}

QString KTestServer::protocol() const
{
    return listenUrl.section(QStringLiteral("://"), 0, 0) + QStringLiteral("://");
}

QString KTestServer::address() const
{
    return listenUrl.section(QStringLiteral("://"), 1);
}

KTestServer::Answer KTestServer::admin(const QByteArray& method, const QString& pathAndQuery, const QByteArray& body,
                                       QIODevice* upload)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(listenUrl + pathAndQuery));
    request.setRawHeader("X-Admin-Token", token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply = upload ? manager.sendCustomRequest(request, method, upload)
                                  : manager.sendCustomRequest(request, method, body);
    if (tls)
        reply->ignoreSslErrors();
    QEventLoop loop;
    QTimer::singleShot(AdminTimeoutMs, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    delete reply;
    return answer;
}

QJsonObject KTestServer::adminData(const QByteArray& method, const QString& pathAndQuery, const QByteArray& body)
{
    const QJsonObject envelope = QJsonDocument::fromJson(admin(method, pathAndQuery, body).body).object();
    if (envelope.value(QStringLiteral("code")).toInt(-1) != 0)
        return QJsonObject();
    const QJsonValue data = envelope.value(QStringLiteral("data"));
    return data.isObject() ? data.toObject() : QJsonObject{{QStringLiteral("value"), data}};
}

QString KTestServer::addUser(const QString& userId, const QString& password, const QString& name)
{
    const QJsonObject request{{QStringLiteral("userid"), userId},
                              {QStringLiteral("password"), password},
                              {QStringLiteral("name"), name}};
    return adminData("POST", QStringLiteral("/_admin/users"), QJsonDocument(request).toJson())
        .value(QStringLiteral("personalspace"))
        .toString();
}

bool KTestServer::addSpace(const QString& spaceId, const QString& name, const QStringList& members)
{
    const QJsonObject request{{QStringLiteral("spaceid"), spaceId},
                              {QStringLiteral("name"), name},
                              {QStringLiteral("members"), QJsonArray::fromStringList(members)}};
    return !adminData("POST", QStringLiteral("/_admin/spaces"), QJsonDocument(request).toJson()).isEmpty();
}

bool KTestServer::setFault(const QJsonObject& fault)
{
    return !adminData("POST", QStringLiteral("/_admin/fault"), QJsonDocument(fault).toJson()).isEmpty();
}

bool KTestServer::clearFaults()
{
    return !adminData("POST", QStringLiteral("/_admin/reset")).isEmpty();
}

QMap<QString, qint64> KTestServer::stats()
{
    const QJsonObject counters = adminData("GET", QStringLiteral("/_admin/stats"));
    QMap<QString, qint64> values;
    for (auto it = counters.constBegin(); it != counters.constEnd(); ++it)
        values.insert(it.key(), qint64(it.value().toDouble()));
    return values;
}

bool KTestServer::waitForStat(const QString& name, qint64 atLeast, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (stats().value(name) < atLeast) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

bool KTestServer::configure(const QJsonObject& settings)
{
    return !adminData("POST", QStringLiteral("/_admin/settings"), QJsonDocument(settings).toJson()).isEmpty();
}

QJsonObject KTestServer::tree(const QString& spaceId)
{
    return adminData("GET", QStringLiteral("/_admin/tree?space=") + queryValue(spaceId));
}

QStringList KTestServer::folders(const QString& spaceId)
{
    QStringList list;
    for (const QJsonValue& folder : tree(spaceId).value(QStringLiteral("folders")).toArray())
        list.append(folder.toString());
    return list;
}

QMap<QString, QByteArray> KTestServer::files(const QString& spaceId)
{
    QMap<QString, QByteArray> contents;
    for (const QJsonValue& file : tree(spaceId).value(QStringLiteral("files")).toArray()) {
        const QString path = file.toObject().value(QStringLiteral("path")).toString();
        contents.insert(path, fileContent(spaceId, path));
    }
    return contents;
}

QByteArray KTestServer::fileContent(const QString& spaceId, const QString& relPath)
{
    const Answer answer = admin("GET", QStringLiteral("/_admin/file?space=%1&path=%2").arg(queryValue(spaceId), queryValue(relPath)));
    return answer.status == 200 ? answer.body : QByteArray();
}

bool KTestServer::putFile(const QString& spaceId, const QString& relPath, const QByteArray& bytes)
{
    const Answer answer = admin("PUT", QStringLiteral("/_admin/file?space=%1&path=%2").arg(queryValue(spaceId), queryValue(relPath)), bytes);
    return QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("code")).toInt(-1) == 0;
}

bool KTestServer::putFileFrom(const QString& spaceId, const QString& relPath, const QString& localPath)
{
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const Answer answer = admin("PUT", QStringLiteral("/_admin/file?space=%1&path=%2").arg(queryValue(spaceId), queryValue(relPath)),
                                QByteArray(), &file);
    return QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("code")).toInt(-1) == 0;
}

bool KTestServer::makeFolder(const QString& spaceId, const QString& relPath)
{
    const QJsonObject request{{QStringLiteral("space"), spaceId}, {QStringLiteral("path"), relPath}};
    return !adminData("POST", QStringLiteral("/_admin/mkdir"), QJsonDocument(request).toJson()).isEmpty();
}

QJsonArray KTestServer::trash(const QString& spaceId)
{
    const Answer answer = admin("GET", QStringLiteral("/_admin/trash?space=") + queryValue(spaceId));
    return QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("data")).toArray();
}

int KTestServer::runCommand(const QStringList& args, QString* output)
{
    QProcess command;
    command.setProcessChannelMode(QProcess::MergedChannels);
    command.start(program(), args.mid(0, 1) + QStringList{QStringLiteral("--root"), rootDir()} + args.mid(1));
    const bool ended = command.waitForFinished(StartTimeoutMs) && command.exitStatus() == QProcess::NormalExit;
    if (output)
        *output = QString::fromUtf8(command.readAll());
    return ended ? command.exitCode() : -1;
}

// WEXORA_SERVER_BIN names another build of the server, so a benchmark can
// measure two builds in one run.
QString KTestServer::program()
{
    return qEnvironmentVariable("WEXORA_SERVER_BIN", QStringLiteral(WEXORA_SERVER_BIN));
}

bool KTestServer::makeSelfSignedCertificate(const QString& certPath, const QString& keyPath)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                   QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                   QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath});
    return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}
