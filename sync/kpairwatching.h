#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class KLocalWatcher;
class KServerWatcher;

// Keeps the stored pairs that are not paused watched on both sides and turns
// what the watchers see into passes: a local change into a pass of the
// changed paths, a server change into a whole pass, both queued for the
// one-time thread (KFileSyncOnceManager::passQueue). What a pair's local
// watch became (live, or rescanned past the system's watch limit) goes to
// its state for the page.
class KPairWatching : public QObject
{
    Q_OBJECT
public:
    explicit KPairWatching(QObject* parent = nullptr);
    ~KPairWatching() override;

    void start();
    void stop();
    // Only these pairs (all stored pairs when empty).
    void restrictTo(const QStringList& pairIds) { only = pairIds; }

    KLocalWatcher* local() const { return localWatcher.get(); }
    KServerWatcher* server() const { return serverWatcher.get(); }

public slots:
    // Reads the stored pairs again: new ones are watched, removed and paused
    // ones are not any more.
    void refresh();

private:
    void onLocalChange(const QString& pairId, const QStringList& relPaths, bool full);
    void onServerChange(const QString& pairId);
    void onModeChanged(const QString& pairId, const QString& mode);
    void unwatch(const QString& pairId);

    std::unique_ptr<KLocalWatcher> localWatcher;
    std::unique_ptr<KServerWatcher> serverWatcher;
    QSet<QString> watched;
    QStringList only;
    bool running = false;
};
