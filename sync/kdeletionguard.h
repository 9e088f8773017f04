#pragma once

// Whether the deletions one pass would carry out look like a mistake (a
// folder emptied by an unmounted disk, a wrong folder moved away) rather
// than the user's intent: more than 50 files, or more than a quarter of the
// pair's files, on either side. A handful of files is always intent, unless
// it is every file the pair holds. Pure.
class KDeletionGuard
{
public:
    static const int MaxFiles = 50;
    static const int FewFiles = 5;

    static bool holds(int localRemovals, int serverRemovals, int pairFiles);
    static bool holdsSide(int removals, int pairFiles);
};
