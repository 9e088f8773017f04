#include "transfer/kdownloaddigest.h"

#include <QFile>
#include <QFileInfo>

namespace {
const qint64 ReadBlock = 1 << 20;
// The backlog at which a deferred reader is told to go on.
const qint64 DrainedBelow = 4 << 20;
}

KDownloadDigest::KDownloadDigest()
    : hash(QCryptographicHash::Md5)
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

void KDownloadDigest::reset()
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return queue.empty() && !busy; });
    hash.reset();
    fed = 0;
    readFailed = false;
    drainWanted = false;
}

void KDownloadDigest::add(const QByteArray& bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(Work{bytes, QString(), 0});
        fed += bytes.size();
        backlog += bytes.size();
    }
    changed.notify_all();
}

void KDownloadDigest::addFilePrefix(const QString& path, qint64 length)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(Work{QByteArray(), path, length});
        fed += length;
        backlog += length;
    }
    changed.notify_all();
}

qint64 KDownloadDigest::fedBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return fed;
}

bool KDownloadDigest::deferIfBusy(qint64 limit)
{
    std::lock_guard<std::mutex> lock(mutex);
    drainWanted = backlog > limit;
    return drainWanted;
}

void KDownloadDigest::setDrainedCallback(std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock(mutex);
    drained = std::move(callback);
}

QString KDownloadDigest::hex()
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return queue.empty() && !busy; });
    return readFailed ? QString() : QString::fromLatin1(hash.result().toHex());
}

void KDownloadDigest::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping)
            return;
        const Work work = queue.front();
        queue.pop_front();
        busy = true;
        lock.unlock();
        process(work);
        lock.lock();
        busy = false;
        if (finishWork(work.path.isEmpty() ? work.bytes.size() : work.length) && drained) {
            const std::function<void()> callback = drained;
            lock.unlock();
            callback();
            lock.lock();
        }
    }
}

// Runs without the lock: only this thread touches the hash while busy.
void KDownloadDigest::process(const Work& work)
{
    if (work.path.isEmpty()) {
        hash.addData(work.bytes);
        return;
    }
    if (!hashFilePrefix(work.path, work.length)) {
        std::lock_guard<std::mutex> lock(mutex);
        readFailed = true;
    }
}

bool KDownloadDigest::hashFilePrefix(const QString& path, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray block(int(ReadBlock), Qt::Uninitialized);
    for (qint64 left = length; left > 0;) {
        const qint64 n = file.read(block.data(), qMin(left, ReadBlock));
        if (n <= 0)
            return false;
        hash.addData(block.constData(), int(n));
        left -= n;
    }
    return true;
}

// Called with the lock held; true when a deferred reader should go on.
bool KDownloadDigest::finishWork(qint64 bytes)
{
    backlog -= bytes;
    changed.notify_all();
    if (!drainWanted || backlog > DrainedBelow)
        return false;
    drainWanted = false;
    return true;
}

QString KDownloadDigest::fileMd5(const QString& path)
{
    KDownloadDigest digest;
    digest.addFilePrefix(path, QFileInfo(path).size());
    return digest.hex();
}
