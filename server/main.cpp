#include "server/kservercli.h"

#include <QCoreApplication>

#include <csignal>
#include <pthread.h>

int main(int argc, char* argv[])
{
    // Blocked before any thread exists, so every thread inherits the mask
    // and only the watcher thread receives them.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Needed for the SQL driver plugin; no event loop runs.
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return KServerCli::run(args);
}
