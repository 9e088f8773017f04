#pragma once

#include "store/khashcache.h"

#include <QHash>
#include <QSet>
#include <QString>

// The files below a local folder with their stamps, by path relative to the
// folder, and the folders themselves. The same entries as the plain scan:
// hidden names (".x") and special files are left out, links count as what
// they point to, and a link back to a folder on the current branch ends
// there. One stat per entry, read straight from the directory.
class KLocalTree
{
public:
    // Throws KInterruption::Interrupted when the thread is asked to stop.
    static KLocalTree scan(const QString& root, const QSet<QString>& leaveOut = {});

    QHash<QString, KFileStamp> files;
    QSet<QString> folders;
    // Folders that could not be read: what lies below them is unknown.
    QSet<QString> unreadable;
    // False when the root could not be read: nothing here means "gone".
    bool complete = false;

    // True when rel lies inside a folder that could not be read.
    bool isUnknown(const QString& rel) const;
    // Takes in the tree of a folder found at `prefix` below this one.
    void adopt(const KLocalTree& below, const QString& prefix);

private:
    struct Walk;
};
