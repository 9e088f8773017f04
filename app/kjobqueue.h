#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>

// A first-in first-out queue shared between producer threads and one consumer
// thread. Every append, take, emptiness test and size read holds the queue's
// lock. A consumer that polls can also sleep on the queue: it wakes as soon as
// a job arrives or somebody calls wake(), and at the latest after its timeout.
template <typename T>
class KJobQueue
{
public:
    void append(const T& job)
    {
        QMutexLocker lock(&mutex);
        jobs.append(job);
        ++changes;
        changed.wakeAll();
    }

    bool takeFirst(T& job)
    {
        QMutexLocker lock(&mutex);
        if (jobs.isEmpty())
            return false;
        job = jobs.takeFirst();
        return true;
    }

    // Takes the first job while it passes the test, at most max of them.
    template <typename Test>
    QList<T> takeWhile(int max, Test test)
    {
        QMutexLocker lock(&mutex);
        QList<T> taken;
        while (taken.size() < max && !jobs.isEmpty() && test(jobs.first()))
            taken.append(jobs.takeFirst());
        return taken;
    }

    bool isEmpty() const
    {
        QMutexLocker lock(&mutex);
        return jobs.isEmpty();
    }

    int size() const
    {
        QMutexLocker lock(&mutex);
        return jobs.size();
    }

    QList<T> snapshot() const
    {
        QMutexLocker lock(&mutex);
        return jobs;
    }

    void clear()
    {
        QMutexLocker lock(&mutex);
        jobs.clear();
        ++changes;
    }

    // A counter that grows with every append and wake(); read it before
    // testing the condition you wait for, then pass it to waitForChange() so a
    // change made in between is not slept through.
    quint64 generation() const
    {
        QMutexLocker lock(&mutex);
        return changes;
    }

    // Sleeps until the generation differs from seen or timeoutMs passed.
    // Returns true when something changed.
    bool waitForChange(quint64 seen, int timeoutMs)
    {
        QMutexLocker lock(&mutex);
        QDeadlineTimer deadline(timeoutMs);
        while (changes == seen) {
            if (!changed.wait(&mutex, deadline))
                return changes != seen;
        }
        return true;
    }

    // A consumer's step: takes the first job when there is one; otherwise
    // sleeps until something changes or timeoutMs passed and returns false.
    bool takeOrWait(T& job, int timeoutMs)
    {
        const quint64 seen = generation();
        if (takeFirst(job))
            return true;
        waitForChange(seen, timeoutMs);
        return false;
    }

    // Wakes sleeping consumers without adding a job (for example when the
    // condition they wait for besides the queue has changed).
    void wake()
    {
        QMutexLocker lock(&mutex);
        ++changes;
        changed.wakeAll();
    }

private:
    mutable QMutex mutex;
    QWaitCondition changed;
    QList<T> jobs;
    quint64 changes = 0;
};
