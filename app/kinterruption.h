#pragma once

// Long work on a background thread (scans, comparisons, waits for a server)
// asks here whether its thread was asked to stop, so that closing the
// program never waits for a whole pass to end.
class KInterruption
{
public:
    // Thrown by check(): the work is abandoned, not finished.
    struct Interrupted
    {
    };

    // True when the calling thread is a QThread asked to stop.
    static bool requested();
    // Throws Interrupted when requested().
    static void check();
};
