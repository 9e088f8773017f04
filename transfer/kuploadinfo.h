#pragma once

#include "store/khashcache.h"

#include <QString>

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
};
