#include "server/kconnectiondrop.h"

#include <httplib.h>

#include <QDir>

#include <arpa/inet.h>
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

bool isConnection(int fd, int localPort, int remotePort)
{
    sockaddr_storage local{};
    sockaddr_storage remote{};
    socklen_t localSize = sizeof(local);
    socklen_t remoteSize = sizeof(remote);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0
        || ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) {
        return false;
    }
    return portOf(local) == localPort && portOf(remote) == remotePort;
}
}

namespace KConnectionDrop
{
bool drop(const httplib::Request& request)
{
    const QStringList descriptors = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : descriptors) {
        bool ok = false;
        const int fd = name.toInt(&ok);
        if (ok && isConnection(fd, request.local_port, request.remote_port))
            return ::shutdown(fd, SHUT_RDWR) == 0;
    }
    return false;
}
}
