#pragma once

#include "server/kcallcontext.h"
#include "server/kenvelope.h"
#include "server/kuploadstore.h"

#include <QJsonArray>
#include <QJsonObject>

#include <atomic>
#include <optional>

class KClock;
class KContentStore;
class KNodeStore;
class KRuntimeSettings;
class KShutdown;
class KSpaceGuard;
class KStorage;
class KUploadClaims;
class KUploadDigests;
class KUrlSigner;
struct KServerPath;

// The upload operations: kaskupload, kqueryuploaded, kexchangeupload and
// ksubmitupload. The part bodies themselves arrive at KPartIntake.
class KUploadService
{
public:
    static constexpr qint64 DefaultChunkSize = 5242880;
    // Smaller chunks only for a file that fits in one part.
    static constexpr qint64 MinChunkSize = 64 * 1024;
    static constexpr qint64 MaxChunkSize = 64 * 1024 * 1024;
    static constexpr qint64 MaxFileSize = qint64(1) << 40;
    // Enough for the largest file in 4 MiB chunks (so in the client's 5 MiB).
    static constexpr qint64 MaxPartCount = 262144;
    static constexpr qint64 PartLinkSeconds = 3600;
    static constexpr int CommitWaitMs = 5000;

    struct Parts
    {
        KStorage& storage;
        KNodeStore& nodes;
        KUploadStore& uploads;
        KContentStore& content;
        KUploadClaims& claims;
        KUploadDigests& digests;
        KSpaceGuard& guard;
        const KUrlSigner& signer;
        const KClock& clock;
        const KRuntimeSettings& settings;
        const KShutdown& shutdown;
    };

    explicit KUploadService(const Parts& parts);

    KReply askUpload(const KCallContext& call);
    KReply queryUploaded(const KCallContext& call);
    KReply exchangeUpload(const KCallContext& call);
    KReply submitUpload(const KCallContext& call);

    // Marks expired open uploads and removes their data files.
    void sweepExpired();

    static QString partSubject(const QString& token, int partNumber);
    // Why an announced file size and chunk size cannot be used; empty when
    // they can.
    static QString sizeProblem(qint64 fileSize, qint64 chunkSize);
    static QJsonObject ticketJson(const KUploadSession& session, const QString& method, const QString& url,
                                  const QString& partNumber);

private:
    std::optional<KUploadSession> announced(const KCallContext& call, QString* why) const;
    QString tokenFor(const KCallContext& call) const;
    static QString randomToken();
    std::optional<KUploadSession> earlierCopy(const KCallContext& call, const QString& token);
    KReply startSession(const KCallContext& call, KUploadSession& session);
    KReply sessionTicket(const KCallContext& call, const KUploadSession& session) const;
    std::optional<KUploadSession> ownSession(const KCallContext& call, KReply* refusal, bool allowDone = false);
    std::optional<KReply> checkTarget(const KServerPath& path, bool createFile, bool createVersion);
    QString partUrl(const KCallContext& call, const KUploadSession& session, int partNumber) const;
    KReply commitReserved(const KCallContext& call);
    std::optional<KReply> checkParts(const KUploadSession& session);
    std::optional<KReply> verifyContent(const KUploadSession& session);
    KReply commitVersion(const KCallContext& call, const KUploadSession& session);
    QJsonArray partsJson(const KUploadSession& session);
    QString partMd5(const KUploadSession& session, int number);
    void maybeSweep();

    Parts p;
    std::atomic<qint64> lastSweep{0};
};
