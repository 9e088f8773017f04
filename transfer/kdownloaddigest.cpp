#include "transfer/kdownloaddigest.h"

#include <QFile>
#include <QFileInfo>

#include <future>

namespace {
const qint64 ReadBlock = 1 << 20;
}

KDownloadDigest::KDownloadDigest(const QString& path)
    : path(path)
    , worker([this] { run(); })
{
}

KDownloadDigest::~KDownloadDigest()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    worker.join();
}

// The hashing thread is woken once a block is ready rather than for every
// network read: on a slow link reads are a few KiB each.
void KDownloadDigest::advance(qint64 bytes)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        written = qMax(written, bytes);
        wake = written - announced >= ReadBlock;
        if (wake)
            announced = written;
    }
    if (wake)
        changed.notify_all();
}

// At the end the file holds exactly `total` bytes.
void KDownloadDigest::finish(qint64 total, Done callback)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        written = total;
        target = total;
        done = std::move(callback);
    }
    changed.notify_all();
}

qint64 KDownloadDigest::hashedBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return hashed;
}

void KDownloadDigest::run()
{
    qint64 done = 0;
    bool readable = true;
    QFile file(path);
    QByteArray block(int(ReadBlock), Qt::Uninitialized);
    while (waitForWork(done, readable)) {
        if (readable && !hashUpTo(file, block, done, limit()))
            readable = false;
        std::lock_guard<std::mutex> lock(mutex);
        hashed = done;
    }
    conclude(readable);
}

qint64 KDownloadDigest::limit() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return target >= 0 ? qMin(written, target) : written;
}

// True while there is more to hash; false once asked to stop, or once the
// end is known and reached (or the file proved unreadable).
bool KDownloadDigest::waitForWork(qint64 hashedSoFar, bool readable)
{
    std::unique_lock<std::mutex> lock(mutex);
    const auto ended = [&] { return target >= 0 && (hashedSoFar >= target || !readable); };
    changed.wait(lock, [&] { return stopping || ended() || (readable && written > hashedSoFar); });
    return !stopping && !ended();
}

bool KDownloadDigest::hashUpTo(QFile& file, QByteArray& block, qint64& hashedSoFar, qint64 limit)
{
    if (!file.isOpen() && !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    while (hashedSoFar < limit) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return false;
        }
        const qint64 n = file.read(block.data(), qMin(limit - hashedSoFar, ReadBlock));
        if (n <= 0)
            return false;
        hash.add(block.constData(), n);
        hashedSoFar += n;
    }
    return true;
}

void KDownloadDigest::conclude(bool readable)
{
    Done callback;
    QString hex;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || target < 0)
            return;
        callback = std::move(done);
        hex = readable && hashed == target ? hash.hex() : QString();
    }
    if (callback)
        callback(hex);
}

QString KDownloadDigest::fileMd5(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return QString();
    std::promise<QString> result;
    KDownloadDigest digest(path);
    digest.finish(info.size(), [&result](const QString& hex) { result.set_value(hex); });
    return result.get_future().get();
}
