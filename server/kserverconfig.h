#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

// Everything the command line of "serve" sets.
struct KServerConfig
{
    QString root;
    QString host = QStringLiteral("127.0.0.1");
    int port = 0;
    QString tlsCert;
    QString tlsKey;
    QString uploadMethod = QStringLiteral("POST"); // "POST" (multipart) or "PUT"
    QString redirect;                              // path or URL answered by /klogin
    QString adminToken;                            // empty: no admin endpoints
    QString apiStyle = QStringLiteral("mixed");    // mixed, relative, absolute
    QString publicUrl;                             // base for absolute addresses
    QString domain = QStringLiteral("wexora");     // access key domain
    int threads = 24;     // workers always ready
    int maxThreads = 512; // workers when every one is busy
    bool syncWrites = false;
    bool verbose = false;
    bool exitWithParent = false; // stop when the starting process ends (tests)

    bool useTls() const { return !tlsCert.isEmpty(); }
};

// A parsed command line: which command, its configuration and its plain
// arguments. `error` is set when the line cannot be used.
struct KCommandLine
{
    QString command; // serve, add-user, add-space, trash-list, restore, help
    KServerConfig config;
    QStringList arguments;
    QStringList members; // add-space --member
    QString spaceType = QStringLiteral("sharedspace");
    QString restoreTo; // restore --to
    QString error;

    static KCommandLine parse(const QStringList& args);
    static QString usage();
};

// The settings an administrator may change while the server runs; read by
// every request, so they sit behind a lock.
class KRuntimeSettings
{
public:
    explicit KRuntimeSettings(const KServerConfig& config);

    QString uploadMethod() const;
    QString redirect() const;
    QString apiStyle() const;
    bool setUploadMethod(const QString& method);
    void setRedirect(const QString& redirect);
    bool setApiStyle(const QString& style);

    static QString normalisedUploadMethod(const QString& method);
    static bool isApiStyle(const QString& style);

private:
    mutable QMutex mutex;
    QString method;
    QString redirectTarget;
    QString style;
};
