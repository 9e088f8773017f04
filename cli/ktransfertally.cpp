#include "cli/ktransfertally.h"

QString KTransferTally::key(int type, const QString& localPath)
{
    return QString::number(type) + QLatin1Char(':') + localPath;
}

void KTransferTally::queued(int type, const QString& localPath, qint64 size)
{
    Row& row = rows[key(type, localPath)];
    row.size = qMax<qint64>(0, size);
    row.count += 1;
    total += 1;
    totalBytes += row.size;
}

void KTransferTally::progressed(int type, const QString& localPath, int percent)
{
    const auto row = rows.find(key(type, localPath));
    if (row != rows.end())
        row->percent = qBound(0, percent, 100);
}

void KTransferTally::failed(int type, const QString& localPath, const QString& reason)
{
    const auto row = rows.find(key(type, localPath));
    if (row == rows.end())
        return;
    row->hasFailed = true;
    row->failure = reason;
}

bool KTransferTally::ended(int type, const QString& localPath)
{
    const auto row = rows.find(key(type, localPath));
    if (row == rows.end())
        return false;
    const bool hasFailed = row->hasFailed;
    if (hasFailed) {
        failures.append({type, localPath, row->failure});
    } else {
        (type == 1 ? downloadsDone : uploadsDone) += 1;
        finishedBytes += row->size;
    }
    row->hasFailed = false;
    row->percent = 0;
    if (--row->count <= 0)
        rows.erase(row);
    return hasFailed;
}

qint64 KTransferTally::bytesDone() const
{
    qint64 running = 0;
    for (const Row& row : rows)
        running += row.size * row.percent / 100;
    return finishedBytes + running;
}
