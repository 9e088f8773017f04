#pragma once

#include "transfer/kuploadinfo.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

struct KNodeInfo;

// A server file as a pass compares it.
struct KServerFile
{
    QString datahash;
    qint64 datasize = -1;
    qint64 version = 0;
    qint64 timeMs = 0; // when the version was made, on the server's clock
};

// The files and folders below a server folder, by path relative to it. One
// "klistdir" reaches 64 levels at once; a folder the answer may not show
// the inside of (at the last level, or every folder when the server
// answered one level only) is listed again, so a server that ignores the
// depth costs what a folder-by-folder scan costs and no more.
class KServerTree
{
public:
    // Throws KInterruption::Interrupted when the thread is asked to stop.
    static KServerTree scan(const QString& root);
    // The tree of files listed elsewhere (below root, by full path); a
    // folder is known when it holds a file.
    static KServerTree ofFiles(const QList<KNodeInfo>& nodes, const QString& root);

    // What an upload to rel may take for granted: a new version of the file
    // there, a new file in a folder there, or a new folder. A folder in the
    // file's place is asked about again.
    KServerKnown uploadKnown(const QString& rel) const;

    QHash<QString, KServerFile> files;
    QSet<QString> folders;
    // False when a listing failed: what is missing here may still exist.
    bool complete = false;
    int requests = 0;

    // Takes in the tree of a folder found at `prefix` below this one.
    void adopt(const KServerTree& below, const QString& prefix);

    static const int Depth = 64;
    static const int MaxLevels = 256;

private:
    struct Listing;
    static KServerFile fileOf(const KNodeInfo& node);
    bool list(const QString& root, const QString& rel, int level);
    bool take(const Listing& listing, const QString& root, const QString& rel, int level);
};
