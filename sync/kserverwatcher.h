#pragma once

#include "app/kwakeup.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

class KServerTree;

// Tells when a pair's server tree changed: about once a minute it lists
// each watched pair's tree (one "klistdir" where the server takes a depth)
// and compares a fingerprint of the listing with the pair's baseline. A
// pair whose check is slow or fails is checked less often until it is fast
// again. Sleeps on a wake-up, never polls.
//
// Signals are emitted on this thread: connect with Qt::DirectConnection to
// thread-safe code, or let the default connection queue them to a receiver
// whose thread runs an event loop.
class KServerWatcher : public QThread
{
    Q_OBJECT
public:
    explicit KServerWatcher(QObject* parent = nullptr);
    // Stops the thread and waits for it.
    ~KServerWatcher() override;

    // Any thread. A pair new to the watcher, or with another root, is checked
    // at once; that first check only sets its baseline (unless setBaseline
    // came in between).
    void watch(const QString& pairId, const QString& spaceRoot);
    void unwatch(const QString& pairId);
    // The fingerprint a watched pair's server tree is compared with; the
    // engine sets it after a pass of its own. Ignored for other pairs.
    void setBaseline(const QString& pairId, const QString& fingerprint);
    QString baseline(const QString& pairId) const;
    // The interval the pair is checked at now, after any back-off.
    int currentIntervalMs(const QString& pairId) const;

    // MD5 (hex) of the sorted lines "relpath TAB datahash TAB version" of the
    // files and "relpath/" of the folders, each ended by a newline.
    static QString fingerprint(const KServerTree& tree);

    void setIntervalMs(int ms) { intervalMs = ms; }
    void setMaxIntervalMs(int ms) { maxIntervalMs = ms; }
    // Checks every pair now, whatever its schedule.
    void checkNow();
    // Ends run() soon, also in the middle of a request. Does not wait.
    void stop();

    static const int DefaultIntervalMs = 60000;
    static const int DefaultMaxIntervalMs = 600000;

signals:
    // The pair's server tree differs from its baseline (now the new baseline).
    void changed(const QString& pairId);
    // After every check; complete is false when the listing failed.
    void checked(const QString& pairId, bool complete);

protected:
    void run() override;

private:
    struct Pair
    {
        QString spaceRoot;
        QString baseline;
        int intervalMs = 0;
        qint64 dueMs = 0;
        // Bumped by watch(): a check of an older root is dropped.
        quint64 generation = 0;
    };
    struct Due
    {
        QString pairId;
        Pair pair;
        qint64 dueMs = -1;
    };

    Due next() const;
    void check(const Due& due);
    void finish(const Due& due, bool complete, const QString& fingerprint, qint64 tookMs);
    int nextInterval(int current, bool complete, qint64 tookMs) const;

    std::atomic<int> intervalMs{DefaultIntervalMs};
    std::atomic<int> maxIntervalMs{DefaultMaxIntervalMs};
    mutable QMutex mutex;
    QHash<QString, Pair> pairs;
    quint64 generations = 0;
    KWakeup wakeup;
    QElapsedTimer clock;
};
