#include "klinksimulator.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace
{
constexpr uint64_t ListenKey = 1;
constexpr uint64_t TimerKey = 2;
constexpr uint64_t SignalKey = 3;
constexpr int LinkTimer = 2; // Timer::what of a link's queue: LinkTimer + direction
constexpr int MaxEvents = 256;

int64_t now()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The proxy times every byte itself; the kernel must not hold small writes back.
void setNoDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string failure(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool resolve(const std::string& host, int port, bool passive, sockaddr_storage& address, socklen_t& length)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return false;
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return true;
}

int boundPort(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool watch(int epollFd, int fd, uint64_t key, uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}
} // namespace

KLinkSimulator::KLinkSimulator(const KLinkOptions& options)
    : options(options),
      links{KLinkShaper(options.up), KLinkShaper(options.down)}
{
}

KLinkSimulator::~KLinkSimulator()
{
    connections.clear();
    for (int fd : {listenFd, epollFd, timerFd, signalFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

std::string KLinkSimulator::start()
{
    if (!resolve(options.targetHost, options.targetPort, false, targetAddress, targetLength))
        return "cannot resolve the target " + options.targetHost;
    const std::string listening = listenSocket();
    return listening.empty() ? loopDescriptors() : listening;
}

std::string KLinkSimulator::listenSocket()
{
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!resolve(options.listenHost, options.listenPort, true, address, length))
        return "cannot resolve the listening address " + options.listenHost;
    listenFd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0
        || ::listen(listenFd, SOMAXCONN) != 0)
        return failure("listen");
    listenPort = boundPort(listenFd);
    return std::string();
}

std::string KLinkSimulator::loopDescriptors()
{
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&handled, s);
    ::sigprocmask(SIG_BLOCK, &handled, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    signalFd = ::signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (signalFd < 0 || timerFd < 0 || epollFd < 0 || !watch(epollFd, listenFd, ListenKey, EPOLLIN)
        || !watch(epollFd, timerFd, TimerKey, EPOLLIN) || !watch(epollFd, signalFd, SignalKey, EPOLLIN))
        return failure("event loop");
    return std::string();
}

void KLinkSimulator::run()
{
    epoll_event events[MaxEvents];
    while (!stopping) {
        const int n = ::epoll_wait(epollFd, events, MaxEvents, -1);
        for (int i = 0; i < n; ++i)
            handle(events[i].data.u64, events[i].events);
        runTimers();
        armTimer();
    }
}

std::string KLinkSimulator::summary() const
{
    return std::to_string(accepted) + " connections (at most " + std::to_string(mostOpen) + " at once), up "
           + std::to_string(links[0].bytesSent) + " bytes, down " + std::to_string(links[1].bytesSent) + " bytes";
}

void KLinkSimulator::handle(uint64_t key, uint32_t events)
{
    uint64_t expirations = 0;
    if (key == ListenKey)
        acceptAll();
    else if (key == TimerKey)
        armedAt = ::read(timerFd, &expirations, sizeof expirations) > 0 ? 0 : armedAt;
    else if (key == SignalKey)
        signalled();
    else
        socketEvent(key, events);
}

// SIGUSR1 prints the counters so far; the others stop the loop.
void KLinkSimulator::signalled()
{
    signalfd_siginfo signal{};
    while (::read(signalFd, &signal, sizeof signal) == sizeof signal) {
        if (signal.ssi_signo == SIGUSR1)
            std::fprintf(stderr, "wexora-linksim: %s\n", summary().c_str());
        else
            stopping = true;
    }
}

void KLinkSimulator::acceptAll()
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            open(fd);
        else if (errno != ECONNABORTED && errno != EINTR)
            return;
    }
}

void KLinkSimulator::open(int clientFd)
{
    const int targetFd = ::socket(targetAddress.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int connected = targetFd < 0 ? -1 : ::connect(targetFd, reinterpret_cast<sockaddr*>(&targetAddress), targetLength);
    if (targetFd < 0 || (connected != 0 && errno != EINPROGRESS)) {
        const linger hard{1, 0};
        ::setsockopt(clientFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(clientFd);
        if (targetFd >= 0)
            ::close(targetFd);
        return;
    }
    setNoDelay(clientFd);
    setNoDelay(targetFd);
    const uint64_t id = nextId++;
    auto connection = std::make_unique<KLinkConnection>(id, clientFd, targetFd, links[0], links[1], options, now());
    if (connected == 0)
        connection->finishConnect();
    const uint32_t edges = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    watch(epollFd, clientFd, id << 1, edges);
    watch(epollFd, targetFd, id << 1 | 1, edges);
    KLinkConnection& opened = *connection;
    connections.emplace(id, std::move(connection));
    ++accepted;
    mostOpen = std::max(mostOpen, connections.size());
    service(opened, now());
}

void KLinkSimulator::socketEvent(uint64_t key, uint32_t events)
{
    KLinkConnection* connection = find(key >> 1);
    if (!connection)
        return;
    KLinkSocket& socket = connection->socket(int(key & 1));
    const bool broken = events & (EPOLLERR | EPOLLHUP);
    if (!socket.connected) {
        if ((events & EPOLLOUT || broken) && !connection->finishConnect())
            return close(*connection, true);
    } else {
        socket.readable = socket.readable || events & (EPOLLIN | EPOLLRDHUP) || broken;
        socket.writable = socket.writable || events & EPOLLOUT || broken;
    }
    service(*connection, now());
}

void KLinkSimulator::service(KLinkConnection& connection, int64_t at)
{
    connection.pump(at);
    settle(connection, at);
}

// After a pump: close what has ended, and ask for the next wake-ups.
void KLinkSimulator::settle(KLinkConnection& connection, int64_t at)
{
    if (connection.resetDue() || connection.finished())
        return close(connection, connection.resetDue());
    for (int direction : {KLinkConnection::Up, KLinkConnection::Down}) {
        KLinkPipe& pipe = connection.pipe(direction);
        schedule(pipe, connection.id, direction, at);
        if (pipe.queued)
            wakeLink(direction, at);
    }
}

void KLinkSimulator::schedule(KLinkPipe& pipe, uint64_t connection, int direction, int64_t at)
{
    const int64_t wake = pipe.nextWake(at);
    if (wake == 0 || (pipe.scheduledAt > at && pipe.scheduledAt <= wake))
        return;
    timers.push({wake, connection, direction});
    pipe.scheduledAt = wake;
}

void KLinkSimulator::wakeLink(int direction, int64_t at)
{
    KLinkShaper& link = links[direction];
    if (link.wakeScheduled)
        return;
    timers.push({std::max(at, link.roomAt()), 0, LinkTimer + direction});
    link.wakeScheduled = true;
}

// Room in the link: the waiting pipes take one piece each, in turn.
void KLinkSimulator::serveLink(int direction, int64_t at)
{
    KLinkShaper& link = links[direction];
    link.wakeScheduled = false;
    for (size_t turns = link.waiters.size(); turns > 0 && link.hasRoom(at); --turns) {
        const KLinkPipeRef ref = link.waiters.front();
        link.waiters.pop_front();
        KLinkConnection* connection = find(ref.connection);
        if (!connection)
            continue;
        KLinkPipe& pipe = connection->pipe(direction);
        pipe.queued = false;
        pipe.pump(at, true);
        settle(*connection, at);
    }
    if (!link.waiters.empty())
        wakeLink(direction, at);
}

void KLinkSimulator::runTimers()
{
    for (int64_t at = now(); !timers.empty() && timers.top().at <= at; at = now()) {
        const Timer timer = timers.top();
        timers.pop();
        if (timer.connection == 0) {
            serveLink(timer.what - LinkTimer, at);
        } else if (KLinkConnection* connection = find(timer.connection)) {
            KLinkPipe& pipe = connection->pipe(timer.what);
            if (pipe.scheduledAt <= at)
                pipe.scheduledAt = 0;
            service(*connection, at);
        }
    }
}

void KLinkSimulator::armTimer()
{
    const int64_t next = timers.empty() ? 0 : timers.top().at;
    if (next == armedAt)
        return;
    itimerspec when{};
    when.it_value.tv_sec = next / 1000000000;
    when.it_value.tv_nsec = next % 1000000000;
    ::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
    armedAt = next;
}

void KLinkSimulator::close(KLinkConnection& connection, bool reset)
{
    if (reset)
        connection.abort();
    connections.erase(connection.id);
}

KLinkConnection* KLinkSimulator::find(uint64_t id)
{
    const auto found = connections.find(id);
    return found == connections.end() ? nullptr : found->second.get();
}
