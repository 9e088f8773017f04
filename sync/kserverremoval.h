#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

// One server path to remove into the server's trash, and what it must still
// be: a file's datahash, "tree:" + digest for a folder, "" for anything.
struct KRemovalItem
{
    QString path;
    QString expected;
};

// What became of a removal: paths gone (removed now or already gone), paths
// that had changed since they were last seen (an edit wins: kept), and
// whether the server has no such operation at all.
struct KRemovalResult
{
    QSet<QString> removed;
    QSet<QString> changed;
    bool unsupported = false;
    QString failure;
};

// "kremovenodes": the request, its reader, and the whole exchange for any
// number of paths (1000 per request; a request refused because some paths
// changed is sent again without them).
class KServerRemoval
{
public:
    static const int PathsPerRequest = 1000;
    // The digest the server gives a folder without files.
    static QString emptyFolder();

    // What a folder must still be: "tree:" + the MD5 of one line per file
    // below it, "path inside the folder" TAB datahash LF, sorted by bytes.
    static QString treeDigest(const QMap<QString, QString>& hashesByPathInside);

    static QMap<QString, QString> params(const QList<KRemovalItem>& items);
    static KRemovalResult read(const QString& answer, const QList<KRemovalItem>& asked);
    static KRemovalResult remove(const QList<KRemovalItem>& items);

private:
    static KRemovalResult removeChunk(QList<KRemovalItem> items);
};
