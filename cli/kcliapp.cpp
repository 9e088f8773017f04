#include "cli/kcliapp.h"

#include "api/ktlssettings.h"
#include "app/kfiletools.h"
#include "app/klog.h"
#include "cli/kclilogin.h"
#include "cli/kclipairs.h"
#include "cli/kclirun.h"
#include "login/ksession.h"
#include "store/kfilesyncdatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>
#include <unistd.h>

namespace {

const QString ProbeConnection = QStringLiteral("wexora-sync-probe");
const char* const ProbeBusyTimeout = "QSQLITE_BUSY_TIMEOUT=3000";

QStringList spaceIds()
{
    QStringList ids;
    for (const KSpaceInfo& space : WexoraBase::accessdata.spaces)
        ids << QLatin1Char('@') + space.spaceid;
    return ids;
}

} // namespace

KCliApp::KCliApp(const KCliRequest& request)
    : request(request)
    , console(KCliConsole::detect(request.has("json")))
{
}

int KCliApp::exec()
{
    if (!request.error.isEmpty()) {
        console.error(request.error + QStringLiteral("\nTry 'wexora-sync --help'."));
        return KCliExitUsage;
    }
    if (request.has("help") || request.command == QLatin1String("help")) {
        std::fputs(KCliOptions::usage().toUtf8().constData(), stdout);
        return KCliExitOk;
    }
    if (!prepareBase() || !openStore())
        return KCliExitUsage;
    if (request.command == QLatin1String("login"))
        return login();
    KFileSyncDatabase store;
    KCliPairs pairs(&store, &console);
    if (request.command == QLatin1String("pair list"))
        return pairs.list();
    if (request.command == QLatin1String("pair remove"))
        return pairs.remove(request.args.value(0));
    if (!resumeLogin())
        return KCliExitUsage;
    if (request.command == QLatin1String("pair add"))
        return pairs.add(request.args.value(0), request.args.value(1), request.value("mode"));
    return run();
}

bool KCliApp::prepareBase()
{
    if (request.has("base"))
        KFileTools::setAppBaseDir(QDir::cleanPath(QFileInfo(request.value("base")).absoluteFilePath()));
    const QString base = KFileTools::appBaseDir();
    KFileTools::makePath(base + QStringLiteral("/logs"));
    if (::access(QFile::encodeName(base).constData(), W_OK) != 0) {
        console.error(QStringLiteral("cannot write to %1; choose a folder of yours with --base DIR").arg(base));
        return false;
    }
    qInstallMessageHandler(KLog::outputMessage);
    KTlsSettings::loadPins(KTlsSettings::pinFilePath());
    return true;
}

bool KCliApp::openStore()
{
    const QString problem = databaseProblem();
    if (!problem.isEmpty()) {
        console.error(problem);
        return false;
    }
    try {
        KFileSyncDatabase().initDatabase();
        return true;
    } catch (...) {
        console.error(QStringLiteral("cannot open the database %1; check that its folder is writable")
                          .arg(KFileSyncDatabase::databasePath()));
        return false;
    }
}

// A store that another program holds locked would make every statement
// wait; better to say so at once.
QString KCliApp::databaseProblem() const
{
    const QString path = KFileSyncDatabase::databasePath();
    KFileTools::makePath(KFileTools::parentPath(path));
    QString problem;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ProbeConnection);
        db.setDatabaseName(path);
        db.setConnectOptions(QLatin1String(ProbeBusyTimeout));
        problem = db.open() ? writeProblem(db, path)
                            : QStringLiteral("cannot open the database %1 (%2); check that its folder is writable")
                                  .arg(path, db.lastError().text());
        db.close();
    }
    QSqlDatabase::removeDatabase(ProbeConnection);
    return problem;
}

// A write transaction begun and rolled back: busy when another program holds a lock.
QString KCliApp::writeProblem(QSqlDatabase& db, const QString& path)
{
    QSqlQuery begin(db);
    if (begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        begin.exec(QStringLiteral("ROLLBACK"));
        return QString();
    }
    return QStringLiteral("the database %1 is locked by another program (%2); wait until it is done or close it, "
                          "then try again")
        .arg(path, begin.lastError().text());
}

bool KCliApp::resumeLogin()
{
    KCliLogin session;
    if (session.resume() == KCliLogin::Result::Accepted)
        return true;
    console.error(session.message());
    return false;
}

int KCliApp::login()
{
    KLoginForm form;
    if (!KCliOptions::splitServer(request.value("server"), &form.protocol, &form.address)) {
        console.error(QStringLiteral("--server needs http:// or https:// and a host, e.g. https://drive.example:8443"));
        return KCliExitUsage;
    }
    form.username = request.value("user");
    QString error;
    form.password = KCliLogin::readPassword(request.value("password-file"), &error);
    if (form.password.isEmpty()) {
        console.error(error.isEmpty() ? QStringLiteral("the password is empty") : error);
        return KCliExitUsage;
    }
    KCliLogin session;
    if (session.login(form, KCliOptions::normalFingerprint(request.value("trust-fingerprint")))
        != KCliLogin::Result::Accepted) {
        console.error(session.message());
        return KCliExitUsage;
    }
    const QStringList spaces = spaceIds();
    console.report(QStringLiteral("logged in as %1 on %2; spaces: %3")
                       .arg(form.username, form.serverBase(),
                            spaces.isEmpty() ? QStringLiteral("none") : spaces.join(QStringLiteral(", "))),
                   {{"event", "login"},
                    {"user", form.username},
                    {"server", form.serverBase()},
                    {"spaces", QJsonArray::fromStringList(spaces)}});
    return KCliExitOk;
}

int KCliApp::run()
{
    KFileSyncDatabase store;
    KCliRun command(&store, &console);
    KCliRun::Options options;
    options.once = request.has("once");
    options.pairId = request.value("pair");
    if (request.has("interval"))
        options.intervalSeconds = request.value("interval").toInt();
    if (request.has("check-interval"))
        options.checkSeconds = request.value("check-interval").toInt();
    return command.exec(options);
}
