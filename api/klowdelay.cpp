#include "api/klowdelay.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <cstdlib>
#endif

namespace {

#ifdef Q_OS_LINUX
bool isTcpSocket(int fd)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode))
        return false;
    int type = 0;
    socklen_t length = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return false;
    sockaddr_storage address;
    length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    return address.ss_family == AF_INET || address.ss_family == AF_INET6;
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
#endif

} // namespace

int KLowDelay::applyToOpenSockets()
{
    int switched = 0;
#ifdef Q_OS_LINUX
    DIR* descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return 0;
    const int own = ::dirfd(descriptors);
    while (dirent* entry = ::readdir(descriptors)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own)
            continue;
        if (isTcpSocket(int(fd)) && switchOn(int(fd)))
            ++switched;
    }
    ::closedir(descriptors);
#endif
    return switched;
}
