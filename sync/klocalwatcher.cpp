#include "sync/klocalwatcher.h"

#include "app/kinterruption.h"
#include "app/klog.h"
#include "store/kpartialdownloads.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <vector>

const QString KLocalWatcher::Live = QStringLiteral("live");
const QString KLocalWatcher::Rescan = QStringLiteral("rescan");
const QString KLocalWatcher::Off = QStringLiteral("off");

namespace {

QString logTag()
{
    return QStringLiteral("本地监视");
}

void signalEventFd(int fd)
{
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

void drainEventFd(int fd)
{
    quint64 count = 0;
    [[maybe_unused]] const ssize_t taken = ::read(fd, &count, sizeof count);
}

} // namespace

KLocalWatcher::KLocalWatcher(QObject* parent)
    : QObject(parent)
    , wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    clock.start();
    thread.reset(QThread::create([this] { run(); }));
    thread->start();
}

KLocalWatcher::~KLocalWatcher()
{
    stop();
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void KLocalWatcher::stop()
{
    {
        QMutexLocker lock(&mutex);
        stopping = true;
    }
    thread->requestInterruption();
    signalEventFd(wakeFd);
    thread->wait();
}

void KLocalWatcher::watch(const QString& pairId, const QString& localRoot)
{
    QString root = localRoot;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    post({true, pairId, root});
}

void KLocalWatcher::unwatch(const QString& pairId)
{
    post({false, pairId, QString()});
}

QString KLocalWatcher::mode(const QString& pairId) const
{
    QMutexLocker lock(&mutex);
    return modes.value(pairId, Off);
}

void KLocalWatcher::post(const Command& command)
{
    {
        QMutexLocker lock(&mutex);
        commands << command;
    }
    signalEventFd(wakeFd);
}

QSet<QString> KLocalWatcher::differences(const KLocalTree& before, const KLocalTree& after)
{
    QSet<QString> paths;
    for (auto it = after.files.constBegin(); it != after.files.constEnd(); ++it) {
        const auto old = before.files.constFind(it.key());
        if (old == before.files.constEnd() || *old != it.value())
            paths.insert(it.key());
    }
    for (auto it = before.files.constBegin(); it != before.files.constEnd(); ++it) {
        if (!after.files.contains(it.key()))
            paths.insert(it.key());
    }
    paths.unite(after.folders - before.folders);
    paths.unite(before.folders - after.folders);
    return paths;
}

void KLocalWatcher::run()
{
    for (;;) {
        runCommands();
        {
            QMutexLocker lock(&mutex);
            if (stopping)
                break;
        }
        flushDue();
        rescanDue();
        pollOnce();
    }
    // Watches go with the thread that owns them.
    pairs.clear();
}

void KLocalWatcher::runCommands()
{
    QList<Command> taken;
    {
        QMutexLocker lock(&mutex);
        taken.swap(commands);
    }
    budget.max = maxWatches;
    for (const Command& command : taken) {
        if (command.watch) {
            start(command.pairId, command.root);
            continue;
        }
        if (pairs.erase(command.pairId) == 0)
            continue;
        {
            QMutexLocker lock(&mutex);
            modes.remove(command.pairId);
        }
        emit modeChanged(command.pairId, Off);
    }
}

void KLocalWatcher::start(const QString& pairId, const QString& root)
{
    Pair& pair = pairs[pairId];
    if (pair.root == root && pair.mode != Off && !pair.mode.isEmpty())
        return;
    pair = Pair();
    pair.root = root;
    pair.batch.maxPaths = maxPaths;
    pair.tree = std::make_unique<KInotifyTree>(root, budget);
    switch (pair.tree->start()) {
    case KInotifyTree::Status::Ok:
        KLog::info(logTag(), QStringLiteral("实时监视 %1 个文件夹：%2").arg(pair.tree->watchCount()).arg(root));
        setMode(pairId, pair, Live, true);
        break;
    case KInotifyTree::Status::RootGone:
        pair.tree.reset();
        KLog::info(logTag(), QStringLiteral("文件夹不存在，未监视：") + root);
        setMode(pairId, pair, Off, true);
        break;
    case KInotifyTree::Status::LimitReached:
        startRescan(pair);
        setMode(pairId, pair, Rescan, true);
        break;
    }
}

// Without a watch on every folder the tree would be watched in part:
// scanning it at an interval is slower to notice but misses nothing.
void KLocalWatcher::startRescan(Pair& pair)
{
    pair.tree.reset();
    KLog::info(logTag(), QStringLiteral("系统监视数量已达上限，改为每 %1 秒扫描一次：%2")
                             .arg(rescanIntervalMs / 1000.0).arg(pair.root));
    scan(pair, pair.lastScan);
}

// A tree so big that its scans would take more than a hundredth of the
// interval is scanned less often: the fallback stays under 1% of a core.
bool KLocalWatcher::scan(Pair& pair, KLocalTree& tree)
{
    const qint64 started = clock.elapsed();
    try {
        tree = KLocalTree::scan(pair.root);
    } catch (const KInterruption::Interrupted&) {
        return false;
    }
    const qint64 now = clock.elapsed();
    pair.nextScanMs = now + qMax<qint64>(rescanIntervalMs, 100 * (now - started));
    return true;
}

void KLocalWatcher::rescanDue()
{
    const qint64 now = clock.elapsed();
    for (auto& [pairId, pair] : pairs) {
        if (pair.nextScanMs >= 0 && now >= pair.nextScanMs)
            rescan(pairId, pair);
    }
}

void KLocalWatcher::rescan(const QString& pairId, Pair& pair)
{
    KLocalTree now;
    if (!scan(pair, now))
        return;
    if (!now.complete) {
        // An unreadable root may come back; a missing one ends the watch.
        if (!QFileInfo(pair.root).isDir())
            rootGone(pairId, pair);
        return;
    }
    for (const QString& path : differences(pair.lastScan, now))
        pair.batch.add(path);
    pair.lastScan = std::move(now);
    flush(pairId, pair);
}

void KLocalWatcher::readEvents(const QString& pairId, Pair& pair)
{
    const qint64 before = pair.batch.events;
    const KInotifyTree::Status status = pair.tree->read(pair.batch);
    if (pair.batch.events != before)
        pair.batch.touch(clock.elapsed());
    if (status == KInotifyTree::Status::RootGone) {
        rootGone(pairId, pair);
    } else if (status == KInotifyTree::Status::LimitReached) {
        // A new folder went unwatched: what happened in it is unknown.
        pair.batch.markFull();
        pair.batch.touch(clock.elapsed());
        startRescan(pair);
        setMode(pairId, pair, Rescan);
    }
}

void KLocalWatcher::rootGone(const QString& pairId, Pair& pair)
{
    pair.tree.reset();
    pair.nextScanMs = -1;
    KLog::info(logTag(), QStringLiteral("监视的文件夹已删除、移走或卸载：") + pair.root);
    pair.batch.markFull();
    flush(pairId, pair);
    setMode(pairId, pair, Off);
}

void KLocalWatcher::flushDue()
{
    const qint64 now = clock.elapsed();
    for (auto& [pairId, pair] : pairs) {
        if (pair.batch.isPending() && now >= pair.batch.dueMs(quietMs, maxDelayMs))
            flush(pairId, pair);
    }
}

// The partials are looked up once per report, not once per event.
void KLocalWatcher::flush(const QString& pairId, Pair& pair)
{
    const bool full = pair.batch.full;
    QStringList paths;
    if (!full && !pair.batch.paths.isEmpty()) {
        const QSet<QString> partials = KPartialDownloads::below(pair.root);
        for (const QString& path : qAsConst(pair.batch.paths)) {
            if (!partials.contains(path))
                paths << path;
        }
        paths.sort();
    }
    pair.batch.reset();
    if (full || !paths.isEmpty())
        emit changed(pairId, paths, full);
}

int KLocalWatcher::pollTimeoutMs() const
{
    qint64 due = -1;
    for (const auto& [pairId, pair] : pairs) {
        if (pair.batch.isPending()) {
            const qint64 batchDue = pair.batch.dueMs(quietMs, maxDelayMs);
            due = due < 0 ? batchDue : qMin(due, batchDue);
        }
        if (pair.nextScanMs >= 0)
            due = due < 0 ? pair.nextScanMs : qMin(due, pair.nextScanMs);
    }
    // Without its wake-up descriptor the thread looks for commands now and then.
    const qint64 idle = wakeFd < 0 ? 100 : -1;
    if (due < 0)
        return int(idle);
    const qint64 wait = qBound<qint64>(0, due - clock.elapsed(), INT_MAX);
    return int(idle < 0 ? wait : qMin(wait, idle));
}

void KLocalWatcher::pollOnce()
{
    std::vector<pollfd> fds{{wakeFd, POLLIN, 0}};
    std::vector<std::pair<const QString*, Pair*>> owners;
    for (auto& [pairId, pair] : pairs) {
        if (pair.tree) {
            fds.push_back({pair.tree->fd(), POLLIN, 0});
            owners.emplace_back(&pairId, &pair);
        }
    }
    if (::poll(fds.data(), fds.size(), pollTimeoutMs()) <= 0)
        return;
    if (fds[0].revents)
        drainEventFd(wakeFd);
    for (size_t i = 1; i < fds.size(); ++i) {
        Pair& pair = *owners[i - 1].second;
        if (fds[i].revents && pair.tree)
            readEvents(*owners[i - 1].first, pair);
    }
}

void KLocalWatcher::setMode(const QString& pairId, Pair& pair, const QString& mode, bool always)
{
    if (pair.mode == mode && !always)
        return;
    pair.mode = mode;
    {
        QMutexLocker lock(&mutex);
        modes.insert(pairId, mode);
    }
    emit modeChanged(pairId, mode);
}
