#pragma once

#include "server/kenvelope.h"
#include "server/kuploaddigests.h"

#include <QString>

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
        KUploadDigests& digests;
        const KUrlSigner& signer;
        const KClock& clock;
        KFaultInjector& faults;
        KRequestStats& stats;
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
    KReply store(const KUploadSession& session, const Target& target, KPartWriter& writer, bool readOk,
                 KUploadDigests::Claim& claim, int* status);

    Parts p;
};
