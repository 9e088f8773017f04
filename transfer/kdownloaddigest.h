#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// MD5 of a download's bytes, computed on a thread of its own while the
// bytes are still arriving: hashing a big file costs about as long as
// receiving it, so the two overlap instead of adding up. The owner bounds
// the backlog by not reading more while deferIfBusy() says so; the drained
// callback (called on the hashing thread) says when to go on.
class KDownloadDigest
{
public:
    KDownloadDigest();
    ~KDownloadDigest();
    KDownloadDigest(const KDownloadDigest&) = delete;
    KDownloadDigest& operator=(const KDownloadDigest&) = delete;

    // Starts a new digest once the work queued so far is done.
    void reset();
    // Queues bytes; the array is shared with the caller, not copied.
    void add(const QByteArray& bytes);
    // Queues the first `length` bytes of a file (the part of a resumed
    // download that is already on disk), read on the hashing thread.
    void addFilePrefix(const QString& path, qint64 length);
    // Bytes queued or hashed since reset().
    qint64 fedBytes() const;
    // True when more than `limit` bytes wait: the drained callback will run
    // once the backlog is small again.
    bool deferIfBusy(qint64 limit);
    void setDrainedCallback(std::function<void()> callback);
    // Lower-case hex of everything fed, after the backlog is done; "" when a
    // prefix could not be read.
    QString hex();

    // Lower-case hex MD5 of a whole file, "" when it cannot be read.
    static QString fileMd5(const QString& path);

private:
    struct Work
    {
        QByteArray bytes;
        QString path;
        qint64 length = 0;
    };

    void run();
    void process(const Work& work);
    bool hashFilePrefix(const QString& path, qint64 length);
    bool finishWork(qint64 bytes);

    QCryptographicHash hash;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Work> queue;
    qint64 fed = 0;
    qint64 backlog = 0;
    bool busy = false;
    bool readFailed = false;
    bool drainWanted = false;
    bool stopping = false;
    std::function<void()> drained;
    std::thread worker;
};
