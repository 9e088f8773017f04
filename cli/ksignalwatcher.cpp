#include "cli/ksignalwatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalSockets[2] = {-1, -1};
}

KSignalWatcher::KSignalWatcher(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return;
    notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &KSignalWatcher::readSignal);
    struct sigaction action = {};
    action.sa_handler = &KSignalWatcher::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

KSignalWatcher::~KSignalWatcher()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    delete notifier;
    for (int& fd : signalSockets) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void KSignalWatcher::handle(int signalNumber)
{
    // Only async-signal-safe calls here.
    const char number = char(signalNumber);
    (void)!::write(signalSockets[0], &number, 1);
}

void KSignalWatcher::readSignal()
{
    char number = 0;
    if (::read(signalSockets[1], &number, 1) == 1)
        emit received(int(number));
}
