#include "app/kinterruption.h"

#include <QThread>

bool KInterruption::requested()
{
    return QThread::currentThread()->isInterruptionRequested();
}

void KInterruption::check()
{
    if (requested())
        throw Interrupted();
}
