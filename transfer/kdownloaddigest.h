#pragma once

#include <QCryptographicHash>
#include <QString>

class QFile;

// MD5 of a temporary file, fed with the bytes as they are written so that a
// big download needs no second pass. A resumed file's prefix is read once
// when the download continues it.
class KDownloadDigest
{
public:
    KDownloadDigest();

    void reset();
    void add(const char* data, qint64 size);
    // Hashes what the file holds from its start; false on a read error.
    bool addFileContents(QFile& file);
    qint64 hashedBytes() const { return bytes; }
    // Lower-case hex of what was fed so far.
    QString hex() const;

    // Lower-case hex MD5 of a whole file, "" when it cannot be read.
    static QString fileMd5(const QString& path);

private:
    QCryptographicHash hash;
    qint64 bytes = 0;
};
