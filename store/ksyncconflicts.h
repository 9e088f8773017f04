#pragma once

#include <QList>
#include <QString>

// One conflict: the original path and the copy that kept the local content,
// both relative to the pair's folders.
struct KConflict
{
    QString pairId;
    QString relPath;
    QString copyRelPath;
    qint64 timeMs = 0;
};

// The conflicts the passes made (table k_driver_sync_conflicts). A conflict
// is current while its copy exists; the user resolves it by removing or
// renaming the copy.
class KSyncConflicts
{
public:
    static void add(const KConflict& conflict);
    static QList<KConflict> ofPair(const QString& pairId);
    // The conflicts of a pair whose copy still exists below localRoot; the
    // others were resolved by the user and are forgotten here.
    static QList<KConflict> current(const QString& pairId, const QString& localRoot);
    static QList<KConflict> all();
    static void remove(const QString& pairId, const QString& copyRelPath);
    static void removePair(const QString& pairId);
    static QString createStatement();
};
