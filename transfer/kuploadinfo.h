#pragma once

#include "store/khashcache.h"

#include <QString>

// What the pass that queued an upload saw on the server: enough to skip
// asking again (the file's state and whether its folder exists).
enum class KServerKnown
{
    Unknown,   // ask the server first
    NewFile,   // no file there, its folder exists
    NewFolder, // no file there, and its folder must be made first
    NewVersion // a file with other content is there
};

// One queued upload: a local file and where it goes on the server.
struct KUploadInfo
{
    QString localPath;
    QString serverPath;
    qint64 filesize = 0;
    QString filemd5;
    // Set by passes that keep a journal: the pair and the path below its
    // folders, and the file's stamp when it was hashed (the commit checks
    // that the file still has it).
    QString pairId;
    QString relPath;
    KFileStamp stamp;
    KServerKnown server = KServerKnown::Unknown;
};
