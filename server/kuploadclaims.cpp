#include "server/kuploadclaims.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

bool KUploadClaims::claimPart(const QString& token, int number, int waitMs)
{
    QMutexLocker lock(&mutex);
    const QDeadlineTimer deadline(waitMs);
    while (holds[token].committing || holds[token].parts.contains(number)) {
        if (!changed.wait(&mutex, deadline)) {
            dropIfIdle(token);
            return false;
        }
    }
    holds[token].parts.insert(number);
    return true;
}

void KUploadClaims::releasePart(const QString& token, int number)
{
    QMutexLocker lock(&mutex);
    holds[token].parts.remove(number);
    dropIfIdle(token);
    changed.wakeAll();
}

bool KUploadClaims::reserve(const QString& token, int waitMs)
{
    QMutexLocker lock(&mutex);
    const QDeadlineTimer deadline(waitMs);
    // Another commit of the same upload first, then the parts under way; new
    // parts wait from the moment this commit holds the upload.
    while (holds[token].committing) {
        if (!changed.wait(&mutex, deadline))
            return false;
    }
    holds[token].committing = true;
    while (!holds[token].parts.isEmpty()) {
        if (!changed.wait(&mutex, deadline)) {
            holds[token].committing = false;
            changed.wakeAll();
            return false;
        }
    }
    return true;
}

void KUploadClaims::unreserve(const QString& token)
{
    QMutexLocker lock(&mutex);
    holds[token].committing = false;
    dropIfIdle(token);
    changed.wakeAll();
}

bool KUploadClaims::busy(const QString& token) const
{
    QMutexLocker lock(&mutex);
    const auto it = holds.constFind(token);
    return it != holds.constEnd() && (it->committing || !it->parts.isEmpty());
}

// Under the lock.
void KUploadClaims::dropIfIdle(const QString& token)
{
    const auto it = holds.find(token);
    if (it != holds.end() && !it->committing && it->parts.isEmpty())
        holds.erase(it);
}
