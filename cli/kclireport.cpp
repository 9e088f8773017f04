#include "cli/kclireport.h"

#include <QJsonArray>

QString KCliReport::directionName(int type)
{
    return type == 1 ? QStringLiteral("download") : QStringLiteral("upload");
}

QString KCliReport::sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + QStringLiteral(" B");
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString KCliReport::durationText(qint64 seconds)
{
    if (seconds < 60)
        return QString::number(seconds) + QLatin1Char('s');
    if (seconds < 3600)
        return QStringLiteral("%1m%2s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1h%2m").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString KCliReport::progressLine(const KTransferTally& tally, qint64 bytesPerSecond)
{
    const qint64 left = tally.bytesTotal() - tally.bytesDone();
    const QString eta = bytesPerSecond > 0 ? durationText((left + bytesPerSecond - 1) / bytesPerSecond)
                                           : QStringLiteral("-");
    return QStringLiteral("files %1/%2  %3/%4  %5/s  left %6")
        .arg(tally.filesDone())
        .arg(tally.filesTotal())
        .arg(sizeText(tally.bytesDone()), sizeText(tally.bytesTotal()), sizeText(bytesPerSecond), eta);
}

QString KCliReport::queuedLine(int type, const QString& localPath, const QString& serverPath, qint64 size)
{
    return QStringLiteral("queued %1 %2 %3 %4 (%5)")
        .arg(directionName(type), localPath, type == 1 ? QStringLiteral("<-") : QStringLiteral("->"), serverPath,
             sizeText(size));
}

QString KCliReport::doneLine(int type, const QString& localPath)
{
    return QStringLiteral("done %1 %2").arg(directionName(type), localPath);
}

QString KCliReport::failedLine(int type, const QString& localPath, const QString& reason)
{
    return QStringLiteral("failed %1 %2: %3").arg(directionName(type), localPath, reason);
}

QString KCliReport::conflictLine(const QString& localRoot, const QString& relPath, const QString& copyRelPath)
{
    return QStringLiteral("conflict %1/%2: your version was kept as %3").arg(localRoot, relPath, copyRelPath);
}

QString KCliReport::summaryLine(const KTransferTally& tally, qint64 elapsedMs, bool stopped)
{
    QString text = QStringLiteral("%1 %2 of %3 files (%4 uploaded, %5 downloaded, %6) in %7, %8 failed")
                       .arg(stopped ? QStringLiteral("stopped:") : QStringLiteral("finished:"))
                       .arg(tally.filesDone())
                       .arg(tally.filesTotal())
                       .arg(tally.uploaded())
                       .arg(tally.downloaded())
                       .arg(sizeText(tally.bytesDone()), durationText(elapsedMs / 1000))
                       .arg(tally.filesFailed());
    if (stopped && tally.outstanding() > 0)
        text += QStringLiteral(", %1 not finished (they resume at the next run)").arg(tally.outstanding());
    return text;
}

QJsonObject KCliReport::queuedEvent(int type, const QString& localPath, const QString& serverPath, qint64 size)
{
    return {{"event", "queued"}, {"direction", directionName(type)}, {"local", localPath},
            {"remote", serverPath}, {"size", double(size)}};
}

QJsonObject KCliReport::progressEvent(const KTransferTally& tally, qint64 bytesPerSecond)
{
    return {{"event", "progress"},
            {"files_done", tally.filesDone()},
            {"files_total", tally.filesTotal()},
            {"bytes_done", double(tally.bytesDone())},
            {"bytes_total", double(tally.bytesTotal())},
            {"bytes_per_second", double(bytesPerSecond)}};
}

QJsonObject KCliReport::doneEvent(int type, const QString& localPath)
{
    return {{"event", "done"}, {"direction", directionName(type)}, {"local", localPath}};
}

QJsonObject KCliReport::failedEvent(int type, const QString& localPath, const QString& reason)
{
    return {{"event", "failed"}, {"direction", directionName(type)}, {"local", localPath}, {"reason", reason}};
}

QJsonObject KCliReport::conflictEvent(const QString& pairId, const QString& relPath, const QString& copyRelPath)
{
    return {{"event", "conflict"}, {"pair", pairId}, {"path", relPath}, {"copy", copyRelPath}};
}

QJsonObject KCliReport::summaryEvent(const KTransferTally& tally, qint64 elapsedMs, bool stopped, int exitCode)
{
    QJsonArray failures;
    for (const KTransferFailure& failure : tally.failureList())
        failures.append(failedEvent(failure.type, failure.localPath, failure.reason));
    return {{"event", "summary"},
            {"files_done", tally.filesDone()},
            {"files_total", tally.filesTotal()},
            {"uploaded", tally.uploaded()},
            {"downloaded", tally.downloaded()},
            {"failed", tally.filesFailed()},
            {"bytes_done", double(tally.bytesDone())},
            {"elapsed_ms", double(elapsedMs)},
            {"stopped", stopped},
            {"exit", exitCode},
            {"failures", failures}};
}
