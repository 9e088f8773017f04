#pragma once

// Whether the deletions one pass would carry out look like a mistake (a
// folder emptied by an unmounted disk, a wrong folder moved away) rather
// than the user's intent: more than 50 files, or more than a quarter of the
// pair's files, on either side. A handful of files is always intent, unless
// they are the last files of that side. Pure.
class KDeletionGuard
{
public:
    static const int MaxFiles = 50;
    static const int FewFiles = 5;

    // The removals on one side, and whether the side they were made on
    // holds no file any more.
    struct Side
    {
        int removals = 0;
        bool leavesNothing = false;
    };

    static bool holds(const Side& local, const Side& server, int pairFiles);
    static bool holdsSide(const Side& side, int pairFiles);
};
