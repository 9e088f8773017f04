#include "server/knodeservice.h"

#include "server/kclock.h"
#include "server/knodestore.h"
#include "server/kspaceguard.h"
#include "server/kstorage.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace
{
QJsonObject versionJson(const KVersionRecord& version)
{
    return QJsonObject{{QStringLiteral("datahash"), version.dataHash},
                       {QStringLiteral("datasize"), double(version.dataSize)},
                       {QStringLiteral("vuser"), version.vuser},
                       {QStringLiteral("vtime"), double(version.vtime)},
                       {QStringLiteral("version"), double(version.version)}};
}

// A field that is "false" switches a listing kind off; absent means on.
bool flagOn(const KCallContext& call, const QString& name)
{
    return call.field(name).compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

std::optional<QStringList> pathList(const QString& text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isArray())
        return std::nullopt;
    QStringList paths;
    for (const QJsonValue& value : doc.array()) {
        if (!value.isString())
            return std::nullopt;
        paths.append(value.toString());
    }
    return paths;
}
}

KNodeService::KNodeService(KStorage& storage, KNodeStore& nodes, KSpaceGuard& guard, const KClock& clock)
    : storage(storage)
    , nodes(nodes)
    , guard(guard)
    , clock(clock)
{
}

QJsonObject KNodeService::nodeJson(const KNodeRecord& node)
{
    QJsonArray versions;
    for (const KVersionRecord& version : node.versions)
        versions.append(versionJson(version));
    return QJsonObject{{QStringLiteral("path"), KServerPath::join(node.spaceId, node.relative)},
                       {QStringLiteral("showpath"), QLatin1Char('/') + node.relative},
                       {QStringLiteral("cuser"), node.cuser},
                       {QStringLiteral("isfile"), node.isFile},
                       {QStringLiteral("ctime"), double(node.ctime)},
                       {QStringLiteral("cnum"), double(node.versions.size())},
                       {QStringLiteral("versions"), versions}};
}

KReply KNodeService::getNodes(const KCallContext& call)
{
    const std::optional<QStringList> paths = pathList(call.field(QStringLiteral("paths")));
    if (!paths || paths->size() > MaxPaths)
        return KReply::fail(KCode::BadRequest, QStringLiteral("paths must be a JSON array of at most 1000 texts"));
    QJsonArray found;
    for (const QString& text : *paths) {
        KReply refusal;
        const std::optional<KServerPath> path = guard.resolve(call.userId, text, &refusal);
        if (!path)
            return refusal;
        if (const std::optional<KNodeRecord> node = nodes.find(path->spaceId, path->relative))
            found.append(nodeJson(*node));
    }
    return KReply::ok(found);
}

KReply KNodeService::listDir(const KCallContext& call)
{
    KReply refusal;
    const std::optional<KServerPath> dir = guard.resolve(call.userId, call.field(QStringLiteral("dirpath")), &refusal);
    if (!dir)
        return refusal;
    const QString depthText = call.field(QStringLiteral("depth"));
    const int depth = depthText.isEmpty() ? 1 : depthText.toInt();
    if (depth < 1 || depth > MaxDepth)
        return KReply::fail(KCode::BadRequest, QStringLiteral("depth must be 1 to 64"), QJsonArray());
    const std::optional<KNodeRecord> folder = nodes.find(dir->spaceId, dir->relative);
    if (!folder || folder->isFile)
        return KReply::fail(KCode::NotFound, QStringLiteral("no such folder: ") + dir->full(), QJsonArray());
    const bool files = flagOn(call, QStringLiteral("hasfile"));
    const bool folders = flagOn(call, QStringLiteral("hasdir"));
    QJsonArray children;
    for (const KNodeRecord& node : nodes.descendants(dir->spaceId, dir->relative, depth)) {
        if (node.isFile ? files : folders)
            children.append(nodeJson(node));
    }
    return KReply::ok(children);
}

KReply KNodeService::makeDirs(const KCallContext& call)
{
    KReply refusal;
    const std::optional<KServerPath> dir = guard.resolve(call.userId, call.field(QStringLiteral("dirpath")), &refusal);
    if (!dir)
        return refusal;
    KNodeStore::Outcome outcome = KNodeStore::Outcome::Failed;
    storage.write([&](QSqlDatabase& db) {
        outcome = nodes.makeFolders(db, dir->spaceId, dir->relative, call.userId, clock.nowMilliseconds());
        return outcome == KNodeStore::Outcome::Done;
    });
    if (outcome == KNodeStore::Outcome::Conflict)
        return KReply::fail(KCode::Conflict, QStringLiteral("a file is in the way of ") + dir->full());
    const std::optional<KNodeRecord> folder = nodes.find(dir->spaceId, dir->relative);
    if (outcome != KNodeStore::Outcome::Done || !folder)
        return KReply::fail(KCode::Internal, QStringLiteral("the folders could not be created"));
    return KReply::ok(nodeJson(*folder));
}
