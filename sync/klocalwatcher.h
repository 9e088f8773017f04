#pragma once

#include "sync/kchangebatch.h"
#include "sync/kinotifytree.h"
#include "sync/klocaltree.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <map>
#include <memory>

class QThread;

// Tells, seconds after the fact, what changed in the local trees of the
// watched pairs. Each pair's tree is watched through inotify, every folder
// of it, on a thread of the watcher's own that sleeps in poll() while
// nothing happens. Changes are gathered per pair and reported after a
// quiet period. When the system has no watches left for a pair, that pair
// is scanned at an interval instead and the scans are compared.
//
// Both signals are emitted on the watcher's thread: connect with
// Qt::DirectConnection to thread-safe code, or let the default connection
// queue them to a receiver whose thread runs an event loop.
class KLocalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit KLocalWatcher(QObject* parent = nullptr);
    ~KLocalWatcher() override;

    // Starts watching a pair's local tree, or starts again after "off" or
    // with another root; a pair watched already as asked is left as it is.
    // Any thread.
    void watch(const QString& pairId, const QString& localRoot);
    // Stops watching a pair; what was gathered for it is dropped. Any thread.
    void unwatch(const QString& pairId);
    // "live", "rescan" or "off" (also for a pair not watched, or not yet set up).
    QString mode(const QString& pairId) const;
    // Ends the thread; the destructor does it too.
    void stop();

    // Take effect from the next event on; the defaults are the product's.
    void setQuietMs(int ms) { quietMs = ms; }
    void setMaxDelayMs(int ms) { maxDelayMs = ms; }
    // The shortest time between two scans of a pair past the watch limit;
    // a big tree waits a hundred times as long as its scan took.
    void setRescanIntervalMs(int ms) { rescanIntervalMs = ms; }
    // More distinct paths than this in one report make it a full one.
    void setMaxPaths(int count) { maxPaths = count; }
    // Behave as if the system had no more than count watches (all pairs together).
    void setMaxWatchesForTesting(int count) { maxWatches = count; }

    static const QString Live;
    static const QString Rescan;
    static const QString Off;

    // The paths whose files or folders differ between two scans.
    static QSet<QString> differences(const KLocalTree& before, const KLocalTree& after);

signals:
    // relPaths: relative to the pair's root, "/"-separated, sorted, each a
    // file or folder that changed, appeared or is gone (a folder stands for
    // what lies below it too). full: too much changed or events were lost,
    // or the root is gone; look at the whole tree (relPaths may be empty).
    // The client's own partial downloads are left out.
    void changed(const QString& pairId, const QStringList& relPaths, bool full);
    // When a watch() has set a pair up (whatever the mode), and on every
    // later change of mode.
    void modeChanged(const QString& pairId, const QString& mode);

private:
    struct Command
    {
        bool watch = false;
        QString pairId;
        QString root;
    };
    // Touched by the watcher's thread only.
    struct Pair
    {
        QString root;
        QString mode;
        std::unique_ptr<KInotifyTree> tree;
        KChangeBatch batch;
        KLocalTree lastScan;
        qint64 nextScanMs = -1;
    };

    void run();
    void post(const Command& command);
    void runCommands();
    void start(const QString& pairId, const QString& root);
    void startRescan(Pair& pair);
    void rescan(const QString& pairId, Pair& pair);
    bool scan(Pair& pair, KLocalTree& tree);
    void readEvents(const QString& pairId, Pair& pair);
    void rootGone(const QString& pairId, Pair& pair);
    void flushDue();
    void flush(const QString& pairId, Pair& pair);
    void rescanDue();
    int pollTimeoutMs() const;
    void pollOnce();
    void setMode(const QString& pairId, Pair& pair, const QString& mode, bool always = false);

    std::atomic<int> quietMs{1000};
    std::atomic<int> maxDelayMs{5000};
    std::atomic<int> rescanIntervalMs{30000};
    std::atomic<int> maxPaths{10000};
    std::atomic<int> maxWatches{-1};

    mutable QMutex mutex;
    QList<Command> commands;
    QHash<QString, QString> modes;
    bool stopping = false;

    int wakeFd = -1;
    std::unique_ptr<QThread> thread;
    QElapsedTimer clock;
    std::map<QString, Pair> pairs;
    KInotifyTree::Budget budget;
};
