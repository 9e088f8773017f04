#include "server/kuploaddigests.h"

#include "server/kcontentstore.h"
#include "server/kshutdown.h"

#include <QFile>
#include <QMutexLocker>

#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr qint64 StepBytes = 1 << 20;
// Steps one upload takes before it lets others have the thread.
constexpr int StepsPerTurn = 8;
}

KUploadDigests::KUploadDigests(const KContentStore& content, const KShutdown& shutdown)
    : content(content)
    , shutdown(shutdown)
{
    pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
}

KUploadDigests::~KUploadDigests()
{
    pool.waitForDone();
}

void KUploadDigests::stored(const QString& token, qint64 offset, qint64 end)
{
    QMutexLocker lock(&mutex);
    State& state = states[token];
    if (offset >= state.spanEnd)
        state.ahead.insert(offset, end);
    schedule(token, state);
}

void KUploadDigests::rewriting(const QString& token, qint64 offset)
{
    QMutexLocker lock(&mutex);
    const auto it = states.find(token);
    if (it == states.end())
        return;
    if (offset >= it->spanEnd) {
        it->ahead.remove(offset);
        return;
    }
    // Bytes already hashed (or being hashed) change: start afresh.
    State fresh;
    fresh.generation = it->generation + 1;
    fresh.queued = it->queued;
    fresh.held = it->held;
    *it = fresh;
}

qint64 KUploadDigests::take(const QString& token, KMd5* md5)
{
    QMutexLocker lock(&mutex);
    auto it = states.find(token);
    if (it == states.end()) {
        *md5 = KMd5();
        return 0;
    }
    it->held = true;
    while (it->queued) {
        settled.wait(&mutex);
        it = states.find(token);
    }
    it->held = false;
    *md5 = it->md5;
    return it->hashedUpTo;
}

void KUploadDigests::forget(const QString& token)
{
    QMutexLocker lock(&mutex);
    states.remove(token);
}

void KUploadDigests::waitForIdle()
{
    pool.waitForDone();
}

// Under the lock.
void KUploadDigests::schedule(const QString& token, State& state)
{
    if (state.queued || state.held)
        return;
    state.queued = true;
    pool.start([this, token] { advance(token); });
}

// One turn of background hashing for an upload: a few steps, then back in
// the queue if there is more, so one large upload does not hold up others.
void KUploadDigests::advance(const QString& token)
{
    for (int i = 0; i < StepsPerTurn; ++i) {
        Step step;
        if (!nextStep(token, &step))
            return;
        const bool hashed = hashStep(token, step);
        QMutexLocker lock(&mutex);
        const auto it = states.find(token);
        if (it == states.end())
            return;
        if (!hashed) { // the data file is gone: the commit will tell
            it->queued = false;
            settled.wakeAll();
            return;
        }
        if (it->generation == step.generation) {
            it->md5 = step.md5;
            it->hashedUpTo = step.to;
        }
    }
    QMutexLocker lock(&mutex);
    const auto it = states.find(token);
    if (it == states.end())
        return;
    it->queued = false;
    schedule(token, *it);
    settled.wakeAll();
}

// The next block to hash, or false (the work for this upload stops) when
// there is none, the upload is held by a commit or gone, or the server stops.
bool KUploadDigests::nextStep(const QString& token, Step* step)
{
    QMutexLocker lock(&mutex);
    const auto it = states.find(token);
    if (it == states.end())
        return false;
    if (it->hashedUpTo == it->spanEnd && !it->held) {
        const auto next = it->ahead.find(it->hashedUpTo);
        if (next != it->ahead.end()) {
            it->spanEnd = next.value();
            it->ahead.erase(next);
        }
    }
    if (it->held || it->hashedUpTo == it->spanEnd || shutdown.requested()) {
        it->queued = false;
        settled.wakeAll();
        return false;
    }
    step->from = it->hashedUpTo;
    step->to = qMin(it->spanEnd, it->hashedUpTo + StepBytes);
    step->generation = it->generation;
    step->md5 = it->md5;
    return true;
}

bool KUploadDigests::hashStep(const QString& token, Step& step) const
{
    const int fd = ::open(QFile::encodeName(content.sessionPath(token)).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    QByteArray buffer(int(step.to - step.from), Qt::Uninitialized);
    const ssize_t n = ::pread(fd, buffer.data(), size_t(buffer.size()), step.from);
    ::close(fd);
    if (n != buffer.size())
        return false;
    step.md5.add(buffer);
    return true;
}
