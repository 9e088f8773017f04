#include "transfer/kdownloadrules.h"

#include <QUrl>

QString KDownloadRules::tempPathFor(const QString& localPath)
{
    return localPath + QStringLiteral(".wexora");
}

qint64 KDownloadRules::resumeOffsetFor(qint64 tempSize, qint64 expectedSize)
{
    if (tempSize <= 0)
        return 0;
    if (expectedSize >= 0 && tempSize > expectedSize)
        return 0;
    return tempSize;
}

QByteArray KDownloadRules::rangeHeader(qint64 offset)
{
    if (offset <= 0)
        return QByteArray();
    return QStringLiteral("bytes=%1-").arg(offset).toLatin1();
}

KDownloadRules::BodyAction KDownloadRules::bodyAction(int httpStatus, const QByteArray& contentRange,
                                                      qint64 resumeOffset)
{
    if (httpStatus == 200)
        return BodyAction::Restart;
    if (httpStatus == 206 && resumeOffset > 0 && contentRangeStart(contentRange) == resumeOffset)
        return BodyAction::Append;
    return BodyAction::Discard;
}

qint64 KDownloadRules::contentRangeStart(const QByteArray& contentRange)
{
    const QByteArray text = contentRange.trimmed();
    if (!text.startsWith("bytes "))
        return -1;
    const int dash = text.indexOf('-', 6);
    if (dash < 0)
        return -1;
    bool ok = false;
    const qint64 start = text.mid(6, dash - 6).trimmed().toLongLong(&ok);
    return ok && start >= 0 ? start : -1;
}

bool KDownloadRules::progressDue(qint64 nowMs, qint64 lastReportMs)
{
    return nowMs - lastReportMs >= ProgressIntervalMs;
}

int KDownloadRules::percentOf(qint64 doneBytes, qint64 expectedSize)
{
    if (expectedSize <= 0 || doneBytes <= 0)
        return 0;
    return int(qMin<qint64>(100, doneBytes * 100 / expectedSize));
}

qint64 KDownloadRules::bytesPerSecond(qint64 receivedBytes, qint64 elapsedMs)
{
    if (elapsedMs <= 0)
        return 0;
    return qint64(double(receivedBytes) * 1000.0 / double(elapsedMs));
}

QString KDownloadRules::loggableUrl(const QUrl& url)
{
    return url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}
