#pragma once

#include <QMutex>
#include <QSet>
#include <QString>

// The local paths that have a transfer job waiting or running, in either
// direction: a pass does not queue a file again while its job is under way.
class KInflightJobs
{
public:
    // False when the path has a job already.
    static bool claim(const QString& localPath);
    static void release(const QString& localPath);
    static bool contains(const QString& localPath);
    static int count();
    static void clear();
};
