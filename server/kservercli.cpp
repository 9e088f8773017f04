#include "server/kservercli.h"

#include "server/kaccountservice.h"
#include "server/kdriveserver.h"
#include "server/kserverconfig.h"
#include "server/kstorage.h"
#include "server/ktrashcommands.h"
#include "server/kuserstore.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>
#include <sys/prctl.h>
#include <unistd.h>

namespace
{
void say(const QString& text)
{
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

int fail(const QString& text, int code = 1)
{
    std::fprintf(stderr, "wexora-drive-server: %s\n", qPrintable(text));
    return code;
}

// Waits for SIGTERM, SIGINT or SIGHUP (blocked in every thread) and stops the
// server; gives up when `done` is set.
void watchSignals(KDriveServer& server, const std::atomic<bool>& done)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    const timespec tick{0, 200 * 1000 * 1000};
    while (!done.load()) {
        if (sigtimedwait(&set, nullptr, &tick) > 0) {
            server.stop();
            return;
        }
    }
}

// A test that dies without stopping its server must not leave it running:
// the kernel sends SIGTERM when the parent goes, which stops it cleanly.
bool followParent(const KServerConfig& config)
{
    if (!config.exitWithParent)
        return true;
    const pid_t parent = getppid();
    return prctl(PR_SET_PDEATHSIG, SIGTERM) == 0 && getppid() == parent && parent != 1;
}

int serve(const KServerConfig& config)
{
    if (!followParent(config))
        return fail(QStringLiteral("the starting process is gone"));
    KDriveServer server(config);
    QString error;
    bool demoCreated = false;
    if (!server.prepare(&error, &demoCreated))
        return fail(error);
    if (server.bind(&error) < 0)
        return fail(error);
    const QString url = server.listenUrl();
    if (demoCreated) {
        say(QStringLiteral("demo account created: user \"%1\", password \"%2\"")
                .arg(QLatin1String(KAccountService::DemoUser), QLatin1String(KAccountService::DemoPassword)));
        say(QStringLiteral("log in with protocol \"%1\" and address \"%2\"").arg(url.section(QStringLiteral("://"), 0, 0) + QStringLiteral("://"), url.section(QStringLiteral("://"), 1)));
    }
    say(QStringLiteral("listening ") + url);
    std::atomic<bool> done{false};
    std::thread watcher(watchSignals, std::ref(server), std::cref(done));
    const bool ran = server.run();
    done.store(true);
    watcher.join();
    say(QStringLiteral("stopped"));
    return ran ? 0 : fail(QStringLiteral("the server stopped unexpectedly"));
}

int addUser(const KCommandLine& line)
{
    KStorage storage(line.config.root, line.config.syncWrites);
    KUserStore users(storage);
    KAccountService accounts(users);
    QString error;
    if (!storage.open(&error) || !accounts.addUser(line.arguments.at(0), line.arguments.at(1), line.arguments.value(2), &error))
        return fail(error);
    say(QStringLiteral("user %1 added with the personal space @%2").arg(line.arguments.at(0), KAccountService::personalSpaceId(line.arguments.at(0))));
    return 0;
}

int addSpace(const KCommandLine& line)
{
    KStorage storage(line.config.root, line.config.syncWrites);
    KUserStore users(storage);
    KAccountService accounts(users);
    QString error;
    if (!storage.open(&error) || !accounts.addSpace(line.arguments.at(0), line.arguments.at(1), line.spaceType, line.members, &error))
        return fail(error);
    say(QStringLiteral("space @%1 added").arg(line.arguments.at(0)));
    return 0;
}

int report(const KTrashCommands::Result& result)
{
    std::fputs(result.output.toUtf8().constData(), stdout);
    return result.exitCode == 0 ? 0 : fail(result.error, result.exitCode);
}
}

namespace KServerCli
{
int run(const QStringList& args)
{
    const KCommandLine line = KCommandLine::parse(args);
    if (!line.error.isEmpty()) {
        std::fputs(qPrintable(KCommandLine::usage()), stderr);
        return fail(line.error, 2);
    }
    if (line.command == QLatin1String("help")) {
        std::fputs(qPrintable(KCommandLine::usage()), stdout);
        return 0;
    }
    if (line.command == QLatin1String("add-user"))
        return addUser(line);
    if (line.command == QLatin1String("add-space"))
        return addSpace(line);
    if (line.command == QLatin1String("trash-list"))
        return report(KTrashCommands::list(line));
    if (line.command == QLatin1String("restore"))
        return report(KTrashCommands::restore(line));
    return serve(line.config);
}
}
