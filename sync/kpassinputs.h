#pragma once

#include "store/ksyncjournal.h"
#include "sync/klocaltree.h"
#include "sync/kservertree.h"

#include <QHash>
#include <QSet>
#include <QString>

// A folder pair as a pass needs it.
struct KPairRoots
{
    QString id;
    QString localRoot;
    QString spaceRoot;
};

// What a pass decides from: the journal, the local tree and the server tree,
// either whole or only at the paths a watcher saw change (and below them,
// and the folders above them, so that a file in the way of a folder shows).
struct KPassInputs
{
    KJournalEntries entries;
    KLocalTree local;
    KServerTree server;
    // False when a tree could not be read whole: nothing missing means "gone".
    bool complete = false;
    // How many files the pair holds, for the deletion guard.
    int pairFiles = 0;
    // The folders read whole below (all of them after readAll).
    bool whole = false;
    QSet<QString> readBelow;
    bool knowsAllBelow(const QString& folder) const;

    // Both throw KInterruption::Interrupted when the thread is asked to stop.
    static KPassInputs readAll(const KPairRoots& pair);
    static KPassInputs readChanged(const KPairRoots& pair, const QSet<QString>& paths);

    // "a/b/c" -> "a", "a/b"
    static QStringList ancestors(const QString& rel);

private:
    void readJournalAt(const KSyncJournal& journal, const QSet<QString>& paths, const QSet<QString>& above);
    bool readLocalAt(const QString& root, const QSet<QString>& paths, const QSet<QString>& above);
    bool readServerAt(const QString& root, const QSet<QString>& paths, const QSet<QString>& above);
    bool takeNodes(const QString& root, const QStringList& asked, const QSet<QString>& paths);
};
