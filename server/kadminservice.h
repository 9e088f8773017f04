#pragma once

#include "server/kenvelope.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace httplib
{
struct Request;
struct Response;
class ContentReader;
}

class KAccountService;
class KClock;
class KContentStore;
class KFaultInjector;
class KNodeStore;
class KRequestStats;
class KRuntimeSettings;
class KStorage;
class KTrashStore;

// Endpoints for tests, below /_admin/, answered only to requests that carry
// the admin token in "X-Admin-Token" and only when the server was started
// with one: faults, counters, settings, accounts, and direct access to the
// trees and trashes of spaces.
class KAdminService
{
public:
    struct Parts
    {
        KStorage& storage;
        KNodeStore& nodes;
        KContentStore& content;
        KAccountService& accounts;
        KFaultInjector& faults;
        KRequestStats& stats;
        KRuntimeSettings& settings;
        KClock& clock;
        KTrashStore& trash;
    };

    KAdminService(const Parts& parts, const QString& token);

    bool enabled() const { return !token.isEmpty(); }
    // False (and a 403 or 404 answer) when the request may not use the endpoints.
    bool admit(const httplib::Request& request, httplib::Response& response) const;

    KReply post(const QString& path, const QByteArray& body);
    void get(const httplib::Request& request, httplib::Response& response);
    void putFile(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    // Reads a body and throws it away: the bare HTTP intake rate of this
    // server, the baseline of the part intake benchmark.
    void sink(httplib::Response& response, const httplib::ContentReader& reader);

private:
    KReply addFault(const QJsonObject& json);
    KReply applySettings(const QJsonObject& json);
    KReply addUser(const QJsonObject& json);
    KReply addSpace(const QJsonObject& json);
    KReply makeFolder(const QJsonObject& json);
    KReply tree(const QString& spaceId);
    KReply trash(const QString& spaceId);
    void sendFile(const QString& spaceId, const QString& relative, httplib::Response& response);

    Parts p;
    QString token;
};
