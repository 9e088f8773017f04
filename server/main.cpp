#include "server/kservercli.h"

#include <QCoreApplication>

#include <csignal>
#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
// Descriptors inherited from whoever started us (a build lock, a test's
// pipes) would stay open as long as the server runs; it needs none of them.
void closeInheritedDescriptors()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    const int own = dirfd(dir);
    int found[1024];
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (fd > 2 && fd != own && count < 1024)
            found[count++] = fd;
    }
    closedir(dir);
    for (int i = 0; i < count; ++i)
        close(found[i]);
}

// Every worker may hold a connection and its own SQLite connection (three
// descriptors); with hundreds of workers the usual soft limit of 1024 is
// too low, while the hard limit is usually far higher.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}
}

int main(int argc, char* argv[])
{
    closeInheritedDescriptors();
    raiseDescriptorLimit();
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
