#pragma once

#include <QString>

// How a GET of `size` bytes answers a Range header. Only one range of the
// form "bytes=N-", "bytes=N-M" or "bytes=-K" is served; a list of ranges or
// another unit is answered with the whole content, which HTTP allows.
struct KByteRange
{
    enum Kind { Whole, Partial, Unsatisfiable };
    Kind kind = Whole;
    qint64 start = 0;
    qint64 length = 0; // bytes to send
    qint64 total = 0;

    int status() const;
    // "bytes N-M/T" for 206, "bytes */T" for 416, empty for 200.
    QString contentRange() const;
};

namespace KRange
{
KByteRange resolve(const QString& header, qint64 size);
}
