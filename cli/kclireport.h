#pragma once

#include "cli/ktransfertally.h"

#include <QJsonObject>
#include <QString>

// The texts and JSON events of a sync run, built from what the tally
// knows. Pure functions.
class KCliReport
{
public:
    static QString directionName(int type); // "download" for 1, else "upload"
    static QString sizeText(qint64 bytes);
    static QString durationText(qint64 seconds);

    // The live line on a terminal: files and bytes done of total, speed,
    // time left ("-" while the speed is unknown).
    static QString progressLine(const KTransferTally& tally, qint64 bytesPerSecond);
    static QString queuedLine(int type, const QString& localPath, const QString& serverPath, qint64 size);
    static QString doneLine(int type, const QString& localPath);
    static QString failedLine(int type, const QString& localPath, const QString& reason);
    static QString conflictLine(const QString& localRoot, const QString& relPath, const QString& copyRelPath);
    static QString summaryLine(const KTransferTally& tally, qint64 elapsedMs, bool stopped);

    static QJsonObject queuedEvent(int type, const QString& localPath, const QString& serverPath, qint64 size);
    static QJsonObject progressEvent(const KTransferTally& tally, qint64 bytesPerSecond);
    static QJsonObject doneEvent(int type, const QString& localPath);
    static QJsonObject failedEvent(int type, const QString& localPath, const QString& reason);
    static QJsonObject conflictEvent(const QString& pairId, const QString& relPath, const QString& copyRelPath);
    static QJsonObject summaryEvent(const KTransferTally& tally, qint64 elapsedMs, bool stopped, int exitCode);
};
