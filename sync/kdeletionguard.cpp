#include "sync/kdeletionguard.h"

bool KDeletionGuard::holds(const Side& local, const Side& server, int pairFiles)
{
    return holdsSide(local, pairFiles) || holdsSide(server, pairFiles);
}

bool KDeletionGuard::holdsSide(const Side& side, int pairFiles)
{
    if (side.removals > MaxFiles)
        return true;
    if (side.removals >= 2 && side.leavesNothing)
        return true;
    return side.removals >= FewFiles && side.removals * 4 > pairFiles;
}
