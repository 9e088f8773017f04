#include "server/krange.h"

namespace
{
// A non-negative decimal without sign or blanks; -1 otherwise.
qint64 plainNumber(const QString& text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    for (const QChar c : text) {
        if (!c.isDigit() || c.unicode() > '9')
            return -1;
    }
    return text.toLongLong();
}

KByteRange whole(qint64 size)
{
    return KByteRange{KByteRange::Whole, 0, size, size};
}

KByteRange partial(qint64 first, qint64 last, qint64 size)
{
    if (first >= size)
        return KByteRange{KByteRange::Unsatisfiable, 0, 0, size};
    last = qMin(last, size - 1);
    return KByteRange{KByteRange::Partial, first, last - first + 1, size};
}

// "-K": the last K bytes.
KByteRange suffix(qint64 count, qint64 size)
{
    if (count <= 0 || size == 0)
        return KByteRange{KByteRange::Unsatisfiable, 0, 0, size};
    return partial(qMax<qint64>(0, size - count), size - 1, size);
}
}

int KByteRange::status() const
{
    switch (kind) {
    case Partial:
        return 206;
    case Unsatisfiable:
        return 416;
    case Whole:
        break;
    }
    return 200;
}

QString KByteRange::contentRange() const
{
    if (kind == Partial)
        return QStringLiteral("bytes %1-%2/%3").arg(start).arg(start + length - 1).arg(total);
    if (kind == Unsatisfiable)
        return QStringLiteral("bytes */%1").arg(total);
    return QString();
}

namespace KRange
{
KByteRange resolve(const QString& header, qint64 size)
{
    const QString rangeText = header.trimmed();
    if (!rangeText.startsWith(QLatin1String("bytes=")) || rangeText.contains(QLatin1Char(',')))
        return whole(size);
    const QString range = rangeText.mid(6).trimmed();
    const int dash = range.indexOf(QLatin1Char('-'));
    if (dash < 0)
        return whole(size);
    const QString firstText = range.left(dash).trimmed();
    const QString lastText = range.mid(dash + 1).trimmed();
    if (firstText.isEmpty())
        return plainNumber(lastText) < 0 ? whole(size) : suffix(plainNumber(lastText), size);
    const qint64 first = plainNumber(firstText);
    const qint64 last = lastText.isEmpty() ? size - 1 : plainNumber(lastText);
    if (first < 0 || (!lastText.isEmpty() && (last < 0 || last < first)))
        return whole(size);
    return partial(first, lastText.isEmpty() ? qMax<qint64>(size - 1, first) : last, size);
}
}
