#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <ctime>

// Puts a whole file's bytes under its name in one step: they go into an
// unnamed file in the target's folder (O_TMPFILE), which is linked in only
// once complete and only where nothing is; a crash in between leaves no
// trace, and no partial file needs to be recorded.
class KWholeFile
{
public:
    enum class Result { Placed, Exists, Unsupported, Failed };
    // mtimeMs > 0 becomes the file's modification time.
    static Result place(const QString& path, const QByteArray& bytes, qint64 mtimeMs);
    // The times for futimens/utimensat that set only the modification time.
    static std::array<timespec, 2> modifiedAt(qint64 mtimeMs);

private:
    static bool writeAll(int fd, const QByteArray& bytes);
    static void stamp(int fd, qint64 mtimeMs);
    static Result link(int fd, const QString& path);
};
