#pragma once

#include "server/kenvelope.h"

#include <QString>

#include <functional>
#include <optional>

namespace httplib
{
struct Request;
struct Response;
class ContentReader;
}

class KClock;
class KContentStore;
class KFaultInjector;
class KPartWriter;
class KRequestStats;
class KUploadClaims;
class KUploadDigests;
class KShutdown;
class KUploadStore;
class KUrlSigner;
struct KFaultRule;
struct KUploadSession;

// Receives part bodies at the addresses kexchangeupload hands out:
// POST|PUT /upload/<token>/<part>?expires=..&sig=.. . A multipart POST
// carries the bytes in its "file" field, a PUT (or a plain POST) as the
// body. The bytes go straight to the upload's data file at the part's offset.
class KPartIntake
{
public:
    static constexpr int ClaimWaitMs = 5000;

    struct Parts
    {
        KUploadStore& uploads;
        KContentStore& content;
        KUploadClaims& claims;
        KUploadDigests& digests;
        const KUrlSigner& signer;
        const KClock& clock;
        KFaultInjector& faults;
        KRequestStats& stats;
        const KShutdown& shutdown;
        bool socketReads; // plain TCP: bodies may be read from the socket directly
    };

    explicit KPartIntake(const Parts& parts);

    void handle(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);

    // "N-M" of the TROV-BYTES header: its start N, or -1 when malformed.
    static qint64 troveStart(const QString& header);

private:
    struct Target
    {
        QString token;
        int number = 0;
    };

    std::optional<KUploadSession> admit(const httplib::Request& request, const Target& target, KReply* refusal,
                                        int* status);
    bool receive(const httplib::Request& request, const httplib::ContentReader& reader, KPartWriter& writer,
                 const std::optional<KFaultRule>& fault);
    bool readBody(const httplib::Request& request, const httplib::ContentReader& reader,
                  const std::function<bool(const char*, size_t)>& consume);
    void replaceEarlierCopy(const KUploadSession& session, const Target& target);
    KReply store(const KUploadSession& session, const Target& target, KPartWriter& writer, bool readOk, int* status);

    Parts p;
};
