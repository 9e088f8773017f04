#include "server/kuploadservice.h"

#include "server/kclock.h"
#include "server/kcontentstore.h"
#include "app/kmd5.h"
#include "server/knodeservice.h"
#include "server/knodestore.h"
#include "server/kpassword.h"
#include "server/kserverconfig.h"
#include "server/kshutdown.h"
#include "server/kspaceguard.h"
#include "server/kstorage.h"
#include "server/kuploadclaims.h"
#include "server/kuploaddigests.h"
#include "server/kurlsigner.h"

#include <QFile>
#include <QJsonArray>

namespace
{
constexpr qint64 MinExpirySeconds = 60;
constexpr qint64 MaxExpirySeconds = 7 * 86400;
constexpr qint64 SweepEverySeconds = 600;

bool flagOn(const QString& value)
{
    return value.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

// A decimal field; `fallback` when empty, -1 when not a number.
qint64 number(const QString& text, qint64 fallback)
{
    if (text.isEmpty())
        return fallback;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? value : -1;
}

qint64 expirySeconds(const QString& text)
{
    const qint64 asked = number(text, 86400);
    return asked < 0 ? 86400 : qBound(MinExpirySeconds, asked, MaxExpirySeconds);
}

// Releases a commit's hold on its upload on every way out.
class KReservation
{
public:
    KReservation(KUploadClaims& claims, const QString& token)
        : claims(claims)
        , token(token)
    {
    }
    ~KReservation() { claims.unreserve(token); }

private:
    KUploadClaims& claims;
    QString token;
};

// Hashes `length` bytes of a file from `offset` on into `md5`; false when
// the file cannot be read or the server stops meanwhile.
bool hashFileRange(const QString& path, qint64 offset, qint64 length, KMd5& md5, const KShutdown& shutdown)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return false;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    while (length > 0 && !shutdown.requested()) {
        const qint64 n = file.read(buffer.data(), qMin<qint64>(length, buffer.size()));
        if (n <= 0)
            return false;
        md5.add(buffer.constData(), n);
        length -= n;
    }
    return length == 0;
}
}

KUploadService::KUploadService(const Parts& parts)
    : p(parts)
{
}

QString KUploadService::partSubject(const QString& token, int partNumber)
{
    return token + QLatin1Char('/') + QString::number(partNumber);
}

QJsonObject KUploadService::ticketJson(const KUploadSession& session, const QString& method, const QString& url,
                                       const QString& partNumber)
{
    return QJsonObject{{QStringLiteral("uptoken"), session.token},
                       {QStringLiteral("upmethod"), method},
                       {QStringLiteral("httpurl"), url},
                       {QStringLiteral("httpheaders"), QJsonObject()},
                       {QStringLiteral("httpmultiforms"), QJsonObject()},
                       {QStringLiteral("partnumber"), partNumber},
                       {QStringLiteral("partminsize"), QString::number(session.chunkSize)},
                       {QStringLiteral("partmaxsize"), QString::number(session.chunkSize)},
                       {QStringLiteral("datasrv"), QStringLiteral("local")},
                       {QStringLiteral("expiredtime"), QString::number(session.expires)}};
}

std::optional<KReply> KUploadService::checkTarget(const KServerPath& path, bool createFile, bool createVersion)
{
    if (path.isRoot())
        return KReply::fail(KCode::BadPath, QStringLiteral("a space root is not a file"));
    const std::optional<KNodeRecord> node = p.nodes.find(path.spaceId, path.relative);
    if (node && !node->isFile)
        return KReply::fail(KCode::Conflict, QStringLiteral("a folder has this path: ") + path.full());
    if (node && !createVersion)
        return KReply::fail(KCode::Conflict, QStringLiteral("the file exists and iscreateversion is false"));
    if (!node && !createFile)
        return KReply::fail(KCode::NotFound, QStringLiteral("the file does not exist and iscreatefile is false"));
    return std::nullopt;
}

QString KUploadService::sizeProblem(qint64 fileSize, qint64 chunkSize)
{
    if (fileSize < 0 || fileSize > MaxFileSize)
        return QStringLiteral("filesize must be a number from 0 to %1").arg(MaxFileSize);
    if (chunkSize < 1 || chunkSize > MaxChunkSize)
        return QStringLiteral("chunksize must be a number from %1 to %2").arg(MinChunkSize).arg(MaxChunkSize);
    if (chunkSize < MinChunkSize && fileSize > chunkSize)
        return QStringLiteral("chunksize must be at least %1 for a file of more than one part").arg(MinChunkSize);
    if ((fileSize - 1) / chunkSize + 1 > MaxPartCount)
        return QStringLiteral("the file would need more than %1 parts: use a larger chunksize").arg(MaxPartCount);
    return QString();
}

// The announced file: MD5, size, chunk size and create flags; nullopt with
// `why` set when a value cannot be used.
std::optional<KUploadSession> KUploadService::announced(const KCallContext& call, QString* why) const
{
    KUploadSession s;
    s.fileMd5 = call.field(QStringLiteral("filemd5")).toLower();
    s.fileSize = number(call.field(QStringLiteral("filesize")), -1);
    s.chunkSize = number(call.field(QStringLiteral("chunksize")), DefaultChunkSize);
    s.createFile = flagOn(call.field(QStringLiteral("iscreatefile")));
    s.createVersion = flagOn(call.field(QStringLiteral("iscreateversion")));
    *why = KContentStore::isHexMd5(s.fileMd5) ? sizeProblem(s.fileSize, s.chunkSize)
                                              : QStringLiteral("filemd5 must be 32 hex digits");
    return why->isEmpty() ? std::optional<KUploadSession>(s) : std::nullopt;
}

KReply KUploadService::askUpload(const KCallContext& call)
{
    maybeSweep();
    KReply refusal;
    const std::optional<KServerPath> path = p.guard.resolve(call.userId, call.field(QStringLiteral("filepath")), &refusal);
    if (!path)
        return refusal;
    QString why;
    std::optional<KUploadSession> s = announced(call, &why);
    if (!s)
        return KReply::fail(KCode::BadRequest, why);
    if (const std::optional<KReply> conflict = checkTarget(*path, s->createFile, s->createVersion))
        return *conflict;
    s->token = tokenFor(call);
    if (const std::optional<KUploadSession> earlier = earlierCopy(call, s->token))
        return sessionTicket(call, *earlier);
    s->userId = call.userId;
    s->spaceId = path->spaceId;
    s->relative = path->relative;
    s->created = p.clock.nowMilliseconds();
    s->expires = p.clock.linkNowSeconds() + expirySeconds(call.field(QStringLiteral("expiredsecond")));
    return startSession(call, *s);
}

// A request sent again because its answer was lost must not start a second
// upload: copies of one signed request share date and signature, so the
// token is derived from them (keyed, so nobody else can work it out).
QString KUploadService::tokenFor(const KCallContext& call) const
{
    if (call.requestKey.isEmpty())
        return randomToken();
    return p.signer.sign(QStringLiteral("uptoken"), call.requestKey, 0).left(32);
}

QString KUploadService::randomToken()
{
    return QString::fromLatin1(KPassword::randomBytes(16).toHex());
}

// The upload an earlier copy of this request started, while it can go on.
std::optional<KUploadSession> KUploadService::earlierCopy(const KCallContext& call, const QString& token)
{
    const std::optional<KUploadSession> earlier = p.uploads.find(token);
    const bool goesOn = earlier && earlier->userId == call.userId
                        && (earlier->state == QLatin1String("open") || earlier->state == QLatin1String("hit"))
                        && earlier->expires >= p.clock.linkNowSeconds();
    return goesOn ? earlier : std::nullopt;
}

// Records the upload; a content already stored makes it an instant hit.
KReply KUploadService::startSession(const KCallContext& call, KUploadSession& s)
{
    // The same request again after its upload ended starts a new one.
    if (p.uploads.find(s.token))
        s.token = randomToken();
    const bool hit = p.content.hasContent(s.fileMd5, s.fileSize);
    s.state = hit ? QStringLiteral("hit") : QStringLiteral("open");
    if ((!hit && !p.content.createSession(s.token, s.fileSize)) || !p.uploads.create(s)) {
        // A copy received at the same moment may have recorded it first.
        if (const std::optional<KUploadSession> twin = earlierCopy(call, s.token))
            return sessionTicket(call, *twin);
        return KReply::fail(KCode::Internal, QStringLiteral("the upload could not be started"));
    }
    return sessionTicket(call, s);
}

KReply KUploadService::sessionTicket(const KCallContext& call, const KUploadSession& s) const
{
    const bool hit = s.state == QLatin1String("hit");
    const QString method = hit ? QStringLiteral("HIT") : p.settings.uploadMethod();
    const QString url = hit || s.partCount() == 0 ? QString() : partUrl(call, s, 1);
    return KReply::ok(ticketJson(s, method, url, QString::number(s.partCount())));
}

std::optional<KUploadSession> KUploadService::ownSession(const KCallContext& call, KReply* refusal, bool allowDone)
{
    const std::optional<KUploadSession> session = p.uploads.find(call.field(QStringLiteral("uptoken")));
    const bool usable = session && session->userId == call.userId
                        && (session->state == QLatin1String("open") || session->state == QLatin1String("hit")
                            || (allowDone && session->state == QLatin1String("done")));
    if (!usable) {
        *refusal = KReply::fail(KCode::UploadUnknown, QStringLiteral("unknown or finished upload token"), QJsonArray());
        return std::nullopt;
    }
    if (session->state != QLatin1String("done") && session->expires < p.clock.linkNowSeconds()) {
        *refusal = KReply::fail(KCode::UploadUnknown, QStringLiteral("the upload has expired"), QJsonArray());
        return std::nullopt;
    }
    return session;
}

KReply KUploadService::queryUploaded(const KCallContext& call)
{
    KReply refusal;
    const std::optional<KUploadSession> session = ownSession(call, &refusal);
    if (!session)
        return refusal;
    return KReply::ok(partsJson(*session));
}

QJsonArray KUploadService::partsJson(const KUploadSession& session)
{
    QJsonArray list;
    for (const KStoredPart& part : p.uploads.parts(session.token)) {
        const QString md5 = part.md5.isEmpty() ? partMd5(session, part.number) : part.md5;
        list.append(QJsonObject{{QStringLiteral("uptoken"), session.token},
                                {QStringLiteral("partmd5"), md5},
                                {QStringLiteral("partnumber"), part.number},
                                {QStringLiteral("partsize"), double(part.size)}});
    }
    return list;
}

// Part MD5s are worked out when first asked for, not while receiving, so an
// upload's bytes are hashed only once in the common case.
QString KUploadService::partMd5(const KUploadSession& session, int number)
{
    KMd5 md5;
    if (!hashFileRange(p.content.sessionPath(session.token), session.partOffset(number), session.partSize(number), md5, p.shutdown))
        return QString();
    const QString hex = md5.hex();
    p.uploads.setPartMd5(session.token, number, hex);
    return hex;
}

KReply KUploadService::exchangeUpload(const KCallContext& call)
{
    KReply refusal;
    const std::optional<KUploadSession> session = ownSession(call, &refusal);
    if (!session)
        return refusal;
    const qint64 part = number(call.field(QStringLiteral("partnumber")), -1);
    if (session->state != QLatin1String("open") || part < 1 || part > session->partCount())
        return KReply::fail(KCode::BadRequest, QStringLiteral("no such part in this upload"));
    const QString url = partUrl(call, *session, int(part));
    return KReply::ok(ticketJson(*session, p.settings.uploadMethod(), url, QString::number(part)));
}

QString KUploadService::partUrl(const KCallContext& call, const KUploadSession& session, int partNumber) const
{
    const qint64 expires = qMin(session.expires, p.clock.linkNowSeconds() + PartLinkSeconds);
    const QString subject = partSubject(session.token, partNumber);
    return QStringLiteral("%1/upload/%2?expires=%3&sig=%4")
        .arg(call.baseUrl, subject)
        .arg(expires)
        .arg(p.signer.sign(QStringLiteral("part"), subject, expires));
}

KReply KUploadService::submitUpload(const KCallContext& call)
{
    KReply refusal;
    const std::optional<KUploadSession> session = ownSession(call, &refusal, true);
    if (!session)
        return refusal;
    if (call.field(QStringLiteral("filepath")) != KServerPath::join(session->spaceId, session->relative))
        return KReply::fail(KCode::BadRequest, QStringLiteral("filepath differs from the path of the upload"));
    if (session->state == QLatin1String("done"))
        return commitVersion(call, *session);
    // No part may write into the data file while it is checked and moved.
    if (!p.claims.reserve(session->token, CommitWaitMs))
        return KReply::fail(KCode::Busy, QStringLiteral("a part of this upload is still arriving"));
    const KReservation reservation(p.claims, session->token);
    return commitReserved(call);
}

// Read again under the reservation: a copy of this commit sent twice may have
// finished while this one waited.
KReply KUploadService::commitReserved(const KCallContext& call)
{
    KReply refusal;
    const std::optional<KUploadSession> session = ownSession(call, &refusal, true);
    if (!session)
        return refusal;
    if (session->state != QLatin1String("done")) {
        if (const std::optional<KReply> failure = checkParts(*session))
            return *failure;
        if (const std::optional<KReply> failure = verifyContent(*session))
            return *failure;
    }
    return commitVersion(call, *session);
}

// Every part there with its size, so the parts add up to the file: the
// commit then reads no more than what arrived.
std::optional<KReply> KUploadService::checkParts(const KUploadSession& session)
{
    if (session.state == QLatin1String("hit"))
        return std::nullopt;
    QStringList problems; // the first few, for the answer
    const auto note = [&problems](const QString& text) {
        if (problems.size() < 10)
            problems.append(text);
    };
    const auto gap = [&note](qint64 from, qint64 to) {
        if (from < to)
            note(to - from == 1 ? QStringLiteral("part %1 missing").arg(from) : QStringLiteral("parts %1 to %2 missing").arg(from).arg(to - 1));
    };
    qint64 next = 1;
    qint64 arrived = 0;
    for (const KStoredPart& part : p.uploads.parts(session.token)) {
        gap(next, part.number);
        if (part.size != session.partSize(part.number))
            note(QStringLiteral("part %1 has %2 bytes, expected %3").arg(part.number).arg(part.size).arg(session.partSize(part.number)));
        arrived += part.size;
        next = part.number + 1;
    }
    gap(next, session.partCount() + 1);
    if (problems.isEmpty() && arrived == session.fileSize)
        return std::nullopt;
    if (problems.isEmpty())
        problems.append(QStringLiteral("the parts hold %1 bytes, not %2").arg(arrived).arg(session.fileSize));
    const QString text = QStringLiteral("upload incomplete: ") + problems.join(QStringLiteral(", "));
    return KReply::fail(KCode::UploadIncomplete, text, text);
}

std::optional<KReply> KUploadService::verifyContent(const KUploadSession& session)
{
    const QString dataFile = p.content.sessionPath(session.token);
    const bool alreadyAdopted = !QFile::exists(dataFile) && p.content.hasContent(session.fileMd5, session.fileSize);
    if (session.state == QLatin1String("hit") || alreadyAdopted)
        return std::nullopt;
    KMd5 md5;
    const qint64 hashed = p.digests.take(session.token, &md5);
    const bool read = hashFileRange(dataFile, hashed, session.fileSize - hashed, md5, p.shutdown);
    if (read && md5.hex() == session.fileMd5 && p.content.adoptSession(session.token, session.fileMd5, session.fileSize)) {
        p.digests.forget(session.token);
        return std::nullopt;
    }
    // A stop is no fault of the upload: it stays, to be committed again.
    if (!read && p.shutdown.requested())
        return KReply::fail(KCode::Internal, QStringLiteral("the server is stopping"));
    // A wrong MD5 cannot be repaired by sending parts again: the upload is
    // dropped, so the client's next part query starts it afresh.
    p.uploads.setState(session.token, QStringLiteral("failed"));
    p.content.removeSession(session.token);
    p.digests.forget(session.token);
    const QString text = read ? QStringLiteral("the uploaded content does not have the announced MD5")
                              : QStringLiteral("the uploaded data could not be read");
    return KReply::fail(read ? KCode::ChecksumMismatch : KCode::Internal, text, text);
}

KReply KUploadService::commitVersion(const KCallContext& call, const KUploadSession& session)
{
    const QString createFile = call.field(QStringLiteral("iscreatefile"));
    const QString createVersion = call.field(QStringLiteral("iscreateversion"));
    const KVersionRecord version{0, session.fileMd5, session.fileSize, call.userId, p.clock.nowMilliseconds()};
    KNodeStore::Outcome outcome = KNodeStore::Outcome::Done;
    if (session.state != QLatin1String("done")) {
        p.storage.write([&](QSqlDatabase& db) {
            outcome = p.nodes.addVersion(db, session.spaceId, session.relative, version,
                                         createFile.isEmpty() ? session.createFile : flagOn(createFile),
                                         createVersion.isEmpty() ? session.createVersion : flagOn(createVersion));
            return outcome == KNodeStore::Outcome::Done && p.uploads.setState(db, session.token, QStringLiteral("done"))
                   && p.uploads.removeParts(db, session.token);
        });
    }
    const std::optional<KNodeRecord> node = p.nodes.find(session.spaceId, session.relative);
    if (outcome == KNodeStore::Outcome::Conflict)
        return KReply::fail(KCode::Conflict, QStringLiteral("a folder or an existing file is in the way"));
    if (outcome == KNodeStore::Outcome::NotFound)
        return KReply::fail(KCode::NotFound, QStringLiteral("the file does not exist and iscreatefile is false"));
    if (outcome != KNodeStore::Outcome::Done || !node)
        return KReply::fail(KCode::Internal, QStringLiteral("the file could not be recorded"));
    return KReply::ok(KNodeService::nodeJson(*node));
}

void KUploadService::maybeSweep()
{
    const qint64 now = p.clock.nowSeconds();
    qint64 last = lastSweep.load();
    if (now - last >= SweepEverySeconds && lastSweep.compare_exchange_strong(last, now))
        sweepExpired();
}

void KUploadService::sweepExpired()
{
    for (const QString& token : p.uploads.expiredOpen(p.clock.linkNowSeconds())) {
        if (p.claims.busy(token))
            continue;
        p.uploads.setState(token, QStringLiteral("expired"));
        p.content.removeSession(token);
        p.digests.forget(token);
    }
}
