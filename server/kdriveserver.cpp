#include "server/kdriveserver.h"

#include "server/kaccountservice.h"
#include "server/kadminservice.h"
#include "server/kauthenticator.h"
#include "server/kcanonical.h"
#include "server/kclock.h"
#include "server/kconnectiondrop.h"
#include "server/kcontentstore.h"
#include "server/kdownloadservice.h"
#include "server/kfaultinjector.h"
#include "server/khttpexchange.h"
#include "server/kloginservice.h"
#include "server/knodeservice.h"
#include "server/knodestore.h"
#include "server/kpartintake.h"
#include "server/kpassword.h"
#include "server/kremovalreceipts.h"
#include "server/kremovalservice.h"
#include "server/krequeststats.h"
#include "server/kshutdown.h"
#include "server/kspaceguard.h"
#include "server/kstorage.h"
#include "server/ktrashkeeper.h"
#include "server/ktrashstore.h"
#include "server/kuploadclaims.h"
#include "server/kuploaddigests.h"
#include "server/kuploadservice.h"
#include "server/kuploadstore.h"
#include "server/kurlsigner.h"
#include "server/kuserstore.h"
#include "server/kworkerpool.h"

#include <httplib.h>

#include <cstdio>
#include <sys/socket.h>

namespace
{
// Plain SO_REUSEADDR: a restarted server gets its old port back at once, and
// no second process can share a live port (the library's default would use
// SO_REUSEPORT).
void socketOptions(int socket)
{
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

QByteArray loadOrCreateSecret(KStorage& storage)
{
    const QString key = QStringLiteral("url_secret");
    QString hex = storage.meta(key);
    if (hex.isEmpty()) {
        hex = QString::fromLatin1(KPassword::randomBytes(32).toHex());
        storage.setMeta(key, hex);
    }
    return QByteArray::fromHex(hex.toLatin1());
}
}

// Everything the routes use, built in dependency order.
struct KDriveServer::Services
{
    explicit Services(const KServerConfig& config)
        : storage(config.root, config.syncWrites)
        , content(config.root, config.syncWrites)
        , users(storage)
        , nodes(storage)
        , uploads(storage)
        , digests(content, shutdown)
        , settings(config)
        , guard(users)
        , auth(users, clock, config.domain)
        , accounts(users)
        , login(users, settings, config.domain)
        , nodeService(storage, nodes, guard, clock)
        , trash(storage)
        , receipts(storage)
        , trashKeeper(trash, receipts, clock)
        , removals(KRemovalService::Parts{storage, nodes, trash, receipts, guard, clock})
    {
    }

    void start(const KServerConfig& config, const QByteArray& secret)
    {
        signer = std::make_unique<KUrlSigner>(secret);
        uploadService = std::make_unique<KUploadService>(KUploadService::Parts{
            storage, nodes, uploads, content, claims, digests, guard, *signer, clock, settings, shutdown});
        partIntake = std::make_unique<KPartIntake>(
            KPartIntake::Parts{uploads, content, claims, digests, *signer, clock, faults, stats, shutdown, !config.useTls()});
        downloads = std::make_unique<KDownloadService>(
            KDownloadService::Parts{nodes, content, guard, *signer, clock, faults, stats, shutdown});
        admin = std::make_unique<KAdminService>(
            KAdminService::Parts{storage, nodes, content, accounts, faults, stats, settings, clock, trash}, config.adminToken);
    }

    KClock clock;
    KShutdown shutdown;
    KStorage storage;
    KContentStore content;
    KUserStore users;
    KNodeStore nodes;
    KUploadStore uploads;
    KUploadClaims claims;
    KUploadDigests digests;
    KFaultInjector faults;
    KRequestStats stats;
    KRuntimeSettings settings;
    KSpaceGuard guard;
    KAuthenticator auth;
    KAccountService accounts;
    KLoginService login;
    KNodeService nodeService;
    KTrashStore trash;
    KRemovalReceipts receipts;
    KTrashKeeper trashKeeper;
    KRemovalService removals;
    std::unique_ptr<KUrlSigner> signer;
    std::unique_ptr<KUploadService> uploadService;
    std::unique_ptr<KPartIntake> partIntake;
    std::unique_ptr<KDownloadService> downloads;
    std::unique_ptr<KAdminService> admin;
};

KDriveServer::KDriveServer(const KServerConfig& config)
    : config(config)
    , s(std::make_unique<Services>(config))
{
}

KDriveServer::~KDriveServer() = default;

bool KDriveServer::prepare(QString* error, bool* demoCreated)
{
    if (!s->storage.open(error) || !s->content.prepare(error) || !s->trash.prepare(error) || !s->receipts.prepare(error)
        || !s->accounts.ensureDemo(demoCreated, error)) {
        return false;
    }
    s->start(config, loadOrCreateSecret(s->storage));
    s->uploadService->sweepExpired();
    s->trashKeeper.purgeExpired();
    ops = operations();
    return true;
}

int KDriveServer::bind(QString* error)
{
    if (config.useTls())
        http = std::make_unique<httplib::SSLServer>(config.tlsCert.toLocal8Bit().constData(), config.tlsKey.toLocal8Bit().constData());
    else
        http = std::make_unique<httplib::Server>();
    if (!http->is_valid()) {
        *error = QStringLiteral("the TLS certificate or key cannot be used");
        return -1;
    }
    const int threads = config.threads;
    const int maxThreads = config.maxThreads;
    http->new_task_queue = [threads, maxThreads] { return new KWorkerPool(threads, maxThreads); };
    int listening = -1;
    http->set_socket_options([&listening](int socket) {
        socketOptions(socket);
        listening = socket;
    });
    // Headers and body leave in separate writes; with Nagle's algorithm the
    // second one waits for the peer's delayed ACK, 40 ms per kept-alive request.
    http->set_tcp_nodelay(true);
    http->set_keep_alive_max_count(100000);
    http->set_keep_alive_timeout(5);
    http->set_read_timeout(KHttpExchange::TimeoutSeconds);
    http->set_write_timeout(KHttpExchange::TimeoutSeconds);
    addRoutes();
    const std::string host = config.host.toStdString();
    boundPort = config.port == 0 ? http->bind_to_any_port(host) : (http->bind_to_port(host, config.port) ? config.port : -1);
    // The library listens with a backlog of 5: clients connecting at once
    // beyond that lose their SYN and retry a second later. Listening again
    // only raises the backlog.
    if (boundPort >= 0 && listening >= 0)
        ::listen(listening, SOMAXCONN);
    if (boundPort < 0)
        *error = QStringLiteral("cannot listen on %1:%2").arg(config.host).arg(config.port);
    return boundPort;
}

bool KDriveServer::run()
{
    return http && http->listen_after_bind();
}

// Called from another thread. Work under way ends soon after: waits and long
// loops see the shutdown, and every connection stops reading, so idle
// kept-alive connections and bodies still arriving end at once while answers
// being written still go out.
void KDriveServer::stop()
{
    s->shutdown.request();
    if (!http)
        return;
    http->stop();
    KConnectionDrop::closeAll(boundPort);
}

QString KDriveServer::listenUrl() const
{
    const QString host = config.host.contains(QLatin1Char(':')) ? QLatin1Char('[') + config.host + QLatin1Char(']') : config.host;
    return (config.useTls() ? QStringLiteral("https://") : QStringLiteral("http://")) + host + QLatin1Char(':')
           + QString::number(boundPort);
}

QString KDriveServer::baseUrl(const httplib::Request& request) const
{
    return KHttpExchange::baseUrl(request, config.useTls(), config.publicUrl, listenUrl().section(QStringLiteral("://"), 1));
}

QHash<QString, KDriveServer::Operation> KDriveServer::operations()
{
    KNodeService* nodes = &s->nodeService;
    KUploadService* uploads = s->uploadService.get();
    KDownloadService* downloads = s->downloads.get();
    KRemovalService* removals = &s->removals;
    return {
        {QStringLiteral("kgetnodes"), [nodes](const KCallContext& c) { return nodes->getNodes(c); }},
        {QStringLiteral("klistdir"), [nodes](const KCallContext& c) { return nodes->listDir(c); }},
        {QStringLiteral("domkdirs"), [nodes](const KCallContext& c) { return nodes->makeDirs(c); }},
        {QStringLiteral("kaskupload"), [uploads](const KCallContext& c) { return uploads->askUpload(c); }},
        {QStringLiteral("kqueryuploaded"), [uploads](const KCallContext& c) { return uploads->queryUploaded(c); }},
        {QStringLiteral("kexchangeupload"), [uploads](const KCallContext& c) { return uploads->exchangeUpload(c); }},
        {QStringLiteral("ksubmitupload"), [uploads](const KCallContext& c) { return uploads->submitUpload(c); }},
        {QStringLiteral("kaskdownload"), [downloads](const KCallContext& c) { return downloads->askDownload(c); }},
        {QStringLiteral("kbatchdownload"), [downloads](const KCallContext& c) { return downloads->batchDownload(c); }},
        {QStringLiteral("kremovenodes"), [removals](const KCallContext& c) { return removals->removeNodes(c); }},
    };
}

void KDriveServer::addRoutes()
{
    http->Post(".*", [this](const httplib::Request& q, httplib::Response& r, const httplib::ContentReader& c) { onPost(q, r, c); });
    const auto intake = [this](const httplib::Request& q, httplib::Response& r, const httplib::ContentReader& c) {
        s->partIntake->handle(q, r, c);
    };
    http->Put("/upload/([0-9a-f]{32})/([0-9]{1,9})", intake);
    http->Get("/download/([0-9a-f]{32})-([0-9]{1,18})", [this](const httplib::Request& q, httplib::Response& r) { s->downloads->serve(q, r); });
    http->Get("/_admin/.*", [this](const httplib::Request& q, httplib::Response& r) {
        if (s->admin->admit(q, r))
            s->admin->get(q, r);
    });
    http->Put("/_admin/file", [this](const httplib::Request& q, httplib::Response& r, const httplib::ContentReader& c) {
        if (s->admin->admit(q, r))
            s->admin->putFile(q, r, c);
        else
            KHttpExchange::drainBody(q, c);
    });
    http->Put("/_admin/sink", [this](const httplib::Request& q, httplib::Response& r, const httplib::ContentReader& c) {
        if (s->admin->admit(q, r))
            s->admin->sink(r, c);
        else
            KHttpExchange::drainBody(q, c);
    });
    const httplib::Server::HandlerWithResponse notFound = [](const httplib::Request&, httplib::Response& r) {
        if (r.status != 404 || !r.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        KHttpExchange::sendReply(r, KReply::fail(KCode::UnknownOperation, QStringLiteral("no such address")), 404);
        return httplib::Server::HandlerResponse::Handled;
    };
    http->set_error_handler(notFound);
    // Runs before any byte of a body is read.
    http->set_pre_routing_handler([](const httplib::Request& q, httplib::Response& r) {
        int status = 0;
        const QString problem = KHttpExchange::lengthProblem(q, &status);
        if (problem.isEmpty())
            return httplib::Server::HandlerResponse::Unhandled;
        r.set_header("Connection", "close");
        KHttpExchange::sendReply(r, KReply::fail(KCode::BadRequest, problem), status);
        return httplib::Server::HandlerResponse::Handled;
    });
    // Called once an answer has been written.
    const bool verbose = config.verbose;
    http->set_logger([verbose](const httplib::Request& q, const httplib::Response& r) {
        // The library keeps a connection open whatever the answer says; a body
        // that cannot be read leaves nothing after it that can.
        if (r.get_header_value("Connection") == "close")
            KConnectionDrop::stopReading(q);
        // Only the route, never the query: addresses carry signatures.
        if (verbose)
            std::fprintf(stderr, "%s %s %d\n", q.method.c_str(), q.path.substr(0, q.path.find('/', 1)).c_str(), r.status);
    });
}

void KDriveServer::onPost(const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader)
{
    static const std::regex partRoute("/upload/([0-9a-f]{32})/([0-9]{1,9})");
    if (std::regex_match(request.path, const_cast<httplib::Request&>(request).matches, partRoute))
        return s->partIntake->handle(request, response, reader);
    if (request.path.rfind("/_admin/", 0) == 0) {
        if (!s->admin->admit(request, response))
            return KHttpExchange::drainBody(request, reader);
        const std::optional<QByteArray> body = KHttpExchange::readBody(reader, KHttpExchange::MaxFormBytes);
        return KHttpExchange::sendReply(response, s->admin->post(QString::fromStdString(request.path), body.value_or(QByteArray())));
    }
    const std::optional<QByteArray> body = request.is_multipart_form_data() ? std::nullopt
                                                                             : KHttpExchange::readBody(reader, KHttpExchange::MaxFormBytes);
    if (!body) {
        KConnectionDrop::drop(request);
        return;
    }
    const QMap<QString, QString> fields = KCanonical::parseForm(*body);
    if (KCanonical::holdsNul(fields) || KCanonical::targetHoldsNul(QByteArray::fromStdString(request.target)))
        return KHttpExchange::sendReply(response, KReply::fail(KCode::BadRequest, QStringLiteral("a field holds a NUL character")));
    const QString path = QString::fromStdString(request.path);
    if (path == QLatin1String("/klogin") || s->login.logsInAt(path))
        return onLogin(request, response, fields);
    onOperation(request, response, fields);
}

bool KDriveServer::faultAnswered(const std::optional<KFaultRule>& fault, const httplib::Request& request,
                                 httplib::Response& response)
{
    if (!fault)
        return false;
    KHttpExchange::delayFor(*fault, s->shutdown);
    if (fault->action == QLatin1String("drop")) {
        KConnectionDrop::drop(request);
        return true;
    }
    return KHttpExchange::answerFault(*fault, request, response);
}

void KDriveServer::deliver(const std::optional<KFaultRule>& fault, const httplib::Request& request,
                           httplib::Response& response, const KReply& reply)
{
    if (fault && fault->losesAnswer())
        KConnectionDrop::drop(request);
    else
        KHttpExchange::sendReply(response, reply);
}

void KDriveServer::onLogin(const httplib::Request& request, httplib::Response& response,
                           const QMap<QString, QString>& fields)
{
    s->stats.add(QStringLiteral("klogin"));
    const std::optional<KFaultRule> fault = s->faults.take(QStringLiteral("klogin"));
    if (faultAnswered(fault, request, response))
        return;
    const std::optional<KReply> redirect = request.path == "/klogin" ? s->login.redirectReply() : std::nullopt;
    deliver(fault, request, response, redirect ? *redirect : s->login.login(fields, baseUrl(request)));
}

void KDriveServer::onOperation(const httplib::Request& request, httplib::Response& response,
                               const QMap<QString, QString>& fields)
{
    const QString op = fields.value(QStringLiteral("op"));
    const auto operation = ops.constFind(op);
    if (operation == ops.constEnd()) {
        s->stats.add(QStringLiteral("unknown"));
        return KHttpExchange::sendReply(response, KReply::fail(KCode::UnknownOperation, QStringLiteral("unknown operation: ") + op.left(40)));
    }
    s->stats.add(op);
    const std::optional<KFaultRule> fault = s->faults.take(op);
    if (faultAnswered(fault, request, response))
        return;
    const QString date = KHttpExchange::header(request, "x-date");
    const QString authorization = KHttpExchange::header(request, "x-authorization");
    const KAuthResult auth = s->auth.verify(KHttpExchange::target(request), fields, date, authorization);
    if (!auth.accepted()) {
        s->stats.add(QStringLiteral("refused"));
        return deliver(fault, request, response, auth.refusal);
    }
    s->trashKeeper.maybePurge();
    const KCallContext call{auth.userId, fields, baseUrl(request), date + QLatin1Char('\n') + authorization};
    deliver(fault, request, response, (*operation)(call));
}
