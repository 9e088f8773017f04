#include "server/kpartwriter.h"

#include "server/kmd5pipeline.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

KPartWriter::KPartWriter(const QString& path, qint64 offset, qint64 limit, KMd5* md5)
    : path(path)
    , offset(offset)
    , limit(limit)
    , hasher(md5 ? std::make_unique<KMd5Pipeline>(*md5) : nullptr)
{
}

KPartWriter::~KPartWriter()
{
    if (fd >= 0)
        ::close(fd);
}

bool KPartWriter::open(bool create)
{
    const int flags = O_WRONLY | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0);
    fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
    buffer.reserve(BufferBytes);
    return fd >= 0;
}

bool KPartWriter::write(const char* data, size_t size)
{
    if (failed || fd < 0)
        return false;
    if (total + qint64(size) > limit) {
        tooMuch = true;
        return false;
    }
    total += qint64(size);
    buffer.append(data, int(size));
    return buffer.size() < BufferBytes || flush();
}

bool KPartWriter::finish()
{
    const bool written = !failed && fd >= 0 && flush();
    if (hasher)
        hasher->finish();
    return written;
}

bool KPartWriter::flush()
{
    const char* data = buffer.constData();
    qint64 left = buffer.size();
    while (left > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(left), offset);
        if (n <= 0) {
            failed = true;
            return false;
        }
        data += n;
        left -= n;
        offset += n;
    }
    if (hasher) {
        // The hasher keeps the written block; the next one gets new memory.
        hasher->push(buffer);
        buffer = QByteArray();
        buffer.reserve(BufferBytes);
    } else {
        buffer.resize(0); // keeps the reserved capacity, unlike clear()
    }
    return true;
}
