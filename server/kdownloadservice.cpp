#include "server/kdownloadservice.h"

#include "server/kclock.h"
#include "server/kconnectiondrop.h"
#include "server/kcontentstore.h"
#include "server/kfaultinjector.h"
#include "server/khttpexchange.h"
#include "server/knodestore.h"
#include "server/krange.h"
#include "server/krequeststats.h"
#include "server/kshutdown.h"
#include "server/kspaceguard.h"
#include "server/kurlsigner.h"

#include <httplib.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{
constexpr qint64 MinExpirySeconds = 60;
constexpr qint64 MaxExpirySeconds = 7 * 86400;

qint64 expirySeconds(const QString& text)
{
    bool ok = false;
    const qint64 asked = text.toLongLong(&ok);
    return ok ? qBound(MinExpirySeconds, asked, MaxExpirySeconds) : KDownloadService::DefaultExpirySeconds;
}

// The version asked for by hash, else the current one.
const KVersionRecord& pickVersion(const KNodeRecord& node, const QString& hash)
{
    for (const KVersionRecord& version : node.versions) {
        if (!hash.isEmpty() && version.dataHash == hash)
            return version;
    }
    return node.versions.first();
}

QJsonObject withCode(QJsonObject& entry, int code)
{
    entry.insert(QStringLiteral("code"), code);
    return entry;
}

// An open content file and its read buffer, released when the response is
// done with them.
struct KOpenFile
{
    int fd = -1;
    QByteArray buffer{int(KDownloadService::ReadChunk), Qt::Uninitialized};
    ~KOpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};
}

KDownloadService::KDownloadService(const Parts& parts)
    : p(parts)
{
}

KReply KDownloadService::askDownload(const KCallContext& call)
{
    KReply refusal;
    const std::optional<KServerPath> path = p.guard.resolve(call.userId, call.field(QStringLiteral("filepath")), &refusal);
    if (!path)
        return refusal;
    const std::optional<KNodeRecord> node = p.nodes.find(path->spaceId, path->relative);
    if (!node || !node->isFile || node->versions.isEmpty())
        return KReply::fail(KCode::NotFound, QStringLiteral("no such file: ") + path->full());
    const KVersionRecord& version = pickVersion(*node, call.field(QStringLiteral("datahash")).toLower());
    const qint64 expires = p.clock.linkNowSeconds() + expirySeconds(call.field(QStringLiteral("expiredsecond")));
    const QString subject = version.dataHash + QLatin1Char('-') + QString::number(version.dataSize);
    const QString name = call.field(QStringLiteral("downfilename"));
    return KReply::ok(QJsonObject{{QStringLiteral("datahash"), version.dataHash},
                                  {QStringLiteral("downname"), name.isEmpty() ? path->name() : name},
                                  {QStringLiteral("datasrv"), QStringLiteral("local")},
                                  {QStringLiteral("datasize"), QString::number(version.dataSize)},
                                  {QStringLiteral("url"), downloadUrl(call.baseUrl, subject, expires)},
                                  {QStringLiteral("expiredtime"), QString::number(expires)}});
}

KReply KDownloadService::batchDownload(const KCallContext& call)
{
    const QJsonArray asked = QJsonDocument::fromJson(call.field(QStringLiteral("files")).toUtf8()).array();
    if (asked.isEmpty() || asked.size() > BatchMaxFiles)
        return KReply::fail(KCode::BadRequest, QStringLiteral("files: a list of 1 to %1 entries").arg(BatchMaxFiles));
    QJsonArray answered;
    qint64 answeredBytes = 0;
    for (const QJsonValue& entry : asked)
        answered.append(batchEntry(call, entry.toObject(), answeredBytes));
    return KReply::ok(QJsonObject{{QStringLiteral("files"), answered}});
}

// One file of a batch: its bytes, or the code kaskdownload would have
// failed with; a file too big for the batch is left to kaskdownload.
QJsonObject KDownloadService::batchEntry(const KCallContext& call, const QJsonObject& asked, qint64& answeredBytes) const
{
    const QString filepath = asked.value(QStringLiteral("filepath")).toString();
    QJsonObject entry{{QStringLiteral("filepath"), filepath}};
    KReply refusal;
    const std::optional<KServerPath> path = p.guard.resolve(call.userId, filepath, &refusal);
    if (!path)
        return withCode(entry, refusal.code);
    const std::optional<KNodeRecord> node = p.nodes.find(path->spaceId, path->relative);
    if (!node || !node->isFile || node->versions.isEmpty())
        return withCode(entry, KCode::NotFound);
    const KVersionRecord& version = pickVersion(*node, asked.value(QStringLiteral("datahash")).toString().toLower());
    if (version.dataSize > BatchMaxFileBytes || answeredBytes + version.dataSize > BatchMaxBytes)
        return withCode(entry, KCode::TooLarge);
    QFile content(p.content.contentPath(version.dataHash, version.dataSize));
    const QByteArray bytes = content.open(QIODevice::ReadOnly) ? content.readAll() : QByteArray();
    if (bytes.size() != version.dataSize)
        return withCode(entry, KCode::NotFound);
    answeredBytes += bytes.size();
    withCode(entry, KCode::Ok);
    entry.insert(QStringLiteral("datahash"), version.dataHash);
    entry.insert(QStringLiteral("datasize"), QString::number(version.dataSize));
    entry.insert(QStringLiteral("content"), QString::fromLatin1(bytes.toBase64()));
    return entry;
}

QString KDownloadService::downloadUrl(const QString& baseUrl, const QString& subject, qint64 expires) const
{
    return QStringLiteral("%1/download/%2?expires=%3&sig=%4")
        .arg(baseUrl, subject)
        .arg(expires)
        .arg(p.signer.sign(QStringLiteral("download"), subject, expires));
}

bool KDownloadService::linkValid(const httplib::Request& request, const QString& subject) const
{
    const qint64 expires = QString::fromStdString(request.get_param_value("expires")).toLongLong();
    const QString signature = QString::fromStdString(request.get_param_value("sig"));
    return p.signer.verify(QStringLiteral("download"), subject, expires, signature)
           && expires >= p.clock.linkNowSeconds();
}

void KDownloadService::serve(const httplib::Request& request, httplib::Response& response)
{
    p.stats.add(QStringLiteral("download"));
    // The library would apply the Range header a second time on top of ours.
    const_cast<httplib::Request&>(request).ranges.clear();
    const QString md5 = QString::fromStdString(request.matches[1]);
    const qint64 size = QString::fromStdString(request.matches[2]).toLongLong();
    if (!linkValid(request, md5 + QLatin1Char('-') + QString::number(size)))
        return KHttpExchange::sendReply(response, KReply::fail(KCode::LinkRefused, QStringLiteral("the download address is expired or forged")), 403);
    const QString path = p.content.contentPath(md5, size);
    if (!p.content.hasContent(md5, size))
        return KHttpExchange::sendReply(response, KReply::fail(KCode::NotFound, QStringLiteral("the content is gone")), 404);
    stream(request, response, path, size);
}

void KDownloadService::stream(const httplib::Request& request, httplib::Response& response, const QString& path,
                              qint64 size)
{
    const std::optional<KFaultRule> fault = p.faults.take(QStringLiteral("download"));
    if (fault)
        KHttpExchange::delayFor(*fault, p.shutdown);
    if (fault && KHttpExchange::answerFault(*fault, request, response))
        return;
    // A GET changes nothing: losing its answer is cutting before the first byte.
    if (fault && fault->losesAnswer()) {
        KConnectionDrop::drop(request);
        return;
    }
    const bool ignoreRange = fault && fault->action == QLatin1String("full200");
    const KByteRange range = KRange::resolve(ignoreRange ? QString() : KHttpExchange::header(request, "Range"), size);
    response.status = range.status();
    response.set_header("Accept-Ranges", "bytes");
    if (range.kind != KByteRange::Whole)
        response.set_header("Content-Range", range.contentRange().toStdString());
    auto file = std::make_shared<KOpenFile>();
    file->fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (range.kind == KByteRange::Unsatisfiable || file->fd < 0)
        return;
    const qint64 dropAfter = fault && fault->action == QLatin1String("drop") ? fault->afterBytes : -1;
    KRequestStats& stats = p.stats;
    const KShutdown& shutdown = p.shutdown;
    response.set_content_provider(
        size_t(range.length), "application/octet-stream",
        [file, range, dropAfter, &stats, &shutdown](size_t offset, size_t length, httplib::DataSink& sink) {
            const qint64 want = dropAfter >= 0 ? qMin<qint64>(qint64(length), qMin(ReadChunk, dropAfter - qint64(offset)))
                                               : qMin<qint64>(qint64(length), ReadChunk);
            // Ending the provider closes the connection after the bytes
            // already sent, so the client sees a short body, not a reset. A
            // stopping server does not wait for a slow reader.
            if (want <= 0 || shutdown.requested())
                return false;
            const ssize_t n = ::pread(file->fd, file->buffer.data(), size_t(want), range.start + qint64(offset));
            stats.add(QStringLiteral("downloadBytes"), n > 0 ? n : 0);
            return n > 0 && sink.write(file->buffer.constData(), size_t(n));
        });
}
