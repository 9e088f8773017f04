#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A running reference drive server for one test: the real wexora-drive-server
// binary on an ephemeral port, with its own temporary root and an admin token.
// Through the admin endpoints a test sets faults, reads request counters and
// reads or fills whole space trees without going through the client.
// The server ends with the thread that started it (so a crashed test leaves
// none behind): start it from the test's main thread.
class KTestServer
{
public:
    KTestServer();
    ~KTestServer();
    KTestServer(const KTestServer&) = delete;
    KTestServer& operator=(const KTestServer&) = delete;

    // Starts on port 0 (or the port of a restart); true once the server has
    // printed the port it listens on. extraArgs go to the command line, e.g.
    // {"--upload-method", "put"} or {"--redirect", "/auth/klogin"}.
    bool start(const QStringList& extraArgs = {});
    // Starts with TLS, using a self-signed certificate made for this server.
    bool startTls(const QStringList& extraArgs = {});
    // SIGTERM and wait; true when the server ended cleanly with code 0.
    bool stop();
    // stop() and start() again with the same root, arguments and, when it
    // can be had, the same port.
    bool restart();
    bool isRunning() const;

    qint64 pid() const;
    int port() const { return listenPort; }
    bool isTls() const { return tls; }
    QString baseUrl() const;  // "http://127.0.0.1:PORT"
    QString protocol() const; // "http://", as the login page sends it
    QString address() const;  // "127.0.0.1:PORT", as the login page sends it
    QString rootDir() const { return root.path() + QStringLiteral("/data"); }
    QString adminToken() const { return token; }
    QString certificatePath() const; // TLS only
    // What the server printed on stdout so far.
    QString output() const { return printed; }

    static QString demoUser();
    static QString demoPassword();
    static QString demoPersonalSpace();
    static QString demoSharedSpace();
    static QString personalSpaceOf(const QString& userId);

    // A new user with a personal space; returns that space's id, or "" when
    // the server refused.
    QString addUser(const QString& userId, const QString& password, const QString& name = QString());
    bool addSpace(const QString& spaceId, const QString& name, const QStringList& members);

    // Adds a fault rule, e.g. {"target":"part","action":"drop","afterBytes":1000}.
    bool setFault(const QJsonObject& fault);
    // Removes all fault rules and resets the request counters.
    bool clearFaults();
    // Request counters by name: operation names, "klogin", "part",
    // "download", "refused", "partBytes", "downloadBytes".
    QMap<QString, qint64> stats();
    // Waits (polling the counters) until a counter reaches `atLeast`.
    bool waitForStat(const QString& name, qint64 atLeast, int timeoutMs = 10000);
    // Changes settings while running: uploadMethod, redirect, apiStyle,
    // linkClockOffset (seconds added to the clock of address expiry).
    bool configure(const QJsonObject& settings);

    // The whole tree of a space: relative path -> current content.
    QMap<QString, QByteArray> files(const QString& spaceId);
    QStringList folders(const QString& spaceId);
    // The admin tree: {"folders":[...], "files":[{"path","md5","size","versions"}]}.
    QJsonObject tree(const QString& spaceId);
    QByteArray fileContent(const QString& spaceId, const QString& relPath);
    // Puts a file into a space directly (a new version if it exists),
    // creating its folders.
    bool putFile(const QString& spaceId, const QString& relPath, const QByteArray& bytes);
    // The same, streamed from a local file, for large contents.
    bool putFileFrom(const QString& spaceId, const QString& relPath, const QString& localPath);
    bool makeFolder(const QString& spaceId, const QString& relPath);
    // The trash of a space, oldest entry first: [{"entryid", "path", "isfile",
    // "ruser", "rtime", "expires", "nodes": [node as kgetnodes answers it]}].
    QJsonArray trash(const QString& spaceId);

    // Runs another command of the server program on this server's root
    // (it may be running), e.g. {"trash-list", "home-demo"}: the exit code,
    // and in `output` what it printed on stdout and stderr.
    int runCommand(const QStringList& args, QString* output = nullptr);

    // The server program, for tests of its other commands.
    static QString program();

    // Makes a self-signed certificate and key for 127.0.0.1 with openssl.
    static bool makeSelfSignedCertificate(const QString& certPath, const QString& keyPath);

private:
    struct Answer
    {
        int status = 0;
        QByteArray body;
    };

    bool launch(int port);
    bool readListeningLine();
    Answer admin(const QByteArray& method, const QString& pathAndQuery, const QByteArray& body = QByteArray(),
                 QIODevice* upload = nullptr);
    QJsonObject adminData(const QByteArray& method, const QString& pathAndQuery, const QByteArray& body = QByteArray());

    QTemporaryDir root;
    QString token;
    QStringList arguments;
    std::unique_ptr<QProcess> process;
    QString printed;
    QString listenUrl;
    int listenPort = 0;
    bool tls = false;
};
