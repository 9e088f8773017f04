#pragma once

#include "server/kcallcontext.h"
#include "server/kenvelope.h"

#include <QJsonArray>
#include <QList>
#include <QSqlDatabase>

#include <optional>

class KClock;
class KNodeStore;
class KRemovalReceipts;
class KSpaceGuard;
class KStorage;
class KTrashStore;
struct KRemovalRequest;
struct KServerPath;

// The removal operation, kremovenodes: moves files and folders into the
// trash of their space. All or nothing: when one path is no longer what the
// caller expects, nothing is removed.
class KRemovalService
{
public:
    struct Parts
    {
        KStorage& storage;
        KNodeStore& nodes;
        KTrashStore& trash;
        KRemovalReceipts& receipts;
        KSpaceGuard& guard;
        const KClock& clock;
    };

    explicit KRemovalService(const Parts& parts);

    KReply removeNodes(const KCallContext& call);

private:
    std::optional<QList<KServerPath>> resolveAll(const QString& userId, const QStringList& texts, KReply* refusal);
    KReply carryOut(const KCallContext& call, const QList<KServerPath>& paths, const QStringList& expected);
    KReply removeOnce(QSqlDatabase& db, const KCallContext& call, const QList<KServerPath>& paths,
                      const QStringList& expected);
    QJsonArray changedNodes(const QList<KServerPath>& paths, const QStringList& expected);
    std::optional<QJsonArray> moveAll(QSqlDatabase& db, const QString& userId, const QList<KServerPath>& paths);

    Parts p;
};
