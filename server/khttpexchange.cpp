#include "server/khttpexchange.h"

#include "server/kconnectiondrop.h"
#include "server/kfaultinjector.h"
#include "server/kshutdown.h"

#include <httplib.h>

#include <QJsonDocument>


namespace KHttpExchange
{
// fromStdString keeps every byte, a NUL included, so a value cannot be cut
// short on its way in.
QString header(const httplib::Request& request, const char* name)
{
    return QString::fromStdString(request.get_header_value(name));
}

QString target(const httplib::Request& request)
{
    return QString::fromStdString(request.target);
}

QString lengthProblem(const httplib::Request& request, int* status)
{
    *status = 400;
    if (!request.has_header("Content-Length")) {
        const bool chunked = request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
        const bool needsLength = request.method == "POST" || request.method == "PUT";
        *status = needsLength && !chunked ? 411 : *status;
        return *status == 411 ? QStringLiteral("a body needs a Content-Length") : QString();
    }
    const std::string text = request.get_header_value("Content-Length");
    const bool digits = !text.empty() && text.size() <= 15 && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoll(text) > MaxBodyBytes)
        return QStringLiteral("Content-Length is not a length this server takes");
    return QString();
}

std::optional<QByteArray> readBody(const httplib::ContentReader& reader, qint64 cap)
{
    QByteArray body;
    bool tooLong = false;
    const bool ok = reader([&](const char* data, size_t size) {
        if (body.size() + qint64(size) > cap) {
            tooLong = true;
            return false;
        }
        body.append(data, int(size));
        return true;
    });
    if (!ok || tooLong)
        return std::nullopt;
    return body;
}

void drainBody(const httplib::Request& request, const httplib::ContentReader& reader)
{
    takeBodyRaw(request);
    reader([](const char*, size_t) { return true; });
}

void takeBodyRaw(const httplib::Request& request)
{
    if (!request.is_multipart_form_data())
        return;
    // The request object is the library's own, non-const; only the type that
    // decides how the body is read changes.
    auto& headers = const_cast<httplib::Request&>(request).headers;
    const std::string original = request.get_header_value("Content-Type");
    headers.erase("Content-Type");
    headers.emplace("Content-Type", "application/octet-stream");
    headers.emplace("X-Original-Content-Type", original);
}

void sendJson(httplib::Response& response, const QByteArray& json, int status)
{
    response.status = status;
    response.set_content(json.constData(), size_t(json.size()), "application/json; charset=utf-8");
}

void sendReply(httplib::Response& response, const KReply& reply, int status)
{
    sendJson(response, KEnvelope::serialise(reply), status);
}

bool isPlainHost(const QString& host)
{
    if (host.isEmpty() || host.size() > 255)
        return false;
    for (const QChar c : host) {
        const bool plain = c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-')
                           || c == QLatin1Char(':') || c == QLatin1Char('[') || c == QLatin1Char(']');
        if (!plain || c.unicode() > 127)
            return false;
    }
    return true;
}

QString baseUrl(const httplib::Request& request, bool tls, const QString& publicUrl, const QString& listenHostPort)
{
    if (!publicUrl.isEmpty())
        return publicUrl;
    const QString host = header(request, "Host");
    const QString scheme = tls ? QStringLiteral("https://") : QStringLiteral("http://");
    return scheme + (isPlainHost(host) ? host : listenHostPort);
}

void delayFor(const KFaultRule& fault, const KShutdown& shutdown)
{
    if (fault.delayMs > 0)
        shutdown.sleepFor(fault.delayMs);
}

bool answerFault(const KFaultRule& fault, const httplib::Request& request, httplib::Response& response)
{
    if (fault.action == QLatin1String("html")) {
        response.status = fault.status;
        response.set_content("<html><body>error</body></html>", "text/html");
    } else if (fault.action == QLatin1String("empty")) {
        response.status = 200;
        response.set_content("", "application/json");
    } else if (fault.action == QLatin1String("status")) {
        response.status = fault.status;
        response.set_content("", "text/plain");
    } else if (fault.action == QLatin1String("envelope")) {
        sendJson(response, QJsonDocument(fault.envelope).toJson(QJsonDocument::Compact));
    } else if (fault.action == QLatin1String("drop") && fault.afterBytes == 0) {
        KConnectionDrop::drop(request);
    } else {
        return false;
    }
    return true;
}
}
