#pragma once

#include "main/ktransferfailure.h"

#include <QHash>
#include <QMultiHash>
#include <QString>

// What the tray shows: idle, syncing (files and bytes done of those queued
// since the last quiet moment) or error (files that failed in that round, or
// pairs whose last pass failed). Bookkeeping only; the window feeds it the
// transfer events and pair counts and draws what it says.
class KTrayStatus
{
public:
    enum class State { Idle, Syncing, Error };

    void queued(const QString& localPath, qint64 bytes);
    void finished(const QString& localPath);
    void failed(const QString& localPath);
    // busy: pairs comparing; failing: pairs whose last pass failed, with the
    // error of the first of them.
    void setPairs(int busy, int failing, const QString& firstError = QString());

    State state() const;
    QString toolTip(const QString& title) const;

    // At most one notification per kind within NoticeGapMs.
    bool shouldNotify(KFailureKind kind, qint64 nowMs);
    // True when the pair has more conflicts than when it was last seen.
    bool conflictsRose(const QString& pairId, int conflicts);

    static const qint64 NoticeGapMs = 10 * 60 * 1000;

private:
    void ended(const QString& localPath);

    QMultiHash<QString, qint64> pending; // queued files not ended yet, with their sizes
    QHash<QString, int> owedFinishes;
    int filesQueued = 0;
    int filesEnded = 0;
    int filesFailed = 0;
    qint64 bytesQueued = 0;
    qint64 bytesEnded = 0;
    int busyPairs = 0;
    int failingPairs = 0;
    QString pairError;
    QHash<int, qint64> lastNotice;
    QHash<QString, int> conflictCounts;
};
