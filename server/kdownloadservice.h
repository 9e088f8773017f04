#pragma once

#include "server/kcallcontext.h"
#include "server/kenvelope.h"

#include <QJsonObject>

namespace httplib
{
struct Request;
struct Response;
}

class KClock;
class KContentStore;
class KFaultInjector;
class KNodeStore;
class KRequestStats;
class KShutdown;
class KSpaceGuard;
class KUrlSigner;

// kaskdownload hands out a signed, time-limited address of one content:
// GET /download/<md5>-<size>?expires=..&sig=.. . The GET streams the content
// from its file in small reads and serves one byte range. kbatchdownload
// answers the bytes of up to BatchMaxFiles small files at once, so a client
// that fetches many of them pays one round trip for many.
class KDownloadService
{
public:
    static constexpr qint64 DefaultExpirySeconds = 3600;
    static constexpr qint64 ReadChunk = 256 * 1024;
    static constexpr int BatchMaxFiles = 64;
    static constexpr qint64 BatchMaxFileBytes = 256 * 1024;
    static constexpr qint64 BatchMaxBytes = 4 * 1024 * 1024;

    struct Parts
    {
        KNodeStore& nodes;
        KContentStore& content;
        KSpaceGuard& guard;
        const KUrlSigner& signer;
        const KClock& clock;
        KFaultInjector& faults;
        KRequestStats& stats;
        const KShutdown& shutdown;
    };

    explicit KDownloadService(const Parts& parts);

    KReply askDownload(const KCallContext& call);
    KReply batchDownload(const KCallContext& call);
    void serve(const httplib::Request& request, httplib::Response& response);

private:
    QJsonObject batchEntry(const KCallContext& call, const QJsonObject& asked, qint64& answeredBytes) const;
    QString downloadUrl(const QString& baseUrl, const QString& subject, qint64 expires) const;
    bool linkValid(const httplib::Request& request, const QString& subject) const;
    void stream(const httplib::Request& request, httplib::Response& response, const QString& path, qint64 size);

    Parts p;
};
