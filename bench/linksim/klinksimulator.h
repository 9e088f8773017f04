#pragma once

#include "klinkconnection.h"
#include "klinkoptions.h"
#include "klinkshaper.h"

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

// The proxy: one thread, one epoll set with edge-triggered sockets, and a
// timerfd armed for the earliest delivery time. Every accepted connection
// is forwarded to the target through the two shared link directions.
class KLinkSimulator
{
public:
    explicit KLinkSimulator(const KLinkOptions& options);
    ~KLinkSimulator();
    KLinkSimulator(const KLinkSimulator&) = delete;
    KLinkSimulator& operator=(const KLinkSimulator&) = delete;

    // Resolves the target, binds the listening socket and sets up the loop;
    // "" or what failed.
    std::string start();
    int port() const { return listenPort; }
    // Serves until SIGTERM, SIGINT or SIGHUP (blocked by start()); SIGUSR1
    // prints summary() on stderr.
    void run();
    // "N connections (at most M at once), up X bytes, down Y bytes".
    std::string summary() const;

private:
    struct Timer
    {
        int64_t at;
        uint64_t connection; // 0: a link's queue
        int what;            // pipe direction, or link direction for a queue
        bool operator>(const Timer& other) const { return at > other.at; }
    };

    std::string listenSocket();
    std::string loopDescriptors();
    void handle(uint64_t key, uint32_t events);
    void signalled();
    void acceptAll();
    void open(int clientFd);
    void socketEvent(uint64_t key, uint32_t events);
    void service(KLinkConnection& connection, int64_t now);
    void settle(KLinkConnection& connection, int64_t now);
    void schedule(KLinkPipe& pipe, uint64_t connection, int direction, int64_t now);
    void wakeLink(int direction, int64_t now);
    void serveLink(int direction, int64_t now);
    void runTimers();
    void armTimer();
    void close(KLinkConnection& connection, bool reset);
    KLinkConnection* find(uint64_t id);

    KLinkOptions options;
    KLinkShaper links[2];
    sockaddr_storage targetAddress{};
    socklen_t targetLength = 0;
    int listenFd = -1;
    int epollFd = -1;
    int timerFd = -1;
    int signalFd = -1;
    int listenPort = 0;
    bool stopping = false;
    uint64_t nextId = 8;
    int64_t armedAt = 0;
    std::unordered_map<uint64_t, std::unique_ptr<KLinkConnection>> connections;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers;
    uint64_t accepted = 0;
    size_t mostOpen = 0;
};
