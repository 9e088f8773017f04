#pragma once

#include "server/kmd5.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

// The running MD5 of each upload while its parts arrive in order, so the
// commit usually needs no second pass over the data. It also makes sure one
// upload receives only one part at a time.
class KUploadDigests
{
public:
    struct Claim
    {
        bool granted = false; // false: another part of this upload is arriving
        bool inOrder = false; // the part starts where the running MD5 ends
        KMd5 md5;             // the running state to continue when inOrder
    };

    // Reserves the upload for one part at `offset`, waiting up to `waitMs`
    // for a part still being received (a resent part may arrive while the
    // broken first copy is being wound up). A part that rewrites bytes
    // already hashed throws the running state away.
    Claim claim(const QString& token, qint64 offset, int waitMs = 0);
    // Ends the reservation; a stored in-order part advances the state.
    void release(const QString& token, bool stored, const Claim& claim, qint64 partEnd);
    bool busy(const QString& token) const;
    // Holds the upload against parts while it is being committed, waiting
    // up to `waitMs` for a part still arriving; false when that part stays.
    bool reserve(const QString& token, int waitMs);
    void unreserve(const QString& token);
    // The running state and how far it reaches (0 and a fresh MD5 if none).
    qint64 snapshot(const QString& token, KMd5* md5) const;
    void forget(const QString& token);

private:
    struct State
    {
        KMd5 md5;
        qint64 hashedUpTo = 0;
        bool busy = false;
    };

    mutable QMutex mutex;
    QWaitCondition released;
    QHash<QString, State> states;
};
