#include "sync/kserverwatcher.h"

#include "app/kinterruption.h"
#include "app/klog.h"
#include "sync/kservertree.h"

#include <QCryptographicHash>
#include <QMutexLocker>
#include <QStringList>

#include <climits>

namespace {

QString logTag()
{
    return QStringLiteral("服务器监视");
}

} // namespace

KServerWatcher::KServerWatcher(QObject* parent)
    : QThread(parent)
{
    clock.start();
}

KServerWatcher::~KServerWatcher()
{
    stop();
    wait();
}

void KServerWatcher::watch(const QString& pairId, const QString& spaceRoot)
{
    {
        QMutexLocker lock(&mutex);
        const auto it = pairs.constFind(pairId);
        if (it != pairs.constEnd() && it->spaceRoot == spaceRoot)
            return;
        pairs.insert(pairId, {spaceRoot, QString(), intervalMs, clock.elapsed(), ++generations});
    }
    wakeup.wake();
}

void KServerWatcher::unwatch(const QString& pairId)
{
    QMutexLocker lock(&mutex);
    pairs.remove(pairId);
}

void KServerWatcher::setBaseline(const QString& pairId, const QString& fingerprint)
{
    QMutexLocker lock(&mutex);
    const auto it = pairs.find(pairId);
    if (it != pairs.end())
        it->baseline = fingerprint;
}

QString KServerWatcher::baseline(const QString& pairId) const
{
    QMutexLocker lock(&mutex);
    return pairs.value(pairId).baseline;
}

int KServerWatcher::currentIntervalMs(const QString& pairId) const
{
    QMutexLocker lock(&mutex);
    return pairs.value(pairId).intervalMs;
}

QString KServerWatcher::fingerprint(const KServerTree& tree)
{
    QStringList lines;
    lines.reserve(tree.files.size() + tree.folders.size());
    for (auto it = tree.files.constBegin(); it != tree.files.constEnd(); ++it)
        lines << it.key() + QLatin1Char('\t') + it->datahash + QLatin1Char('\t') + QString::number(it->version);
    for (const QString& folder : tree.folders)
        lines << folder + QLatin1Char('/');
    lines.sort();
    QCryptographicHash md5(QCryptographicHash::Md5);
    for (const QString& line : qAsConst(lines)) {
        md5.addData(line.toUtf8());
        md5.addData("\n", 1);
    }
    return QString::fromLatin1(md5.result().toHex());
}

void KServerWatcher::checkNow()
{
    {
        QMutexLocker lock(&mutex);
        for (Pair& pair : pairs)
            pair.dueMs = 0;
    }
    wakeup.wake();
}

void KServerWatcher::stop()
{
    requestInterruption();
    wakeup.stop();
}

void KServerWatcher::run()
{
    while (!isInterruptionRequested()) {
        const Due due = next();
        const qint64 now = clock.elapsed();
        if (due.dueMs >= 0 && due.dueMs <= now) {
            check(due);
            continue;
        }
        // Without pairs, until watch() or stop().
        const qint64 wait = due.dueMs < 0 ? -1 : due.dueMs - now;
        if (!wakeup.sleep(int(qMin<qint64>(wait, INT_MAX))))
            return;
    }
}

KServerWatcher::Due KServerWatcher::next() const
{
    QMutexLocker lock(&mutex);
    Due due;
    for (auto it = pairs.constBegin(); it != pairs.constEnd(); ++it) {
        if (due.dueMs < 0 || it->dueMs < due.dueMs)
            due = {it.key(), *it, it->dueMs};
    }
    return due;
}

// A request cut short by stop() ends the check without a verdict.
void KServerWatcher::check(const Due& due)
{
    QElapsedTimer took;
    took.start();
    bool complete = false;
    QString print;
    try {
        const KServerTree tree = KServerTree::scan(due.pair.spaceRoot);
        complete = tree.complete;
        if (complete)
            print = fingerprint(tree);
    } catch (const KInterruption::Interrupted&) {
        return;
    } catch (...) {
        // An unreadable answer: a failed check like any other.
    }
    finish(due, complete, print, took.elapsed());
}

void KServerWatcher::finish(const Due& due, bool complete, const QString& print, qint64 tookMs)
{
    bool isChange = false;
    int interval = 0;
    int before = 0;
    {
        QMutexLocker lock(&mutex);
        const auto it = pairs.find(due.pairId);
        if (it == pairs.end() || it->generation != due.pair.generation)
            return; // unwatched or watched anew meanwhile
        before = it->intervalMs;
        interval = it->intervalMs = nextInterval(it->intervalMs, complete, tookMs);
        it->dueMs = clock.elapsed() + interval;
        if (complete) {
            isChange = !it->baseline.isEmpty() && it->baseline != print;
            it->baseline = print;
        }
    }
    if (interval != before)
        KLog::info(logTag(), QStringLiteral("%1，每 %2 秒检查一次：%3")
                                 .arg(complete ? QStringLiteral("检查用时 %1 毫秒").arg(tookMs)
                                               : QStringLiteral("检查失败"))
                                 .arg(interval / 1000.0)
                                 .arg(due.pair.spaceRoot));
    if (isChange)
        emit changed(due.pairId);
    emit checked(due.pairId, complete);
}

// Slow means over a tenth of the current interval, fast a tenth of the
// normal one; in between the interval stays, so it settles instead of
// swinging back and forth.
int KServerWatcher::nextInterval(int current, bool complete, qint64 tookMs) const
{
    const int normal = qMax(1, intervalMs.load());
    const int longest = qMax(normal, maxIntervalMs.load());
    current = qMax(current, 1);
    if (!complete || tookMs * 10 > current)
        return int(qMin<qint64>(qint64(current) * 2, longest));
    if (tookMs * 10 <= normal)
        return normal;
    return current;
}
