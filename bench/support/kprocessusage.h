#pragma once

#include <QtGlobal>

// This process's own CPU time and peak memory, with the peak reset between
// runs so each run reports its own.
class KProcessUsage
{
public:
    static double cpuSeconds();
    // Peak resident memory (VmHWM) since the start or the last resetPeak().
    static qint64 peakKiB();
    static void resetPeak();
};
