#pragma once

#include "server/kenvelope.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace httplib
{
struct Request;
struct Response;
class ContentReader;
}

struct KFaultRule;
class KShutdown;

// Glue between the HTTP library and the server's own types.
namespace KHttpExchange
{
constexpr qint64 MaxFormBytes = 1 << 20;
// Read and write time-outs of a connection.
constexpr int TimeoutSeconds = 30;
// The largest body any route takes: a whole file of the largest size, plus room
// for multipart framing.
constexpr qint64 MaxBodyBytes = (qint64(1) << 40) + (1 << 20);

// Why a request's body cannot be read, before any of it is: a Content-Length
// that is not a plain decimal number up to MaxBodyBytes (the library would
// wait for 2^64 - 1 bytes), or a POST or PUT with neither a length nor
// chunked encoding (the library would read until the connection closes).
// Empty when the body can be read; `status` is then untouched.
QString lengthProblem(const httplib::Request& request, int* status);

QString header(const httplib::Request& request, const char* name);
QString target(const httplib::Request& request);

// The whole body, read through the content reader; nullopt when it is
// longer than `cap` or breaks off.
std::optional<QByteArray> readBody(const httplib::ContentReader& reader, qint64 cap);
// Reads and discards a body that is refused, so the connection stays in step
// for the next request.
void drainBody(const httplib::Request& request, const httplib::ContentReader& reader);
// Makes the content reader hand out a multipart body as raw bytes. The
// library's own multipart parser scans a byte at a time and would cost more
// than storing the part; KMultipartReader does the job instead.
void takeBodyRaw(const httplib::Request& request);

void sendReply(httplib::Response& response, const KReply& reply, int status = 200);
void sendJson(httplib::Response& response, const QByteArray& json, int status = 200);

// scheme://host[:port] of this server as the caller reached it: the
// configured public address, else the Host header when it is plain, else the
// listening address.
QString baseUrl(const httplib::Request& request, bool tls, const QString& publicUrl, const QString& listenHostPort);
bool isPlainHost(const QString& host);

// Answers a request the way a fault says; false when the fault only delays
// (or does not apply here) and the request goes on normally.
bool answerFault(const KFaultRule& fault, const httplib::Request& request, httplib::Response& response);
// Waits the fault's delay, or until the server stops.
void delayFor(const KFaultRule& fault, const KShutdown& shutdown);
}
