#pragma once

#include "app/kjobqueue.h"
#include "sync/ksyncconfigitem.h"

#include <QThread>

// Compares each folder pair once, right after it was saved. The store appends
// to the queue on the GUI thread; this thread takes records first in, first out.
class KFileSyncOnceManager : public QThread
{
    Q_OBJECT
public:
    KFileSyncOnceManager();

    static KJobQueue<KSyncConfigItem> configItemQueue;
};
