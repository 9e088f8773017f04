#include "sync/kpairwatching.h"

#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/klocalwatcher.h"
#include "sync/kpairstates.h"
#include "sync/kserverwatcher.h"

KPairWatching::KPairWatching(QObject* parent)
    : QObject(parent)
    , localWatcher(std::make_unique<KLocalWatcher>())
    , serverWatcher(std::make_unique<KServerWatcher>())
{
    // Both watchers emit on threads of their own; what runs here is thread-safe.
    connect(localWatcher.get(), &KLocalWatcher::changed, this, &KPairWatching::onLocalChange, Qt::DirectConnection);
    connect(localWatcher.get(), &KLocalWatcher::modeChanged, this, &KPairWatching::onModeChanged,
            Qt::DirectConnection);
    connect(serverWatcher.get(), &KServerWatcher::changed, this, &KPairWatching::onServerChange,
            Qt::DirectConnection);
}

KPairWatching::~KPairWatching()
{
    stop();
}

void KPairWatching::start()
{
    if (running)
        return;
    running = true;
    serverWatcher->start();
    refresh();
}

void KPairWatching::stop()
{
    if (!running)
        return;
    running = false;
    localWatcher->stop();
    serverWatcher->stop();
    serverWatcher->wait();
}

void KPairWatching::refresh()
{
    if (!running)
        return;
    QSet<QString> wanted;
    for (const QStringList& row : KFileSyncDatabase().getSyncConfigs()) {
        if (row.size() < 6 || KFileSyncDatabase::isPaused(row) || (!only.isEmpty() && !only.contains(row[0])))
            continue;
        wanted.insert(row[0]);
        localWatcher->watch(row[0], row[1]);
        serverWatcher->watch(row[0], row[2]);
    }
    for (const QString& id : watched - wanted)
        unwatch(id);
    watched = wanted;
}

void KPairWatching::unwatch(const QString& pairId)
{
    localWatcher->unwatch(pairId);
    serverWatcher->unwatch(pairId);
    KPairStates::instance().setWatch(pairId, QStringLiteral("off"));
}

void KPairWatching::onLocalChange(const QString& pairId, const QStringList& relPaths, bool full)
{
    const QSet<QString> paths(relPaths.begin(), relPaths.end());
    KFileSyncOnceManager::passQueue.request(full ? KPassRequest::whole(pairId) : KPassRequest::of(pairId, paths));
}

void KPairWatching::onServerChange(const QString& pairId)
{
    KFileSyncOnceManager::passQueue.request(KPassRequest::whole(pairId));
}

void KPairWatching::onModeChanged(const QString& pairId, const QString& mode)
{
    KPairStates::instance().setWatch(pairId, mode);
    if (mode == QLatin1String("rescan"))
        KLog::info(QStringLiteral("监视数量已达系统上限，改为定期扫描"), pairId);
}
