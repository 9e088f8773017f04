#include "server/kadminservice.h"

#include "server/kaccountservice.h"
#include "server/kclock.h"
#include "server/kcontentstore.h"
#include "server/kfaultinjector.h"
#include "server/khttpexchange.h"
#include "app/kmd5.h"
#include "server/knodeservice.h"
#include "server/knodestore.h"
#include "server/kpartwriter.h"
#include "server/krequeststats.h"
#include "server/kserverconfig.h"
#include "server/kserverpath.h"
#include "server/ksignature.h"
#include "server/kstorage.h"
#include "server/ktrashstore.h"

#include <httplib.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{
KReply bad(const QString& why)
{
    return KReply::fail(KCode::BadRequest, why);
}

QString param(const httplib::Request& request, const char* name)
{
    return QString::fromUtf8(QByteArray::fromStdString(request.get_param_value(name)));
}

// A space and a relative path given as admin parameters, checked like any
// client path.
KServerPath adminPath(const QString& spaceId, const QString& relative)
{
    return KServerPath::parse(KServerPath::join(spaceId, relative));
}

QJsonObject trashEntryJson(const KTrashEntry& entry)
{
    QJsonArray nodes;
    for (const KNodeRecord& node : entry.nodes)
        nodes.append(KNodeService::nodeJson(node));
    return QJsonObject{{QStringLiteral("entryid"), double(entry.id)},
                       {QStringLiteral("path"), KServerPath::join(entry.spaceId, entry.relative)},
                       {QStringLiteral("isfile"), entry.isFile},
                       {QStringLiteral("ruser"), entry.removedBy},
                       {QStringLiteral("rtime"), double(entry.removedAt)},
                       {QStringLiteral("expires"), double(entry.removedAt + KTrashStore::KeepMilliseconds)},
                       {QStringLiteral("nodes"), nodes}};
}
}

KAdminService::KAdminService(const Parts& parts, const QString& token)
    : p(parts)
    , token(token)
{
}

bool KAdminService::admit(const httplib::Request& request, httplib::Response& response) const
{
    if (!enabled()) {
        response.status = 404;
        return false;
    }
    const QByteArray given = KHttpExchange::header(request, "X-Admin-Token").toUtf8();
    if (!KSignature::constantTimeEquals(given, token.toUtf8())) {
        KHttpExchange::sendReply(response, KReply::fail(KCode::Forbidden, QStringLiteral("admin token required")), 403);
        return false;
    }
    return true;
}

KReply KAdminService::post(const QString& path, const QByteArray& body)
{
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    if (path == QLatin1String("/_admin/fault"))
        return addFault(json);
    if (path == QLatin1String("/_admin/reset")) {
        p.faults.clear();
        p.stats.reset();
        return KReply::ok(QJsonValue(true));
    }
    if (path == QLatin1String("/_admin/settings"))
        return applySettings(json);
    if (path == QLatin1String("/_admin/users"))
        return addUser(json);
    if (path == QLatin1String("/_admin/spaces"))
        return addSpace(json);
    if (path == QLatin1String("/_admin/mkdir"))
        return makeFolder(json);
    return KReply::fail(KCode::UnknownOperation, QStringLiteral("unknown admin endpoint"));
}

void KAdminService::get(const httplib::Request& request, httplib::Response& response)
{
    const QString path = QString::fromStdString(request.path);
    if (path == QLatin1String("/_admin/stats"))
        return KHttpExchange::sendReply(response, KReply::ok(p.stats.snapshot()));
    if (path == QLatin1String("/_admin/faults"))
        return KHttpExchange::sendReply(response, KReply::ok(p.faults.list()));
    if (path == QLatin1String("/_admin/tree"))
        return KHttpExchange::sendReply(response, tree(param(request, "space")));
    if (path == QLatin1String("/_admin/trash"))
        return KHttpExchange::sendReply(response, trash(param(request, "space")));
    if (path == QLatin1String("/_admin/file"))
        return sendFile(param(request, "space"), param(request, "path"), response);
    KHttpExchange::sendReply(response, KReply::fail(KCode::UnknownOperation, QStringLiteral("unknown admin endpoint")), 404);
}

KReply KAdminService::addFault(const QJsonObject& json)
{
    QString error;
    const std::optional<KFaultRule> rule = KFaultRule::fromJson(json, &error);
    if (!rule)
        return bad(error);
    return KReply::ok(QJsonObject{{QStringLiteral("id"), p.faults.add(*rule)}});
}

KReply KAdminService::applySettings(const QJsonObject& json)
{
    if (json.contains(QStringLiteral("uploadMethod"))
        && !p.settings.setUploadMethod(json.value(QStringLiteral("uploadMethod")).toString())) {
        return bad(QStringLiteral("uploadMethod is POST or PUT"));
    }
    if (json.contains(QStringLiteral("apiStyle")) && !p.settings.setApiStyle(json.value(QStringLiteral("apiStyle")).toString()))
        return bad(QStringLiteral("apiStyle is mixed, relative or absolute"));
    if (json.contains(QStringLiteral("redirect")))
        p.settings.setRedirect(json.value(QStringLiteral("redirect")).toString());
    if (json.contains(QStringLiteral("linkClockOffset")))
        p.clock.setLinkOffset(qint64(json.value(QStringLiteral("linkClockOffset")).toDouble()));
    if (json.contains(QStringLiteral("trashClockOffset")))
        p.clock.setTrashOffset(qint64(json.value(QStringLiteral("trashClockOffset")).toDouble()));
    return KReply::ok(QJsonObject{{QStringLiteral("uploadMethod"), p.settings.uploadMethod()},
                                  {QStringLiteral("redirect"), p.settings.redirect()},
                                  {QStringLiteral("apiStyle"), p.settings.apiStyle()}});
}

KReply KAdminService::addUser(const QJsonObject& json)
{
    const QString userId = json.value(QStringLiteral("userid")).toString();
    QString error;
    if (!p.accounts.addUser(userId, json.value(QStringLiteral("password")).toString(),
                            json.value(QStringLiteral("name")).toString(), &error)) {
        return bad(error);
    }
    return KReply::ok(QJsonObject{{QStringLiteral("personalspace"), KAccountService::personalSpaceId(userId)}});
}

KReply KAdminService::addSpace(const QJsonObject& json)
{
    QStringList members;
    for (const QJsonValue& member : json.value(QStringLiteral("members")).toArray())
        members.append(member.toString());
    const QString type = json.value(QStringLiteral("type")).toString(QStringLiteral("sharedspace"));
    QString error;
    if (!p.accounts.addSpace(json.value(QStringLiteral("spaceid")).toString(), json.value(QStringLiteral("name")).toString(),
                             type, members, &error)) {
        return bad(error);
    }
    return KReply::ok(QJsonValue(true));
}

KReply KAdminService::makeFolder(const QJsonObject& json)
{
    const KServerPath path = adminPath(json.value(QStringLiteral("space")).toString(), json.value(QStringLiteral("path")).toString());
    if (!path.valid)
        return KReply::fail(KCode::BadPath, path.error);
    KNodeStore::Outcome outcome = KNodeStore::Outcome::Failed;
    p.storage.write([&](QSqlDatabase& db) {
        outcome = p.nodes.makeFolders(db, path.spaceId, path.relative, QStringLiteral("admin"), p.clock.nowMilliseconds());
        return outcome == KNodeStore::Outcome::Done;
    });
    return outcome == KNodeStore::Outcome::Done ? KReply::ok(QJsonValue(true))
                                                : KReply::fail(KCode::Conflict, QStringLiteral("a file is in the way"));
}

KReply KAdminService::tree(const QString& spaceId)
{
    if (!KServerPath::isValidSpaceId(spaceId))
        return KReply::fail(KCode::BadPath, QStringLiteral("invalid space id"));
    QJsonArray folders;
    QJsonArray files;
    for (const KNodeRecord& node : p.nodes.descendants(spaceId, QString(), 100000)) {
        if (!node.isFile) {
            folders.append(node.relative);
            continue;
        }
        const KVersionRecord current = node.versions.value(0);
        files.append(QJsonObject{{QStringLiteral("path"), node.relative},
                                 {QStringLiteral("md5"), current.dataHash},
                                 {QStringLiteral("size"), double(current.dataSize)},
                                 {QStringLiteral("versions"), node.versions.size()}});
    }
    return KReply::ok(QJsonObject{{QStringLiteral("folders"), folders}, {QStringLiteral("files"), files}});
}

KReply KAdminService::trash(const QString& spaceId)
{
    if (!KServerPath::isValidSpaceId(spaceId))
        return KReply::fail(KCode::BadPath, QStringLiteral("invalid space id"));
    QJsonArray entries;
    for (const KTrashEntry& entry : p.trash.entries(spaceId))
        entries.append(trashEntryJson(entry));
    return KReply::ok(entries);
}

void KAdminService::sendFile(const QString& spaceId, const QString& relative, httplib::Response& response)
{
    const KServerPath path = adminPath(spaceId, relative);
    const std::optional<KNodeRecord> node = path.valid ? p.nodes.find(path.spaceId, path.relative) : std::nullopt;
    if (!node || !node->isFile || node->versions.isEmpty())
        return KHttpExchange::sendReply(response, KReply::fail(KCode::NotFound, QStringLiteral("no such file")), 404);
    const KVersionRecord version = node->versions.first();
    auto file = std::make_shared<QFile>(p.content.contentPath(version.dataHash, version.dataSize));
    if (!file->open(QIODevice::ReadOnly))
        return KHttpExchange::sendReply(response, KReply::fail(KCode::Internal, QStringLiteral("content missing")), 500);
    response.set_content_provider(size_t(version.dataSize), "application/octet-stream",
                                  [file](size_t offset, size_t length, httplib::DataSink& sink) {
                                      file->seek(qint64(offset));
                                      const QByteArray chunk = file->read(qMin<qint64>(qint64(length), 1 << 18));
                                      return !chunk.isEmpty() && sink.write(chunk.constData(), size_t(chunk.size()));
                                  });
}

void KAdminService::putFile(const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader& reader)
{
    const KServerPath path = adminPath(param(request, "space"), param(request, "path"));
    const QString temp = p.content.temporaryPath();
    KMd5 md5;
    KPartWriter writer(temp, 0, std::numeric_limits<qint64>::max(), &md5);
    const bool received = writer.open(true) && reader([&](const char* data, size_t size) { return writer.write(data, size); })
                          && writer.finish();
    if (!path.valid || path.isRoot() || !received || !p.content.adoptTemporary(temp, md5.hex(), writer.received())) {
        QFile::remove(temp);
        return KHttpExchange::sendReply(response, bad(QStringLiteral("the file could not be stored")));
    }
    const KVersionRecord version{0, md5.hex(), writer.received(), QStringLiteral("admin"), p.clock.nowMilliseconds()};
    KNodeStore::Outcome outcome = KNodeStore::Outcome::Failed;
    p.storage.write([&](QSqlDatabase& db) {
        outcome = p.nodes.addVersion(db, path.spaceId, path.relative, version, true, true);
        return outcome == KNodeStore::Outcome::Done;
    });
    const std::optional<KNodeRecord> node = p.nodes.find(path.spaceId, path.relative);
    if (outcome != KNodeStore::Outcome::Done || !node)
        return KHttpExchange::sendReply(response, KReply::fail(KCode::Conflict, QStringLiteral("a folder is in the way")));
    KHttpExchange::sendReply(response, KReply::ok(KNodeService::nodeJson(*node)));
}

void KAdminService::sink(httplib::Response& response, const httplib::ContentReader& reader)
{
    qint64 total = 0;
    const bool ok = reader([&](const char*, size_t size) {
        total += qint64(size);
        return true;
    });
    KHttpExchange::sendReply(response, ok ? KReply::ok(double(total)) : bad(QStringLiteral("the body broke off")));
}
