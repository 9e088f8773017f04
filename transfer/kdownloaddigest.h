#pragma once

#include "app/kmd5.h"

#include <QFile>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// MD5 of a download's temporary file, computed on a thread of its own that
// follows the file as it grows: the transfer writes what arrives and says how
// far the file is written; the digest reads behind it (from the page cache,
// as a rule). Reading from the network never waits for the hashing, so a
// resumed download whose prefix takes long to hash keeps its connection
// busy, and memory stays bounded whatever the speeds. One object per file.
class KDownloadDigest
{
public:
    using Done = std::function<void(const QString& hex)>;

    explicit KDownloadDigest(const QString& path);
    ~KDownloadDigest();
    KDownloadDigest(const KDownloadDigest&) = delete;
    KDownloadDigest& operator=(const KDownloadDigest&) = delete;

    // The first `bytes` bytes of the file are written and final.
    void advance(qint64 bytes);
    // Once `total` bytes are hashed, `done` runs on the hashing thread with
    // the lower-case hex digest, or "" when the file could not be read that
    // far. Called at most once.
    void finish(qint64 total, Done done);
    qint64 hashedBytes() const;

    // Lower-case hex MD5 of a whole file, "" when it cannot be read. Blocks:
    // background threads and tests only.
    static QString fileMd5(const QString& path);

private:
    void run();
    bool waitForWork(qint64 hashedSoFar, bool readable);
    qint64 limit() const;
    bool hashUpTo(QFile& file, QByteArray& block, qint64& hashedSoFar, qint64 limit);
    void conclude(bool readable);

    const QString path;
    KMd5 hash;
    mutable std::mutex mutex;
    std::condition_variable changed;
    qint64 written = 0;
    qint64 announced = 0;
    qint64 hashed = 0;
    qint64 target = -1;
    bool stopping = false;
    Done done;
    std::thread worker;
};
