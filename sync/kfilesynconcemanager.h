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

    // Longest sleep while the queue is empty; a saved pair wakes the thread at once.
    static const int PollIntervalMs = 10000;
    void setPollInterval(int ms) { pollMs = ms; }
    // Ends run() after the current record; wakes the thread if it sleeps.
    void stop();

protected:
    void run() override;

private:
    void syncRecord(const KSyncConfigItem& item);

    int pollMs = PollIntervalMs;
};
