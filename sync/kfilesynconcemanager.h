#pragma once

#include "app/kjobqueue.h"
#include "sync/kpassqueue.h"
#include "sync/ksyncconfigitem.h"

#include <QStringList>
#include <QThread>

// Compares each folder pair once, right after it was saved. The store appends
// to the queue on the GUI thread; this thread takes records first in, first
// out. It also runs the passes other parts of the program ask for.
class KFileSyncOnceManager : public QThread
{
    Q_OBJECT
public:
    KFileSyncOnceManager();

    static KJobQueue<KSyncConfigItem> configItemQueue;
    // Passes asked for by watchers, the page and the transfers; a saved
    // pair's first pass comes through configItemQueue, which goes first.
    static KPassQueue passQueue;

    // Longest sleep while the queue is empty; a saved pair wakes the thread at once.
    static const int PollIntervalMs = 10000;
    void setPollInterval(int ms) { pollMs = ms; }
    // Ends run() after the current record; wakes the thread if it sleeps.
    void stop();

    // True when the stored row (as getSyncConfigById returns it) is still
    // the configuration the record was queued for: a pair deleted or edited
    // after saving must not run with its old values.
    static bool isCurrent(const KSyncConfigItem& item, const QStringList& row);

protected:
    void run() override;

private:
    bool takeAndRun();
    void syncRecord(const KSyncConfigItem& item);
    void runRequest(const KPassRequest& request);

    int pollMs = PollIntervalMs;
};
