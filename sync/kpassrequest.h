#pragma once

#include <QSet>
#include <QString>

// Why a pair needs a pass, and how much of it: the whole of both trees, or
// only the paths a watcher saw change (relative to the pair's folders). A
// pass may also carry deletions the user confirmed.
struct KPassRequest
{
    QString pairId;
    bool full = true;
    QSet<QString> paths;
    QSet<QString> confirmedDeletions;

    // More than this many changed paths cost more to look up one by one
    // than a whole pass.
    static const int MaxPaths = 10000;

    static KPassRequest whole(const QString& pairId)
    {
        KPassRequest request;
        request.pairId = pairId;
        return request;
    }

    static KPassRequest of(const QString& pairId, const QSet<QString>& paths)
    {
        KPassRequest request;
        request.pairId = pairId;
        request.full = paths.size() > MaxPaths;
        if (!request.full)
            request.paths = paths;
        return request;
    }

    // Two waiting requests of one pair become one.
    void merge(const KPassRequest& other)
    {
        full = full || other.full || paths.size() + other.paths.size() > MaxPaths;
        paths = full ? QSet<QString>() : paths + other.paths;
        confirmedDeletions += other.confirmedDeletions;
    }
};
