#include "app/kwakeup.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

bool KWakeup::sleep(int ms)
{
    QMutexLocker lock(&mutex);
    QDeadlineTimer deadline(ms);
    while (!woken && !stopped) {
        if (!changed.wait(&mutex, deadline))
            break;
    }
    woken = false;
    return !stopped;
}

void KWakeup::wake()
{
    QMutexLocker lock(&mutex);
    woken = true;
    changed.wakeAll();
}

void KWakeup::stop()
{
    QMutexLocker lock(&mutex);
    stopped = true;
    changed.wakeAll();
}

bool KWakeup::isStopped() const
{
    QMutexLocker lock(&mutex);
    return stopped;
}
