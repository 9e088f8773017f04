#include "api/klowdelay.h"

#include <QMutex>
#include <QNetworkReply>
#include <QSet>
#include <QUrl>

#include <atomic>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <cstdlib>
#endif

namespace {

#ifdef Q_OS_LINUX
// Socket inodes looked at before; pruned to the open ones at every scan.
QSet<quint64>& seenSockets()
{
    static QSet<quint64> seen;
    return seen;
}

// -1 while not connected; 0 for a peer without a port (a local socket).
int peerPortOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

bool switchOn(int fd)
{
    int on = 0;
    socklen_t length = sizeof(on);
    if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) != 0 || on)
        return false;
    on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

// A socket connected to the port is switched and remembered (a peer never
// changes); any other is looked at again by the scan for its own port.
int visit(int fd, quint16 peerPort, QSet<quint64>& open, const QSet<quint64>& seen)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode))
        return 0;
    const quint64 inode = info.st_ino;
    if (seen.contains(inode)) {
        open.insert(inode);
        return 0;
    }
    if (peerPortOf(fd) != peerPort)
        return 0;
    open.insert(inode);
    return switchOn(fd) ? 1 : 0;
}

std::atomic_bool connectWrapped{false};

bool isTcp(int fd, const sockaddr* address)
{
    if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
        return false;
    int type = 0;
    socklen_t length = sizeof(type);
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

// The managers' HTTP threads carry Qt's name for them (cut to 15 bytes by the kernel).
bool onHttpThread()
{
    char name[16] = {};
    return ::prctl(PR_GET_NAME, name, 0, 0, 0) == 0 && std::strncmp(name, "QNetworkAccessM", 15) == 0;
}
#endif

} // namespace

#ifdef Q_OS_LINUX
extern "C" int connect(int fd, const struct sockaddr* address, socklen_t length)
{
    using Connect = int (*)(int, const struct sockaddr*, socklen_t);
    static const Connect next = reinterpret_cast<Connect>(::dlsym(RTLD_NEXT, "connect"));
    connectWrapped = true;
    if (isTcp(fd, address) && onHttpThread())
        switchOn(fd);
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, address, length);
}
#endif

bool KLowDelay::wrapsConnect()
{
#ifdef Q_OS_LINUX
    return connectWrapped;
#else
    return false;
#endif
}

void KLowDelay::follow(QNetworkReply* reply)
{
    if (wrapsConnect())
        return;
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply] {
        const QUrl url = reply->url();
        applyToNewSockets(quint16(url.port(url.scheme() == QLatin1String("https") ? 443 : 80)));
    });
}

int KLowDelay::applyToNewSockets(quint16 peerPort)
{
    int switched = 0;
#ifdef Q_OS_LINUX
    static QMutex mutex;
    const QMutexLocker locker(&mutex);
    DIR* descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return 0;
    const int own = ::dirfd(descriptors);
    QSet<quint64> open;
    while (dirent* entry = ::readdir(descriptors)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && fd != own)
            switched += visit(int(fd), peerPort, open, seenSockets());
    }
    ::closedir(descriptors);
    seenSockets() = open;
#else
    Q_UNUSED(peerPort)
#endif
    return switched;
}
