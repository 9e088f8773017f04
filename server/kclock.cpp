#include "server/kclock.h"

#include <QDateTime>

qint64 KClock::nowSeconds() const
{
    return QDateTime::currentSecsSinceEpoch();
}

qint64 KClock::nowMilliseconds() const
{
    return QDateTime::currentMSecsSinceEpoch();
}
