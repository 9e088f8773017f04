#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QUrl;

// The decisions of one download, as pure functions of what is known: where
// to resume, what to do with an answer's body, what the page is told.
class KDownloadRules
{
public:
    // What the body of an answer may do to the temporary file.
    enum class BodyAction { Restart, Append, Discard };

    static QString tempPathFor(const QString& localPath);
    // Bytes kept from an earlier attempt: none when the partial file is
    // larger than a known expected size (it cannot be a prefix of it).
    static qint64 resumeOffsetFor(qint64 tempSize, qint64 expectedSize);
    // "bytes=N-", empty for a fresh download.
    static QByteArray rangeHeader(qint64 offset);
    // 200 restarts the file; 206 appends only when it starts at the resume
    // offset; anything else must not touch it.
    static BodyAction bodyAction(int httpStatus, const QByteArray& contentRange, qint64 resumeOffset);
    // First byte of "bytes N-M/T", -1 when the text is not of that form.
    static qint64 contentRangeStart(const QByteArray& contentRange);

    // Progress: at most one report per interval after the last one.
    static constexpr qint64 ProgressIntervalMs = 201;
    static bool progressDue(qint64 nowMs, qint64 lastReportMs);
    // 0 while the expected size is unknown (0 or less), never above 100.
    static int percentOf(qint64 doneBytes, qint64 expectedSize);
    static qint64 bytesPerSecond(qint64 receivedBytes, qint64 elapsedMs);

    // Scheme, host and path of an address: download addresses carry their
    // signature in the query, which must not reach the log.
    static QString loggableUrl(const QUrl& url);
};
