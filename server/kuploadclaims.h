#pragma once

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QWaitCondition>

// Who writes into an upload's data file right now. Parts with different
// numbers are received at the same time (they cover different bytes); one
// copy of a part number at a time, so two copies never write over each
// other; and no part at all while the upload is being committed.
class KUploadClaims
{
public:
    // Claims part `number` for writing, waiting up to `waitMs` for another
    // copy of it or a commit to finish (a resent part may arrive while the
    // broken first copy is being wound up); false when they stay.
    bool claimPart(const QString& token, int number, int waitMs);
    void releasePart(const QString& token, int number);
    // Holds the upload for a commit: new parts wait, and it waits up to
    // `waitMs` for the parts being received; false when they stay.
    bool reserve(const QString& token, int waitMs);
    void unreserve(const QString& token);
    // A part is being received or the upload is being committed.
    bool busy(const QString& token) const;

private:
    struct Holds
    {
        QSet<int> parts;
        bool committing = false;
    };

    void dropIfIdle(const QString& token);

    mutable QMutex mutex;
    QWaitCondition changed;
    QHash<QString, Holds> holds;
};
