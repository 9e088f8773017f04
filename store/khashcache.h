#pragma once

#include <QString>
#include <QtGlobal>

// What the file system says of a file without reading it: enough to tell
// that its content cannot have changed since it was last looked at.
struct KFileStamp
{
    qint64 size = -1;
    qint64 mtimeMs = 0;
    qint64 inode = 0;

    bool isValid() const { return size >= 0; }
    bool operator==(const KFileStamp& other) const
    {
        return size == other.size && mtimeMs == other.mtimeMs && inode == other.inode;
    }
    bool operator!=(const KFileStamp& other) const { return !(*this == other); }

    // Follows links, like reading the file does; invalid when it is missing.
    static KFileStamp of(const QString& path);
};

// MD5s of local files by path, with the stamp they were computed at: a file
// whose stamp has not changed is not read again. Kept in the sync store
// (table k_driver_hash_cache), on the calling thread's connection.
class KHashCache
{
public:
    // The recorded MD5 when path and stamp match, else "".
    static QString lookup(const QString& path, const KFileStamp& stamp);
    // Keeps nothing for a file changed moments before it was hashed: a write
    // within the same clock tick would leave the stamp as it is.
    static void record(const QString& path, const KFileStamp& stamp, const QString& md5);
    // A stamp taken this close to its modification time can hide a later write.
    static bool isRacy(const KFileStamp& stamp, qint64 nowMs);
    static const qint64 RacyMs = 2000;

    static QString createStatement();
};
