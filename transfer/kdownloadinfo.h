#pragma once

#include "store/khashcache.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

// One queued download: a server file and where it lands locally.
struct KDownloadInfo
{
    QString localPath;
    QString serverPath;
    qint64 fileSize = -1;
    QString dataHash;
    // Set by passes that keep a journal: the pair, the path below its
    // folders and the server version.
    QString pairId;
    QString relPath;
    qint64 version = 0;
    // The version's time on the server (ms since the epoch), given to the
    // placed file; 0 when unknown.
    qint64 mtimeMs = 0;
    // Valid when the download replaces a local file: only a file that still
    // has this stamp (the one last synced) may be replaced.
    KFileStamp replaces;
    // The file's bytes when they came with the job (a small file fetched in
    // a batch); the transfer then only checks and places them.
    QByteArray content;
    bool contentKnown = false;
};

Q_DECLARE_METATYPE(KDownloadInfo)
