#include "sync/kpairstates.h"

#include <QDateTime>
#include <QMutexLocker>

QString KPairState::state() const
{
    if (!pending.isEmpty())
        return QStringLiteral("confirm");
    if (paused)
        return QStringLiteral("paused");
    if (comparing)
        return QStringLiteral("comparing");
    if (uploads + downloads > 0)
        return QStringLiteral("transferring");
    return lastError.isEmpty() ? QStringLiteral("idle") : QStringLiteral("failing");
}

QJsonObject KPairState::toJson() const
{
    QJsonObject object{{"id", id},
                       {"state", state()},
                       {"uploads", uploads},
                       {"downloads", downloads},
                       {"lastPass", double(lastPass)},
                       {"lastError", lastError},
                       {"conflicts", conflicts},
                       {"deletionsCarried", deletionsCarried},
                       {"watch", watch},
                       {"pendingDeletion", QJsonValue()}};
    if (!pending.isEmpty()) {
        const QStringList sample = (pending.local + pending.server).mid(0, 10);
        object.insert("pendingDeletion", QJsonObject{{"local", pending.local.size()},
                                                     {"server", pending.server.size()},
                                                     {"sample", QJsonArray::fromStringList(sample)}});
    }
    return object;
}

KPairStates& KPairStates::instance()
{
    static KPairStates states;
    return states;
}

template <typename Change>
void KPairStates::change(const QString& id, Change apply)
{
    if (id.isEmpty())
        return;
    {
        QMutexLocker lock(&mutex);
        KPairState& state = states[id];
        state.id = id;
        apply(state);
    }
    emit pairChanged(id);
}

KPairState KPairStates::state(const QString& id) const
{
    QMutexLocker lock(&mutex);
    KPairState state = states.value(id);
    state.id = id;
    return state;
}

QList<KPairState> KPairStates::all() const
{
    QMutexLocker lock(&mutex);
    return states.values();
}

QJsonArray KPairStates::toJson(const QStringList& ids) const
{
    QJsonArray array;
    for (const QString& id : ids)
        array.append(state(id).toJson());
    return array;
}

void KPairStates::passStarted(const QString& id)
{
    change(id, [](KPairState& state) { state.comparing = true; });
}

void KPairStates::passEnded(const QString& id, const QString& error, int conflicts)
{
    change(id, [&](KPairState& state) {
        state.comparing = false;
        state.lastError = error;
        state.conflicts = conflicts;
        if (error.isEmpty())
            state.lastPass = QDateTime::currentMSecsSinceEpoch();
    });
}

void KPairStates::jobQueued(const QString& id, int type)
{
    change(id, [type](KPairState& state) { (type == 1 ? state.downloads : state.uploads) += 1; });
}

void KPairStates::jobEnded(const QString& id, int type, const QString& failure)
{
    change(id, [&](KPairState& state) {
        int& count = type == 1 ? state.downloads : state.uploads;
        count = qMax(0, count - 1);
        if (!failure.isEmpty())
            state.lastError = failure;
    });
}

void KPairStates::setPaused(const QString& id, bool paused)
{
    change(id, [paused](KPairState& state) { state.paused = paused; });
}

void KPairStates::setWatch(const QString& id, const QString& mode)
{
    // A pair that is no longer watched because it was deleted stays gone.
    if (mode == QLatin1String("off") && !known(id))
        return;
    change(id, [&mode](KPairState& state) { state.watch = mode; });
}

bool KPairStates::known(const QString& id) const
{
    QMutexLocker lock(&mutex);
    return states.contains(id);
}

void KPairStates::setDeletionsCarried(const QString& id, bool carried)
{
    change(id, [carried](KPairState& state) { state.deletionsCarried = carried; });
}

void KPairStates::setPending(const QString& id, const KPendingDeletions& pending)
{
    change(id, [&pending](KPairState& state) { state.pending = pending; });
}

void KPairStates::forget(const QString& id)
{
    {
        QMutexLocker lock(&mutex);
        states.remove(id);
    }
    emit pairChanged(id);
}

void KPairStates::clear()
{
    QMutexLocker lock(&mutex);
    states.clear();
}
