#include "server/kconnectiondrop.h"

#include <httplib.h>

#include <QDir>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace
{
int portOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// The numeric host, written as the HTTP library writes a request's remote_addr.
std::string hostOf(const sockaddr_storage& address, socklen_t size)
{
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0)
        return std::string();
    return host;
}

// A connected TCP socket on `localPort`, from the peer `remoteHost`:`remotePort`
// (any peer for a port of -1). Two peers may use the same port.
bool isConnection(int fd, int localPort, int remotePort, const std::string& remoteHost = std::string())
{
    sockaddr_storage local{};
    sockaddr_storage remote{};
    socklen_t localSize = sizeof(local);
    socklen_t remoteSize = sizeof(remote);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0
        || ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) {
        return false;
    }
    if (portOf(local) != localPort)
        return false;
    return remotePort < 0 || (portOf(remote) == remotePort && hostOf(remote, remoteSize) == remoteHost);
}

QList<int> openDescriptors()
{
    QList<int> found;
    const QStringList names = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        bool ok = false;
        const int fd = name.toInt(&ok);
        if (ok)
            found.append(fd);
    }
    return found;
}
}

namespace KConnectionDrop
{
int socketOf(const httplib::Request& request)
{
    for (const int fd : openDescriptors()) {
        if (isConnection(fd, request.local_port, request.remote_port, request.remote_addr))
            return fd;
    }
    return -1;
}

bool drop(const httplib::Request& request)
{
    const int fd = socketOf(request);
    return fd >= 0 && ::shutdown(fd, SHUT_RDWR) == 0;
}

bool stopReading(const httplib::Request& request)
{
    const int fd = socketOf(request);
    return fd >= 0 && ::shutdown(fd, SHUT_RD) == 0;
}

int closeAll(int localPort)
{
    int reached = 0;
    for (const int fd : openDescriptors()) {
        if (isConnection(fd, localPort, -1))
            reached += ::shutdown(fd, SHUT_RD) == 0;
    }
    return reached;
}
}
