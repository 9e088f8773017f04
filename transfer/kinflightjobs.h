#pragma once

#include <QMutex>
#include <QSet>
#include <QString>

// The local and server paths that have a transfer job waiting or running,
// in either direction: a pass does not queue a file again while its job is
// under way, and two jobs never write the same path at once. Server paths
// start with "@", so the two kinds never meet.
class KInflightJobs
{
public:
    // False when the path has a job already.
    static bool claim(const QString& localPath);
    static void release(const QString& localPath);
    // Both ends of one job: false, claiming neither, when either has a job.
    static bool claimBoth(const QString& localPath, const QString& serverPath);
    static void releaseBoth(const QString& localPath, const QString& serverPath);
    static bool contains(const QString& localPath);
    static int count();
    static void clear();
};
