#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class KMd5;
class KMd5Pipeline;

// Streams received bytes into a file at a given offset: collected into a
// 1 MiB buffer and written with pwrite, so a part never sits in memory whole.
// Bytes beyond `limit` are refused. An MD5, when given, sees every byte; it
// is worked out on a pipeline thread and complete once finish() returns.
class KPartWriter
{
public:
    static constexpr int BufferBytes = 1 << 20;

    KPartWriter(const QString& path, qint64 offset, qint64 limit, KMd5* md5);
    ~KPartWriter();
    KPartWriter(const KPartWriter&) = delete;
    KPartWriter& operator=(const KPartWriter&) = delete;

    // Opens an existing file for writing, or creates it when `create`.
    bool open(bool create = false);
    bool write(const char* data, size_t size);
    bool finish();
    qint64 received() const { return total; }
    bool overflowed() const { return tooMuch; }

private:
    bool flush();

    QString path;
    qint64 offset = 0;
    qint64 limit = 0;
    std::unique_ptr<KMd5Pipeline> hasher;
    int fd = -1;
    QByteArray buffer;
    qint64 total = 0;
    bool tooMuch = false;
    bool failed = false;
};
