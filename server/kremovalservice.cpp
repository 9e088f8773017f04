#include "server/kremovalservice.h"

#include "server/kclock.h"
#include "server/knodeservice.h"
#include "server/knodestate.h"
#include "server/knodestore.h"
#include "server/kremovalreceipts.h"
#include "server/kremovalrequest.h"
#include "server/kserverpath.h"
#include "server/kspaceguard.h"
#include "server/kstorage.h"
#include "server/ktrashstore.h"

#include <QJsonObject>

namespace
{
QJsonObject outcomeJson(const KServerPath& path, qint64 entryId)
{
    return QJsonObject{{QStringLiteral("path"), path.full()},
                       {QStringLiteral("removed"), entryId != 0},
                       {QStringLiteral("entryid"), double(entryId)}};
}
}

KRemovalService::KRemovalService(const Parts& parts)
    : p(parts)
{
}

KReply KRemovalService::removeNodes(const KCallContext& call)
{
    QString error;
    const std::optional<KRemovalRequest> request
        = KRemovalRequest::parse(call.field(QStringLiteral("paths")), call.field(QStringLiteral("datahashes")), &error);
    if (!request)
        return KReply::fail(KCode::BadRequest, error);
    KReply refusal;
    const std::optional<QList<KServerPath>> paths = resolveAll(call.userId, request->paths, &refusal);
    return paths ? carryOut(call, *paths, request->expected) : refusal;
}

std::optional<QList<KServerPath>> KRemovalService::resolveAll(const QString& userId, const QStringList& texts, KReply* refusal)
{
    QList<KServerPath> paths;
    for (const QString& text : texts) {
        const std::optional<KServerPath> path = p.guard.resolve(userId, text, refusal);
        if (!path)
            return std::nullopt;
        if (path->isRoot()) {
            *refusal = KReply::fail(KCode::BadPath, QStringLiteral("the root of a space cannot be removed: ") + path->full());
            return std::nullopt;
        }
        paths.append(*path);
    }
    return paths;
}

KReply KRemovalService::carryOut(const KCallContext& call, const QList<KServerPath>& paths, const QStringList& expected)
{
    KReply reply = KReply::fail(KCode::Internal, QStringLiteral("the removal could not be recorded"));
    const bool committed = p.storage.write([&](QSqlDatabase& db) {
        reply = removeOnce(db, call, paths, expected);
        return reply.code == KCode::Ok;
    });
    if (!committed && reply.code == KCode::Ok)
        return KReply::fail(KCode::Internal, QStringLiteral("the removal could not be recorded"));
    return reply;
}

KReply KRemovalService::removeOnce(QSqlDatabase& db, const KCallContext& call, const QList<KServerPath>& paths,
                                   const QStringList& expected)
{
    const QString key = KRemovalReceipts::keyOf(call.userId, call.requestKey);
    if (const std::optional<QJsonArray> earlier = p.receipts.find(db, key))
        return KReply::ok(*earlier);
    const QJsonArray changed = changedNodes(paths, expected);
    if (!changed.isEmpty())
        return KReply::fail(KCode::Changed, QStringLiteral("changed since the caller saw it; nothing was removed"), changed);
    const std::optional<QJsonArray> done = moveAll(db, call.userId, paths);
    if (!done || !p.receipts.record(db, key, call.userId, p.clock.nowMilliseconds(), *done))
        return KReply::fail(KCode::Internal, QStringLiteral("the removal could not be recorded"));
    return KReply::ok(*done);
}

// The current nodes of the paths that are no longer what the caller expects;
// a path that is gone already is fine.
QJsonArray KRemovalService::changedNodes(const QList<KServerPath>& paths, const QStringList& expected)
{
    QJsonArray changed;
    for (int i = 0; i < paths.size(); ++i) {
        const std::optional<KNodeRecord> node = expected.at(i).isEmpty() ? std::nullopt
                                                                          : p.nodes.find(paths.at(i).spaceId, paths.at(i).relative);
        if (!node)
            continue;
        const QList<KNodeRecord> below = node->isFile ? QList<KNodeRecord>()
                                                      : p.nodes.descendants(node->spaceId, node->relative, 1 << 20);
        if (KNodeState::of(*node, below) != expected.at(i))
            changed.append(KNodeService::nodeJson(*node));
    }
    return changed;
}

std::optional<QJsonArray> KRemovalService::moveAll(QSqlDatabase& db, const QString& userId, const QList<KServerPath>& paths)
{
    QJsonArray outcomes;
    for (const KServerPath& path : paths) {
        const std::optional<KNodeRecord> node = p.nodes.find(path.spaceId, path.relative);
        const qint64 entryId = node ? p.trash.moveIn(db, *node, userId, p.clock.nowMilliseconds()) : 0;
        if (node && entryId == 0)
            return std::nullopt;
        outcomes.append(outcomeJson(path, entryId));
    }
    return outcomes;
}
