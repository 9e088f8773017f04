#pragma once

#include "store/khashcache.h"

#include <QString>

// What the client removes locally goes to the desktop's trash, never away:
// a file only while it is still exactly as the pass saw it, a folder only
// while no file is left anywhere below it.
class KLocalTrash
{
public:
    static bool moveFile(const QString& path, const KFileStamp& expected);
    static bool moveEmptyFolder(const QString& path);
    static bool holdsNoFile(const QString& folder);
};
