#include "transfer/kdownloaddigest.h"

#include <QFile>

namespace {
const qint64 ReadBlock = 1 << 20;
}

KDownloadDigest::KDownloadDigest()
    : hash(QCryptographicHash::Md5)
{
}

void KDownloadDigest::reset()
{
    hash.reset();
    bytes = 0;
}

void KDownloadDigest::add(const char* data, qint64 size)
{
    hash.addData(data, int(size));
    bytes += size;
}

bool KDownloadDigest::addFileContents(QFile& file)
{
    QByteArray block(int(ReadBlock), Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), ReadBlock);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        add(block.constData(), n);
    }
}

QString KDownloadDigest::hex() const
{
    return QString::fromLatin1(hash.result().toHex());
}

QString KDownloadDigest::fileMd5(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    KDownloadDigest digest;
    if (!digest.addFileContents(file))
        return QString();
    return digest.hex();
}
