#pragma once

#include "store/khashcache.h"

#include <QString>

// What one file of a pair looked like on both sides when it was last synced.
struct KJournalEntry
{
    QString relPath;
    KFileStamp local;
    QString md5;
    QString datahash;
    qint64 datasize = 0;
    qint64 version = 0;
    qint64 timeMs = 0;

    bool isValid() const { return !relPath.isEmpty(); }
};
