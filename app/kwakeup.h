#pragma once

#include <QMutex>
#include <QWaitCondition>

// A sleep that others can cut short: wake() ends the current (or the next)
// sleep once, stop() ends every sleep from now on. A thread that waits for
// a deadline, new work or a stop request sleeps here instead of polling.
class KWakeup
{
public:
    // Sleeps up to ms; false once stop() was called.
    bool sleep(int ms);
    void wake();
    void stop();
    bool isStopped() const;

private:
    mutable QMutex mutex;
    QWaitCondition changed;
    bool woken = false;
    bool stopped = false;
};
