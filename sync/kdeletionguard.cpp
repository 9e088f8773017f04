#include "sync/kdeletionguard.h"

bool KDeletionGuard::holds(int localRemovals, int serverRemovals, int pairFiles)
{
    return holdsSide(localRemovals, pairFiles) || holdsSide(serverRemovals, pairFiles);
}

bool KDeletionGuard::holdsSide(int removals, int pairFiles)
{
    if (removals > MaxFiles)
        return true;
    if (removals >= 2 && removals >= pairFiles)
        return true;
    return removals >= FewFiles && removals * 4 > pairFiles;
}
