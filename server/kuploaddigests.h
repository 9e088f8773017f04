#pragma once

#include "app/kmd5.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QWaitCondition>

class KContentStore;
class KShutdown;

// The running MD5 of each upload, worked out in the background from its data
// file as parts are stored, in file order, so a commit usually only
// finalises it and no part waits for hashing. A part stored ahead of a gap
// is hashed once the gap is filled; a part written again over bytes already
// hashed throws the running MD5 away (the commit then hashes the data file).
// Kept in memory only: after a restart the commit hashes the whole file.
class KUploadDigests
{
public:
    KUploadDigests(const KContentStore& content, const KShutdown& shutdown);
    ~KUploadDigests();
    KUploadDigests(const KUploadDigests&) = delete;
    KUploadDigests& operator=(const KUploadDigests&) = delete;

    // Part bytes [offset, end) were stored.
    void stored(const QString& token, qint64 offset, qint64 end);
    // A part starting at `offset` is about to be written again.
    void rewriting(const QString& token, qint64 offset);
    // Stops the background work on this upload and hands out the running MD5
    // and how far it reaches (0 and a fresh MD5 if none); the caller hashes
    // the rest. Parts stored later start the work again.
    qint64 take(const QString& token, KMd5* md5);
    void forget(const QString& token);
    // Waits until no background work is under way (tests).
    void waitForIdle();

private:
    // How far an upload's digest reaches. Bytes up to `hashedUpTo` are in
    // `md5`; [hashedUpTo, spanEnd) is stored and being hashed; `ahead` holds
    // the stored parts beyond it, by offset.
    struct State
    {
        KMd5 md5;
        qint64 hashedUpTo = 0;
        qint64 spanEnd = 0;
        QMap<qint64, qint64> ahead;
        int generation = 0; // changes when the state is thrown away
        bool queued = false;
        bool held = false;
    };
    struct Step
    {
        qint64 from = 0;
        qint64 to = 0;
        int generation = 0;
        KMd5 md5;
    };

    void schedule(const QString& token, State& state);
    void advance(const QString& token);
    bool nextStep(const QString& token, Step* step);
    bool hashStep(const QString& token, Step& step) const;

    const KContentStore& content;
    const KShutdown& shutdown;
    mutable QMutex mutex;
    QWaitCondition settled;
    QHash<QString, State> states;
    QThreadPool pool;
};
