#include "server/kuploaddigests.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

KUploadDigests::Claim KUploadDigests::claim(const QString& token, qint64 offset, int waitMs)
{
    QMutexLocker lock(&mutex);
    const QDeadlineTimer deadline(waitMs);
    while (states[token].busy) {
        if (!released.wait(&mutex, deadline))
            return Claim();
    }
    State& state = states[token];
    Claim claim;
    state.busy = true;
    claim.granted = true;
    if (offset < state.hashedUpTo) {
        state.md5 = KMd5();
        state.hashedUpTo = 0;
    }
    claim.inOrder = offset == state.hashedUpTo;
    if (claim.inOrder)
        claim.md5 = state.md5;
    return claim;
}

void KUploadDigests::release(const QString& token, bool stored, const Claim& claim, qint64 partEnd)
{
    QMutexLocker lock(&mutex);
    released.wakeAll();
    const auto it = states.find(token);
    if (it == states.end())
        return;
    it->busy = false;
    if (stored && claim.inOrder) {
        it->md5 = claim.md5;
        it->hashedUpTo = partEnd;
    }
}

bool KUploadDigests::reserve(const QString& token, int waitMs)
{
    QMutexLocker lock(&mutex);
    const QDeadlineTimer deadline(waitMs);
    while (states[token].busy) {
        if (!released.wait(&mutex, deadline))
            return false;
    }
    states[token].busy = true;
    return true;
}

void KUploadDigests::unreserve(const QString& token)
{
    QMutexLocker lock(&mutex);
    released.wakeAll();
    const auto it = states.find(token);
    if (it != states.end())
        it->busy = false;
}

bool KUploadDigests::busy(const QString& token) const
{
    QMutexLocker lock(&mutex);
    return states.value(token).busy;
}

qint64 KUploadDigests::snapshot(const QString& token, KMd5* md5) const
{
    QMutexLocker lock(&mutex);
    const auto it = states.constFind(token);
    if (it == states.constEnd()) {
        *md5 = KMd5();
        return 0;
    }
    *md5 = it->md5;
    return it->hashedUpTo;
}

void KUploadDigests::forget(const QString& token)
{
    QMutexLocker lock(&mutex);
    released.wakeAll();
    states.remove(token);
}
