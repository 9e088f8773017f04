#include "transfer/kwholefile.h"

#include "app/kfiletools.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

KWholeFile::Result KWholeFile::place(const QString& path, const QByteArray& bytes, qint64 mtimeMs)
{
    const QByteArray folder = QFile::encodeName(KFileTools::parentPath(path));
    const int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? Result::Unsupported : Result::Failed;
    Result result = Result::Failed;
    if (writeAll(fd, bytes)) {
        stamp(fd, mtimeMs);
        result = link(fd, path);
    }
    ::close(fd);
    return result;
}

bool KWholeFile::writeAll(int fd, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

std::array<timespec, 2> KWholeFile::modifiedAt(qint64 mtimeMs)
{
    std::array<timespec, 2> times{};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = mtimeMs / 1000;
    times[1].tv_nsec = (mtimeMs % 1000) * 1000000;
    return times;
}

void KWholeFile::stamp(int fd, qint64 mtimeMs)
{
    if (mtimeMs > 0)
        ::futimens(fd, modifiedAt(mtimeMs).data());
}

// linkat never replaces: a file (or link) that appeared meanwhile stays.
KWholeFile::Result KWholeFile::link(int fd, const QString& path)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_FOLLOW) == 0)
        return Result::Placed;
    if (errno == EEXIST)
        return Result::Exists;
    return errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0 ? Result::Unsupported : Result::Failed;
}
