#pragma once

#include "server/kcallcontext.h"
#include "server/kenvelope.h"
#include "server/kserverconfig.h"

#include <QHash>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace httplib
{
class Server;
struct Request;
struct Response;
class ContentReader;
}

struct KFaultRule;

// The whole server: storage, services and the HTTP routes that lead to them.
// prepare(), then bind(), then run() until stop() is called from another
// thread.
class KDriveServer
{
public:
    explicit KDriveServer(const KServerConfig& config);
    ~KDriveServer();

    // Opens the root, creates the demo account when the root holds no user.
    bool prepare(QString* error, bool* demoCreated);
    // The port bound, or -1 with `error` set.
    int bind(QString* error);
    bool run();
    void stop();
    QString listenUrl() const;

private:
    using Operation = std::function<KReply(const KCallContext&)>;
    struct Services;

    void addRoutes();
    void onPost(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void onLogin(const httplib::Request& request, httplib::Response& response, const QMap<QString, QString>& fields);
    void onOperation(const httplib::Request& request, httplib::Response& response,
                     const QMap<QString, QString>& fields);
    bool faultAnswered(const std::optional<KFaultRule>& fault, const httplib::Request& request,
                       httplib::Response& response);
    void deliver(const std::optional<KFaultRule>& fault, const httplib::Request& request, httplib::Response& response,
                 const KReply& reply);
    QString baseUrl(const httplib::Request& request) const;
    QHash<QString, Operation> operations();

    KServerConfig config;
    std::unique_ptr<Services> s;
    std::unique_ptr<httplib::Server> http;
    QHash<QString, Operation> ops;
    int boundPort = -1;
};
