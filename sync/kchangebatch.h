#pragma once

#include <QSet>
#include <QString>
#include <QtGlobal>

// What changed below one watched folder since the last report: paths
// relative to the folder, or "full" once they were too many to list (or
// some were lost), when only a look at the whole tree will do.
struct KChangeBatch
{
    QSet<QString> paths;
    bool full = false;
    // Everything added so far, kept or not: tells a flood from silence.
    qint64 events = 0;
    qint64 firstMs = -1;
    qint64 lastMs = -1;
    int maxPaths = 10000;

    void add(const QString& rel)
    {
        ++events;
        if (full)
            return;
        paths.insert(rel);
        if (paths.size() > maxPaths)
            markFull();
    }
    void markFull()
    {
        ++events;
        full = true;
        paths.clear();
    }
    // Something came in at nowMs.
    void touch(qint64 nowMs)
    {
        if (firstMs < 0)
            firstMs = nowMs;
        lastMs = nowMs;
    }
    bool isPending() const { return firstMs >= 0; }
    // A quiet period after the last event, but never later than maxDelayMs
    // after the first one.
    qint64 dueMs(int quietMs, int maxDelayMs) const { return qMin(lastMs + quietMs, firstMs + maxDelayMs); }
    void reset()
    {
        paths.clear();
        full = false;
        firstMs = -1;
        lastMs = -1;
    }
};
